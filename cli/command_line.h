// Reading a command line by a table of options, for the programs that take options
// (vexo-server, the commands of vexo-answer). A row of the table is any type with
//   name   the option as written, "--root"
//   value  the placeholder of its value in help texts, "DIR"; nullptr for a flag, which takes none
// so that each program keeps its help lines and what an option does in the same row.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vexo {

// One word of a command line as the table reads it.
template <typename Row>
struct CommandLineWord {
  const Row* option = nullptr;  // the row that names it; null for any other word
  std::string name;             // for words starting with "--": the part before any "="
  std::string value;            // an option's value; empty for a flag
  std::string text;             // the word as given
};

template <typename Row>
struct ReadCommandLine {
  std::vector<CommandLineWord<Row>> words;
  // An option that needs a value ended the line, in one line; the words before it are read.
  std::optional<std::string> fault;
};

// The first row named `name`; null when none is.
template <typename Row>
const Row* FindOption(std::span<const Row> table, std::string_view name) {
  for (const Row& row : table) {
    if (name == row.name) {
      return &row;
    }
  }
  return nullptr;
}

// Reads "--name value", "--name=value" and flags "--name" (never "--name=value", which is no
// word of the table). Every other word, "-" and words not starting with "--" included, is
// returned with no row: the caller tells an unknown option from an operand.
template <typename Row>
ReadCommandLine<Row> ReadOptions(std::span<const Row> table,
                                 const std::vector<std::string>& arguments) {
  ReadCommandLine<Row> result;
  for (size_t i = 0; i < arguments.size(); ++i) {
    CommandLineWord<Row> word;
    word.text = arguments[i];
    if (!word.text.starts_with("--")) {
      result.words.push_back(std::move(word));
      continue;
    }
    size_t equals = word.text.find('=');
    bool inlineValue = equals != std::string::npos;
    word.name = word.text.substr(0, equals);
    const Row* row = FindOption(table, word.name);
    bool takesValue = row != nullptr && row->value != nullptr;
    if (row != nullptr && (takesValue || !inlineValue)) {
      if (takesValue && !inlineValue && i + 1 == arguments.size()) {
        result.fault = word.name + " needs a value";
        return result;
      }
      word.option = row;
      if (takesValue) {
        word.value = inlineValue ? word.text.substr(equals + 1) : arguments[++i];
      }
    }
    result.words.push_back(std::move(word));
  }
  return result;
}

}  // namespace vexo

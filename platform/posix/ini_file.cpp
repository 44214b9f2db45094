#include "platform/posix/ini_file.h"

#include <algorithm>

namespace vexo::platform::posix {
namespace {

constexpr size_t kLongestLine = 64 * 1024;
constexpr size_t kValueBufferUnits =
    30;  // the value buffer of the Windows call, terminator included

std::string_view Trim(std::string_view text) {
  const char* blanks = " \t\r\n\v\f";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos)
    return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

// Reads one line of at most kLongestLine bytes; a longer one is consumed and reported as too long.
bool ReadLine(std::istream& input, std::string& line, bool& tooLong) {
  line.clear();
  tooLong = false;
  char c;
  bool any = false;
  while (input.get(c)) {
    any = true;
    if (c == '\n')
      break;
    if (line.size() < kLongestLine) {
      line.push_back(c);
    } else {
      tooLong = true;
    }
  }
  return any;
}

}  // namespace

std::optional<std::string> FindIniValue(std::istream& input, std::string_view section,
                                        std::string_view key) {
  std::string line;
  bool tooLong = false;
  bool inSection = false;
  bool first = true;
  while (ReadLine(input, line, tooLong)) {
    std::string_view text = line;
    if (first && text.substr(0, 3) == "\xEF\xBB\xBF")
      text.remove_prefix(3);  // UTF-8 mark
    first = false;
    if (tooLong)
      continue;
    text = Trim(text);
    if (text.empty() || text[0] == ';')
      continue;
    if (text[0] == '[') {
      if (inSection)
        return std::nullopt;  // only the first section of that name is read
      size_t end = text.find(']');
      std::string_view name = Trim(text.substr(1, end == std::string_view::npos ? end : end - 1));
      inSection = EqualIgnoringCase(name, section);
      continue;
    }
    if (!inSection)
      continue;
    size_t equals = text.find('=');
    if (equals == std::string_view::npos)
      continue;
    if (!EqualIgnoringCase(Trim(text.substr(0, equals)), key))
      continue;
    std::string_view value = Trim(text.substr(equals + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
  }
  return std::nullopt;
}

int32_t ProfileInteger(std::string_view value) {
  value = value.substr(0, kValueBufferUnits - 1);
  size_t i = 0;
  while (i < value.size() && (value[i] == ' ' || value[i] == '\t'))
    ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-'))
    negative = value[i++] == '-';
  uint32_t number = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    number = number * 10u + static_cast<uint32_t>(value[i] - '0');
  }
  return static_cast<int32_t>(negative ? 0u - number : number);
}

}  // namespace vexo::platform::posix

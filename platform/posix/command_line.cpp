#include "platform/posix/command_line.h"

#include <utility>

namespace vexo::platform::posix {

std::vector<std::u16string> SplitWindowsCommandLine(std::u16string_view text) {
  std::vector<std::u16string> arguments;
  std::u16string current;
  bool inArgument = false;
  bool quoted = false;
  size_t i = 0;
  while (i < text.size()) {
    char16_t c = text[i];
    if (!quoted && (c == u' ' || c == u'\t')) {
      if (inArgument)
        arguments.push_back(std::exchange(current, {}));
      inArgument = false;
      ++i;
      continue;
    }
    inArgument = true;
    if (c == u'\\') {
      size_t backslashes = 0;
      while (i < text.size() && text[i] == u'\\')
        ++backslashes, ++i;
      if (i < text.size() && text[i] == u'"') {
        current.append(backslashes / 2, u'\\');
        if (backslashes % 2 == 1) {
          current.push_back(u'"');
          ++i;
        }
      } else {
        current.append(backslashes, u'\\');
      }
      continue;
    }
    if (c == u'"') {
      if (quoted && i + 1 < text.size() && text[i + 1] == u'"') {
        current.push_back(u'"');
        i += 2;
        continue;
      }
      quoted = !quoted;
      ++i;
      continue;
    }
    current.push_back(c);
    ++i;
  }
  if (inArgument)
    arguments.push_back(current);
  return arguments;
}

}  // namespace vexo::platform::posix

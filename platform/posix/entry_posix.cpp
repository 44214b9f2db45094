#include <clocale>

#include "platform/entry.h"

int main() {
  // The locale's character set is the "ANSI code page" of the conversions.
  std::setlocale(LC_CTYPE, "");
  return vexo::AgentMain(nullptr);
}

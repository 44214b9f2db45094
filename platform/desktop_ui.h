// What the agent shows and starts on the user's desktop: one Yes/No question, and the shell's
// "open" of a file with parameters.
#pragma once

#include <string_view>

#include "platform/window.h"

namespace vexo::platform {

// Asks a Yes/No question (no icon, Yes the default) and returns true only for Yes. On POSIX:
// zenity or kdialog when a desktop session is present, else the controlling terminal, else No.
bool AskYesNo(WindowHandle owner, std::u16string_view text, std::u16string_view caption);

// Starts `file` with the shell verb "open", the parameter text, no working folder, shown normally.
// Not waited for. On POSIX the owner's execute bit is set and the parameters are split as Windows
// splits a command line.
void ShellOpen(std::u16string_view file, std::u16string_view parameters);

}  // namespace vexo::platform

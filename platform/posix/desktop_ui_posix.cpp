// The question goes to zenity or kdialog on a desktop, else to the controlling terminal; the
// installer is started detached in a session of its own.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/desktop_ui.h"
#include "platform/posix/command_line.h"
#include "platform/posix/native_path.h"

namespace vexo::platform {
namespace {

bool HasDesktopSession() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0')
      return true;
  }
  return false;
}

std::string FindOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "";
  size_t start = 0;
  while (start <= folders.size()) {
    size_t end = folders.find(':', start);
    if (end == std::string::npos)
      end = folders.size();
    std::string candidate = folders.substr(start, end - start) + "/" + program;
    if (end > start && access(candidate.c_str(), X_OK) == 0)
      return candidate;
    start = end + 1;
  }
  return {};
}

// In a forked child before exec: only async-signal-safe calls.
void RedirectStandardStreamsToNull() {
  int devNull = open("/dev/null", O_RDWR);
  if (devNull < 0)
    return;
  dup2(devNull, STDIN_FILENO);
  dup2(devNull, STDOUT_FILENO);
  dup2(devNull, STDERR_FILENO);
  if (devNull > STDERR_FILENO)
    close(devNull);
}

std::vector<char*> PointersOf(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (auto& text : texts)
    pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Runs a dialog program and waits for it; its exit status 0 means Yes.
bool RunDialog(std::vector<std::string> argv) {
  std::vector<char*> pointers = PointersOf(argv);
  pid_t child = fork();
  if (child < 0)
    return false;
  if (child == 0) {
    RedirectStandardStreamsToNull();
    execv(pointers[0], pointers.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR)
      return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool AskOnTerminal(const std::string& caption, const std::string& text) {
  int tty = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (tty < 0)
    return false;
  std::string prompt = "[" + caption + "] " + text + " [y/N] ";
  [[maybe_unused]] ssize_t written = write(tty, prompt.data(), prompt.size());
  std::string answer;
  char c;
  while (answer.size() < 64 && read(tty, &c, 1) == 1 && c != '\n')
    answer.push_back(c);
  close(tty);
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes" || answer == "YES";
}

}  // namespace

bool AskYesNo(WindowHandle, std::u16string_view text, std::u16string_view caption) {
  std::string question = posix::NativePath(text);
  std::string title = posix::NativePath(caption);
  if (HasDesktopSession()) {
    if (std::string zenity = FindOnPath("zenity"); !zenity.empty()) {
      return RunDialog({zenity, "--question", "--title=" + title, "--text=" + question});
    }
    if (std::string kdialog = FindOnPath("kdialog"); !kdialog.empty()) {
      return RunDialog({kdialog, "--title", title, "--yesno", question});
    }
  }
  return AskOnTerminal(title, question);
}

void ShellOpen(std::u16string_view file, std::u16string_view parameters) {
  std::string program = posix::NativePath(file);
  struct stat info = {};
  if (stat(program.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
    return;
  chmod(program.c_str(), info.st_mode | S_IXUSR);

  std::vector<std::string> argv = {program};
  for (const auto& argument : posix::SplitWindowsCommandLine(parameters)) {
    argv.push_back(posix::NativePath(argument));
  }
  std::vector<char*> pointers = PointersOf(argv);

  // Double fork: the installer belongs to no one, so the resident agent never collects zombies.
  pid_t child = fork();
  if (child < 0)
    return;
  if (child == 0) {
    setsid();
    if (fork() != 0)
      _exit(0);
    RedirectStandardStreamsToNull();
    execv(pointers[0], pointers.data());
    _exit(127);
  }
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace vexo::platform

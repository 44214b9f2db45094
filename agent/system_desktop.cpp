#include "agent/desktop.h"
#include "platform/desktop_ui.h"
#include "platform/folders.h"
#include "platform/machine_config.h"

namespace vexo {

bool SystemDesktop::AskYesNo(platform::WindowHandle owner, const std::u16string& text,
                             const std::u16string& caption) {
  return platform::AskYesNo(owner, text, caption);
}

void SystemDesktop::Launch(const std::u16string& file, const std::u16string& parameters) {
  platform::ShellOpen(file, parameters);
}

platform::LocalDate SystemDesktop::Today() {
  return platform::Today();
}

std::u16string SystemDesktop::ApplicationDataFolder() {
  return platform::ApplicationDataFolder();
}

std::optional<platform::FileVersion> SystemDesktop::OwnFileVersion() {
  return platform::ReadOwnFileVersion();
}

std::optional<std::u16string> SystemDesktop::MachineValue(std::u16string_view name) {
  return platform::ReadMachineValue(name);
}

}  // namespace vexo

// The agent's desktop services, in one narrow seam: the question, the launch, the date, the
// user's folders, the program's own version and the machine-wide configuration. The agent takes
// it by reference, so tests run the whole logic with a fake desktop.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/module_version.h"
#include "platform/profile.h"
#include "platform/window.h"

namespace vexo {

class Desktop {
 public:
  virtual ~Desktop() = default;
  // True only when the user answers Yes.
  virtual bool AskYesNo(platform::WindowHandle owner, const std::u16string& text,
                        const std::u16string& caption) = 0;
  virtual void Launch(const std::u16string& file, const std::u16string& parameters) = 0;
  virtual platform::LocalDate Today() = 0;
  // The user's application-data folder without a trailing separator, or empty.
  virtual std::u16string ApplicationDataFolder() = 0;
  virtual std::optional<platform::FileVersion> OwnFileVersion() = 0;
  virtual std::optional<std::u16string> MachineValue(std::u16string_view name) = 0;
};

// The real desktop of the platform this program was built for.
class SystemDesktop final : public Desktop {
 public:
  bool AskYesNo(platform::WindowHandle owner, const std::u16string& text,
                const std::u16string& caption) override;
  void Launch(const std::u16string& file, const std::u16string& parameters) override;
  platform::LocalDate Today() override;
  std::u16string ApplicationDataFolder() override;
  std::optional<platform::FileVersion> OwnFileVersion() override;
  std::optional<std::u16string> MachineValue(std::u16string_view name) override;
};

}  // namespace vexo

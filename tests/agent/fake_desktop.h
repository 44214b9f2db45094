// A desktop for tests: records questions and launches, answers as told, and keeps the user's
// folders in a temporary folder.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "agent/desktop.h"

namespace vexo::testing {

// An ASCII text (URLs, origins) as the agent's UTF-16 text.
inline std::u16string Wide(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

class FakeDesktop final : public Desktop {
 public:
  struct Launch {
    std::u16string file;
    std::u16string parameters;
  };

  bool AskYesNo(platform::WindowHandle, const std::u16string& text,
                const std::u16string& caption) override {
    questions.push_back(caption + u": " + text);
    return answerYes;
  }
  void Launch(const std::u16string& file, const std::u16string& parameters) override {
    launches.push_back({file, parameters});
  }
  platform::LocalDate Today() override { return today; }
  std::u16string ApplicationDataFolder() override {
    ++appDataQueries;
    return appData;
  }
  std::optional<platform::FileVersion> OwnFileVersion() override { return version; }
  std::optional<std::u16string> MachineValue(std::u16string_view name) override {
    ++machineValueQueries;
    auto it = machineValues.find(std::u16string(name));
    if (it == machineValues.end())
      return std::nullopt;
    return it->second;
  }

  bool answerYes = true;
  platform::LocalDate today{2026, 12, 8};
  std::u16string appData;
  int appDataQueries = 0;
  std::optional<platform::FileVersion> version = platform::FileVersion{0x00010000, 0x00060000};
  std::map<std::u16string, std::u16string> machineValues;
  int machineValueQueries = 0;
  std::vector<std::u16string> questions;
  std::vector<struct Launch> launches;
};

}  // namespace vexo::testing

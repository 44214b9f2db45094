// The schedule of small pop-ups for the lower right of the screen, read from the pop-up answer,
// with each pop-up's remaining displays for today from the per-day file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/profile.h"

namespace vexo {

struct PopupItem {
  std::u16string key;  // MD5 of the url: the item's key in the per-day file
  std::u16string url;
  int32_t width = 0;
  int32_t height = 0;
  int32_t remaining = 0;
};

// Where the schedule finds the per-user data folder and today's date.
struct PopupContext {
  std::function<std::u16string()> dataFolder;  // ends with a separator
  std::function<platform::LocalDate()> today;
};

class PopupSchedule {
 public:
  // Reads the pop-up answer. False when the answer carries an error code below 0 or repeats the
  // last accepted stamp; true otherwise, also for an answer without a schedule.
  bool ParsePopupResponse(const std::u16string& text, const PopupContext& context);

  int32_t currentIndex = -1;
  int32_t lastStamp = 0;
  int32_t firstDisplay = 30;
  int32_t interval = 1800;
  int32_t duration = 120;
  std::u16string profilePath;
  std::vector<PopupItem> items;
};

// The per-day file's name for a date: eight digits and ".ini".
std::u16string DailyFileName(const platform::LocalDate& date);
// The key of a pop-up url: the MD5 digest of its text in the thread's ANSI code page.
std::u16string PopupKey(const std::u16string& url);

}  // namespace vexo

#include "server/common/utc_day.h"

#include <chrono>
#include <cstdio>

namespace vexo::server {

std::string FormatDay(int64_t day) {
  std::chrono::year_month_day date{std::chrono::sys_days{std::chrono::days{day}}};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
  return text;
}

namespace {

// The decimal digits text[from, from + length); -1 when one is not a digit.
int Digits(std::string_view text, size_t from, size_t length) {
  int value = 0;
  for (size_t i = from; i < from + length; ++i) {
    if (text[i] < '0' || text[i] > '9') {
      return -1;
    }
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

}  // namespace

std::optional<int64_t> ParseDay(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') {
    return std::nullopt;
  }
  auto number = [&](size_t from, size_t length) { return Digits(text, from, length); };
  int year = number(0, 4);
  int month = number(5, 2);
  int day = number(8, 2);
  if (year < 0 || month < 0 || day < 0) {
    return std::nullopt;
  }
  std::chrono::year_month_day date{std::chrono::year{year},
                                   std::chrono::month{static_cast<unsigned>(month)},
                                   std::chrono::day{static_cast<unsigned>(day)}};
  if (!date.ok()) {
    return std::nullopt;
  }
  return std::chrono::sys_days{date}.time_since_epoch().count();
}

std::string FormatUtcTime(int64_t unixTime) {
  // Floor division, so that times before 1970 still fall on the right day; the day's own
  // formatting keeps four year digits, which strftime's %Y drops before the year 1000.
  int64_t day = unixTime / kSecondsPerDay;
  int64_t second = unixTime % kSecondsPerDay;
  if (second < 0) {
    --day;
    second += kSecondsPerDay;
  }
  char time[16];
  std::snprintf(time, sizeof time, "T%02d:%02d:%02dZ", static_cast<int>(second / 3600),
                static_cast<int>(second / 60 % 60), static_cast<int>(second % 60));
  return FormatDay(day) + time;
}

std::optional<int64_t> ParseUtcTime(std::string_view text) {
  if (text.size() != 20 || text[10] != 'T' || text[13] != ':' || text[16] != ':' ||
      text[19] != 'Z') {
    return std::nullopt;
  }
  std::optional<int64_t> day = ParseDay(text.substr(0, 10));
  int hours = Digits(text, 11, 2);
  int minutes = Digits(text, 14, 2);
  int seconds = Digits(text, 17, 2);
  if (!day || hours < 0 || hours > 23 || minutes < 0 || minutes > 59 || seconds < 0 ||
      seconds > 59) {
    return std::nullopt;
  }
  return *day * kSecondsPerDay + hours * 3600 + minutes * 60 + seconds;
}

}  // namespace vexo::server

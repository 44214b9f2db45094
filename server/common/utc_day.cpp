#include "server/common/utc_day.h"

#include <chrono>
#include <cstdio>
#include <ctime>

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
  std::time_t time = static_cast<std::time_t>(unixTime);
  std::tm parts{};
  gmtime_r(&time, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
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

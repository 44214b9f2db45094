// Days and times in UTC as the server writes them: days counted from 1970-01-01, as ISO dates.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vexo::server {

inline constexpr int64_t kSecondsPerDay = 86400;

// "2024-12-08" for day 20065, and back; nullopt for anything but a valid date in that form.
std::string FormatDay(int64_t day);
std::optional<int64_t> ParseDay(std::string_view text);

// "2024-12-08T18:50:00Z", and back; nullopt for anything but a valid time in that form.
std::string FormatUtcTime(int64_t unixTime);
std::optional<int64_t> ParseUtcTime(std::string_view text);

}  // namespace vexo::server

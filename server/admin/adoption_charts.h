// The adoption picture of the statistics page: start check-ins per day by agent version, each
// version's share of the day's start check-ins (how far a release has spread), and installer
// downloads per day; a sentence instead of a chart where there is nothing to draw yet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/store/checkin_summary.h"

namespace vexo::server {

// The charts show at most the days the store summarises, ending with the newest day that has
// data.
inline constexpr int64_t kAdoptionChartDays = kSeriesDays;
// The versions with the most start check-ins in those days are drawn each in its own colour;
// any others together, in grey.
inline constexpr size_t kAdoptionNamedVersions = 7;

std::string RenderAdoptionCharts(const CheckinSummary& summary);

// Release order of version texts: dot-separated parts, numbers compared as numbers and placed
// before words, fewer parts first when one is the start of the other.
bool VersionBefore(std::string_view a, std::string_view b);

}  // namespace vexo::server

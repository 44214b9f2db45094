#include "server/admin/adoption_charts.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "server/admin/svg_chart.h"
#include "server/common/utc_day.h"

namespace vexo::server {
namespace {

// Okabe and Ito's colours, which stay apart under the common colour-vision deficiencies. The
// oldest version drawn takes the first, so both version charts colour a version alike.
constexpr const char* kVersionColours[] = {"#0072B2", "#E69F00", "#009E73", "#CC79A7",
                                           "#56B4E9", "#D55E00", "#F0E442"};
static_assert(std::size(kVersionColours) == kAdoptionNamedVersions);
constexpr const char* kOtherVersionsColour = "#999999";
constexpr const char* kOtherVersionsName = "other versions";
constexpr const char* kCompletedColour = "#0072B2";
constexpr const char* kCutShortColour = "#D55E00";
constexpr const char* kResumedCompletedColour = "#56B4E9";
constexpr const char* kResumedCutShortColour = "#E69F00";

struct DayWindow {
  int64_t first = 0;
  int64_t last = 0;

  size_t size() const { return static_cast<size_t>(last - first + 1); }
  std::optional<size_t> IndexOf(const std::string& text) const {
    std::optional<int64_t> day = ParseDay(text);
    if (!day || *day < first || *day > last) {
      return std::nullopt;
    }
    return static_cast<size_t>(*day - first);
  }
};

template <typename Row>
void Widen(std::optional<DayWindow>& window, const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    if (std::optional<int64_t> day = ParseDay(row.day)) {
      window = window ? DayWindow{std::min(window->first, *day), std::max(window->last, *day)}
                      : DayWindow{*day, *day};
    }
  }
}

// One day axis for all the charts, so that a day lines up across them: the last
// kAdoptionChartDays days up to the newest one either series names.
std::optional<DayWindow> WindowOf(const CheckinSummary& summary) {
  std::optional<DayWindow> window;
  Widen(window, summary.startsPerDayByVersion);
  Widen(window, summary.downloadsPerDay);
  if (window) {
    window->first = std::max(window->first, window->last - kAdoptionChartDays + 1);
  }
  return window;
}

std::vector<std::string_view> PartsOf(std::string_view version) {
  std::vector<std::string_view> parts;
  for (size_t dot = version.find('.'); dot != std::string_view::npos; dot = version.find('.')) {
    parts.push_back(version.substr(0, dot));
    version.remove_prefix(dot + 1);
  }
  parts.push_back(version);
  return parts;
}

bool IsNumber(std::string_view part) {
  return !part.empty() &&
         std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int ComparePart(std::string_view a, std::string_view b) {
  bool aIsNumber = IsNumber(a);
  if (aIsNumber != IsNumber(b)) {
    return aIsNumber ? -1 : 1;
  }
  if (aIsNumber) {
    a.remove_prefix(std::min(a.find_first_not_of('0'), a.size()));
    b.remove_prefix(std::min(b.find_first_not_of('0'), b.size()));
    if (a.size() != b.size()) {
      return a.size() < b.size() ? -1 : 1;
    }
  }
  return a.compare(b);
}

// Start check-ins per version and day, in the drawing order: "other versions" first when there
// are any, then the named versions from the oldest to the newest.
struct VersionCounts {
  DayWindow window;
  std::vector<std::string> names;
  std::vector<std::string> colours;
  std::vector<std::vector<double>> perDay;
  std::vector<double> dayTotals;
};

std::vector<std::string> NamedVersions(const std::map<std::string, int64_t>& totals) {
  std::vector<std::pair<std::string, int64_t>> ranked(totals.begin(), totals.end());
  std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
    return a.second != b.second ? a.second > b.second : VersionBefore(b.first, a.first);
  });
  ranked.resize(std::min(ranked.size(), kAdoptionNamedVersions));
  std::vector<std::string> names;
  for (const auto& [version, count] : ranked) {
    names.push_back(version);
  }
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return VersionBefore(a, b); });
  return names;
}

std::optional<VersionCounts> CountVersions(const std::vector<DayVersionCount>& rows,
                                           const DayWindow& window) {
  std::map<std::string, int64_t> totals;
  for (const DayVersionCount& row : rows) {
    if (row.count > 0 && window.IndexOf(row.day)) {
      totals[row.version] += row.count;
    }
  }
  if (totals.empty()) {
    return std::nullopt;
  }
  VersionCounts counts{window, {}, {}, {}, std::vector<double>(window.size(), 0)};
  std::vector<std::string> named = NamedVersions(totals);
  bool hasOthers = totals.size() > named.size();
  if (hasOthers) {
    counts.names.push_back(kOtherVersionsName);
    counts.colours.push_back(kOtherVersionsColour);
  }
  std::map<std::string, size_t> seriesOf;
  for (size_t i = 0; i < named.size(); ++i) {
    seriesOf[named[i]] = counts.names.size();
    counts.names.push_back(named[i].empty() ? "(empty)" : named[i]);
    counts.colours.push_back(kVersionColours[i]);
  }
  counts.perDay.assign(counts.names.size(), std::vector<double>(window.size(), 0));
  for (const DayVersionCount& row : rows) {
    std::optional<size_t> day = window.IndexOf(row.day);
    if (row.count <= 0 || !day) {
      continue;
    }
    auto series = seriesOf.find(row.version);
    counts.perDay[series == seriesOf.end() ? 0 : series->second][*day] +=
        static_cast<double>(row.count);
    counts.dayTotals[*day] += static_cast<double>(row.count);
  }
  return counts;
}

std::string RangeText(const DayWindow& window) {
  return window.size() == 1 ? "on " + FormatDay(window.first)
                            : "from " + FormatDay(window.first) + " to " + FormatDay(window.last);
}

Chart StartsChart(const VersionCounts& counts) {
  Chart chart{"starts-by-version",
              "Start check-ins per day by agent version",
              "Stacked bars, one per UTC day " + RangeText(counts.window) +
                  ": the start queries agents made that day, split by the agent version they "
                  "reported.",
              "start check-ins",
              ChartKind::kStackedBars,
              ChartScale::kCount,
              counts.window.first,
              {}};
  for (size_t i = 0; i < counts.names.size(); ++i) {
    chart.series.push_back({counts.names[i], counts.colours[i], counts.perDay[i]});
  }
  return chart;
}

Chart SharesChart(const VersionCounts& counts) {
  Chart chart{"version-shares",
              "Share of agents on each version",
              "One line per agent version: its share of each UTC day's start check-ins " +
                  RangeText(counts.window) + ", from 0 to 100 percent.",
              "share of the day's starts",
              ChartKind::kLines,
              ChartScale::kPercent,
              counts.window.first,
              {}};
  for (size_t i = 0; i < counts.names.size(); ++i) {
    std::vector<double> shares(counts.window.size(), NAN);
    for (size_t day = 0; day < shares.size(); ++day) {
      if (counts.dayTotals[day] > 0) {
        shares[day] = 100 * counts.perDay[i][day] / counts.dayTotals[day];
      }
    }
    chart.series.push_back({counts.names[i], counts.colours[i], std::move(shares)});
  }
  return chart;
}

std::optional<Chart> DownloadsChart(const std::vector<DayDownloadCount>& rows,
                                    const DayWindow& window) {
  struct Series {
    const char* name;
    const char* colour;
    int64_t DayDownloadCount::*count;
  };
  static constexpr Series kSeries[] = {
      {"completed", kCompletedColour, &DayDownloadCount::completed},
      {"cut short", kCutShortColour, &DayDownloadCount::cutShort},
      {"resumed, completed", kResumedCompletedColour, &DayDownloadCount::resumedCompleted},
      {"resumed, cut short", kResumedCutShortColour, &DayDownloadCount::resumedCutShort},
  };
  std::vector<ChartSeries> series;
  bool any = false;
  for (const Series& each : kSeries) {
    std::vector<double> perDay(window.size(), 0);
    for (const DayDownloadCount& row : rows) {
      std::optional<size_t> day = window.IndexOf(row.day);
      if (day && row.*each.count > 0) {
        perDay[*day] += static_cast<double>(row.*each.count);
        any = true;
      }
    }
    series.push_back({each.name, each.colour, std::move(perDay)});
  }
  if (!any) {
    return std::nullopt;
  }
  return Chart{"downloads",
               "Installer downloads per day",
               "Stacked bars, one per UTC day " + RangeText(window) +
                   ": requests under /files/ that sent the whole file, and those cut short; then "
                   "the same for resumed downloads, which sent the rest of a file cut short "
                   "before.",
               "downloads",
               ChartKind::kStackedBars,
               ChartScale::kCount,
               window.first,
               std::move(series)};
}

}  // namespace

bool VersionBefore(std::string_view a, std::string_view b) {
  std::vector<std::string_view> partsOfA = PartsOf(a);
  std::vector<std::string_view> partsOfB = PartsOf(b);
  for (size_t i = 0; i < std::min(partsOfA.size(), partsOfB.size()); ++i) {
    if (int order = ComparePart(partsOfA[i], partsOfB[i])) {
      return order < 0;
    }
  }
  if (partsOfA.size() != partsOfB.size()) {
    return partsOfA.size() < partsOfB.size();
  }
  return a < b;  // "01" and "1": equal in value, still told apart
}

std::string RenderAdoptionCharts(const CheckinSummary& summary) {
  std::optional<DayWindow> window = WindowOf(summary);
  std::optional<VersionCounts> counts;
  std::optional<Chart> downloads;
  if (window) {
    counts = CountVersions(summary.startsPerDayByVersion, *window);
    downloads = DownloadsChart(summary.downloadsPerDay, *window);
  }
  std::string html = "<h2>Adoption of agent versions</h2>\n";
  if (counts) {
    html += RenderChartFigure(StartsChart(*counts)) + RenderChartFigure(SharesChart(*counts));
  } else {
    html +=
        "<p class=\"empty\">No check-ins yet: the charts appear once agents have made start "
        "queries.</p>\n";
  }
  html += "<h2>Installer downloads</h2>\n";
  if (downloads) {
    html += RenderChartFigure(*downloads);
  } else {
    html += "<p class=\"empty\">No installer downloads yet.</p>\n";
  }
  return html;
}

}  // namespace vexo::server

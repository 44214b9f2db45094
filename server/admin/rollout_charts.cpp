#include "server/admin/rollout_charts.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "server/admin/svg_chart.h"
#include "server/admin/web_text.h"
#include "server/common/utc_day.h"

namespace vexo::server {
namespace {

// Okabe and Ito's colours, as the adoption charts use them.
constexpr const char* kServedColour = "#009E73";
constexpr const char* kWithheldColour = "#D55E00";
constexpr const char* kAdoptionColour = "#0072B2";
constexpr const char* kScheduleColour = "#E69F00";
constexpr int64_t kMostDays = kSeriesDays;

struct Days {
  int64_t first = 0;
  int64_t last = 0;
  size_t size() const { return static_cast<size_t>(last - first + 1); }
  std::optional<size_t> IndexOf(const std::string& text) const {
    std::optional<int64_t> day = ParseDay(text);
    return day && *day >= first && *day <= last ? std::optional(static_cast<size_t>(*day - first))
                                                : std::nullopt;
  }
};

// From the rollout's start (or its first day with data) to today, at most kMostDays.
Days DaysOf(const RolloutStatus& status, const CheckinSummary& summary) {
  int64_t today = status.at / kSecondsPerDay;
  bool started = status.rollout && status.rollout->start > 0;  // a start of 0: none was written
  int64_t first = started ? status.rollout->start / kSecondsPerDay : today;
  for (const DayOfferCount& row : summary.offersPerDayByRelease) {
    std::optional<int64_t> day = ParseDay(row.day);
    if (day && row.release == status.release) {
      first = std::min(first, *day);
      today = std::max(today, *day);
    }
  }
  return {std::max(first, today - kMostDays + 1), today};
}

std::string RangeText(const Days& days) {
  return days.size() == 1 ? "on " + FormatDay(days.first)
                          : "from " + FormatDay(days.first) + " to " + FormatDay(days.last);
}

Chart OffersChart(const RolloutStatus& status, const CheckinSummary& summary, const Days& days,
                  const std::string& id) {
  std::vector<double> served(days.size(), 0), withheld(days.size(), 0);
  for (const DayOfferCount& row : summary.offersPerDayByRelease) {
    std::optional<size_t> day = days.IndexOf(row.day);
    if (day && row.release == status.release) {
      served[*day] += static_cast<double>(std::max<int64_t>(row.served, 0));
      withheld[*day] += static_cast<double>(std::max<int64_t>(row.withheld, 0));
    }
  }
  return Chart{id + "-offers",
               "Offers of " + status.release + " served and withheld per day",
               "Stacked bars, one per UTC day " + RangeText(days) +
                   ": start queries whose answer offers this release, split by whether the "
                   "rollout let the offer out.",
               "start queries",
               ChartKind::kStackedBars,
               ChartScale::kCount,
               days.first,
               {{"served", kServedColour, std::move(served)},
                {"withheld", kWithheldColour, std::move(withheld)}}};
}

Chart AdoptionChart(const RolloutStatus& status, const CheckinSummary& summary, const Days& days,
                    const std::string& id) {
  std::vector<double> onRelease(days.size(), 0), allStarts(days.size(), 0);
  for (const DayVersionCount& row : summary.startsPerDayByVersion) {
    std::optional<size_t> day = days.IndexOf(row.day);
    if (day && row.count > 0) {
      allStarts[*day] += static_cast<double>(row.count);
      onRelease[*day] += row.version == status.release ? static_cast<double>(row.count) : 0;
    }
  }
  std::vector<double> adoption(days.size(), NAN);
  for (size_t day = 0; day < days.size(); ++day) {
    if (allStarts[day] > 0) {
      adoption[day] = 100 * onRelease[day] / allStarts[day];
    }
  }
  Chart chart{id + "-adoption",
              "Adoption of " + status.release,
              "One line per UTC day " + RangeText(days) +
                  ": the share of the day's start "
                  "check-ins from agents already on this release, beside the share of agents "
                  "the schedule offers it to at the day's end.",
              "share of agents",
              ChartKind::kLines,
              ChartScale::kPercent,
              days.first,
              {{"agents on " + status.release, kAdoptionColour, std::move(adoption)}}};
  if (status.rollout) {
    std::vector<double> offered(days.size());
    ReleaseRollout schedule = *status.rollout;
    schedule.halted = false;  // the schedule's own line; the halt shows in the offers above
    for (size_t day = 0; day < days.size(); ++day) {
      int64_t end = (days.first + static_cast<int64_t>(day) + 1) * kSecondsPerDay - 1;
      offered[day] = 100.0 * schedule.ShareAt(end, status.forcedOffer) / kWholeShare;
    }
    chart.series.push_back({"schedule's share", kScheduleColour, std::move(offered)});
  }
  return chart;
}

std::string StateText(const RolloutStatus& status) {
  if (!status.rollout) {
    return "<p><strong>Withheld from every agent:</strong> " + EscapeHtml(status.problem) +
           "</p>\n";
  }
  const ReleaseRollout& rollout = *status.rollout;
  std::string text =
      "<p>Offered to <strong>" + FormatShare(status.shareNow) + "</strong> of agents now";
  if (rollout.halted) {
    text += "; <strong>halted</strong>" +
            (rollout.haltedSince ? " since " + FormatUtcTime(rollout.haltedSince) : "");
  }
  if (status.forcedOffer && rollout.forcedImmediate) {
    text += "; a forced offer, which skips the schedule";
  }
  return text + ".</p>\n";
}

std::string ScheduleTable(const ReleaseRollout& rollout) {
  std::string html = "<table>\n<tr><th>from (UTC)</th><th>share of agents</th></tr>\n";
  for (const RolloutStep& step : rollout.steps) {
    html += "<tr><td>" + FormatUtcTime(rollout.start + step.offsetSeconds) +
            "</td><td class=\"n\">" + FormatShare(step.share) + "</td></tr>\n";
  }
  return html + "</table>\n";
}

}  // namespace

std::string RenderRollouts(const CheckinSummary& summary,
                           const std::vector<RolloutStatus>& rollouts) {
  std::string html = "<h2>Rollouts</h2>\n";
  if (rollouts.empty()) {
    return html +
           "<p class=\"empty\">No rollout policy: every offer goes to every agent at once.</p>\n";
  }
  for (size_t i = 0; i < rollouts.size(); ++i) {
    const RolloutStatus& status = rollouts[i];
    std::string id = "rollout-" + std::to_string(i + 1);
    Days days = DaysOf(status, summary);
    html += "<h3>" + EscapeHtml(status.answer) + ": release " + EscapeHtml(status.release) +
            "</h3>\n" + StateText(status);
    if (status.rollout) {
      html += ScheduleTable(*status.rollout);
    }
    html += RenderChartFigure(OffersChart(status, summary, days, id));
    html += RenderChartFigure(AdoptionChart(status, summary, days, id));
  }
  return html;
}

}  // namespace vexo::server

#include "server/admin/svg_chart.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "server/admin/web_text.h"
#include "server/common/utc_day.h"

namespace vexo::server {
namespace {

// The geometry in SVG user units, which are CSS pixels at the chart's natural size.
constexpr int kWidth = 880;
constexpr int kHeight = 320;
constexpr double kPlotLeft = 64;
constexpr double kPlotRight = 680;
constexpr double kPlotTop = 44;
constexpr double kPlotBottom = 264;
constexpr double kLegendLeft = 704;
constexpr double kLegendRowHeight = 20;
constexpr double kMaxBarWidth = 36;
constexpr int64_t kMaxDayLabels = 8;
constexpr size_t kMaxLegendCharacters = 20;

constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::chrono::year_month_day DateOf(int64_t day) {
  return std::chrono::year_month_day{std::chrono::sys_days{std::chrono::days{day}}};
}

std::string Fixed(double value, int decimals) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string At(double value) {
  return Fixed(value, 1);
}

std::string ShortDay(int64_t day) {
  std::chrono::year_month_day date = DateOf(day);
  return std::to_string(static_cast<unsigned>(date.day())) + " " +
         kMonthNames[static_cast<unsigned>(date.month()) - 1];
}

// The first `maxCharacters` code points of `text`, with an ellipsis when something was cut.
std::string Shortened(std::string_view text, size_t maxCharacters) {
  size_t characters = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    bool startsCharacter = (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    if (startsCharacter && ++characters > maxCharacters) {
      return std::string(text.substr(0, i)) + "\xE2\x80\xA6";
    }
  }
  return std::string(text);
}

double ValueAt(const ChartSeries& series, size_t day) {
  return day < series.values.size() ? series.values[day] : NAN;
}

size_t DayCount(const Chart& chart) {
  size_t days = 0;
  for (const ChartSeries& series : chart.series) {
    days = std::max(days, series.values.size());
  }
  return days;
}

// The largest value the value axis must reach: a day's whole stack, or one point of a line.
double LargestValue(const Chart& chart, size_t days) {
  double largest = 0;
  for (size_t day = 0; day < days; ++day) {
    double stack = 0;
    for (const ChartSeries& series : chart.series) {
      double value = ValueAt(series, day);
      if (std::isnan(value)) {
        continue;
      }
      stack = chart.kind == ChartKind::kStackedBars ? stack + value : std::max(stack, value);
    }
    largest = std::max(largest, stack);
  }
  return largest;
}

std::string ValueText(ChartScale scale, double value) {
  if (std::isnan(value)) {
    return "\xE2\x80\x93";  // en dash: no value that day
  }
  return scale == ChartScale::kPercent ? Fixed(value, 1) + " %" : Fixed(value, 0);
}

std::string TickText(ChartScale scale, double tick) {
  return Fixed(tick, 0) + (scale == ChartScale::kPercent ? " %" : "");
}

// Maps days and values onto the plot area.
class PlotArea {
 public:
  PlotArea(size_t days, double top) : days_(std::max<size_t>(days, 1)), top_(top) {}

  double SlotWidth() const { return (kPlotRight - kPlotLeft) / static_cast<double>(days_); }
  double SlotLeft(size_t day) const { return kPlotLeft + SlotWidth() * static_cast<double>(day); }
  double SlotCentre(size_t day) const { return SlotLeft(day) + SlotWidth() / 2; }
  double Y(double value) const { return kPlotBottom - value / top_ * (kPlotBottom - kPlotTop); }

 private:
  size_t days_;
  double top_;
};

std::vector<double> ValueTicks(const Chart& chart, size_t days) {
  if (chart.scale == ChartScale::kPercent) {
    return {0, 25, 50, 75, 100};
  }
  std::vector<double> ticks;
  for (int64_t tick : CountTicks(LargestValue(chart, days))) {
    ticks.push_back(static_cast<double>(tick));
  }
  return ticks;
}

std::string RenderValueAxis(const Chart& chart, const PlotArea& plot,
                            const std::vector<double>& ticks) {
  std::string svg = "<g class=\"value-axis\">\n";
  for (double tick : ticks) {
    std::string y = At(plot.Y(tick));
    svg += "<line class=\"grid\" x1=\"" + At(kPlotLeft) + "\" y1=\"" + y + "\" x2=\"" +
           At(kPlotRight) + "\" y2=\"" + y + "\"/>";
    svg += "<text class=\"tick\" x=\"" + At(kPlotLeft - 8) + "\" y=\"" + At(plot.Y(tick) + 4) +
           "\" text-anchor=\"end\">" + TickText(chart.scale, tick) + "</text>\n";
  }
  double middle = (kPlotTop + kPlotBottom) / 2;
  svg += "<text class=\"axis-title\" transform=\"translate(14 " + At(middle) +
         ") rotate(-90)\" text-anchor=\"middle\">" + EscapeHtml(chart.valueName) + "</text>\n";
  return svg + "</g>\n";
}

// Labels at most kMaxDayLabels days, counted back from the newest so that it is always named.
std::string RenderDayAxis(const Chart& chart, const PlotArea& plot, size_t days) {
  std::string svg = "<g class=\"day-axis\">\n<line class=\"axis\" x1=\"" + At(kPlotLeft) +
                    "\" y1=\"" + At(kPlotBottom) + "\" x2=\"" + At(kPlotRight) + "\" y2=\"" +
                    At(kPlotBottom) + "\"/>\n";
  int64_t count = static_cast<int64_t>(days);
  int64_t step = (count + kMaxDayLabels - 1) / kMaxDayLabels;
  for (int64_t day = count - 1; day >= 0; day -= step) {
    std::string x = At(plot.SlotCentre(static_cast<size_t>(day)));
    svg += "<line class=\"axis\" x1=\"" + x + "\" y1=\"" + At(kPlotBottom) + "\" x2=\"" + x +
           "\" y2=\"" + At(kPlotBottom + 5) + "\"/>";
    svg += "<text class=\"tick\" x=\"" + x + "\" y=\"" + At(kPlotBottom + 19) +
           "\" text-anchor=\"middle\">" + ShortDay(chart.firstDay + day) + "</text>\n";
  }
  std::string range = FormatDay(chart.firstDay);
  if (count > 1) {
    range += " to " + FormatDay(chart.firstDay + count - 1);
  }
  svg += "<text class=\"axis-title\" x=\"" + At((kPlotLeft + kPlotRight) / 2) + "\" y=\"" +
         At(kPlotBottom + 42) + "\" text-anchor=\"middle\">day (UTC), " + range + "</text>\n";
  return svg + "</g>\n";
}

std::string PointTitle(const Chart& chart, const ChartSeries& series, size_t day, double value) {
  return "<title>" + FormatDay(chart.firstDay + static_cast<int64_t>(day)) + " \xC2\xB7 " +
         EscapeHtml(series.name) + ": " + ValueText(chart.scale, value) + "</title>";
}

std::string SeriesGroupStart(const ChartSeries& series) {
  return "<g class=\"series\" data-series=\"" + EscapeHtml(series.name) + "\" fill=\"" +
         series.colour + "\" stroke=\"" + series.colour + "\">\n";
}

std::string RenderStackedBars(const Chart& chart, const PlotArea& plot, size_t days) {
  std::string svg;
  std::vector<double> stackTop(days, 0);
  double barWidth = std::clamp(plot.SlotWidth() * 0.75, 1.0, kMaxBarWidth);
  for (const ChartSeries& series : chart.series) {
    svg += SeriesGroupStart(series);
    for (size_t day = 0; day < days; ++day) {
      double value = ValueAt(series, day);
      if (std::isnan(value) || value <= 0) {
        continue;
      }
      double bottom = plot.Y(stackTop[day]);
      stackTop[day] += value;
      double top = plot.Y(stackTop[day]);
      svg += "<rect x=\"" + At(plot.SlotCentre(day) - barWidth / 2) + "\" y=\"" + At(top) +
             "\" width=\"" + At(barWidth) + "\" height=\"" + At(bottom - top) + "\">" +
             PointTitle(chart, series, day, value) + "</rect>\n";
    }
    svg += "</g>\n";
  }
  return svg;
}

// One polyline per run of days that have a value, and a dot on every such day, so that a day
// standing alone still shows.
std::string RenderLines(const Chart& chart, const PlotArea& plot, size_t days) {
  std::string svg;
  for (const ChartSeries& series : chart.series) {
    svg += SeriesGroupStart(series);
    std::string points;
    std::string dots;
    auto endRun = [&] {
      if (points.find(' ') != std::string::npos) {
        svg += "<polyline fill=\"none\" stroke-width=\"2.5\" points=\"" + points + "\"/>\n";
      }
      points.clear();
    };
    for (size_t day = 0; day < days; ++day) {
      double value = ValueAt(series, day);
      if (std::isnan(value)) {
        endRun();
        continue;
      }
      std::string point = At(plot.SlotCentre(day)) + "," + At(plot.Y(value));
      points += points.empty() ? point : " " + point;
      dots += "<circle cx=\"" + At(plot.SlotCentre(day)) + "\" cy=\"" + At(plot.Y(value)) +
              "\" r=\"3\">" + PointTitle(chart, series, day, value) + "</circle>\n";
    }
    endRun();
    svg += dots + "</g>\n";
  }
  return svg;
}

std::string LegendSwatch(ChartKind kind, const std::string& colour, double top) {
  if (kind == ChartKind::kLines) {
    std::string y = At(top + 6);
    return "<line x1=\"" + At(kLegendLeft) + "\" y1=\"" + y + "\" x2=\"" + At(kLegendLeft + 16) +
           "\" y2=\"" + y + "\" stroke=\"" + colour + "\" stroke-width=\"2.5\"/><circle cx=\"" +
           At(kLegendLeft + 8) + "\" cy=\"" + y + "\" r=\"3\" fill=\"" + colour + "\"/>";
  }
  return "<rect x=\"" + At(kLegendLeft + 2) + "\" y=\"" + At(top) +
         "\" width=\"12\" height=\"12\" fill=\"" + colour + "\"/>";
}

// Top-down in the reverse of the drawing order, so the top of a stack is the top entry.
std::string RenderLegend(const Chart& chart) {
  std::string svg = "<g class=\"legend\">\n";
  for (size_t i = 0; i < chart.series.size(); ++i) {
    const ChartSeries& series = chart.series[chart.series.size() - 1 - i];
    double top = kPlotTop + kLegendRowHeight * static_cast<double>(i);
    std::string shown = Shortened(series.name, kMaxLegendCharacters);
    svg += "<g class=\"legend-entry\">";
    if (shown != series.name) {
      svg += "<title>" + EscapeHtml(series.name) + "</title>";
    }
    svg += LegendSwatch(chart.kind, series.colour, top) + "<text x=\"" + At(kLegendLeft + 24) +
           "\" y=\"" + At(top + 11) + "\">" + EscapeHtml(shown) + "</text></g>\n";
  }
  return svg + "</g>\n";
}

std::string RenderSvg(const Chart& chart, size_t days) {
  std::vector<double> ticks = ValueTicks(chart, days);
  PlotArea plot(days, ticks.back());
  std::string title = EscapeHtml(chart.title);
  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" role=\"img\" aria-labelledby=\"" +
                    chart.id + "-title\" aria-describedby=\"" + chart.id +
                    "-desc\" viewBox=\"0 0 " + std::to_string(kWidth) + " " +
                    std::to_string(kHeight) + "\" width=\"" + std::to_string(kWidth) +
                    "\" height=\"" + std::to_string(kHeight) + "\">\n";
  svg += "<title id=\"" + chart.id + "-title\">" + title + "</title>\n<desc id=\"" + chart.id +
         "-desc\">" + EscapeHtml(chart.description) + "</desc>\n";
  svg += "<text class=\"chart-title\" x=\"" + At(kPlotLeft) + "\" y=\"22\">" + title + "</text>\n";
  svg += RenderValueAxis(chart, plot, ticks);
  svg += chart.kind == ChartKind::kStackedBars ? RenderStackedBars(chart, plot, days)
                                               : RenderLines(chart, plot, days);
  svg += RenderDayAxis(chart, plot, days);
  return svg + RenderLegend(chart) + "</svg>\n";
}

// Rows are days, oldest first; columns are the series in the legend's order.
std::string RenderTable(const Chart& chart, size_t days) {
  std::string html = "<details><summary>" + EscapeHtml(chart.title) +
                     ": the figures</summary>\n<table>\n<tr><th scope=\"col\">day (UTC)</th>";
  for (auto series = chart.series.rbegin(); series != chart.series.rend(); ++series) {
    html += "<th scope=\"col\">" + EscapeHtml(series->name) + "</th>";
  }
  html += "</tr>\n";
  for (size_t day = 0; day < days; ++day) {
    html +=
        "<tr><th scope=\"row\">" + FormatDay(chart.firstDay + static_cast<int64_t>(day)) + "</th>";
    for (auto series = chart.series.rbegin(); series != chart.series.rend(); ++series) {
      html += "<td class=\"n\">" + ValueText(chart.scale, ValueAt(*series, day)) + "</td>";
    }
    html += "</tr>\n";
  }
  return html + "</table>\n</details>\n";
}

}  // namespace

std::vector<int64_t> CountTicks(double maximum) {
  double rough = std::max(maximum, 1.0) / 4;
  double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
  double step = 10 * magnitude;
  for (double factor : {1.0, 2.0, 5.0}) {
    if (factor * magnitude >= rough) {
      step = factor * magnitude;
      break;
    }
  }
  int64_t wholeStep = std::max<int64_t>(1, std::llround(step));
  std::vector<int64_t> ticks{0, wholeStep};
  while (static_cast<double>(ticks.back()) < maximum) {
    ticks.push_back(ticks.back() + wholeStep);
  }
  return ticks;
}

std::string RenderChartFigure(const Chart& chart) {
  size_t days = DayCount(chart);
  return "<figure class=\"chart\" id=\"" + chart.id + "\">\n" + RenderSvg(chart, days) +
         RenderTable(chart, days) + "</figure>\n";
}

}  // namespace vexo::server

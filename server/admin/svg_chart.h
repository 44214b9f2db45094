// Day charts drawn as inline SVG for a page that runs no script and loads nothing else: a day
// axis, a value axis with round ticks, a legend, the series as stacked bars or as lines, and the
// same figures as a table for readers who cannot see the picture.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexo::server {

enum class ChartKind { kStackedBars, kLines };
enum class ChartScale { kCount, kPercent };

struct ChartSeries {
  std::string name;            // any text: escaped wherever it is drawn
  std::string colour;          // "#rrggbb" from the caller's palette, never from the network
  std::vector<double> values;  // one per day; NaN where the day has no value
};

struct Chart {
  std::string id;  // unique in the page, plain ASCII: the SVG's ids derive from it
  std::string title;
  std::string description;  // read by screen readers after the title
  std::string valueName;    // the value axis' title
  ChartKind kind = ChartKind::kStackedBars;
  ChartScale scale = ChartScale::kCount;
  int64_t firstDay = 0;             // the days run from here, one per value
  std::vector<ChartSeries> series;  // drawn bottom-up; the legend lists them top-down
};

// Round ticks from 0 up to at least `maximum`, a whole step of 1, 2 or 5 times a power of ten
// apart, about four steps in all.
std::vector<int64_t> CountTicks(double maximum);

// The chart as an SVG figure followed by a table of the same series.
std::string RenderChartFigure(const Chart& chart);

}  // namespace vexo::server

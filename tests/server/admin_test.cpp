// The admin listener of vexo-server without the network: the admin secret, the statistics as
// JSON and HTML, and the charts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "server/admin/admin_access.h"
#include "server/admin/adoption_charts.h"
#include "server/admin/stats_report.h"
#include "server/admin/svg_chart.h"
#include "server/admin/web_text.h"
#include "server/common/utc_day.h"
#include "tests/support/program_runner.h"

namespace vexo::server {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using vexo::testing::TempFolder;
using vexo::testing::WriteFile;

TEST(VexoServerAdminAccess, TokenFiles) {
  TempFolder folder;
  struct Case {
    const char* content;  // nullptr: no such file
    const char* token;    // nullptr: refused
    const char* errorPart;
  };
  const Case cases[] = {
      {"s3cret-0123456789\n", "s3cret-0123456789", ""},
      {"s3cret-0123456789\r\n", "s3cret-0123456789", ""},
      {"s3cret-0123456789", "s3cret-0123456789", ""},
      {" two words of a secret ", "two words of a secret", ""},
      {"s3cret-0123456789\n\n", nullptr, "holds a control character"},
      {"short secret", nullptr, "fewer than 16 non-blank bytes"},
      {"", nullptr, "is empty"},
      {"\n", nullptr, "is empty"},
      {nullptr, nullptr, "No such file or directory"},
  };
  int number = 0;
  for (const Case& row : cases) {
    SCOPED_TRACE(row.content ? row.content : "(missing)");
    std::string path = folder.File("token" + std::to_string(++number));
    if (row.content) {
      WriteFile(path, row.content);
      chmod(path.c_str(), 0600);
    }
    std::string error;
    std::optional<std::string> token = ReadAdminToken(path, error);
    EXPECT_EQ(token.has_value(), row.token != nullptr);
    if (row.token) {
      EXPECT_EQ(*token, row.token);
    } else {
      EXPECT_THAT(error, HasSubstr(row.errorPart));
      EXPECT_THAT(error, HasSubstr(path));
      EXPECT_EQ(error.find('\n'), std::string::npos);
    }
  }
}

TEST(VexoServerAdminAccess, SecretsMatchOnlyWhole) {
  struct Case {
    const char* presented;
    bool same;
  };
  const Case cases[] = {{"s3cret", true},       {"s3cre", false},  {"s3cret!", false},
                        {"S3cret", false},      {"s3cres", false}, {"", false},
                        {"s3crets3cret", false}};
  for (const Case& row : cases) {
    SCOPED_TRACE(row.presented);
    EXPECT_EQ(SameSecret(row.presented, "s3cret"), row.same);
  }
  EXPECT_FALSE(SameSecret("", ""));
}

TEST(VexoServerStatsReport, EscapesWhateverTheNetworkSent) {
  struct Case {
    std::string raw;
    const char* json;
    const char* html;
  };
  const Case cases[] = {
      {"1.0.6.0", "1.0.6.0", "1.0.6.0"},
      {"<script>\"x\"&'", "<script>\\\"x\\\"&'", "&lt;script&gt;&quot;x&quot;&amp;&#39;"},
      {"a\\b\nc\x01", "a\\\\b\\nc\\u0001", "a\\b?c?"},
      {"\xE6\x97\xA5", "\xE6\x97\xA5", "\xE6\x97\xA5"},  // well-formed UTF-8 stays
      {"\xFF\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD",
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD",
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xE6\x97", "\xEF\xBF\xBD\xEF\xBF\xBD", "\xEF\xBF\xBD\xEF\xBF\xBD"},  // cut sequence
      // A right-to-left override, DEL, a C1 control and a first-strong isolate: made visible.
      {"exe.\xE2\x80\xAEtxt", "exe.\\u202etxt", "exe.?txt"},
      {"a\x7F\xC2\x85\xE2\x81\xA8"
       "b",
       "a\\u007f\\u0085\\u2068b", "a???b"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.raw);
    EXPECT_EQ(EscapeJsonString(row.raw), row.json);
    EXPECT_EQ(EscapeHtml(row.raw), row.html);
  }
}

TEST(VexoServerStatsReport, RendersEveryList) {
  CheckinSummary summary;
  summary.total = 3;
  summary.perVersion = {{"1.0.6.0", 2}, {"", 1}};
  summary.perApplication = {{"setup.exe", 3}};
  summary.perDay = {{"2024-12-08", 3}};
  summary.recent = {{1733616000, "start", "1.0.6.0", "setup.exe", "127.0.0.1", 200}};
  std::string json = RenderStatsJson(summary, {});
  EXPECT_THAT(json, HasSubstr("\"total\": 3"));
  EXPECT_THAT(json, HasSubstr("\"per_version\": [{\"value\": \"1.0.6.0\", \"count\": 2}, "
                              "{\"value\": \"\", \"count\": 1}]"));
  EXPECT_THAT(json, HasSubstr("\"time\": \"2024-12-08T00:00:00Z\""));
  std::string html = RenderStatsHtml(summary, {});
  EXPECT_THAT(html, HasSubstr("<td>setup.exe</td><td class=\"n\">3</td>"));
  EXPECT_THAT(html, HasSubstr("<i>(empty)</i>"));
  EXPECT_THAT(html, HasSubstr("<td>2024-12-08</td>"));
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// The attribute `name` of the first element after `from` in `html`.
std::string AttributeAfter(const std::string& html, const std::string& from,
                           const std::string& name) {
  size_t start = html.find(name + "=\"", html.find(from));
  if (start == std::string::npos) {
    return {};
  }
  start += name.size() + 2;
  return html.substr(start, html.find('"', start) - start);
}

TEST(VexoServerSvgChart, DaysTicksAndVersionOrder) {
  EXPECT_EQ(ParseDay("1970-01-01"), 0);
  EXPECT_EQ(ParseDay("2024-12-08"), 20065);
  EXPECT_EQ(FormatDay(20065), "2024-12-08");
  for (const char* time :
       {"2024-12-08T18:50:07Z", "0242-12-08T18:00:00Z", "1969-12-31T23:59:59Z"}) {
    EXPECT_EQ(FormatUtcTime(*ParseUtcTime(time)), time);
  }
  for (const char* malformed : {"2024-02-30", "2024-12-8", "-024-12-08", "2024/12/08", ""}) {
    SCOPED_TRACE(malformed);
    EXPECT_FALSE(ParseDay(malformed));
  }
  struct TickCase {
    double maximum;
    std::vector<int64_t> ticks;
  };
  const TickCase tickCases[] = {{0, {0, 1}},          {3, {0, 1, 2, 3}},
                                {12, {0, 5, 10, 15}}, {37, {0, 10, 20, 30, 40}},
                                {100, {0, 50, 100}},  {101, {0, 50, 100, 150}}};
  for (const TickCase& row : tickCases) {
    SCOPED_TRACE(row.maximum);
    EXPECT_EQ(CountTicks(row.maximum), row.ticks);
  }
  struct OrderCase {
    const char *before, *after;
  };
  const OrderCase orderCases[] = {
      {"1.0.9.0", "1.0.10.0"}, {"1.0", "1.0.0"}, {"1.0.6.0", "1.0.beta"}, {"1", ""}, {"01", "1"},
      {"2.0", "10.0"}};
  for (const OrderCase& row : orderCases) {
    SCOPED_TRACE(std::string(row.before) + " < " + row.after);
    EXPECT_TRUE(VersionBefore(row.before, row.after));
    EXPECT_FALSE(VersionBefore(row.after, row.before));
  }
}

TEST(VexoServerAdoptionCharts, SeriesPerVersionAxesLegendAndTables) {
  CheckinSummary summary;
  summary.startsPerDayByVersion = {{"2024-12-06", "1.0.5.0", 30},
                                   {"2024-12-06", "1.0.10.0", 10},
                                   {"2024-12-08", "1.0.5.0", 5},
                                   {"2024-12-08", "1.0.10.0", 15},
                                   {"not a day", "1.0.5.0", 99}};
  summary.downloadsPerDay = {{"2024-12-08", 7, 2, 3, 1}};
  std::string html = RenderStatsHtml(summary);

  EXPECT_EQ(Occurrences(html, "<svg "), 3u);
  EXPECT_EQ(Occurrences(html, "role=\"img\" aria-labelledby=\""), 3u);
  EXPECT_EQ(Occurrences(html, "<g class=\"series\" data-series=\"1.0.10.0\""), 2u);
  EXPECT_EQ(Occurrences(html, "<g class=\"legend-entry\">"), 8u);
  std::string newColour = AttributeAfter(html, "data-series=\"1.0.10.0\"", "fill");
  std::string shares = html.substr(html.find("id=\"version-shares\""));
  EXPECT_EQ(AttributeAfter(shares, "data-series=\"1.0.10.0\"", "fill"), newColour);
  EXPECT_NE(newColour, AttributeAfter(html, "data-series=\"1.0.5.0\"", "fill"));
  EXPECT_THAT(html, HasSubstr(">100 %</text>"));  // the share axis
  EXPECT_THAT(html, HasSubstr(">40</text>"));     // the count axis reaches the tallest day
  EXPECT_THAT(html, HasSubstr(">8 Dec</text>"));
  // All three charts on one day axis, the downloads' included.
  EXPECT_EQ(Occurrences(html, "day (UTC), 2024-12-06 to 2024-12-08"), 3u);
  // The day without check-ins is drawn as one, and has no share.
  EXPECT_THAT(html, HasSubstr("<tr><th scope=\"row\">2024-12-07</th><td class=\"n\">0</td>"));
  EXPECT_THAT(html, HasSubstr("<tr><th scope=\"row\">2024-12-07</th><td class=\"n\">\xE2\x80\x93"));
  EXPECT_THAT(html, HasSubstr("<td class=\"n\">75.0 %</td><td class=\"n\">25.0 %</td>"));
  EXPECT_THAT(html, HasSubstr("<th scope=\"col\">cut short</th><th scope=\"col\">completed</th>"));
  // Resumed downloads apart from fresh ones.
  EXPECT_THAT(html, HasSubstr("<th scope=\"col\">resumed, cut short</th><th scope=\"col\">resumed, "
                              "completed</th><th scope=\"col\">cut short</th>"));
  EXPECT_THAT(html, HasSubstr("<td class=\"n\">1</td><td class=\"n\">3</td><td class=\"n\">2</td>"
                              "<td class=\"n\">7</td>"));
}

TEST(VexoServerAdoptionCharts, HostileAndSurplusVersions) {
  const std::string hostile = "\"></text></svg><script>alert(1)</script><img src=x onerror=y>";
  CheckinSummary summary;
  for (int i = 0; i < 9; ++i) {
    summary.startsPerDayByVersion.push_back({"2024-12-08", "1.0." + std::to_string(i), 10 + i});
  }
  summary.startsPerDayByVersion.push_back({"2024-12-08", hostile, 100});
  summary.startsPerDayByVersion.push_back({"2024-03-01", "0.9", 1});  // before the window
  std::string html = RenderStatsHtml(summary, {});

  EXPECT_THAT(html, Not(HasSubstr("<script")));
  EXPECT_THAT(html, Not(HasSubstr("<img")));
  // Named in both charts' series, tooltips, legend titles and table headings.
  EXPECT_EQ(Occurrences(html, "&lt;script&gt;"), 2u * 4u);
  EXPECT_THAT(html, HasSubstr("<title>&quot;&gt;&lt;/text&gt;"));  // the cut legend's full text
  EXPECT_EQ(Occurrences(html, "<g class=\"legend-entry\">"), 2 * (kAdoptionNamedVersions + 1));
  EXPECT_THAT(html, HasSubstr("data-series=\"other versions\" fill=\"#999999\""));
  EXPECT_THAT(html, Not(HasSubstr("data-series=\"1.0.1\"")));  // among the other versions
  EXPECT_THAT(html, Not(HasSubstr("\"0.9\"")));
  std::string firstDay = FormatDay(*ParseDay("2024-12-08") - kAdoptionChartDays + 1);
  EXPECT_THAT(html, HasSubstr("day (UTC), " + firstDay + " to 2024-12-08"));
}

TEST(VexoServerRolloutCharts, ScheduleShareOffersAndAdoptionPerRollout) {
  CheckinSummary summary;
  summary.offersPerDayByRelease = {{"2024-12-07", "1.0.8.0", 3, 27},
                                   {"2024-12-08", "1.0.8.0", 9, 21}};
  summary.startsPerDayByVersion = {{"2024-12-08", "1.0.8.0", 5}, {"2024-12-08", "1.0.7.0", 15}};
  summary.downloadsPerFile = {{"setup<1>.exe", 4, 1, 5000, 2}};
  int64_t start = *ParseUtcTime("2024-12-07T00:00:00Z");
  ReleaseRollout rollout{"1.0.8.0", {}, start, {{0, 1000}, {86400, 3000}}, false, 0, false};
  std::vector<RolloutStatus> rollouts = {
      {"start.xml", "1.0.8.0", false, rollout, "", start + 86400 + 3600, 3000},
      {"apps/<b>/start.xml", "2.0", false, std::nullopt, "policy <x> is malformed", start, 0}};
  std::string html = RenderStatsHtml(summary, rollouts);
  EXPECT_THAT(html, HasSubstr("<h3>start.xml: release 1.0.8.0</h3>\n<p>Offered to <strong>30%"));
  EXPECT_THAT(html, HasSubstr("<tr><td>2024-12-08T00:00:00Z</td><td class=\"n\">30%</td></tr>"));
  EXPECT_THAT(html, HasSubstr("id=\"rollout-1-offers\""));
  // Served and withheld on the second day; 5 of its 20 starts on the release; the schedule's 30.
  EXPECT_THAT(html, HasSubstr("<th scope=\"row\">2024-12-08</th><td class=\"n\">21</td>"
                              "<td class=\"n\">9</td>"));
  EXPECT_THAT(html, HasSubstr("<th scope=\"row\">2024-12-08</th><td class=\"n\">30.0 %</td>"
                              "<td class=\"n\">25.0 %</td>"));
  EXPECT_THAT(html, HasSubstr("<h3>apps/&lt;b&gt;/start.xml: release 2.0</h3>\n"
                              "<p><strong>Withheld from every agent:</strong> policy &lt;x&gt;"));
  EXPECT_THAT(html, HasSubstr("<td>setup&lt;1&gt;.exe</td><td class=\"n\">4</td><td class=\"n\">1"
                              "</td><td class=\"n\">2</td><td class=\"n\">5000</td></tr>"));
  std::string json = RenderStatsJson(summary, rollouts);
  EXPECT_THAT(json, HasSubstr("{\"answer\": \"start.xml\", \"release\": \"1.0.8.0\", "
                              "\"share_now_percent\": 30, \"start\": \"2024-12-07T00:00:00Z\", "
                              "\"schedule\": \"10% 30%@1d\", \"halted\": false}"));
  EXPECT_THAT(json, HasSubstr("\"problem\": \"policy <x> is malformed\""));
  EXPECT_THAT(json, HasSubstr("{\"day\": \"2024-12-08\", \"release\": \"1.0.8.0\", "
                              "\"served\": 9, \"withheld\": 21}"));
  EXPECT_THAT(json, HasSubstr("\"downloads_per_file\": [{\"file\": \"setup<1>.exe\", "
                              "\"completed\": 4, \"cut_short\": 1, \"bytes\": 5000, "
                              "\"resumed\": 2}]"));
}

TEST(VexoServerAdoptionCharts, NothingToDrawYet) {
  CheckinSummary summary;
  summary.startsPerDayByVersion = {{"2024-12-08", "1.0.6.0", 0}};
  std::string html = RenderStatsHtml(summary, {});
  EXPECT_THAT(html, HasSubstr("No check-ins yet"));
  EXPECT_THAT(html, HasSubstr("No installer downloads yet"));
  EXPECT_THAT(html, Not(HasSubstr("<svg")));
}

}  // namespace
}  // namespace vexo::server

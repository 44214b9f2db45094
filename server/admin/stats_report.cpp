#include "server/admin/stats_report.h"

#include "server/admin/adoption_charts.h"
#include "server/admin/rollout_charts.h"
#include "server/admin/web_text.h"
#include "server/common/utc_day.h"

namespace vexo::server {
namespace {

std::string JsonString(std::string_view text) {
  std::string quoted = "\"";
  quoted += EscapeJsonString(text);
  quoted += '"';
  return quoted;
}

// A JSON array of one object per row, each written by `toJson`.
template <typename Row, typename ToJson>
std::string JsonArray(const std::vector<Row>& rows, ToJson toJson) {
  std::string json = "[";
  for (size_t i = 0; i < rows.size(); ++i) {
    json += i ? ", " : "";
    json += toJson(rows[i]);
  }
  return json + "]";
}

std::string JsonCountList(const std::vector<CountRow>& rows) {
  return JsonArray(rows, [](const CountRow& row) {
    return "{\"value\": " + JsonString(row.value) + ", \"count\": " + std::to_string(row.count) +
           "}";
  });
}

// The adoption series, named in the same style as the rest of the document.
std::string JsonStartsSeries(const std::vector<DayVersionCount>& rows) {
  return JsonArray(rows, [](const DayVersionCount& row) {
    return "{\"day\": " + JsonString(row.day) + ", \"version\": " + JsonString(row.version) +
           ", \"count\": " + std::to_string(row.count) + "}";
  });
}

std::string JsonDownloadsSeries(const std::vector<DayDownloadCount>& rows) {
  return JsonArray(rows, [](const DayDownloadCount& row) {
    return "{\"day\": " + JsonString(row.day) +
           ", \"completed\": " + std::to_string(row.completed) +
           ", \"cut_short\": " + std::to_string(row.cutShort) +
           ", \"resumed_completed\": " + std::to_string(row.resumedCompleted) +
           ", \"resumed_cut_short\": " + std::to_string(row.resumedCutShort) + "}";
  });
}

std::string JsonOffersSeries(const std::vector<DayOfferCount>& rows) {
  return JsonArray(rows, [](const DayOfferCount& row) {
    return "{\"day\": " + JsonString(row.day) + ", \"release\": " + JsonString(row.release) +
           ", \"served\": " + std::to_string(row.served) +
           ", \"withheld\": " + std::to_string(row.withheld) + "}";
  });
}

std::string JsonFileDownloads(const std::vector<FileDownloadCount>& rows) {
  return JsonArray(rows, [](const FileDownloadCount& row) {
    return "{\"file\": " + JsonString(row.file) +
           ", \"completed\": " + std::to_string(row.completed) +
           ", \"cut_short\": " + std::to_string(row.cutShort) +
           ", \"bytes\": " + std::to_string(row.bytes) +
           ", \"resumed\": " + std::to_string(row.resumed) + "}";
  });
}

// A share as a JSON number of percent: "12.5".
std::string PercentNumber(int share) {
  std::string text = FormatShare(share);
  text.pop_back();  // the '%'
  return text;
}

std::string JsonRollouts(const std::vector<RolloutStatus>& rollouts) {
  return JsonArray(rollouts, [](const RolloutStatus& status) {
    std::string json = "{\"answer\": " + JsonString(status.answer) +
                       ", \"release\": " + JsonString(status.release) +
                       ", \"share_now_percent\": " + PercentNumber(status.shareNow);
    if (status.rollout) {
      json += ", \"start\": " + JsonString(FormatUtcTime(status.rollout->start)) +
              ", \"schedule\": " + JsonString(FormatSchedule(status.rollout->steps)) +
              ", \"halted\": " + (status.rollout->halted ? "true" : "false");
    } else {
      json += ", \"problem\": " + JsonString(status.problem);
    }
    return json + "}";
  });
}

std::string HtmlFileDownloads(const std::vector<FileDownloadCount>& rows) {
  std::string html =
      "<h2>Installer downloads per file</h2>\n<table>\n<tr><th>file</th><th>whole</th>"
      "<th>cut short</th><th>of them resumed</th><th>bytes sent</th></tr>\n";
  for (const FileDownloadCount& row : rows) {
    html += "<tr><td>" + EscapeHtml(row.file) + "</td><td class=\"n\">" +
            std::to_string(row.completed) + "</td><td class=\"n\">" + std::to_string(row.cutShort) +
            "</td><td class=\"n\">" + std::to_string(row.resumed) + "</td><td class=\"n\">" +
            std::to_string(row.bytes) + "</td></tr>\n";
  }
  return html + "</table>\n";
}

std::string JsonCheckin(const Checkin& checkin) {
  return "{\"time\": " + JsonString(FormatUtcTime(checkin.unixTime)) +
         ", \"query\": " + JsonString(checkin.query) + ", \"ver\": " + JsonString(checkin.version) +
         ", \"t\": " + JsonString(checkin.application) +
         ", \"client\": " + JsonString(checkin.client) +
         ", \"status\": " + std::to_string(checkin.status) + "}";
}

std::string HtmlCountTable(const char* title, const char* column,
                           const std::vector<CountRow>& rows) {
  std::string html = "<h2>" + std::string(title) + "</h2>\n<table>\n<tr><th>" + column +
                     "</th><th>check-ins</th></tr>\n";
  for (const CountRow& row : rows) {
    std::string value = row.value.empty() ? "<i>(empty)</i>" : EscapeHtml(row.value);
    html +=
        "<tr><td>" + value + "</td><td class=\"n\">" + std::to_string(row.count) + "</td></tr>\n";
  }
  return html + "</table>\n";
}

std::string HtmlRecentTable(const std::vector<Checkin>& recent) {
  std::string html =
      "<h2>Latest check-ins</h2>\n<table>\n<tr><th>time (UTC)</th><th>query</th><th>ver</th>"
      "<th>t</th><th>client</th><th>status</th></tr>\n";
  for (const Checkin& checkin : recent) {
    html += "<tr><td>" + FormatUtcTime(checkin.unixTime) + "</td><td>" + EscapeHtml(checkin.query) +
            "</td><td>" + EscapeHtml(checkin.version) + "</td><td>" +
            EscapeHtml(checkin.application) + "</td><td>" + EscapeHtml(checkin.client) +
            "</td><td class=\"n\">" + std::to_string(checkin.status) + "</td></tr>\n";
  }
  return html + "</table>\n";
}

// The total beside what it leaves out: records still waiting for the database, records it never
// got, why it could not be read, and the connections that brought no record.
std::string HtmlTotals(const CheckinSummary& summary, const ConnectionCounts& connections) {
  std::string html = "<p>" + std::to_string(summary.total) + " check-ins in all; " +
                     std::to_string(summary.unwritten) + " records waiting to be written; " +
                     std::to_string(summary.dropped) + " dropped since the start.</p>\n";
  html += "<p>Since the start, " + std::to_string(connections.refused) +
          " connections refused beyond the limit of their client and " +
          std::to_string(connections.abandoned) +
          " abandoned by their client in the middle of a request or its reply; " +
          std::to_string(connections.malformed) +
          " requests refused as malformed before any page saw them.</p>\n";
  if (!summary.databaseError.empty()) {
    html += "<p class=\"fault\">The database cannot be read: " + EscapeHtml(summary.databaseError) +
            "</p>\n";
  }
  return html;
}

// Everything the page shows is in it: the style below, the charts as inline SVG, no script.
constexpr const char* kPageStyle =
    "body{font-family:sans-serif;margin:2em;color:#222}"
    "table{border-collapse:collapse;margin-bottom:1.5em}"
    "td,th{border:1px solid #ccc;padding:.2em .6em;text-align:left}td.n{text-align:right}"
    "figure.chart{margin:0 0 1.5em}figure.chart svg{max-width:100%;height:auto}"
    "svg text{font-family:sans-serif;font-size:12px;fill:#333}"
    "svg .chart-title{font-size:15px;font-weight:bold;fill:#222}"
    "svg .axis-title{fill:#555}svg .grid{stroke:#e4e4e4}svg .axis{stroke:#777}"
    "details{margin:.3em 0 0 4em}summary{cursor:pointer;color:#444}"
    "details table{margin-top:.5em}details th{max-width:16em;overflow-wrap:anywhere}"
    "p.empty{color:#555;font-style:italic}p.fault{color:#a00}";

}  // namespace

std::string RenderStatsJson(const CheckinSummary& summary,
                            const std::vector<RolloutStatus>& rollouts,
                            const ConnectionCounts& connections) {
  std::string json = "{\n  \"total\": " + std::to_string(summary.total) + ",\n";
  json += "  \"per_query\": " + JsonCountList(summary.perQuery) + ",\n";
  json += "  \"per_version\": " + JsonCountList(summary.perVersion) + ",\n";
  json += "  \"per_application\": " + JsonCountList(summary.perApplication) + ",\n";
  json += "  \"per_day\": " + JsonCountList(summary.perDay) + ",\n";
  json +=
      "  \"starts_per_day_by_version\": " + JsonStartsSeries(summary.startsPerDayByVersion) + ",\n";
  json += "  \"downloads_per_day\": " + JsonDownloadsSeries(summary.downloadsPerDay) + ",\n";
  json += "  \"downloads_per_file\": " + JsonFileDownloads(summary.downloadsPerFile) + ",\n";
  json +=
      "  \"offers_per_day_by_release\": " + JsonOffersSeries(summary.offersPerDayByRelease) + ",\n";
  json += "  \"rollouts\": " + JsonRollouts(rollouts) + ",\n";
  json += "  \"unwritten\": " + std::to_string(summary.unwritten) +
          ",\n  \"dropped\": " + std::to_string(summary.dropped) + ",\n";
  json += "  \"connections_refused\": " + std::to_string(connections.refused) +
          ",\n  \"connections_abandoned\": " + std::to_string(connections.abandoned) +
          ",\n  \"requests_malformed\": " + std::to_string(connections.malformed) + ",\n";
  if (!summary.databaseError.empty()) {
    json += "  \"database_error\": " + JsonString(summary.databaseError) + ",\n";
  }
  json += "  \"recent\": [";
  for (size_t i = 0; i < summary.recent.size(); ++i) {
    json += (i ? ",\n    " : "\n    ") + JsonCheckin(summary.recent[i]);
  }
  return json + (summary.recent.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

std::string RenderStatsHtml(const CheckinSummary& summary,
                            const std::vector<RolloutStatus>& rollouts,
                            const ConnectionCounts& connections) {
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<title>Vexo check-ins</title>\n<style>";
  html += kPageStyle;
  html += "</style></head>\n<body>\n<h1>Vexo check-ins</h1>\n";
  html += HtmlTotals(summary, connections);
  html += RenderAdoptionCharts(summary);
  html += HtmlFileDownloads(summary.downloadsPerFile);
  html += RenderRollouts(summary, rollouts);
  html += HtmlCountTable("Per day (UTC)", "day", summary.perDay);
  html += HtmlCountTable("Per version", "ver", summary.perVersion);
  html += HtmlCountTable("Per application name", "t", summary.perApplication);
  html += HtmlCountTable("Per query", "q", summary.perQuery);
  html += HtmlRecentTable(summary.recent);
  return html + "</body></html>\n";
}

}  // namespace vexo::server

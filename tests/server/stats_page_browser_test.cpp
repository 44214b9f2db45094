// /stats.html in a real browser: headless Chromium loads the page from a running vexo-server
// whose database holds two weeks of check-ins and downloads, and the test reads the DOM the browser
// built and the picture it drew.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>
#include <sqlite3.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <string>
#include <variant>
#include <vector>

#include "server/common/utc_day.h"
#include "tests/support/program_runner.h"

namespace vexo::testing {
namespace {

using server::FormatDay;
using server::kSecondsPerDay;

using ::testing::HasSubstr;

const std::string kServer = VEXO_SERVER_PATH;
const std::string kContent = VEXO_EXAMPLE_CONTENT;
const std::string kChromium = VEXO_CHROMIUM;
const std::string kArtefacts = VEXO_TEST_ARTEFACTS;
constexpr int kSeededDays = 14;
const std::string kHostileVersion = "<i>1.0.7</i>";

using SqlValue = std::variant<int64_t, std::string>;

// Runs the statement `sql` `times` times over, with `values` bound to its parameters.
void Repeat(sqlite3* database, const char* sql, int times, const std::vector<SqlValue>& values) {
  sqlite3_stmt* statement = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(database, sql, -1, &statement, nullptr), SQLITE_OK) << sql;
  for (size_t i = 0; i < values.size(); ++i) {
    if (const int64_t* number = std::get_if<int64_t>(&values[i])) {
      sqlite3_bind_int64(statement, static_cast<int>(i) + 1, *number);
    } else {
      sqlite3_bind_text(statement, static_cast<int>(i) + 1,
                        std::get<std::string>(values[i]).c_str(), -1, SQLITE_TRANSIENT);
    }
  }
  for (int i = 0; i < times; ++i) {
    EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE) << sqlite3_errmsg(database);
    sqlite3_reset(statement);
  }
  sqlite3_finalize(statement);
}

// A rollout over the last kSeededDays days: 1.0.6.0 grows from nothing to most of the 70 daily
// starts, a hostile version string turns up on the last three days, and the new installer is
// downloaded more each day, some downloads cut short.
void SeedHistory(const std::string& databasePath, int64_t now) {
  const char* start =
      "INSERT INTO checkins (at, query, ver, t, client, status) "
      "VALUES (?, 'start', ?, 'setup.exe', '192.0.2.1', 200);";
  const char* download =
      "INSERT INTO downloads (at, file, bytes, complete) "
      "VALUES (?, 'vexo-setup-1.0.7.0.exe', ?, ?);";
  sqlite3* database = nullptr;
  ASSERT_EQ(sqlite3_open(databasePath.c_str(), &database), SQLITE_OK);
  sqlite3_exec(database, "BEGIN;", nullptr, nullptr, nullptr);
  for (int day = 0; day < kSeededDays; ++day) {
    int64_t at = now - (kSeededDays - 1 - day) * kSecondsPerDay;
    Repeat(database, start, 70 - 5 * day, {at, "1.0.5.0"});
    Repeat(database, start, 5 * day, {at, "1.0.6.0"});
    Repeat(database, start, day >= kSeededDays - 3 ? 4 : 0, {at, kHostileVersion});
    Repeat(database, download, day, {at, int64_t{657}, int64_t{1}});
    Repeat(database, download, day % 3, {at, int64_t{100}, int64_t{0}});
  }
  sqlite3_exec(database, "COMMIT;", nullptr, nullptr, nullptr);
  sqlite3_close(database);
}

uint16_t PortOf(const std::string& firstLine) {
  return static_cast<uint16_t>(std::atoi(firstLine.substr(firstLine.rfind(':') + 1).c_str()));
}

// Chromium as a test runs it: headless, as root without its sandbox, with nothing fetched from
// anywhere but the page, and in a fresh profile.
ProgramResult RunChromium(const TempFolder& profile, std::vector<std::string> arguments) {
  std::vector<std::string> command = {"-k",
                                      "10",
                                      "120",
                                      kChromium,
                                      "--headless",
                                      "--no-sandbox",
                                      "--disable-gpu",
                                      "--disable-quic",
                                      "--no-first-run",
                                      "--disable-background-networking",
                                      "--disable-component-update",
                                      "--disable-sync",
                                      "--hide-scrollbars",
                                      "--user-data-dir=" + profile.path().string()};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return RunProgram("/usr/bin/timeout", command);
}

// Pixels of the screenshot within a small distance of `colour` ("#rrggbb").
size_t PixelsOfColour(const std::string& pngPath, const std::string& colour) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, pngPath.c_str())) {
    return 0;
  }
  image.format = PNG_FORMAT_RGB;
  std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
    return 0;
  }
  unsigned long wanted = std::strtoul(colour.c_str() + 1, nullptr, 16);
  int channels[3] = {static_cast<int>(wanted >> 16), static_cast<int>((wanted >> 8) & 0xFF),
                     static_cast<int>(wanted & 0xFF)};
  size_t matching = 0;
  for (size_t i = 0; i + 2 < pixels.size(); i += 3) {
    matching += std::abs(pixels[i] - channels[0]) <= 3 &&
                std::abs(pixels[i + 1] - channels[1]) <= 3 &&
                std::abs(pixels[i + 2] - channels[2]) <= 3;
  }
  return matching;
}

// The value of attribute `name` in the first element that has `marker` in its start tag.
std::string AttributeOf(const std::string& dom, const std::string& marker,
                        const std::string& name) {
  size_t element = dom.find(marker);
  size_t start = dom.find(name + "=\"", dom.rfind('<', element));
  if (element == std::string::npos || start == std::string::npos) {
    return {};
  }
  start += name.size() + 2;
  return dom.substr(start, dom.find('"', start) - start);
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

TEST(VexoServerStatsPageInBrowser, ChartsOfTheSeededCheckinsAreDrawn) {
  TempFolder folder;
  std::string database = folder.File("checkins.db");
  std::vector<std::string> arguments = {"--root",         kContent,      "--listen", "127.0.0.1:0",
                                        "--admin-listen", "127.0.0.1:0", "--db",     database};
  {
    BackgroundProgram creatingTheSchema(kServer, arguments);
    ASSERT_THAT(creatingTheSchema.FirstLine(), HasSubstr("listening on"));
    creatingTheSchema.Signal(SIGTERM);
    ASSERT_EQ(creatingTheSchema.Wait(), 0);
  }
  int64_t now = std::time(nullptr);
  SeedHistory(database, now);
  BackgroundProgram server(kServer, arguments);
  uint16_t agentsPort = PortOf(server.FirstLine());
  std::string adminLine = server.Line(1);
  ASSERT_THAT(adminLine, HasSubstr("admin listening on http://127.0.0.1:")) << server.Errors();
  ASSERT_EQ(HttpGet(agentsPort, "/files/vexo-setup-1.0.7.0.exe").status, 200);
  std::string page = "http://127.0.0.1:" + std::to_string(PortOf(adminLine)) + "/stats.html";

  TempFolder profile;
  ProgramResult dump = RunChromium(profile, {"--dump-dom", page});
  ASSERT_EQ(dump.exitCode, 0) << dump.err;
  const std::string& dom = dump.out;
  ASSERT_FALSE(Contains(dom, "No check-ins yet")) << "the page shows no chart";
  EXPECT_EQ(Occurrences(dom, "role=\"img\""), 3u) << "starts, shares and downloads";
  for (const std::string& version : {std::string("1.0.5.0"), std::string("1.0.6.0")}) {
    SCOPED_TRACE(version);
    EXPECT_EQ(Occurrences(dom, "<g class=\"series\" data-series=\"" + version + "\""), 2u);
    EXPECT_EQ(Occurrences(dom, ">" + version + "</text></g>"), 2u);  // legend entries
  }
  std::string dayAxis = "day (UTC), " + FormatDay(now / kSecondsPerDay - (kSeededDays - 1)) +
                        " to " + FormatDay(now / kSecondsPerDay);
  for (const std::string& part :
       {std::string("&lt;i&gt;1.0.7&lt;/i&gt;</text></g>"), std::string(">100 %</text>"), dayAxis,
        std::string("data-series=\"cut short\"")}) {
    EXPECT_TRUE(Contains(dom, part)) << part;
  }
  EXPECT_FALSE(Contains(dom, kHostileVersion));

  std::filesystem::create_directories(kArtefacts);
  std::string screenshot = kArtefacts + "/stats-page.png";
  std::filesystem::remove(screenshot);
  ProgramResult shot =
      RunChromium(profile, {"--window-size=1000,1900", "--screenshot=" + screenshot, page});
  ASSERT_EQ(shot.exitCode, 0) << shot.err;
  std::cout << "screenshot of /stats.html: " << screenshot << "\n";
  RecordProperty("screenshot", screenshot);
  // Each series' colour, as the DOM names it, covers a good part of the picture.
  for (const std::string& series :
       {std::string("1.0.5.0"), std::string("1.0.6.0"), std::string("cut short")}) {
    SCOPED_TRACE(series);
    std::string colour = AttributeOf(dom, "data-series=\"" + series + "\"", "fill");
    ASSERT_EQ(colour.size(), 7u);
    EXPECT_GT(PixelsOfColour(screenshot, colour), 2000u) << colour;
  }
}

}  // namespace
}  // namespace vexo::testing

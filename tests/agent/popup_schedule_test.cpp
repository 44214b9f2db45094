// Reading the pop-up answer and each item's displays left today from the per-day file.
#include "agent/popup_schedule.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>

#include "platform/folders.h"
#include "tests/support/temp_folder.h"

namespace vexo {
namespace {

using testing::TempFolder;
namespace fs = std::filesystem;

// md5("http://h/a")
constexpr char kKeyA[] = "2ce7276502725c281e6d5ae4e55aed55";

class PopupScheduleTest : public ::testing::Test {
 protected:
  PopupContext Context() {
    return PopupContext{[this] { return dataFolder(); }, [this] { return today; }};
  }
  std::u16string dataFolder() const {
    return root.path().u16string() + platform::PathSeparator() + u"vexo" +
           platform::PathSeparator();
  }
  fs::path DailyFile() const { return root.path() / "vexo" / "Msg" / "20261208.ini"; }
  bool Parse(const std::u16string& text) { return schedule.ParsePopupResponse(text, Context()); }

  TempFolder root;
  platform::LocalDate today{2026, 12, 8};
  PopupSchedule schedule;
};

std::u16string Answer(const std::u16string& popupAttributes, const std::u16string& items,
                      const std::u16string& before = u"") {
  return u"<response>" + before + u"<data><rightdown_popup " + popupAttributes + u">" + items +
         u"</rightdown_popup></data></response>";
}

TEST_F(PopupScheduleTest, ConstructionValues) {
  EXPECT_EQ(schedule.currentIndex, -1);
  EXPECT_EQ(schedule.lastStamp, 0);
  EXPECT_EQ(schedule.firstDisplay, 30);
  EXPECT_EQ(schedule.interval, 1800);
  EXPECT_EQ(schedule.duration, 120);
}

TEST_F(PopupScheduleTest, AcceptedAnswerReplacesTheScheduleAndLooksUpTheDailyFile) {
  // Section and key are found without regard to case; the file's count may exceed the maximum.
  std::string upperKey = kKeyA;
  for (char& c : upperKey)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  testing::WriteFile(DailyFile(), "; written by the calendar\n[other]\n" + std::string(kKeyA) +
                                      "=1\n[msg]\n" + upperKey + " = 9\n");
  ASSERT_TRUE(
      Parse(Answer(u"update_tm_stamp=\"100\" firstdisplay=\"5\" interval=\"60\" duration=\"7\"",
                   u"<item width=\"300\" height=\"200\" url=\"http://h/a\" maxdisplaytime=\"3\"/>"
                   u"<note/>"
                   u"<item url=\"http://h/b\" maxdisplaytime=\"4\"/>"
                   u"<item url=\"http://h/c\"/>")));
  EXPECT_EQ(schedule.lastStamp, 100);
  EXPECT_EQ(schedule.firstDisplay, 5);
  EXPECT_EQ(schedule.interval, 60);
  EXPECT_EQ(schedule.duration, 7);
  EXPECT_EQ(schedule.profilePath, (root.path() / "vexo" / "Msg" / "20261208.ini").u16string());
  ASSERT_EQ(schedule.items.size(), 3u);
  EXPECT_EQ(schedule.items[0].width, 300);
  EXPECT_EQ(schedule.items[0].height, 200);
  EXPECT_EQ(schedule.items[0].remaining, 9);
  EXPECT_EQ(schedule.items[1].remaining, 4);  // key not in the file: the maximum
  EXPECT_EQ(schedule.items[2].remaining, 0);  // no maximum either
  EXPECT_EQ(schedule.items[1].url, u"http://h/b");
}

TEST_F(PopupScheduleTest, KeysAreTheMd5OfTheUrl) {
  EXPECT_EQ(PopupKey(u""), u"d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(PopupKey(u"abc"), u"900150983cd24fb0d6963f7d28e17f72");
  std::string expected = kKeyA;
  EXPECT_EQ(PopupKey(u"http://h/a"), std::u16string(expected.begin(), expected.end()));
}

TEST_F(PopupScheduleTest, AnswersWithoutAScheduleAreAcceptedAndChangeNothing) {
  const std::u16string answers[] = {
      u"",
      u"garbage",
      u"<other/>",
      u"<response/>",
      u"<response><data/></response>",
      u"<response><data><popup/></data></response>",
      // An error code after the data: the data is then not found.
      u"<response><data><rightdown_popup "
      u"update_tm_stamp=\"5\"/></data><errcode>0</errcode></response>",
  };
  for (const auto& answer : answers) {
    SCOPED_TRACE(std::string(answer.begin(), answer.end()));
    PopupSchedule fresh;
    EXPECT_TRUE(fresh.ParsePopupResponse(answer, Context()));
    EXPECT_FALSE(fresh.profilePath.empty());
    EXPECT_EQ(fresh.lastStamp, 0);
    EXPECT_TRUE(fresh.items.empty());
  }
  // The day's folder exists whatever the answer.
  EXPECT_TRUE(fs::is_directory(root.path() / "vexo" / "Msg"));
}

TEST_F(PopupScheduleTest, NegativeErrorCodeRejectsTheAnswer) {
  const struct {
    std::u16string errcode;
    bool accepted;
  } cases[] = {{u"-1", false}, {u" -7", false}, {u"0", true}, {u"5", true}, {u"x-1", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.errcode.begin(), c.errcode.end()));
    PopupSchedule fresh;
    bool result = fresh.ParsePopupResponse(Answer(u"update_tm_stamp=\"9\"", u"<item url=\"u\"/>",
                                                  u"<errcode>" + c.errcode + u"</errcode>"),
                                           Context());
    EXPECT_EQ(result, c.accepted);
    EXPECT_EQ(fresh.items.size(), c.accepted ? 1u : 0u);
  }
}

TEST_F(PopupScheduleTest, RepeatedStampIsRejectedAndKeepsTheFirstList) {
  ASSERT_TRUE(Parse(Answer(u"update_tm_stamp=\"12\" firstdisplay=\"3\"", u"<item url=\"a\"/>")));
  EXPECT_FALSE(Parse(Answer(u"update_tm_stamp=\"12x\" firstdisplay=\"99\"",
                            u"<item url=\"b\"/><item url=\"c\"/>")));
  ASSERT_EQ(schedule.items.size(), 1u);
  EXPECT_EQ(schedule.items[0].url, u"a");
  EXPECT_EQ(schedule.firstDisplay, 3);
}

TEST_F(PopupScheduleTest, StampZeroOrAbsentIsRejectedAtFirst) {
  for (const char16_t* attributes : {u"", u"update_tm_stamp=\"0\"", u"update_tm_stamp=\"abc\""}) {
    PopupSchedule fresh;
    EXPECT_FALSE(fresh.ParsePopupResponse(Answer(attributes, u"<item url=\"a\"/>"), Context()));
    EXPECT_TRUE(fresh.items.empty());
    EXPECT_EQ(fresh.firstDisplay, 30);
  }
}

TEST_F(PopupScheduleTest, ScheduleWithoutItemsEmptiesTheList) {
  ASSERT_TRUE(Parse(Answer(u"update_tm_stamp=\"1\"", u"<item url=\"a\"/>")));
  schedule.currentIndex = 0;
  ASSERT_TRUE(Parse(Answer(u"update_tm_stamp=\"2\"", u"")));
  EXPECT_TRUE(schedule.items.empty());
  EXPECT_EQ(schedule.currentIndex, -1);
  EXPECT_EQ(schedule.firstDisplay, 0);  // absent attributes read as 0
}

TEST_F(PopupScheduleTest, ANewDayNamesANewFile) {
  Parse(u"");
  EXPECT_EQ(schedule.profilePath.substr(schedule.profilePath.size() - 12), u"20261208.ini");
  today = {2026, 12, 9};
  Parse(u"");
  EXPECT_EQ(schedule.profilePath.substr(schedule.profilePath.size() - 12), u"20261209.ini");
  EXPECT_EQ(DailyFileName({987, 1, 2}), u"09870102.ini");
}

}  // namespace
}  // namespace vexo

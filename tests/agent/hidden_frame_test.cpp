// The frame's timer handling end to end within the process: queries to a loopback server, the
// start answer's update, the pop-up answer's schedule, and the window's end on a rejected answer.
#include "agent/hidden_frame.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "agent/crypto/answer_cipher.h"
#include "fake_desktop.h"
#include "tests/support/fake_http_server.h"
#include "tests/support/temp_folder.h"

namespace vexo {
namespace {

using testing::FakeDesktop;
using testing::FakeHttpServer;
using testing::FakeReply;
using testing::Wide;

class HiddenFrameTest : public ::testing::Test {
 protected:
  HiddenFrameTest() {
    desktop.appData = root.path().u16string();
    queries = std::make_unique<QueryCycle>(desktop, Wide(server.Origin()));
    frame = std::make_unique<CHiddenFrame>(module, desktop, *queries, PinnedKeys{});
    frame->CreateEx(nullptr);
  }
  ~HiddenFrameTest() override {
    if (frame->m_hWnd != nullptr)
      frame->DestroyWindow();
  }

  void Answer(const std::string& query, const std::string& xml) {
    server.Route("/client/getData.php?q=" + query + "&ver=1.0.6.0&t=setup.exe",
                 FakeReply::Body(200, EncipherAnswer(xml)));
  }
  void Fire(uintptr_t timer) {
    intptr_t result = -1;
    EXPECT_TRUE(
        frame->ProcessWindowMessage({frame->m_hWnd, platform::kMsgTimer, timer, 0}, result));
    EXPECT_EQ(result, 0);
  }
  std::vector<std::string> Targets() const {
    std::vector<std::string> targets;
    for (const auto& request : server.Requests())
      targets.push_back(request.target);
    return targets;
  }

  testing::TempFolder root;
  FakeHttpServer server;
  FakeDesktop desktop;
  CAppModule module;
  std::unique_ptr<QueryCycle> queries;
  std::unique_ptr<CHiddenFrame> frame;
};

TEST_F(HiddenFrameTest, StartQueryReadsTheOfferAndRunsTheUpdate) {
  std::string installer(600, 'x');
  server.Route("/setup.exe", FakeReply::Body(200, installer));
  Answer("start",
         "<response><data><software_update><status>y</status><name>setup.exe</name>"
         "<rname>local.exe</rname><force>y</force><param>/quiet</param><version>1.0.7</version>"
         "<url>" +
             server.Origin() +
             "/</url><md5>"
             "2bfac1bb871236a26c9bbc8389d00b83"
             "</md5>"
             "</software_update></data></response>");
  Fire(TIMER_START_QUERY);
  EXPECT_EQ(Targets(), (std::vector<std::string>{
                           "/client/getData.php?q=start&ver=1.0.6.0&t=setup.exe", "/setup.exe"}));
  EXPECT_TRUE(frame->startAnswer().updateOffer.offered);
  EXPECT_EQ(frame->startAnswer().updateOffer.installerParams, u"/quiet");
  EXPECT_TRUE(std::filesystem::exists(root.path() / "vexo" / "local.exe"));
}

TEST_F(HiddenFrameTest, QueryUrlsCarryTheRegisteredNameAndTheOwnVersion) {
  desktop.machineValues[u"application"] = u"VexoCalendar.exe";
  desktop.version = platform::FileVersion{0x00020003, 0x0004000A};
  Fire(TIMER_START_QUERY);
  desktop.version.reset();
  Fire(TIMER_POPUP_QUERY);
  EXPECT_EQ(Targets(),
            (std::vector<std::string>{"/client/getData.php?q=start&ver=2.3.4.10&t=VexoCalendar.exe",
                                      "/client/getData.php?q=popup&ver=&t=VexoCalendar.exe"}));
}

TEST_F(HiddenFrameTest, TheServerValueReplacesTheBuiltInOrigin) {
  FakeHttpServer other;
  desktop.machineValues[u"server"] = Wide(other.Origin() + "/");
  Fire(TIMER_START_QUERY);
  EXPECT_TRUE(server.Requests().empty());
  ASSERT_EQ(other.Requests().size(), 1u);
  EXPECT_EQ(other.Requests()[0].target, "/client/getData.php?q=start&ver=1.0.6.0&t=setup.exe");
}

TEST_F(HiddenFrameTest, AFailedStartQueryIsSwallowed) {
  desktop.machineValues[u"server"] = u"http://127.0.0.1:1";
  Fire(TIMER_START_QUERY);
  EXPECT_NE(frame->m_hWnd, nullptr);
  EXPECT_FALSE(frame->startAnswer().updateOffer.offered);
}

TEST_F(HiddenFrameTest, AcceptedPopupAnswerArmsTheFirstDisplayOnce) {
  Answer("popup",
         "<response><data><rightdown_popup update_tm_stamp=\"7\" firstdisplay=\"12\">"
         "<item url=\"http://h/a\" maxdisplaytime=\"2\"/></rightdown_popup></data></response>");
  Fire(TIMER_POPUP_QUERY);
  EXPECT_EQ(frame->armedFirstDisplay(), 12);
  EXPECT_EQ(frame->popupSchedule().items.size(), 1u);
  EXPECT_TRUE(std::filesystem::is_directory(root.path() / "vexo" / "Msg"));

  Answer("popup",
         "<response><data><rightdown_popup update_tm_stamp=\"8\" firstdisplay=\"40\"/>"
         "</data></response>");
  Fire(TIMER_POPUP_QUERY);
  EXPECT_EQ(frame->armedFirstDisplay(), 12);
  EXPECT_EQ(frame->popupSchedule().firstDisplay, 40);
  EXPECT_NE(frame->m_hWnd, nullptr);
}

TEST_F(HiddenFrameTest, PopupAnswerWithoutScheduleStillArmsTheDefaultDelay) {
  Answer("popup", "<response/>");
  Fire(TIMER_POPUP_QUERY);
  EXPECT_EQ(frame->armedFirstDisplay(), 30);
}

TEST_F(HiddenFrameTest, RejectedPopupAnswerDestroysTheWindow) {
  Answer("popup", "<response><errcode>-1</errcode></response>");
  Fire(TIMER_POPUP_QUERY);
  EXPECT_EQ(frame->m_hWnd, nullptr);
}

TEST_F(HiddenFrameTest, AFailedPopupQueryLeavesTheAgentResident) {
  desktop.machineValues[u"server"] = u"http://127.0.0.1:1";
  Fire(TIMER_POPUP_QUERY);
  EXPECT_NE(frame->m_hWnd, nullptr);
  EXPECT_EQ(frame->armedFirstDisplay(), 0);
}

TEST_F(HiddenFrameTest, TheFirstDisplayTimerAndUnknownTimersDoNothing) {
  Fire(TIMER_FIRST_DISPLAY);
  Fire(4242);
  EXPECT_TRUE(server.Requests().empty());
  EXPECT_NE(frame->m_hWnd, nullptr);
}

TEST(FirstDisplayDelay, ComputedWithoutOverflowWithinTheTimerRange) {
  EXPECT_EQ(FirstDisplayDelayMs(0), 0u);
  EXPECT_EQ(FirstDisplayDelayMs(30), 30000u);
  EXPECT_EQ(FirstDisplayDelayMs(2147483), 2147483000u);
  EXPECT_EQ(FirstDisplayDelayMs(2147484), kLongestTimerDelayMs);
  EXPECT_EQ(FirstDisplayDelayMs(2147483647), kLongestTimerDelayMs);
  EXPECT_EQ(FirstDisplayDelayMs(-1), kLongestTimerDelayMs);
}

}  // namespace
}  // namespace vexo

// Reading the start answer: the offer, shortcut rows and mini pop-up, with forward-only search.
#include "agent/update_response.h"

#include <gtest/gtest.h>

namespace vexo {
namespace {

constexpr char16_t kFolder[] = u"/data/vexo/";

struct Parsed {
  bool result = false;
  StartAnswer answer;
  int folderCalls = 0;
};

Parsed Parse(const std::u16string& text) {
  Parsed parsed;
  parsed.result = ParseUpdateResponse(
      text,
      [&] {
        ++parsed.folderCalls;
        return std::u16string(kFolder);
      },
      parsed.answer);
  return parsed;
}

const std::u16string kFullOffer =
    u"<response><data><software_update>"
    u"<status>y</status><name>setup-1.0.7.exe</name><rname>vexo-setup.exe</rname>"
    u"<force>n</force><param>/S /D=&quot;x y&quot;</param><version>1.0.7.0</version>"
    u"<url>http://h/files/</url><md5>D41D8CD98F00B204E9800998ECF8427E</md5>"
    u"</software_update></data></response>";

TEST(UpdateResponse, FullOfferFillsEveryField) {
  Parsed parsed = Parse(kFullOffer);
  ASSERT_TRUE(parsed.result);
  const UpdateOffer& offer = parsed.answer.updateOffer;
  EXPECT_TRUE(offer.offered);
  EXPECT_FALSE(offer.force);
  EXPECT_EQ(offer.downloadUrl, u"http://h/files/setup-1.0.7.exe");
  EXPECT_EQ(offer.installerPath, u"/data/vexo/vexo-setup.exe");
  EXPECT_EQ(offer.installerParams, u"/S /D=\"x y\"");
  EXPECT_EQ(offer.offeredVersion, u"1.0.7.0");
  EXPECT_EQ(offer.expectedMd5, u"D41D8CD98F00B204E9800998ECF8427E");
  EXPECT_EQ(parsed.folderCalls, 1);
}

TEST(UpdateResponse, SignatureIsReadOnlyAfterMd5) {
  const std::u16string prefix = u"<response><data><software_update><status>y</status>";
  const std::u16string suffix = u"</software_update></data></response>";
  Parsed after = Parse(prefix + u"<md5>m</md5><signature>s+/=</signature>" + suffix);
  EXPECT_EQ(after.answer.updateOffer.expectedMd5, u"m");
  EXPECT_EQ(after.answer.updateOffer.signature, u"s+/=");
  Parsed before = Parse(prefix + u"<signature>s</signature><md5>m</md5>" + suffix);
  EXPECT_EQ(before.answer.updateOffer.expectedMd5, u"m");
  EXPECT_EQ(before.answer.updateOffer.signature, u"");
}

TEST(UpdateResponse, OfferFieldRules) {
  const struct {
    const char* name;
    std::u16string offerChildren;
    bool offered;
    bool force;
    std::u16string downloadUrl;
    std::u16string installerPath;
    std::u16string md5;
  } cases[] = {
      {"status Y is not offered", u"<status>Y</status>", false, false, u"", kFolder, u""},
      {"status with spaces", u"<status> y </status>", false, false, u"", kFolder, u""},
      {"status yes", u"<status>yes</status>", false, false, u"", kFolder, u""},
      {"force without status", u"<force>y</force>", false, true, u"", kFolder, u""},
      {"url without slash joins directly",
       u"<status>y</status><name>a.exe</name><url>http://h/d</url>", true, false,
       u"http://h/da.exe", kFolder, u""},
      {"md5 before url is not found", u"<status>y</status><md5>abc</md5><url>http://h/</url>", true,
       false, u"http://h/", kFolder, u""},
      {"rname absent gives the folder", u"<status>y</status><name>a</name>", true, false, u"a",
       kFolder, u""},
      {"other elements between are skipped",
       u"<status>y</status><x/><rname>r.exe</rname><junk>1</junk><md5>m</md5>", true, false, u"",
       u"/data/vexo/r.exe", u"m"},
      {"character references are replaced", u"<status>&#121;</status><name>a&amp;b</name>", true,
       false, u"a&b", kFolder, u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Parsed parsed = Parse(u"<response><data><software_update>" + c.offerChildren +
                          u"</software_update></data></response>");
    ASSERT_TRUE(parsed.result);
    EXPECT_EQ(parsed.answer.updateOffer.offered, c.offered);
    EXPECT_EQ(parsed.answer.updateOffer.force, c.force);
    EXPECT_EQ(parsed.answer.updateOffer.downloadUrl, c.downloadUrl);
    EXPECT_EQ(parsed.answer.updateOffer.installerPath, c.installerPath);
    EXPECT_EQ(parsed.answer.updateOffer.expectedMd5, c.md5);
  }
}

TEST(UpdateResponse, WithoutResponseNothingChanges) {
  for (const char16_t* text : {u"", u"not xml", u"<answer><data/></answer>", u"<!-- x -->"}) {
    SCOPED_TRACE(std::u16string(text).size());
    Parsed parsed = Parse(text);
    EXPECT_FALSE(parsed.result);
    EXPECT_FALSE(parsed.answer.updateOffer.offered);
    EXPECT_TRUE(parsed.answer.updateOffer.installerPath.empty());
    EXPECT_EQ(parsed.folderCalls, 0);
  }
}

TEST(UpdateResponse, ResponseWithoutDataIsAcceptedAndChangesNothing) {
  Parsed parsed =
      Parse(u"<response><software_update><status>y</status></software_update></response>");
  EXPECT_TRUE(parsed.result);
  EXPECT_FALSE(parsed.answer.updateOffer.offered);
  EXPECT_EQ(parsed.folderCalls, 0);
}

const std::u16string kRows =
    u"<software_createlnk open=\"1\">"
    u"<row flag=\"f1\" uptime=\"12\" name=\"n1\" type=\"t1\" icoaddr=\"i1\" param=\"p1\" "
    u"webaddr=\"w1\"/>"
    u"<other/>"
    u"<row flag=\"f2\" uptime=\"x\" name=\"n2\"/>"
    u"<row uptime=\"-3\"/>"
    u"</software_createlnk>";
const std::u16string kMiniPopup =
    u"<mini_popup><item open=\"1\" height=\"200\" width=\"300\" url=\"http://h/p\" title=\"T\" "
    u"fistdisplay=\"15\"/><item open=\"1\" width=\"1\"/></mini_popup>";

TEST(UpdateResponse, ShortcutRowsInDocumentOrderAndTheFirstMiniPopupItem) {
  Parsed parsed = Parse(u"<response><data>" + kRows + kMiniPopup + u"</data></response>");
  ASSERT_TRUE(parsed.result);
  const auto& rows = parsed.answer.shortcutRows;
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].flag, u"f1");
  EXPECT_EQ(rows[0].uptime, 12);
  EXPECT_EQ(rows[0].webaddr, u"w1");
  EXPECT_EQ(rows[1].name, u"n2");
  EXPECT_EQ(rows[1].uptime, 0);
  EXPECT_EQ(rows[2].uptime, -3);
  const MiniPopup& popup = parsed.answer.miniPopup;
  EXPECT_TRUE(popup.open);
  EXPECT_EQ(popup.height, 200);
  EXPECT_EQ(popup.width, 300);
  EXPECT_EQ(popup.fistdisplay, 15);
  EXPECT_EQ(popup.url, u"http://h/p");
  EXPECT_EQ(popup.title, u"T");
  EXPECT_EQ(parsed.folderCalls, 0);
}

TEST(UpdateResponse, ClosedShortcutsAreSkippedButTheMiniPopupIsStillFound) {
  std::u16string closed = kRows;
  closed.replace(closed.find(u"open=\"1\""), 8, u"open=\"0\"");
  Parsed parsed = Parse(u"<response><data>" + closed + kMiniPopup + u"</data></response>");
  EXPECT_TRUE(parsed.answer.shortcutRows.empty());
  EXPECT_TRUE(parsed.answer.miniPopup.open);
}

TEST(UpdateResponse, MiniPopupBeforeShortcutsIsNotFound) {
  for (const std::u16string& rows : {kRows, std::u16string(u"<software_createlnk open=\"0\"/>")}) {
    Parsed parsed = Parse(u"<response><data>" + kMiniPopup + rows + u"</data></response>");
    EXPECT_FALSE(parsed.answer.miniPopup.open);
    EXPECT_EQ(parsed.answer.miniPopup.width, 0);
  }
}

}  // namespace
}  // namespace vexo

#include "agent/popup_schedule.h"

#include "agent/answer_text.h"
#include "agent/crypto/md5.h"
#include "agent/data_folder.h"
#include "platform/folders.h"
#include "xml/xml_navigator.h"

namespace vexo {
namespace {

constexpr char16_t kProfileSection[] = u"Msg";

std::u16string Digits(int value, size_t width) {
  std::u16string text(width, u'0');
  for (size_t i = width; i-- > 0 && value > 0; value /= 10) {
    text[i] = static_cast<char16_t>(u'0' + value % 10);
  }
  return text;
}

int32_t IntegerAttribute(CXmlNavigator& navigator, const char16_t* name) {
  return AnswerInteger(navigator.GetAttribute(navigator.CurrentPos(), name));
}

PopupItem ReadItem(CXmlNavigator& navigator, const std::u16string& profilePath) {
  PopupItem item;
  item.width = IntegerAttribute(navigator, u"width");
  item.height = IntegerAttribute(navigator, u"height");
  item.url = navigator.GetAttribute(navigator.CurrentPos(), u"url");
  item.key = PopupKey(item.url);
  int32_t maxDisplayTime = IntegerAttribute(navigator, u"maxdisplaytime");
  item.remaining =
      platform::GetPrivateProfileInt(kProfileSection, item.key, maxDisplayTime, profilePath);
  return item;
}

}  // namespace

std::u16string DailyFileName(const platform::LocalDate& date) {
  return Digits(date.year, 4) + Digits(date.month, 2) + Digits(date.day, 2) + u".ini";
}

std::u16string PopupKey(const std::u16string& url) {
  // The whole converted text is digested, also where a character takes several bytes.
  return WidenAnsi(Md5HexOf(NarrowAnsi(url)));
}

bool PopupSchedule::ParsePopupResponse(const std::u16string& text, const PopupContext& context) {
  CXmlNavigator navigator;
  navigator.ParseText(text);
  profilePath =
      context.dataFolder() + u"Msg" + platform::PathSeparator() + DailyFileName(context.today());
  CreateDirectoryPath(profilePath);

  if (!navigator.FindElement(u"response") || !navigator.EnterElement())
    return true;
  if (navigator.FindElement(u"errcode") &&
      AnswerInteger(navigator.GetElementData(navigator.CurrentPos())) < 0) {
    return false;
  }
  if (!navigator.FindElement(u"data") || !navigator.EnterElement())
    return true;
  if (!navigator.FindElement(u"rightdown_popup"))
    return true;

  int32_t stamp = IntegerAttribute(navigator, u"update_tm_stamp");
  if (stamp == lastStamp)
    return false;
  lastStamp = stamp;
  firstDisplay = IntegerAttribute(navigator, u"firstdisplay");
  interval = IntegerAttribute(navigator, u"interval");
  duration = IntegerAttribute(navigator, u"duration");

  navigator.EnterElement();
  items.clear();
  currentIndex = -1;
  while (navigator.FindElement(u"item"))
    items.push_back(ReadItem(navigator, profilePath));
  navigator.LeaveElement();
  navigator.LeaveElement();
  navigator.LeaveElement();
  return true;
}

}  // namespace vexo

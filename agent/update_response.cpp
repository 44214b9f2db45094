#include "agent/update_response.h"

#include "agent/answer_text.h"
#include "xml/xml_navigator.h"

namespace vexo {
namespace {

std::u16string Attribute(CXmlNavigator& navigator, const char16_t* name) {
  return navigator.GetAttribute(navigator.CurrentPos(), name);
}

// The text of the next child named `name`, or empty when there is none.
std::u16string ChildText(CXmlNavigator& navigator, const char16_t* name, bool& found) {
  found = navigator.FindElement(name);
  return found ? navigator.GetElementData(navigator.CurrentPos()) : std::u16string();
}

void ReadUpdateOffer(CXmlNavigator& navigator, const std::function<std::u16string()>& dataFolder,
                     UpdateOffer& offer) {
  bool found = false;
  std::u16string status = ChildText(navigator, u"status", found);
  if (found)
    offer.offered = status == u"y";
  std::u16string name = ChildText(navigator, u"name", found);
  std::u16string rname = ChildText(navigator, u"rname", found);
  bool force = ChildText(navigator, u"force", found) == u"y";
  std::u16string param = ChildText(navigator, u"param", found);
  std::u16string version = ChildText(navigator, u"version", found);
  std::u16string url = ChildText(navigator, u"url", found);
  std::u16string md5 = ChildText(navigator, u"md5", found);
  std::u16string signature = ChildText(navigator, u"signature", found);

  offer.downloadUrl = url + name;
  offer.installerPath = dataFolder() + rname;
  offer.force = force;
  offer.expectedMd5 = md5;
  offer.offeredVersion = version;
  offer.installerParams = param;
  offer.signature = signature;
}

void ReadShortcutRows(CXmlNavigator& navigator, std::vector<ShortcutRow>& rows) {
  while (navigator.FindElement(u"row")) {
    ShortcutRow row;
    row.flag = Attribute(navigator, u"flag");
    row.uptime = AnswerInteger(Attribute(navigator, u"uptime"));
    row.name = Attribute(navigator, u"name");
    row.type = Attribute(navigator, u"type");
    row.icoaddr = Attribute(navigator, u"icoaddr");
    row.param = Attribute(navigator, u"param");
    row.webaddr = Attribute(navigator, u"webaddr");
    rows.push_back(std::move(row));
  }
}

void ReadMiniPopup(CXmlNavigator& navigator, MiniPopup& popup) {
  if (!navigator.FindElement(u"item"))
    return;
  popup.open = Attribute(navigator, u"open") == u"1";
  popup.height = AnswerInteger(Attribute(navigator, u"height"));
  popup.width = AnswerInteger(Attribute(navigator, u"width"));
  popup.url = Attribute(navigator, u"url");
  popup.title = Attribute(navigator, u"title");
  popup.fistdisplay = AnswerInteger(Attribute(navigator, u"fistdisplay"));
}

}  // namespace

bool ParseUpdateResponse(const std::u16string& text,
                         const std::function<std::u16string()>& dataFolder, StartAnswer& answer) {
  CXmlNavigator navigator;
  navigator.ParseText(text);
  if (!navigator.FindElement(u"response") || !navigator.EnterElement())
    return false;
  if (navigator.FindElement(u"data") && navigator.EnterElement()) {
    if (navigator.FindElement(u"software_update") && navigator.EnterElement()) {
      ReadUpdateOffer(navigator, dataFolder, answer.updateOffer);
      navigator.LeaveElement();
    }
    if (navigator.FindElement(u"software_createlnk") && Attribute(navigator, u"open") == u"1" &&
        navigator.EnterElement()) {
      ReadShortcutRows(navigator, answer.shortcutRows);
      navigator.LeaveElement();
    }
    if (navigator.FindElement(u"mini_popup") && navigator.EnterElement()) {
      ReadMiniPopup(navigator, answer.miniPopup);
      navigator.LeaveElement();
    }
    navigator.LeaveElement();
  }
  navigator.LeaveElement();
  return true;
}

}  // namespace vexo

#include "tools/offer_names.h"

#include <algorithm>
#include <cctype>
#include <iterator>

#include "agent/answer_rules.h"
#include "agent/answer_text.h"
#include "server/common/utf8_text.h"

namespace vexo::tools {
namespace {

// The devices Windows opens in place of a file of that name, with any extension.
constexpr std::u16string_view kWindowsDeviceNames[] = {
    u"CON",  u"PRN",  u"AUX",  u"NUL",  u"CONIN$", u"CONOUT$", u"COM0", u"COM1",
    u"COM2", u"COM3", u"COM4", u"COM5", u"COM6",   u"COM7",    u"COM8", u"COM9",
    u"COM¹", u"COM²", u"COM³", u"LPT0", u"LPT1",   u"LPT2",    u"LPT3", u"LPT4",
    u"LPT5", u"LPT6", u"LPT7", u"LPT8", u"LPT9",   u"LPT¹",    u"LPT²", u"LPT³"};

bool IsWindowsDeviceName(std::u16string_view name) {
  std::u16string_view stem = name.substr(0, name.find(u'.'));
  while (stem.ends_with(u' ')) {
    stem.remove_suffix(1);
  }
  return std::any_of(
      std::begin(kWindowsDeviceNames), std::end(kWindowsDeviceNames),
      [&](std::u16string_view device) { return EqualsIgnoringAsciiCase(stem, device); });
}

bool IsControlOrSteering(char16_t c) {
  return c < 0x20 || c == 0x7f || server::SteersDisplay(c);
}

}  // namespace

std::optional<std::string> OfferTextFault(std::string_view text) {
  std::u16string wide = WidenAnsi(text);
  if (NarrowAnsi(wide) != text) {
    return "holds bytes that are not text in the locale's character set, which agents read "
           "answers in";
  }
  if (std::any_of(wide.begin(), wide.end(), IsControlOrSteering)) {
    return "holds a control or bidirectional formatting character";
  }
  return std::nullopt;
}

std::optional<std::string> DownloadNameFault(std::string_view name) {
  if (std::optional<std::string> fault = OfferTextFault(name)) {
    return fault;
  }
  for (size_t start = 0; start <= name.size();) {
    size_t end = std::min(name.find('/', start), name.size());
    if (end - start > kLongestServedName) {
      return "is longer than the " + std::to_string(kLongestServedName) +
             " bytes vexo-server serves in one name";
    }
    start = end + 1;
  }
  return std::nullopt;
}

std::optional<std::string> LocalNameFault(std::string_view rname) {
  if (std::optional<std::string> fault = DownloadNameFault(rname)) {
    return fault;
  }
  std::u16string wide = WidenAnsi(rname);
  if (!IsPlainFileName(wide)) {
    return "must be a plain file name";
  }
  if (wide.find_first_of(u"<>\"|?*") != std::u16string::npos) {
    return "holds a character Windows does not allow in a file name (<>\"|?*)";
  }
  if (wide.ends_with(u'.') || wide.ends_with(u' ')) {
    return "ends in a dot or a blank, which Windows drops from a file name";
  }
  if (IsWindowsDeviceName(wide)) {
    return "is a device on Windows (CON, PRN, AUX, NUL, COM0-9 and LPT0-9, with any extension)";
  }
  return std::nullopt;
}

std::string QuotedName(std::string_view name) {
  return "'" + server::EscapedForLog(name, 64, false) + "'";
}

}  // namespace vexo::tools

#include "tools/answer_check.h"

#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "agent/answer_rules.h"
#include "agent/answer_text.h"
#include "agent/crypto/answer_cipher.h"
#include "agent/popup_schedule.h"
#include "agent/update_response.h"
#include "xml/xml_navigator.h"

namespace vexo::tools {
namespace {

// Agents read one answer with a single read into a buffer of this size.
constexpr size_t kAnswerBufferSize = 102400;

class ReportWriter {
 public:
  explicit ReportWriter(std::u16string dataFolder) : dataFolder_(std::move(dataFolder)) {}

  // Paths in the data folder are shown relative to it, so reports do not depend on where it is.
  std::string DisplayPath(const std::u16string& path) const {
    if (!dataFolder_.empty() && path.starts_with(dataFolder_)) {
      return "\"<data folder>/" + NarrowAnsi(path.substr(dataFolder_.size())) + "\"";
    }
    return Quoted(path);
  }
  void Line(std::string_view text) {
    text_ += text;
    text_ += '\n';
  }
  void Field(std::string_view name, const std::u16string& value) {
    Line("  " + std::string(name) + std::string(name.size() < 16 ? 16 - name.size() : 1, ' ') +
         Quoted(value));
  }
  void Problem(const std::string& text) {
    Line("problem: " + text);
    ++problems_;
  }
  // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) about "literal" + string&& when
  // buffer checks are on.
  static std::string Quoted(const std::u16string& value) {
    std::string quoted = "\"";
    quoted += NarrowAnsi(value);
    quoted += '"';
    return quoted;
  }

  std::string& text() { return text_; }
  int problems() const { return problems_; }

 private:
  std::u16string dataFolder_;
  std::string text_;
  int problems_ = 0;
};

bool LooksPlain(std::string_view bytes) {
  if (bytes.starts_with("\xEF\xBB\xBF")) {
    bytes.remove_prefix(3);
  }
  size_t first = bytes.find_first_not_of(" \t\r\n");
  return first != std::string_view::npos && bytes[first] == '<';
}

std::string Decipher(std::string_view bytes) {
  return DecipherAnswer(reinterpret_cast<const unsigned char*>(bytes.data()),
                        static_cast<uint32_t>(bytes.size()));
}

// The answer's text as an agent has it after the read and the cipher.
std::string AgentText(const std::string& bytes, const CheckOptions& options, ReportWriter& out) {
  bool plain = options.form == AnswerForm::kPlain ||
               (options.form == AnswerForm::kAuto && LooksPlain(bytes));
  if (plain) {
    size_t enciphered = (bytes.size() + 7) / 8 * 8;
    out.Line("answer: plain XML, " + std::to_string(bytes.size()) + " bytes (" +
             std::to_string(enciphered) + " enciphered)");
    if (enciphered > kAnswerBufferSize) {
      out.Problem("enciphered, the answer exceeds the " + std::to_string(kAnswerBufferSize) +
                  " bytes agents read; they see only its beginning");
      return Decipher(EncipherAnswer(bytes).substr(0, kAnswerBufferSize));
    }
    if (bytes.find('\0') != std::string::npos) {
      out.Problem("the answer holds zero bytes; agents drop the rest of each such 8-byte block");
      return Decipher(EncipherAnswer(bytes));
    }
    return bytes;
  }
  out.Line("answer: enciphered, " + std::to_string(bytes.size()) + " bytes");
  if (bytes.size() > kAnswerBufferSize) {
    out.Problem("longer than the " + std::to_string(kAnswerBufferSize) +
                " bytes agents read; they decipher only its beginning");
  }
  if (bytes.size() % 8 != 0) {
    out.Problem("the length is not a multiple of 8: the last block is cut");
  }
  return Decipher(std::string_view(bytes).substr(0, kAnswerBufferSize));
}

void ReportXml(const std::u16string& text, ReportWriter& out) {
  CXmlNavigator navigator;
  navigator.ParseText(text);
  out.Line(std::string("xml: ") + (navigator.IsWellFormed() ? "well-formed" : "NOT well-formed"));
  if (!navigator.ParseResult().empty()) {
    out.Line("parser records: " + NarrowAnsi(navigator.ParseResult()));
  }
  if (!navigator.IsWellFormed()) {
    out.Problem("the XML is not well-formed; agents read only the elements they can find");
  }
}

// What an agent finds when `installer` is the file it downloaded for `offer`.
void ReportInstaller(const UpdateOffer& offer, const InstalledFile& installer,
                     const PinnedKeys& keys, ReportWriter& out) {
  if (!EqualsIgnoringAsciiCase(offer.expectedMd5, WidenAnsi(installer.md5))) {
    out.Problem("the installer's MD5 is " + installer.md5 +
                ", not the offer's; agents launch nothing");
  } else {
    out.Line("  installer       MD5 matches");
  }
  if (keys.empty()) {
    return;
  }
  if (std::optional<size_t> key =
          VouchingKey(offer.signature, offer.offeredVersion, installer.facts, keys)) {
    out.Line("  signature       verifies under key " + std::to_string(*key + 1) + " (" +
             PublicKeyText(keys[*key]) + "): agents pinned to it launch this installer");
    return;
  }
  if (offer.signature.empty()) {
    out.Problem("the offer has no signature; agents pinned to these keys launch nothing");
  } else if (!ParseSignatureText(offer.signature)) {
    out.Problem(
        "the signature is not 64 bytes in base64; agents pinned to these keys launch "
        "nothing");
  } else {
    out.Problem("the signature does not verify for this installer and version " +
                ReportWriter::Quoted(offer.offeredVersion) +
                " under any of these keys; agents pinned to them launch nothing");
  }
}

void ReportOffer(const UpdateOffer& offer, const CheckOptions& options, ReportWriter& out) {
  out.Line(std::string("update offer: ") + (offer.offered ? "offered" : "not offered"));
  out.Field("version", offer.offeredVersion);
  out.Field("downloadUrl", offer.downloadUrl);
  out.Line("  installerPath   " + out.DisplayPath(offer.installerPath));
  out.Field("installerParams", offer.installerParams);
  out.Field("expectedMd5", offer.expectedMd5);
  if (!offer.signature.empty()) {
    out.Field("signature", offer.signature);
  }
  out.Line(std::string("  force           ") + (offer.force ? "yes (no question)" : "no"));
  if (offer.downloadUrl.find(u"{{origin}}") != std::u16string::npos) {
    out.Line("  note            vexo-server replaces {{origin}} with its own origin");
  }
  if (!offer.offered) {
    return;
  }
  std::string agent = NarrowAnsi(options.agentVersion);
  switch (CompareVersions(offer.offeredVersion, options.agentVersion)) {
    case 1:
      out.Line("  verdict         newer than " + agent + ": agents of that version install it");
      break;
    case kFirstIsNotAVersion:
      out.Problem("the offered version is not a version text; no agent installs it");
      break;
    default:
      out.Line("  verdict         not newer than " + agent + ": agents of that version ignore it");
  }
  std::u16string rname = offer.installerPath.substr(options.dataFolder.size());
  if (!IsPlainFileName(rname)) {
    out.Problem("rname " + ReportWriter::Quoted(rname) +
                " is not a plain file name; agents do not download or launch it");
  }
  if (offer.expectedMd5.size() != 32) {
    out.Problem("md5 is not 32 hexadecimal digits; no download will ever verify");
  }
  if (options.installer) {
    ReportInstaller(offer, *options.installer, options.keys, out);
  }
}

void ReportShortcuts(const std::vector<ShortcutRow>& rows, ReportWriter& out) {
  out.Line("shortcut rows: " + std::to_string(rows.size()));
  for (size_t i = 0; i < rows.size(); ++i) {
    const ShortcutRow& row = rows[i];
    out.Line("  " + std::to_string(i + 1) + ". flag=" + ReportWriter::Quoted(row.flag) +
             " uptime=" + std::to_string(row.uptime) + " name=" + ReportWriter::Quoted(row.name) +
             " type=" + ReportWriter::Quoted(row.type) + " icoaddr=" +
             ReportWriter::Quoted(row.icoaddr) + " param=" + ReportWriter::Quoted(row.param) +
             " webaddr=" + ReportWriter::Quoted(row.webaddr));
  }
}

void ReportMiniPopup(const MiniPopup& popup, ReportWriter& out) {
  out.Line(std::string("mini pop-up: ") + (popup.open ? "open" : "closed") + ", " +
           std::to_string(popup.width) + "x" + std::to_string(popup.height) + ", fistdisplay " +
           std::to_string(popup.fistdisplay));
  out.Field("url", popup.url);
  out.Field("title", popup.title);
}

void ReportStart(const std::u16string& text, const CheckOptions& options, ReportWriter& out,
                 bool& accepted) {
  StartAnswer answer;
  accepted = ParseUpdateResponse(
      text, [&] { return options.dataFolder; }, answer);
  out.Line(std::string("start answer: ") +
           (accepted ? "accepted" : "rejected (no top-level response element)"));
  if (!accepted) {
    return;
  }
  ReportOffer(answer.updateOffer, options, out);
  ReportShortcuts(answer.shortcutRows, out);
  ReportMiniPopup(answer.miniPopup, out);
}

void ReportPopup(const std::u16string& text, const CheckOptions& options, ReportWriter& out,
                 bool& accepted) {
  PopupSchedule schedule;
  PopupContext context{[&] { return options.dataFolder; }, [] { return platform::Today(); }};
  accepted = schedule.ParsePopupResponse(text, context);
  out.Line(std::string("pop-up answer: ") +
           (accepted ? "accepted"
                     : "rejected: the agent closes (errcode below 0, or a stamp "
                       "equal to the last one; a first answer's last stamp is 0)"));
  out.Line("schedule: update_tm_stamp " + std::to_string(schedule.lastStamp) + ", firstdisplay " +
           std::to_string(schedule.firstDisplay) + " s, interval " +
           std::to_string(schedule.interval) + ", duration " + std::to_string(schedule.duration));
  out.Line("  per-day file    " + out.DisplayPath(schedule.profilePath));
  out.Line("items: " + std::to_string(schedule.items.size()));
  for (size_t i = 0; i < schedule.items.size(); ++i) {
    const PopupItem& item = schedule.items[i];
    out.Line("  " + std::to_string(i + 1) + ". key " + NarrowAnsi(item.key) + ", " +
             std::to_string(item.width) + "x" + std::to_string(item.height) + ", remaining " +
             std::to_string(item.remaining) + ", url " + ReportWriter::Quoted(item.url));
  }
}

bool LooksLikePopupAnswer(const std::u16string& text) {
  return text.find(u"<rightdown_popup") != std::u16string::npos ||
         text.find(u"<errcode") != std::u16string::npos;
}

}  // namespace

CheckReport CheckAnswer(const std::string& bytes, const CheckOptions& options) {
  ReportWriter out(options.dataFolder);
  std::u16string text = WidenAnsi(AgentText(bytes, options, out));
  ReportXml(text, out);
  bool popup = options.kind == AnswerKind::kPopup ||
               (options.kind == AnswerKind::kAuto && LooksLikePopupAnswer(text));
  bool accepted = false;
  if (popup) {
    ReportPopup(text, options, out, accepted);
  } else {
    ReportStart(text, options, out, accepted);
  }
  return CheckReport{std::move(out.text()), accepted && out.problems() == 0};
}

}  // namespace vexo::tools

#include "agent/update_installation.h"

#include <array>
#include <filesystem>

#include "agent/answer_text.h"
#include "agent/crypto/md5.h"
#include "agent/installer_download.h"
#include "platform/folders.h"

namespace vexo {
namespace {

using VersionParts = std::array<int32_t, 4>;

// Reads a version text into four components; false when it is not a version text.
bool ReadVersion(std::u16string_view text, VersionParts& parts) {
  parts = {0, 0, 0, 0};
  size_t count = 0;
  size_t position = 0;
  while (position < text.size()) {
    // Runs of dots are one separator; leading and trailing dots are ignored.
    size_t start = text.find_first_not_of(u'.', position);
    if (start == std::u16string_view::npos)
      break;
    size_t end = text.find(u'.', start);
    if (end == std::u16string_view::npos)
      end = text.size();
    std::u16string_view part = text.substr(start, end - start);
    if (count == parts.size() || !IsAllDigits(part))
      return false;
    parts[count++] = AnswerInteger(part);  // long digit strings stop at 2147483647
    position = end;
  }
  return count > 0;
}

}  // namespace

bool IsAllDigits(std::u16string_view text) {
  for (char16_t c : text) {
    if (c < u'0' || c > u'9')
      return false;
  }
  return true;
}

int CompareVersions(std::u16string_view a, std::u16string_view b) {
  VersionParts left;
  VersionParts right;
  if (!ReadVersion(a, left))
    return -21;
  if (!ReadVersion(b, right))
    return -22;
  for (size_t i = 0; i < left.size(); ++i) {
    if (left[i] != right[i])
      return left[i] > right[i] ? 1 : -1;
  }
  return 0;
}

std::u16string FileDigest(const std::u16string& path) {
  Md5Digest digest;
  digest.Init();
  digest.UpdateFromFile(path);
  digest.Final();
  return WidenAnsi(digest.HexDigest());
}

bool IsPlainFileName(std::u16string_view name) {
  if (name.empty() || name == u"." || name == u"..")
    return false;
  for (char16_t c : name) {
    if (c < 0x20 || c == u'\\' || c == u'/' || c == u':')
      return false;
  }
  return true;
}

bool InstallerIsVouchedFor(const UpdateOffer& offer, const PinnedKeys& keys) {
  if (keys.empty())
    return true;
  try {
    std::optional<InstallerFacts> installer =
        ReadInstallerFacts(std::filesystem::path(offer.installerPath));
    return installer && VouchingKey(offer.signature, offer.offeredVersion, *installer, keys);
  } catch (...) {
    return false;  // whatever went wrong, nothing vouched for the file
  }
}

void RunUpdate(const UpdateOffer& offer, const std::u16string& ownVersion,
               const std::u16string& dataFolder, const PinnedKeys& keys, Desktop& desktop,
               platform::WindowHandle owner) {
  // The installer path is the data folder followed by the offer's local file name.
  const std::u16string& path = offer.installerPath;
  if (!offer.offered || CompareVersions(offer.offeredVersion, ownVersion) != 1 ||
      path.compare(0, dataFolder.size(), dataFolder) != 0 ||
      !IsPlainFileName(std::u16string_view(path).substr(dataFolder.size()))) {
    RemoveOtherPartials(dataFolder, u"", u"");  // no offer names a partial download any more
    return;
  }

  bool present = platform::GetPathKind(path) != platform::PathKind::kMissing &&
                 EqualsIgnoringAsciiCase(offer.expectedMd5, FileDigest(path));
  const std::u16string partial = present ? u"" : PartialPathFor(path, offer.expectedMd5);
  RemoveOtherPartials(dataFolder, path, partial);
  if (!present) {
    // A digest that is not one names no file that could ever pass the verification.
    if (!partial.empty()) {
      try {
        DownloadInstaller(offer.downloadUrl, path, partial);
      } catch (...) {
        // A failed download leaves whatever file is on disk to the verification.
      }
    }
    if (!EqualsIgnoringAsciiCase(offer.expectedMd5, FileDigest(path)))
      return;
  }
  // Checked on the file as it is now, whether it was already present or just downloaded.
  if (!InstallerIsVouchedFor(offer, keys))
    return;
  if (!offer.force && !desktop.AskYesNo(owner, kUpdateQuestion, kUpdateCaption))
    return;
  desktop.Launch(path, offer.installerParams);
}

}  // namespace vexo

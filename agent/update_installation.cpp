#include "agent/update_installation.h"

#include <filesystem>

#include "agent/answer_text.h"
#include "agent/crypto/md5.h"
#include "agent/installer_download.h"
#include "platform/folders.h"

namespace vexo {

std::u16string FileDigest(const std::u16string& path) {
  return WidenAnsi(Md5HexOfFile(path).value_or(Md5HexOf({})));
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

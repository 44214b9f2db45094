#include "agent/update_installation.h"

#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <vector>

#include "agent/answer_text.h"
#include "agent/crypto/md5.h"
#include "http/http_client.h"
#include "platform/folders.h"

namespace vexo {
namespace {

// Downloads `url` into the data folder and renames it over `installerPath` only when exactly the
// announced number of bytes (more than kSmallestInstaller) arrived and were written. The body is
// copied in chunks, so memory stays bounded whatever its size; on any failure the previous file
// stays as it was and the partial file is removed.
void DownloadInstaller(const std::u16string& url, const std::u16string& installerPath) {
  CHttpClientT client;
  std::unique_ptr<CHttpResponseT> response(client.Get(url.c_str(), false));
  uint32_t length = 0;
  if (!response->GetContentLength(length) || length <= kSmallestInstaller)
    return;

  std::filesystem::path target(installerPath);
  std::filesystem::path partial = target;
  partial += u".download";
  bool complete = false;
  {
    std::ofstream file(partial, std::ios::binary | std::ios::trunc);
    if (!file)
      return;
    std::vector<unsigned char> chunk(64 * 1024);
    uint32_t received = 0;
    try {
      while (received < length) {
        uint32_t want = std::min<uint32_t>(length - received, static_cast<uint32_t>(chunk.size()));
        uint32_t got = response->ReadContent(chunk.data(), want);
        if (got == 0)
          break;
        file.write(reinterpret_cast<const char*>(chunk.data()), got);
        if (!file)
          break;
        received += got;
      }
      file.close();
      complete = received == length && file;
    } catch (...) {
      complete = false;
    }
  }
  std::error_code error;
  if (complete)
    std::filesystem::rename(partial, target, error);
  if (!complete || error)
    std::filesystem::remove(partial, error);
}

}  // namespace

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
  if (!offer.offered)
    return;
  if (CompareVersions(offer.offeredVersion, ownVersion) != 1)
    return;
  // The installer path is the data folder followed by the offer's local file name.
  const std::u16string& path = offer.installerPath;
  if (path.compare(0, dataFolder.size(), dataFolder) != 0 ||
      !IsPlainFileName(std::u16string_view(path).substr(dataFolder.size()))) {
    return;
  }

  bool present = platform::GetPathKind(path) != platform::PathKind::kMissing &&
                 EqualsIgnoringAsciiCase(offer.expectedMd5, FileDigest(path));
  if (!present) {
    try {
      DownloadInstaller(offer.downloadUrl, path);
    } catch (...) {
      // A failed download leaves whatever file is on disk to the verification.
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

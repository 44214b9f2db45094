#include "agent/installer_download.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

#include "http/http_client.h"

namespace vexo {
namespace {

namespace fs = std::filesystem;

constexpr std::u16string_view kPartialSuffix = u".partial";
constexpr size_t kDigestLength = 32;
constexpr uint32_t kChunkSize = 64 * 1024;

constexpr uint32_t kStatusOk = 200;
constexpr uint32_t kStatusPartialContent = 206;
constexpr uint32_t kStatusRangeNotSatisfiable = 416;

bool IsLowerHexDigit(char16_t c) {
  return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f');
}

char16_t LowerAscii(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

// "<name>.<32 lowercase hexadecimal digits>.partial", as PartialPathFor names them.
bool IsPartialName(std::u16string_view name) {
  if (name.size() <= kPartialSuffix.size() + kDigestLength + 1 ||
      name.substr(name.size() - kPartialSuffix.size()) != kPartialSuffix) {
    return false;
  }
  name.remove_suffix(kPartialSuffix.size());
  std::u16string_view digest = name.substr(name.size() - kDigestLength);
  return name[name.size() - kDigestLength - 1] == u'.' &&
         std::all_of(digest.begin(), digest.end(), IsLowerHexDigit);
}

uint64_t SizeOf(const fs::path& path) {
  std::error_code error;
  uintmax_t size = fs::file_size(path, error);
  return error ? 0 : size;
}

void RemoveFile(const fs::path& path) {
  std::error_code error;
  fs::remove(path, error);
}

// How one request for the installer ended.
enum class AttemptEnd {
  kComplete,      // the partial file holds the whole installer
  kStopped,       // no usable answer, or its body ended early; what arrived stays
  kRangeRefused,  // the answer to a Range request cannot be appended to the partial file
};

// Where an answer's body goes in the partial file.
struct Body {
  uint64_t offset = 0;    // its first byte's position in the installer
  uint32_t length = 0;    // its announced length
  uint64_t complete = 0;  // the installer's whole length
  bool resumable = true;  // whether what arrived of it may be completed later
};

// A partial answer is appended only when it carries exactly the rest of the installer from
// `offset` on, of a length that agrees with its Content-Length and with the complete length
// announced earlier in this run.
bool CarriesTheRest(const HttpContentRange& range, uint64_t offset, uint32_t length,
                    std::optional<uint64_t> knownComplete) {
  return range.first == offset && range.last + 1 == range.complete &&
         range.complete > kSmallestInstaller && range.complete <= UINT32_MAX &&
         range.complete - offset == length && (!knownComplete || *knownComplete == range.complete);
}

// Copies the body into the partial file chunk by chunk: from the start for a whole file, after
// what is there for a partial answer. Never more than the announced length is written.
AttemptEnd WriteBody(CHttpResponseT& response, const fs::path& partial, const Body& body) {
  uint32_t received = 0;
  {
    std::ofstream file(partial,
                       std::ios::binary | (body.offset == 0 ? std::ios::trunc : std::ios::app));
    if (!file)
      return AttemptEnd::kStopped;
    std::vector<uint8_t> chunk(kChunkSize);
    try {
      while (received < body.length) {
        uint32_t want = std::min(body.length - received, kChunkSize);
        uint32_t got = response.ReadContentUpToFailure(chunk.data(), want);
        if (got == 0)
          break;
        file.write(reinterpret_cast<const char*>(chunk.data()), got);
        if (!file)
          break;
        received += got;
      }
    } catch (...) {
      // The transfer was cut: what was written stays.
    }
  }
  if (received == body.length && SizeOf(partial) == body.complete)
    return AttemptEnd::kComplete;
  if (!body.resumable)
    RemoveFile(partial);
  return AttemptEnd::kStopped;
}

// Asks for the installer, from byte `offset` on when the partial file already holds that much,
// and writes what comes back. `knownComplete` carries the complete length from one attempt to
// the next.
AttemptEnd RequestInstaller(const std::u16string& url, const fs::path& partial, uint64_t offset,
                            std::optional<uint64_t>& knownComplete) {
  CHttpClientT client;
  if (offset > 0)
    client.Headers().Add(u"Range", RangeFrom(offset).c_str());
  std::unique_ptr<CHttpResponseT> response(client.Get(url.c_str(), false));
  uint32_t length = 0;
  bool announced = response->GetContentLength(length);
  uint32_t status = response->GetStatusCode();

  Body body;
  if (offset == 0 || status == kStatusOk) {
    // The whole file: a fresh download, or a server that ignored the range. As ever, a whole file
    // is written whatever the status; only a 200's can be completed later.
    if (!announced || length <= kSmallestInstaller)
      return AttemptEnd::kStopped;
    body = Body{0, length, length, status == kStatusOk};
  } else if (status == kStatusPartialContent) {
    HttpContentRange range;
    if (!announced || !response->GetContentRange(range) ||
        !CarriesTheRest(range, offset, length, knownComplete)) {
      return AttemptEnd::kRangeRefused;
    }
    body = Body{offset, length, range.complete, true};
  } else if (status == kStatusRangeNotSatisfiable) {
    return AttemptEnd::kRangeRefused;
  } else {
    return AttemptEnd::kStopped;  // the server could not answer now; the partial waits
  }
  knownComplete = body.complete;
  return WriteBody(*response, partial, body);
}

void Install(const fs::path& partial, const std::u16string& installerPath) {
  std::error_code error;
  fs::rename(partial, fs::path(installerPath), error);
  if (error)
    RemoveFile(partial);
}

}  // namespace

std::u16string PartialPathFor(const std::u16string& installerPath,
                              std::u16string_view expectedMd5) {
  std::u16string digest(expectedMd5);
  std::transform(digest.begin(), digest.end(), digest.begin(), LowerAscii);
  if (digest.size() != kDigestLength || !std::all_of(digest.begin(), digest.end(), IsLowerHexDigit))
    return std::u16string();
  return installerPath + u"." + digest + std::u16string(kPartialSuffix);
}

void RemoveOtherPartials(const std::u16string& dataFolder, const std::u16string& installerPath,
                         const std::u16string& partialPath) {
  auto nameOf = [](const std::u16string& path) {
    return path.empty() ? std::u16string() : fs::path(path).filename().u16string();
  };
  const std::u16string keep[] = {nameOf(installerPath), nameOf(partialPath)};
  std::vector<fs::path> stale;
  std::error_code error;
  for (fs::directory_iterator entry(fs::path(dataFolder), error), end; !error && entry != end;
       entry.increment(error)) {
    std::u16string name = entry->path().filename().u16string();
    if (IsPartialName(name) && std::find(std::begin(keep), std::end(keep), name) == std::end(keep))
      stale.push_back(entry->path());
  }
  for (const fs::path& path : stale) {
    if (fs::is_regular_file(path, error))
      RemoveFile(path);
  }
}

void DownloadInstaller(const std::u16string& url, const std::u16string& installerPath,
                       const std::u16string& partialPath) {
  const fs::path partial(partialPath);
  std::optional<uint64_t> knownComplete;
  bool startedAfresh = false;
  int resumesLeft = kMostResumesPerRun;
  for (;;) {
    uint64_t before = SizeOf(partial);
    AttemptEnd end = AttemptEnd::kStopped;
    try {
      end = RequestInstaller(url, partial, before, knownComplete);
    } catch (...) {
      // No answer that could be read: what is on disk stays.
    }
    if (end == AttemptEnd::kComplete) {
      Install(partial, installerPath);
      return;
    }
    if (end == AttemptEnd::kRangeRefused) {
      RemoveFile(partial);
      if (startedAfresh)
        return;
      startedAfresh = true;
      continue;
    }
    // Resumed only while each attempt adds to what the partial file holds.
    if (SizeOf(partial) <= before || resumesLeft-- == 0)
      return;
  }
}

}  // namespace vexo

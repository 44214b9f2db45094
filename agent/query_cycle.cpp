#include "agent/query_cycle.h"

#include <memory>
#include <vector>

#include "agent/answer_text.h"
#include "agent/crypto/answer_cipher.h"
#include "http/http_client.h"
#include "platform/folders.h"

namespace vexo {
namespace {

std::u16string Decimal(uint32_t value) {
  std::u16string digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + value % 10));
    value /= 10;
  } while (value != 0);
  return digits;
}

// An origin without the trailing slashes a publisher may have written.
std::u16string TrimTrailingSlashes(std::u16string origin) {
  while (!origin.empty() && origin.back() == u'/')
    origin.pop_back();
  return origin;
}

}  // namespace

QueryCycle::QueryCycle(Desktop& desktop, std::u16string compiledOrigin)
    : desktop_(desktop), compiledOrigin_(std::move(compiledOrigin)) {}

std::u16string QueryCycle::FetchAnswer(std::u16string_view query) {
  CHttpClientT client;
  std::u16string url = BuildQueryUrl(query);
  std::vector<unsigned char> buffer(ANSWER_BUFFER_SIZE, 0);
  uint32_t received = 0;
  {
    std::unique_ptr<CHttpResponseT> response(client.Get(url.c_str(), false));
    // One read only: a longer answer is cut at the buffer's size.
    received = response->ReadContent(buffer.data(), ANSWER_BUFFER_SIZE);
  }
  return WidenAnsi(DecipherAnswer(buffer.data(), received));
}

std::u16string QueryCycle::ServerOrigin() {
  std::optional<std::u16string> configured = desktop_.MachineValue(u"server");
  return TrimTrailingSlashes(configured && !configured->empty() ? *configured : compiledOrigin_);
}

std::u16string QueryCycle::BuildQueryUrl(std::u16string_view query) {
  std::u16string application = ReadApplicationName();
  std::u16string version = GetOwnFileVersion();
  // Both values go in as they are, unescaped.
  return ServerOrigin() + u"/client/getData.php?q=" + std::u16string(query) + u"&ver=" + version +
         u"&t=" + application;
}

std::u16string QueryCycle::ReadApplicationName() {
  if (applicationName_.empty()) {
    std::optional<std::u16string> value = desktop_.MachineValue(u"application");
    applicationName_ = value ? *value : kDefaultApplicationName;
  }
  return applicationName_;
}

std::u16string QueryCycle::GetOwnFileVersion() {
  std::optional<platform::FileVersion> version = desktop_.OwnFileVersion();
  if (!version)
    return {};
  return Decimal(version->mostSignificant >> 16) + u"." +
         Decimal(version->mostSignificant & 0xFFFF) + u"." +
         Decimal(version->leastSignificant >> 16) + u"." +
         Decimal(version->leastSignificant & 0xFFFF);
}

std::u16string QueryCycle::GetDataFolder() {
  if (dataFolder_.empty()) {
    const char16_t separator = platform::PathSeparator();
    std::u16string folder = desktop_.ApplicationDataFolder() + separator + u"vexo" + separator;
    CreateDirectoryPath(folder);
    dataFolder_ = folder;
  }
  return dataFolder_;
}

}  // namespace vexo

#include "http/http_tool.h"

#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "http/http_error.h"
#include "http/http_url.h"
#include "platform/codepage.h"

namespace vexo {
namespace {

size_t NarrowLength(const char* text) {
  return text == nullptr ? 0 : std::strlen(text);
}

// Calls into the narrow layer: a narrow exception leaves as a wide one with the same code, message
// and platform error. The converted texts are owned by the caller's smart pointers, so they are
// freed on every path.
template <typename Call>
auto CallNarrowLayer(Call&& call) -> decltype(call()) {
  try {
    return call();
  } catch (const httpclientexceptionA& narrow) {
    ThrowWidenedException(narrow);
  }
}

}  // namespace

// --- CHttpToolA

HINTERNET CHttpToolA::OpenRequest(HINTERNET hConnection, const char* szVerb,
                                  const char* szObjectName, uint32_t dwFlags,
                                  const char* szReferrer) {
  if (hConnection == nullptr)
    ThrowExceptionA("CHttpToolA::OpenRequest: hConnection can not be NULL.", 0);
  if (szObjectName == nullptr)
    ThrowExceptionA("CHttpToolA::OpenRequest: szObjectName can not be NULL.", 0);
  if (szObjectName[0] == 0)
    ThrowExceptionA("CHttpToolA::OpenRequest: szObjectName can not be an empty string.", 0);
  static const char* const kAcceptTypes[] = {"*/*", nullptr};
  HINTERNET hRequest = platform::OpenHttpRequest(hConnection, szVerb, szObjectName, "HTTP/1.1",
                                                 szReferrer, kAcceptTypes, dwFlags);
  if (hRequest == nullptr)
    ThrowFormattedExceptionA(httperror::kHttpOpenRequest, platform::LastInternetError(), nullptr);
  return hRequest;
}

void CHttpToolA::AddHeader(HINTERNET hRequest, const char* szName, const char* szValue) {
  if (hRequest == nullptr)
    ThrowExceptionA("CHttpToolA::AddHeader: hRequest can not be NULL.", 0);
  if (szName == nullptr)
    ThrowExceptionA("CHttpToolA::AddHeader: szName can not be NULL.", 0);
  size_t nameLength = NarrowLength(szName);
  size_t valueLength = NarrowLength(szValue);
  uint32_t size =
      GuardedA::Add(GuardedA::Add(GuardedA::Length(nameLength), GuardedA::Length(valueLength)), 5);
  std::unique_ptr<char[]> line(new (std::nothrow) char[size]);
  if (!line)
    ThrowExceptionA(httperror::kOutOfMemory);
  char* out = line.get();
  std::memcpy(out, szName, nameLength);
  out += nameLength;
  std::memcpy(out, ": ", 2);
  out += 2;
  if (valueLength != 0)
    std::memcpy(out, szValue, valueLength);
  out += valueLength;
  std::memcpy(out, "\r\n", 3);
  if (!platform::AddHttpRequestHeaders(hRequest, line.get(), size - 1, platform::kAddHeaderAdd))
    ThrowFormattedExceptionA(httperror::kHttpAddRequestHeaders, platform::LastInternetError(),
                             nullptr);
}

// --- CHttpToolW

HINTERNET CHttpToolW::OpenInternet(const char16_t* szUserAgent, uint32_t dwAccessType,
                                   const char16_t* szProxyName, const char16_t* szProxyBypass,
                                   uint32_t dwFlags) {
  HINTERNET hInternet =
      platform::OpenInternet(szUserAgent, dwAccessType, szProxyName, szProxyBypass, dwFlags);
  if (hInternet == nullptr)
    ThrowFormattedExceptionW(httperror::kInternetOpen, platform::LastInternetError(), nullptr);
  return hInternet;
}

void CHttpToolW::SetOption(HINTERNET hInternet, uint32_t dwOption, const void* lpBuffer,
                           uint32_t dwBufferLength) {
  if (!platform::SetInternetOption(hInternet, dwOption, lpBuffer, dwBufferLength))
    ThrowFormattedExceptionW(httperror::kInternetSetOption, platform::LastInternetError(), nullptr);
}

HINTERNET CHttpToolW::OpenConnection(HINTERNET hInternet, const char16_t* szServerAddr,
                                     uint16_t nPort, const char16_t* szUserName,
                                     const char16_t* szPassword) {
  if (hInternet == nullptr)
    ThrowAnsiMessage("CHttpToolW::OpenConnection: hInternet can not be NULL.", 0, 0);
  if (szServerAddr == nullptr)
    ThrowAnsiMessage("CHttpToolW::OpenConnection: szServerAddr can not be NULL.", 0, 0);
  if (szServerAddr[0] == 0)
    ThrowAnsiMessage("CHttpToolW::OpenConnection: szServerAddr can not be an empty string.", 0, 0);
  HINTERNET hConnection =
      platform::ConnectInternet(hInternet, szServerAddr, nPort, szUserName, szPassword);
  if (hConnection == nullptr)
    ThrowFormattedExceptionW(httperror::kInternetConnect, platform::LastInternetError(), nullptr);
  return hConnection;
}

HINTERNET CHttpToolW::OpenRequest(HINTERNET hConnection, const char16_t* szVerb,
                                  const char16_t* szObjectName, uint32_t dwFlags,
                                  const char16_t* szReferrer, uint32_t CodePage) {
  if (hConnection == nullptr)
    ThrowAnsiMessage("CHttpToolW::OpenRequest: hConnection can not be NULL.", 0, 0);
  if (szObjectName == nullptr)
    ThrowAnsiMessage("CHttpToolW::OpenRequest: szObjectName can not be NULL.", 0, 0);
  if (szObjectName[0] == 0)
    ThrowAnsiMessage("CHttpToolW::OpenRequest: szObjectName can not be an empty string.", 0, 0);
  if (IsRefusedCodePage(CodePage))
    ThrowAnsiMessage(
        "CHttpToolW::OpenRequest: CP_UTF8 and CP_UTF7 can not be used for the CodePage "
        "parameter.",
        0, 0);
  std::unique_ptr<char[]> verb = Unicode2Ansi(szVerb, CodePage);
  std::unique_ptr<char[]> objectName = Unicode2Ansi(szObjectName, CodePage);
  std::unique_ptr<char[]> referrer = Unicode2Ansi(szReferrer, CodePage);
  return CallNarrowLayer([&] {
    return CHttpToolA::OpenRequest(hConnection, verb.get(), objectName.get(), dwFlags,
                                   referrer.get());
  });
}

void CHttpToolW::AddHeader(HINTERNET hRequest, const char16_t* szName, const char16_t* szValue,
                           uint32_t CodePage) {
  if (hRequest == nullptr)
    ThrowAnsiMessage("CHttpToolW::AddHeader: hRequest can not be NULL.", 0, 0);
  if (szName == nullptr)
    ThrowAnsiMessage("CHttpToolW::AddHeader: szName can not be NULL.", 0, 0);
  if (IsRefusedCodePage(CodePage))
    ThrowAnsiMessage(
        "CHttpToolW::AddHeader: CP_UTF8 and CP_UTF7 can not be used for the CodePage parameter.", 0,
        0);
  std::unique_ptr<char[]> name = Unicode2Ansi(szName, CodePage);
  std::unique_ptr<char[]> value = Unicode2Ansi(szValue, CodePage);
  CallNarrowLayer([&] { CHttpToolA::AddHeader(hRequest, name.get(), value.get()); });
}

void CHttpToolW::SendRequest(HINTERNET hRequest, const char16_t* szPosted, uint32_t CodePage) {
  if (hRequest == nullptr)
    ThrowAnsiMessage("CHttpToolW::SendRequest: hRequest can not be NULL.", 0, 0);
  if (IsRefusedCodePage(CodePage))
    ThrowAnsiMessage(
        "CHttpToolW::SendRequest: CP_UTF8 and CP_UTF7 can not be used for the CodePage "
        "parameter.",
        0, 0);
  std::unique_ptr<char[]> posted = Unicode2Ansi(szPosted, CodePage);
  uint32_t postedLength = posted ? GuardedW::Length(std::strlen(posted.get())) : 0;
  if (!platform::SendHttpRequest(hRequest, posted.get(), postedLength))
    ThrowFormattedExceptionW(httperror::kHttpSendRequest, platform::LastInternetError(), nullptr);
}

bool CHttpToolW::CloseInternetHandle(HINTERNET& hInternet) noexcept {
  if (hInternet == nullptr)
    return false;
  bool closed = platform::CloseInternetHandle(hInternet);
  hInternet = nullptr;
  return closed;
}

std::unique_ptr<char[]> CHttpToolW::Unicode2Ansi(const char16_t* szStr, uint32_t CodePage) {
  if (IsRefusedCodePage(CodePage))
    ThrowAnsiMessage(
        "CHttpToolW::Unicode2Ansi: CP_UTF8 and CP_UTF7 can not be used for the CodePage "
        "parameter.",
        0, 0);
  if (szStr == nullptr)
    return nullptr;
  std::u16string_view text(szStr, std::char_traits<char16_t>::length(szStr) + 1);
  std::string bytes;
  uint32_t error = 0;
  if (!platform::WideToNarrow(CodePage, text, bytes, error) || bytes.empty())
    ThrowFormattedExceptionW(httperror::kWideCharToMultiByte, error, nullptr);
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[bytes.size()]);
  if (!buffer)
    ThrowExceptionW(httperror::kOutOfMemory);
  std::memcpy(buffer.get(), bytes.data(), bytes.size());
  return buffer;
}

std::unique_ptr<char16_t[]> CHttpToolW::Ansi2Unicode(const char* szStr, uint32_t CodePage) {
  if (IsRefusedCodePage(CodePage))
    ThrowAnsiMessage(
        "CHttpToolW::Ansi2Unicode: CP_UTF8 and CP_UTF7 can not be used for the CodePage "
        "parameter.",
        0, 0);
  if (szStr == nullptr)
    return nullptr;
  std::string_view text(szStr, std::strlen(szStr) + 1);
  std::u16string units;
  uint32_t error = 0;
  if (!platform::NarrowToWide(CodePage, text, units, error) || units.empty())
    ThrowFormattedExceptionW(httperror::kMultiByteToWideChar, error, nullptr);
  GuardedW::Mul(GuardedW::Length(units.size()), 2);
  std::unique_ptr<char16_t[]> buffer(new (std::nothrow) char16_t[units.size()]);
  if (!buffer)
    ThrowExceptionW(httperror::kOutOfMemory);
  std::char_traits<char16_t>::copy(buffer.get(), units.data(), units.size());
  return buffer;
}

}  // namespace vexo

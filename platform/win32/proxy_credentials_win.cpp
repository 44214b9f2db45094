#include "platform/win32/proxy_credentials_win.h"

#include <windows.h>
// after windows.h, whose types they use
#include <wincred.h>
#include <wininet.h>

#include <vector>

namespace vexo::platform::win32 {
namespace {

std::wstring_view Trimmed(std::wstring_view text) {
  while (!text.empty() && (text.front() == L' ' || text.front() == L'\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == L' ' || text.back() == L'\t'))
    text.remove_suffix(1);
  return text;
}

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix) {
  return text.size() >= prefix.size() &&
         CompareStringOrdinal(text.data(), static_cast<int>(prefix.size()), prefix.data(),
                              static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
}

// "http://host:port/" → "host:port".
std::wstring ServerOf(std::wstring_view entry) {
  for (std::wstring_view scheme : {L"http://", L"https://"}) {
    if (StartsWithNoCase(entry, scheme))
      entry.remove_prefix(scheme.size());
  }
  return std::wstring(entry.substr(0, entry.find(L'/')));
}

bool ReadCredential(const std::wstring& target, ProxyCredentials& credentials) {
  PCREDENTIALW found = nullptr;
  if (!CredReadW(target.c_str(), CRED_TYPE_GENERIC, 0, &found))
    return false;
  bool usable = found->UserName != nullptr && found->UserName[0] != L'\0' &&
                found->CredentialBlobSize % sizeof(wchar_t) == 0;
  if (usable) {
    credentials.userName = found->UserName;
    credentials.password.assign(reinterpret_cast<const wchar_t*>(found->CredentialBlob),
                                found->CredentialBlobSize / sizeof(wchar_t));
  }
  CredFree(found);
  return usable;
}

}  // namespace

std::optional<std::wstring> ProxyServerFor(std::wstring_view list, bool secure) {
  std::wstring_view wanted = secure ? L"https=" : L"http=";
  std::optional<std::wstring> general;
  while (!list.empty()) {
    size_t end = list.find_first_of(L"; ");
    std::wstring_view entry = Trimmed(list.substr(0, end));
    list.remove_prefix(end == std::wstring_view::npos ? list.size() : end + 1);
    if (entry.empty())
      continue;
    if (StartsWithNoCase(entry, wanted))
      return ServerOf(entry.substr(wanted.size()));
    if (entry.find(L'=') == std::wstring_view::npos && !general)
      general = ServerOf(entry);
  }
  return general;
}

std::optional<std::wstring> ProxyListOf(void* internet) {
  DWORD size = 0;
  InternetQueryOptionW(internet, INTERNET_OPTION_PROXY, nullptr, &size);
  if (size < sizeof(INTERNET_PROXY_INFO))
    return std::nullopt;
  std::vector<unsigned char> buffer(size);
  if (!InternetQueryOptionW(internet, INTERNET_OPTION_PROXY, buffer.data(), &size))
    return std::nullopt;
  const auto* info = reinterpret_cast<const INTERNET_PROXY_INFO*>(buffer.data());
  const auto* proxy = reinterpret_cast<const wchar_t*>(info->lpszProxy);
  if (info->dwAccessType != INTERNET_OPEN_TYPE_PROXY || proxy == nullptr || proxy[0] == L'\0')
    return std::nullopt;
  return std::wstring(proxy);
}

ProxyCredentials::~ProxyCredentials() {
  SecureZeroMemory(userName.data(), userName.size() * sizeof(wchar_t));
  SecureZeroMemory(password.data(), password.size() * sizeof(wchar_t));
}

bool SavedProxyCredentials(const std::wstring& server, ProxyCredentials& credentials) {
  if (server.empty())
    return false;
  if (ReadCredential(server, credentials))
    return true;
  size_t colon = server.rfind(L':');
  return colon != std::wstring::npos && colon > 0 &&
         ReadCredential(server.substr(0, colon), credentials);
}

}  // namespace vexo::platform::win32

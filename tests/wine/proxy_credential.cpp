// Saves credentials for a proxy in the wine prefix's Windows credential store, as a user does with
// `cmdkey /generic:TARGET /user:USER /pass:PASSWORD`, or deletes them again:
//
//   vexo_proxy_credential add TARGET USER PASSWORD
//   vexo_proxy_credential remove TARGET     (no credential under TARGET is no failure)
//
// Exit code 0 on success, 1 with a line on standard error otherwise.
#include <windows.h>
// after windows.h, whose types it uses
#include <wincred.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

int Fail(const char* what) {
  std::fprintf(stderr, "vexo_proxy_credential: %s (error %lu)\n", what, GetLastError());
  return 1;
}

int Add(const wchar_t* target, const wchar_t* user, const wchar_t* password) {
  std::wstring targetName(target), userName(user), secret(password);
  CREDENTIALW credential{};
  credential.Type = CRED_TYPE_GENERIC;
  credential.TargetName = targetName.data();
  credential.UserName = userName.data();
  credential.CredentialBlob = reinterpret_cast<BYTE*>(secret.data());
  credential.CredentialBlobSize = static_cast<DWORD>(secret.size() * sizeof(wchar_t));
  credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
  return CredWriteW(&credential, 0) ? 0 : Fail("CredWriteW failed");
}

int Remove(const wchar_t* target) {
  if (CredDeleteW(target, CRED_TYPE_GENERIC, 0) || GetLastError() == ERROR_NOT_FOUND)
    return 0;
  return Fail("CredDeleteW failed");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 5 && std::wcscmp(argv[1], L"add") == 0)
    return Add(argv[2], argv[3], argv[4]);
  if (argc == 3 && std::wcscmp(argv[1], L"remove") == 0)
    return Remove(argv[2]);
  std::fprintf(stderr, "usage: vexo_proxy_credential add TARGET USER PASSWORD | remove TARGET\n");
  return 2;
}

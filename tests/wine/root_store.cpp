// Puts a test CA into the Root certificate store of the wine prefix, or takes it out again, so
// that WinINet trusts the test server's certificate for the length of one test only:
//
//   vexo_root_store add CA.pem      adds the certificate (CertAddEncodedCertificateToSystemStoreW)
//   vexo_root_store remove CA.pem   removes every certificate of the same subject, so that what a
//                                   test killed half-way left behind goes too
//
// Exit code 0 on success, 1 with a line on standard error otherwise.
#include <windows.h>
// after windows.h, whose types it uses
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

int Fail(const char* what) {
  std::fprintf(stderr, "vexo_root_store: %s (error %lu)\n", what, GetLastError());
  return 1;
}

// The DER bytes of the first certificate of a PEM file; empty when there is none.
std::vector<BYTE> ReadCertificate(const wchar_t* path) {
  std::ifstream file(path, std::ios::binary);
  std::string pem(std::istreambuf_iterator<char>(file), {});
  DWORD size = 0;
  if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                            nullptr, &size, nullptr, nullptr))
    return {};
  std::vector<BYTE> der(size);
  if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                            der.data(), &size, nullptr, nullptr))
    return {};
  der.resize(size);
  return der;
}

int Add(const std::vector<BYTE>& der) {
  if (!CertAddEncodedCertificateToSystemStoreW(L"Root", der.data(), static_cast<DWORD>(der.size())))
    return Fail("cannot add the certificate to the Root store");
  return 0;
}

int Remove(const std::vector<BYTE>& der) {
  PCCERT_CONTEXT certificate =
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  if (certificate == nullptr)
    return Fail("cannot read the certificate");
  // The registry part of the user's Root store, where the addition went; wine's Root system
  // store as a whole is a copy in memory, where a deletion would not last.
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                                   CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
  if (store == nullptr) {
    CertFreeCertificateContext(certificate);
    return Fail("cannot open the Root store");
  }
  int result = 0;
  // Each deletion frees the context found, so every search starts again from the beginning.
  while (PCCERT_CONTEXT found =
             CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_NAME,
                                        &certificate->pCertInfo->Subject, nullptr)) {
    if (!CertDeleteCertificateFromStore(found)) {
      result = Fail("cannot remove the certificate from the Root store");
      break;
    }
  }
  CertCloseStore(store, 0);
  CertFreeCertificateContext(certificate);
  return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3 || (std::wstring(argv[1]) != L"add" && std::wstring(argv[1]) != L"remove")) {
    std::fprintf(stderr, "usage: vexo_root_store add|remove CA.pem\n");
    return 2;
  }
  std::vector<BYTE> der = ReadCertificate(argv[2]);
  if (der.empty())
    return Fail("no PEM certificate in the file");
  return std::wstring(argv[1]) == L"add" ? Add(der) : Remove(der);
}

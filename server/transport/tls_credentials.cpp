#include "server/transport/tls_credentials.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <memory>

#include "server/common/small_file.h"

namespace vexo::server {
namespace {

// Far more than any certificate chain or key in PEM.
constexpr size_t kLongestPemFile = 1 << 20;

// A certificate chain may be read by anyone; a private key not by others.
std::optional<std::string> ReadPemFile(const std::string& path, const char* what, FileAccess access,
                                       std::string& error) {
  std::string fault;
  std::optional<std::string> content = ReadSmallFile(path, kLongestPemFile, fault, access);
  if (content && content->empty()) {
    fault = "the file is empty";
    content.reset();
  }
  if (!content) {
    error = std::string("cannot read TLS ") + what + " '" + path + "': " + fault;
  }
  return content;
}

gnutls_datum_t DatumOf(const std::string& text) {
  return {reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())),
          static_cast<unsigned>(text.size())};
}

// The number of PEM certificates in `pem`, or a negative library error.
int CountCertificates(const std::string& pem) {
  gnutls_x509_crt_t* list = nullptr;
  unsigned count = 0;
  gnutls_datum_t data = DatumOf(pem);
  int result = gnutls_x509_crt_list_import2(&list, &count, &data, GNUTLS_X509_FMT_PEM, 0);
  if (result < 0) {
    return result;
  }
  for (unsigned i = 0; i < count; ++i) {
    gnutls_x509_crt_deinit(list[i]);
  }
  gnutls_free(list);
  return static_cast<int>(count);
}

// 0 when the key parses and is the certificate's; else the library's error.
int PairKey(const std::string& certificate, const std::string& key) {
  gnutls_certificate_credentials_t credentials = nullptr;
  if (int result = gnutls_certificate_allocate_credentials(&credentials); result < 0) {
    return result;
  }
  gnutls_datum_t certificateData = DatumOf(certificate);
  gnutls_datum_t keyData = DatumOf(key);
  int result = gnutls_certificate_set_x509_key_mem2(credentials, &certificateData, &keyData,
                                                    GNUTLS_X509_FMT_PEM, nullptr, 0);
  gnutls_certificate_free_credentials(credentials);
  return result < 0 ? result : 0;
}

}  // namespace

std::optional<TlsCredentials> LoadTlsCredentials(const TlsFiles& files, std::string& error) {
  std::optional<std::string> certificate =
      ReadPemFile(files.certificate, "certificate", FileAccess::kAnyone, error);
  if (!certificate) {
    return std::nullopt;
  }
  std::optional<std::string> key = ReadPemFile(files.key, "key", FileAccess::kNotOthers, error);
  if (!key) {
    return std::nullopt;
  }
  if (int count = CountCertificates(*certificate); count <= 0) {
    error = "TLS certificate '" + files.certificate + "' holds no PEM certificate" +
            (count < 0 ? std::string(": ") + gnutls_strerror(count) : "");
    return std::nullopt;
  }
  if (int result = PairKey(*certificate, *key); result < 0) {
    error = result == GNUTLS_E_CERTIFICATE_KEY_MISMATCH
                ? "TLS key '" + files.key + "' does not belong to certificate '" +
                      files.certificate + "'"
                : "TLS key '" + files.key + "' cannot be used: " + gnutls_strerror(result);
    return std::nullopt;
  }
  return TlsCredentials{std::move(*certificate), std::move(*key)};
}

}  // namespace vexo::server

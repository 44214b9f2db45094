// The certificate and key a listener serves TLS with, read and checked before it starts, so that
// a fault is named in one line rather than found by the first client.
#pragma once

#include <optional>
#include <string>

namespace vexo::server {

// A PEM certificate chain and its private key; both empty: plain HTTP.
struct TlsFiles {
  std::string certificate;
  std::string key;

  bool Given() const { return !certificate.empty(); }
};

struct TlsCredentials {
  std::string certificatePem;  // the chain, server certificate first
  std::string keyPem;
};

// Reads both files and checks that they parse and belong together.
std::optional<TlsCredentials> LoadTlsCredentials(const TlsFiles& files, std::string& error);

}  // namespace vexo::server

// vexo-update-key-check KEY...: prints each argument that is not an Ed25519 public key in
// canonical base64, one a line, and exits 1 when there was one.
#include <cstdio>
#include <optional>

#include "agent/crypto/base64.h"
#include "agent/crypto/signing.h"

int main(int argc, char** argv) {
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    std::optional<vexo::Ed25519PublicKey> key = vexo::DecodeBase64<32>(argv[i]);
    if (!key || !vexo::IsEd25519PublicKey(*key)) {
      std::printf("%s\n", argv[i]);
      status = 1;
    }
  }
  return status;
}

#include "agent/update_signature.h"

#include <fstream>
#include <vector>

#include "agent/crypto/base64.h"
#include "platform/codepage.h"

namespace vexo {
namespace {

constexpr size_t kReadChunkBytes = 256 * 1024;

}  // namespace

std::optional<InstallerFacts> ReadInstallerFacts(const std::filesystem::path& path) {
  // A name with an embedded zero would be cut short by the system and open another file.
  if (path.native().find(std::filesystem::path::value_type{}) !=
      std::filesystem::path::string_type::npos)
    return std::nullopt;
  std::ifstream file(path, std::ios::in | std::ios::binary);
  if (!file)
    return std::nullopt;
  Sha256 digest;
  InstallerFacts facts;
  std::vector<char> chunk(kReadChunkBytes);
  while (file.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || file.gcount() > 0) {
    digest.Update(chunk.data(), static_cast<size_t>(file.gcount()));
    facts.size += static_cast<uint64_t>(file.gcount());
  }
  if (file.bad())
    return std::nullopt;
  facts.sha256 = digest.Final();
  return facts;
}

std::string SignedStatement(std::u16string_view version, const InstallerFacts& installer) {
  std::string utf8Version;
  uint32_t ignored = 0;
  platform::WideToNarrow(platform::kCodePageUtf8, version, utf8Version, ignored);
  return "vexo-update-1\nversion=" + utf8Version + "\nsize=" + std::to_string(installer.size) +
         "\nsha256=" + HexOf(installer.sha256) + "\n";
}

std::string SignatureText(const Ed25519Signature& signature) {
  return EncodeBase64(signature);
}

std::optional<Ed25519Signature> ParseSignatureText(std::u16string_view text) {
  std::string ascii;
  for (char16_t c : text) {
    if (c > 0x7f)
      return std::nullopt;
    ascii += static_cast<char>(c);
  }
  return DecodeBase64<std::tuple_size_v<Ed25519Signature>>(ascii);
}

std::string PublicKeyText(const Ed25519PublicKey& key) {
  return EncodeBase64(key);
}

std::optional<Ed25519PublicKey> ParsePublicKeyText(std::string_view text) {
  std::optional<Ed25519PublicKey> key = DecodeBase64<std::tuple_size_v<Ed25519PublicKey>>(text);
  if (!key || !IsEd25519PublicKey(*key))
    return std::nullopt;
  return key;
}

std::optional<size_t> VouchingKey(std::u16string_view signatureText, std::u16string_view version,
                                  const InstallerFacts& installer, const PinnedKeys& keys) {
  std::optional<Ed25519Signature> signature = ParseSignatureText(signatureText);
  if (!signature)
    return std::nullopt;
  std::string statement = SignedStatement(version, installer);
  for (size_t i = 0; i < keys.size(); ++i) {
    if (Ed25519Verify(keys[i], statement, *signature))
      return i;
  }
  return std::nullopt;
}

}  // namespace vexo

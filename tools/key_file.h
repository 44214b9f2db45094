// The publisher's private key file: one line, the 32-byte Ed25519 seed in standard base64.
// Created readable by its owner only and never overwritten; refused when others may open it.
#pragma once

#include <string>

#include "agent/crypto/signing.h"

namespace vexo::tools {

// Creates `path` (mode 0600) holding `seed`; fails when anything exists at `path`.
void CreateKeyFile(const std::string& path, const Ed25519Seed& seed);

// The seed in `path`. Fails with a one-line message when the file is missing, unreadable, open
// to its group or others, or holds anything but one key line.
Ed25519Seed ReadKeyFile(const std::string& path);

}  // namespace vexo::tools

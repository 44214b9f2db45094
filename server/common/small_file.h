// Reading the small files the server is configured with: answers, TLS files, the admin secret.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace vexo::server {

// The file's first `limit + 1` bytes at most, so that a caller can tell a file longer than
// `limit` from one that fits. nullopt, with errno set, when it cannot be opened or read.
std::optional<std::string> ReadFileUpTo(const std::string& path, size_t limit);

}  // namespace vexo::server

// Reading the small files the programs are configured with: answers, TLS files, the admin
// secret, and vexo-answer's keys and inputs. Whatever the name points at, nothing can hold a
// program up or feed it without end: a FIFO or a device is refused rather than read, and a file
// is read only up to a stated limit.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace vexo::server {

// Who besides its owner may open a file for it to be read.
enum class FileAccess {
  kAnyone,     // an ordinary file
  kNotOthers,  // a secret its owner shares with a group (vexo-server's token and TLS keys)
  kOwnerOnly,  // a private key (vexo-answer's)
};

// The whole content of the regular file at `path`, at most `limit` bytes. Opened without
// waiting (a FIFO without a writer never blocks) and refused when it is not a regular file, is
// longer than `limit`, or is open to more than `access` allows: nullopt then, with the reason
// in `error` in a few words ("a folder, not a regular file", "larger than 4 KiB"), and errno
// set only when the file could not be opened at all (ENOENT: there is none).
std::optional<std::string> ReadSmallFile(const std::string& path, size_t limit, std::string& error,
                                         FileAccess access = FileAccess::kAnyone);

// Why the file at `path` cannot be taken for a regular file, such as "a FIFO, not a regular
// file"; nullopt when it is one, or when there is none (yet) or it cannot be looked at, which
// opening it then reports.
std::optional<std::string> NotRegularFileFault(const std::string& path);

// What an open descriptor (a pipe on the standard input) gives up to its end, at most `limit`
// bytes; nullopt when there is more or reading fails, with the reason in `error`.
std::optional<std::string> ReadUpTo(int descriptor, size_t limit, std::string& error);

// "1 MiB", "4 KiB" or "300 bytes".
std::string SizeText(size_t bytes);

}  // namespace vexo::server

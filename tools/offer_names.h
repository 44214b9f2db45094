// The two names an offer gives its installer, checked for what would be refused downstream, so
// that `offer` and `release` never write an offer that agents, Windows or vexo-server cannot
// follow: `name`, which agents download it under, and `rname`, the file it becomes in their
// data folder.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vexo::tools {

// vexo-server serves no name (no folder of a path below files/) longer than this.
inline constexpr size_t kLongestServedName = 128;

// Why `text` cannot stand in an offer as written, in a few words; nullopt when it can: it must
// be text the locale's character set (the agents' code page) reads as written, without a
// control or a bidirectional formatting character.
std::optional<std::string> OfferTextFault(std::string_view text);

// Why `name` cannot be downloaded from vexo-server, in a few words; nullopt when it can: the
// rules of OfferTextFault, each part between slashes at most kLongestServedName bytes.
std::optional<std::string> DownloadNameFault(std::string_view name);

// Why `rname` cannot be the installer's file: the rules of `name`, then those of a plain file
// name that agents apply, then those of Windows: none of <>"|?*, no device name (CON, NUL.exe,
// COM1...), no trailing dot or blank.
std::optional<std::string> LocalNameFault(std::string_view rname);

// `name` for a one-line message: bytes outside printable ASCII escaped, cut after 64 bytes.
std::string QuotedName(std::string_view name);

}  // namespace vexo::tools

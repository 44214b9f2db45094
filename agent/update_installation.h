// Carrying out an update offer: a strictly newer version, the installer present in the data
// folder with the expected digest (downloaded when needed), the user's consent unless the update
// is forced, and the launch.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "agent/desktop.h"
#include "agent/installer_download.h"
#include "agent/update_response.h"
#include "agent/update_signature.h"

namespace vexo {

inline constexpr char16_t kUpdateQuestion[] = u"发现新版本，是否升级？";
inline constexpr char16_t kUpdateCaption[] = u"Vexo";

// 1 when `a` is newer than `b`, -1 when older, 0 when equal; -21 when `a` is not a version text,
// -22 when `b` is not (a is checked first). Up to four dot-separated decimal components.
int CompareVersions(std::u16string_view a, std::u16string_view b);
// True when every character is a decimal digit (true for the empty text).
bool IsAllDigits(std::u16string_view text);

// The 32 lowercase hexadecimal digits of the file's MD5 digest (of empty input when the file
// cannot be read).
std::u16string FileDigest(const std::u16string& path);

// A local installer name must be a plain file name, so that nothing is downloaded, written or
// launched outside the data folder.
bool IsPlainFileName(std::u16string_view name);

// True when `keys` is empty, or when the offer's signature by one of them vouches for the offered
// version and the file at the installer path.
bool InstallerIsVouchedFor(const UpdateOffer& offer, const PinnedKeys& keys);

// Runs the update flow for `offer`. `ownVersion` is the agent's own file version text,
// `dataFolder` the per-user data folder the installer must stay in, `keys` the publisher's keys
// this agent trusts (none: signatures are not looked at), `owner` the window that owns the
// question.
void RunUpdate(const UpdateOffer& offer, const std::u16string& ownVersion,
               const std::u16string& dataFolder, const PinnedKeys& keys, Desktop& desktop,
               platform::WindowHandle owner);

}  // namespace vexo

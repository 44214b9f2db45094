// Carrying out an update offer: a strictly newer version, the installer present in the data
// folder with the expected digest (downloaded when needed), the user's consent unless the update
// is forced, and the launch.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "agent/answer_rules.h"
#include "agent/desktop.h"
#include "agent/installer_download.h"
#include "agent/update_response.h"
#include "agent/update_signature.h"

namespace vexo {

inline constexpr char16_t kUpdateQuestion[] = u"发现新版本，是否升级？";
inline constexpr char16_t kUpdateCaption[] = u"Vexo";
// The 32 lowercase hexadecimal digits of the file's MD5 digest (of empty input when the file
// cannot be read).
std::u16string FileDigest(const std::u16string& path);

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

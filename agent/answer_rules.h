// The rules about answers that the agent and the publisher's tool both apply, so that the tool
// judges an offer exactly as agents will.
#pragma once

#include <cstdint>
#include <string_view>

namespace vexo {

// Installers of this size or smaller are never downloaded.
inline constexpr uint32_t kSmallestInstaller = 256;

// What CompareVersions returns when one of its texts is no version.
inline constexpr int kFirstIsNotAVersion = -21;
inline constexpr int kSecondIsNotAVersion = -22;

// 1 when `a` is newer than `b`, -1 when older, 0 when equal; kFirstIsNotAVersion when `a` is not
// a version text, kSecondIsNotAVersion when `b` is not (a is checked first). Up to four
// dot-separated decimal components.
int CompareVersions(std::u16string_view a, std::u16string_view b);
// True when every character is a decimal digit (true for the empty text).
bool IsAllDigits(std::u16string_view text);

// A local installer name must be a plain file name, so that nothing is downloaded, written or
// launched outside the data folder.
bool IsPlainFileName(std::u16string_view name);

}  // namespace vexo

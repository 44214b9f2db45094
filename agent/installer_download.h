// Downloading the offered installer so that a bad network costs little: the bytes received so far
// stay in a partial file tied to the offer, a later attempt (at once, or in a later run) asks only
// for the rest, and the installer is replaced only by a complete file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "agent/answer_rules.h"

namespace vexo {

// A transfer cut after it made progress is resumed at once at most this many times in a run.
inline constexpr int kMostResumesPerRun = 3;

// The partial file of the installer at `installerPath` for an offer whose digest is `expectedMd5`:
// "<installer path>.<md5 in lowercase>.partial". Empty when the digest is not 32 hexadecimal
// digits: no file can ever match such an offer, so none is downloaded for it.
std::u16string PartialPathFor(const std::u16string& installerPath, std::u16string_view expectedMd5);

// Removes every partial file in `dataFolder` except `partialPath`, and never `installerPath`
// (either may be empty): the data folder holds at most the one partial of the current offer.
void RemoveOtherPartials(const std::u16string& dataFolder, const std::u16string& installerPath,
                         const std::u16string& partialPath);

// Downloads `url` into `partialPath`, continuing what is already there with a Range request, and
// renames it over `installerPath` once it holds exactly the complete length. A transfer cut after
// it made progress is resumed at once, at most kMostResumesPerRun times in a row; what arrived
// stays for a later run. A range answer that cannot be appended discards the partial, and the
// download starts afresh once. Memory stays bounded by one chunk whatever the installer's size.
void DownloadInstaller(const std::u16string& url, const std::u16string& installerPath,
                       const std::u16string& partialPath);

}  // namespace vexo

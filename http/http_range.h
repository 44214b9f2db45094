// Byte ranges as HTTP defines them: the Range a client asks with, and the Content-Range a
// partial response answers with.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vexo {

// The bytes first..last (both included) of a representation of `complete` bytes.
struct HttpContentRange {
  uint64_t first = 0;
  uint64_t last = 0;
  uint64_t complete = 0;
};

// Reads a Content-Range value of a satisfied range with a known complete length:
// "bytes first-last/complete", the unit without regard to case, blanks around the value allowed.
// False for anything else: an unsatisfied range ("bytes */complete"), an unknown complete length
// ("/*"), first after last, last at or past the complete length, or a number over 64 bits.
bool ParseContentRange(std::string_view text, HttpContentRange& range);

// The value of a Range header asking for everything from byte `first` on: "bytes=first-".
std::u16string RangeFrom(uint64_t first);

}  // namespace vexo

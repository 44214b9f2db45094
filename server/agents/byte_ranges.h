// Byte ranges of the files under /files/, as HTTP defines them (RFC 9110, sections 13.1.5 and
// 14): the validators a file is sent with, and which part of it a request gets.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vexo::server {

// What identifies one version of a file: a strong entity tag made of its size and modification
// time, and that time as an HTTP date.
struct FileValidators {
  std::string entityTag;     // "\"<size in hex>-<nanoseconds in hex>\""
  std::string lastModified;  // "Sun, 06 Nov 1994 08:49:37 GMT"
};

FileValidators ValidatorsOf(uint64_t size, int64_t modifiedNanoseconds);

// "Sun, 06 Nov 1994 08:49:37 GMT" for a time in seconds since 1970-01-01 UTC.
std::string HttpDate(int64_t unixTime);

// The part of a file a GET gets.
struct RangeChoice {
  enum class Kind {
    kWhole,           // 200: no usable Range, several ranges, or an If-Range that does not match
    kPart,            // 206: bytes first .. first + length - 1
    kNotSatisfiable,  // 416: a single range that starts at or after the end
  };
  Kind kind = Kind::kWhole;
  uint64_t first = 0;
  uint64_t length = 0;
};

// Chooses for a file of `size` bytes from the request's Range and If-Range headers. A Range that
// is not one well-formed byte range ("bytes=first-last", "bytes=first-" or "bytes=-suffix") is
// ignored; If-Range matches only the strong entity tag or the exact date of `validators`.
RangeChoice ChooseRange(const std::optional<std::string>& range,
                        const std::optional<std::string>& ifRange, const FileValidators& validators,
                        uint64_t size);

}  // namespace vexo::server

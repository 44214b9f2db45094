// The checks the transport makes on a request's head before any router sees it, so that the
// server reads each request one way only: the way HTTP, and every proxy in front of it, read it.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace vexo::server {

// `text` without the spaces and tabs around it.
std::string_view TrimBlanks(std::string_view text);

// ASCII letters compared without regard to case, as HTTP compares names and schemes.
bool SameWithoutCase(std::string_view a, std::string_view b);

// A header line as received: its name and value.
struct HeaderLine {
  std::string_view name;
  std::string_view value;
};

// The head as the HTTP library holds it once it has parsed it in place: one block of the bytes
// received, in which the library wrote a zero byte over each separator it took away (the blank
// after the method and after the target, each colon, each CR and LF). Its parts are given as
// offsets into the block; each ends at the first zero byte from there.
struct ParsedHead {
  std::string_view block;
  size_t method = 0;
  size_t target = 0;
  size_t targetLength = 0;  // as received, up to its first zero byte
  size_t version = 0;
  struct Field {
    size_t name;
    size_t value;
  };
  std::vector<Field> fields;  // in the order received
};

// True when the client sent a zero byte in the head: any zero byte but those the library wrote
// (which would otherwise end a method, a path or a header value early and unseen). A zero byte
// sent just before a line's end (LF alone) looks exactly like the library's and goes unseen; the
// text read is then the same as without it.
bool HoldsZeroByte(const ParsedHead& head);

// Why a head whose parts the library read as `protocol` and `headers` is refused with 400;
// nullopt when it is sound: HTTP/1.1 needs exactly one Host, and a body's length must be one
// plain decimal number (every Content-Length the same) and not given along with
// Transfer-Encoding.
std::optional<std::string_view> HeadFault(std::string_view protocol,
                                          const std::vector<HeaderLine>& headers);

}  // namespace vexo::server

// What passes between the HTTP service and the transfer program (vexo-transfer) that runs one
// request's transfer for it in a process of its own, so that libcurl and the TLS libraries it
// brings are never loaded into the long-lived caller.
//
// The caller writes the request, encoded, to the program's standard input and closes it. The
// program answers on two pipes: on its standard output (the control pipe) a head frame once the
// final response's headers are in, or an end frame with the error when the transfer fails before
// that; on descriptor 3 (the body pipe) the body's bytes. Once the body is complete or the
// transfer fails, it closes the body pipe and sends an end frame with the outcome (0 or the
// error). A frame is a kind byte, a 32-bit length and that many bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vexo::platform::posix {

inline constexpr int kTransferRequestFd = 0;
inline constexpr int kTransferControlFd = 1;
inline constexpr int kTransferBodyFd = 3;
// The program's file name, beside the calling program or in its libexec folder.
inline constexpr char kTransferProgramName[] = "vexo-transfer";

// Everything a request's handles know that its transfer needs.
struct TransferRequest {
  uint32_t connectTimeoutMs = 0;
  uint32_t receiveTimeoutMs = 0;
  // The session's.
  std::optional<std::string> agent;
  uint32_t accessType = 0;
  std::string proxy;
  std::string proxyBypass;
  // The connection's.
  std::string host;
  uint16_t port = 0;  // 0: the scheme's default
  std::optional<std::string> userName;
  std::optional<std::string> password;
  std::string proxyUserName;
  std::string proxyPassword;
  // The request's.
  std::string verb;
  std::string object;
  std::optional<std::string> referrer;
  std::vector<std::string> acceptTypes;
  uint32_t flags = 0;
  std::vector<std::string> addedHeaders;  // "Name: value" lines
  std::string body;
};

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// The value of the first header called `name` (in any case); null when there is none.
const std::string* FirstHeader(const HeaderList& headers, std::string_view name);

struct TransferHead {
  long status = 0;
  HeaderList headers;
};

std::string EncodeRequest(const TransferRequest& request);
bool DecodeRequest(std::string_view bytes, TransferRequest& request);
std::string EncodeHead(const TransferHead& head);
bool DecodeHead(std::string_view bytes, TransferHead& head);

enum class Frame : char { kHead = 'H', kEnd = 'E' };

// Whole writes and reads, through EINTR and short counts; false when the other end is gone.
bool WriteAll(int fd, const void* bytes, size_t length);
bool ReadExactly(int fd, void* into, size_t length);

// One read of `fd` appended to `into`: kMore (also after EINTR), kEnd at its end, kFailed on an
// error or once `into` would hold more than `mostBytes`.
enum class ReadStep { kMore, kEnd, kFailed };
ReadStep AppendOneRead(int fd, size_t mostBytes, std::string& into);

bool WriteFrame(int fd, Frame kind, std::string_view payload);
bool WriteEndFrame(int fd, uint32_t error);
// The error an end frame's payload carries (0: the transfer completed).
bool DecodeEnd(std::string_view payload, uint32_t& error);
// A frame of at most `mostBytes`; false on a short read or a longer frame.
bool ReadFrame(int fd, size_t mostBytes, Frame& kind, std::string& payload);

}  // namespace vexo::platform::posix

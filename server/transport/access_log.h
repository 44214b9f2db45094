// One line per request in the Common Log Format, written whole so lines of parallel requests
// never interleave.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>

namespace vexo::server {

struct AccessRecord {
  std::string_view client;
  int64_t unixTime = 0;
  std::string_view method;
  std::string_view rawUri;  // as the client sent it
  std::string_view protocol;
  unsigned status = 0;
  uint64_t bodyBytes = 0;
};

// 127.0.0.1 - - [08/Dec/2024:18:50:00 +0000] "GET /stats HTTP/1.1" 200 512
// Bytes outside printable ASCII, quotes and backslashes in the request appear as \xHH, so a
// hostile request cannot forge lines or send control sequences to a terminal; each field of the
// request is cut after 2 KiB, marked with "...".
std::string FormatAccessLine(const AccessRecord& record);

// `text` as a log line outside the quotes shows anything a client sent: bytes outside printable
// ASCII as \xHH, cut after 2 KiB.
std::string LogSafeText(std::string_view text);

// Writes each line with one write(2) of its own, past stdio, so that answering threads do not
// queue behind one another for the log.
class AccessLog {
 public:
  explicit AccessLog(std::FILE* out);
  void Write(const AccessRecord& record);
  void WriteLine(std::string line);

 private:
  int descriptor_;
  // Held shared by lines that one write puts out whole, exclusively by longer ones.
  std::shared_mutex mutex_;
};

}  // namespace vexo::server

// One request and its reply as every listener's router sees them, apart from the HTTP library
// that carries them. The transport fills in a Request, asks a RequestHandler, and sends the
// Reply; it knows no path and no page.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/transport/client_address.h"

namespace vexo::server {

// The %-decoded name=value pairs of a request's query string, in the order sent.
class QueryArguments {
 public:
  QueryArguments() = default;
  QueryArguments(std::initializer_list<std::pair<std::string, std::string>> pairs)
      : pairs_(pairs) {}

  void Add(std::string name, std::string value) {
    pairs_.emplace_back(std::move(name), std::move(value));
  }
  // The first value given for `name`; empty when there is none.
  std::string_view Get(std::string_view name) const;

 private:
  std::vector<std::pair<std::string, std::string>> pairs_;
};

struct Request {
  std::string_view method;
  std::string_view path;  // %-decoded, without the query
  QueryArguments arguments;
  std::string client;  // clientAddress as text
  int64_t unixTime = 0;
  // The path held an encoded zero byte, where the decoded text above ends; such a request
  // would otherwise name a shorter path than the client wrote.
  bool pathHadZeroByte = false;
  // The secret presented as a bearer token or as the password of HTTP Basic authentication.
  std::optional<std::string> credential;
  // The client's address: the peer's, or behind trusted proxies the one they name; unknown ("-")
  // when the connection has none.
  IpAddress clientAddress{};
  // The Range and If-Range headers, as sent.
  std::optional<std::string> range;
  std::optional<std::string> ifRange;
};

// A file opened for reading; the descriptor is closed with the object unless released.
class OpenFile {
 public:
  OpenFile(int descriptor, uint64_t size, int64_t modifiedNanoseconds = 0)
      : descriptor_(descriptor), size_(size), modifiedNanoseconds_(modifiedNanoseconds) {}
  OpenFile(OpenFile&& other) noexcept;
  OpenFile& operator=(OpenFile&&) = delete;
  ~OpenFile();

  uint64_t size() const { return size_; }
  // When the file was last changed, in nanoseconds since 1970-01-01 UTC.
  int64_t modifiedNanoseconds() const { return modifiedNanoseconds_; }
  int descriptor() const { return descriptor_; }
  int Release();

 private:
  int descriptor_;
  uint64_t size_;
  int64_t modifiedNanoseconds_;
};

// A header line a reply adds to those the transport writes; the name is a literal.
struct ReplyHeader {
  const char* name;
  std::string value;
};

struct Reply {
  unsigned status = 200;
  std::string_view contentType = "text/plain; charset=utf-8";
  bool cacheable = false;
  std::shared_ptr<const std::string> body;
  std::optional<OpenFile> download;  // instead of `body`
  // The part of `download` that goes out: from byte `downloadFirst`, `downloadLength` bytes
  // (everything after it when unset).
  uint64_t downloadFirst = 0;
  std::optional<uint64_t> downloadLength;
  std::string downloadName;  // how the file is named when its transfer is reported
  std::vector<ReplyHeader> headers;

  uint64_t DownloadLength() const {
    return download ? downloadLength.value_or(download->size() - downloadFirst) : 0;
  }
  uint64_t BodySize() const { return download ? DownloadLength() : body ? body->size() : 0; }
};

// How a reply's file went out, once its connection is done with it (never for HEAD).
struct SentFile {
  int64_t unixTime = 0;
  std::string name;       // the reply's downloadName
  uint64_t first = 0;     // the first byte sent: more than 0 when a partial download was continued
  uint64_t bytes = 0;     // sent by this transfer
  bool complete = false;  // everything up to the file's last byte went out
};

// What one listener answers.
class RequestHandler {
 public:
  virtual ~RequestHandler() = default;
  virtual Reply Handle(const Request& request) = 0;
  // Called once the connection is done with a reply's download.
  virtual void DownloadEnded(SentFile) {}
};

Reply TextReply(unsigned status, const char* text);
// 405, naming the methods every listener serves.
Reply MethodNotAllowedReply();

}  // namespace vexo::server

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
};

// A file opened for reading; the descriptor is closed with the object unless released.
class OpenFile {
 public:
  OpenFile(int descriptor, uint64_t size) : descriptor_(descriptor), size_(size) {}
  OpenFile(OpenFile&& other) noexcept;
  OpenFile& operator=(OpenFile&&) = delete;
  ~OpenFile();

  uint64_t size() const { return size_; }
  int descriptor() const { return descriptor_; }
  int Release();

 private:
  int descriptor_;
  uint64_t size_;
};

// A header line a reply adds to those the transport writes; both texts are literals.
struct ReplyHeader {
  const char* name;
  const char* value;
};

struct Reply {
  unsigned status = 200;
  std::string_view contentType = "text/plain; charset=utf-8";
  bool cacheable = false;
  std::shared_ptr<const std::string> body;
  std::optional<OpenFile> download;  // instead of `body`
  std::string downloadName;          // how the file is named when its transfer is reported
  std::vector<ReplyHeader> headers;

  uint64_t BodySize() const { return download ? download->size() : body ? body->size() : 0; }
};

// How a reply's file went out, once its connection is done with it (never for HEAD).
struct SentFile {
  int64_t unixTime = 0;
  std::string name;  // the reply's downloadName
  uint64_t bytes = 0;
  bool complete = false;  // the whole file went out
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

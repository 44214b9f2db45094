// What the server answers to each request, apart from the HTTP library that carries it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "server/answer_cache.h"
#include "server/checkin_store.h"
#include "server/content_folder.h"

namespace vexo::server {

inline constexpr std::string_view kQueryPath = "/client/getData.php";
inline constexpr std::string_view kDownloadPrefix = "/files/";

struct Request {
  std::string_view method;
  std::string_view path;  // %-decoded, without the query
  // The query values of getData.php, %-decoded; absent values are empty.
  std::string q, ver, t;
  std::string client;
  int64_t unixTime = 0;
  // The path held an encoded zero byte, where the decoded text above ends; such a request
  // would otherwise name a shorter path than the client wrote.
  bool pathHadZeroByte = false;
  // The secret presented as a bearer token or as the password of HTTP Basic authentication.
  std::optional<std::string> credential;
};

struct Reply {
  unsigned status = 200;
  std::string_view contentType = "text/plain; charset=utf-8";
  bool cacheable = false;
  std::shared_ptr<const std::string> body;
  std::optional<OpenFile> download;  // instead of `body`
  std::string downloadName;          // below files/

  uint64_t BodySize() const { return download ? download->size() : body ? body->size() : 0; }
};

// What one listener answers.
class RequestHandler {
 public:
  virtual ~RequestHandler() = default;
  virtual Reply Handle(const Request& request) = 0;
  // Called once the connection is done with a reply's download.
  virtual void DownloadEnded(Download) {}
};

Reply TextReply(unsigned status, const char* text);

// The agents' listener: the two queries and the installers, nothing else.
class RequestRouter : public RequestHandler {
 public:
  RequestRouter(const ContentFolder& content, AnswerCache& answers, CheckinStore& checkins)
      : content_(content), answers_(answers), checkins_(checkins) {}

  Reply Handle(const Request& request) override;

  void DownloadEnded(Download download) override { checkins_.RecordDownload(std::move(download)); }

 private:
  Reply Answer(const Request& request);
  Reply Download(std::string_view relativePath);

  const ContentFolder& content_;
  AnswerCache& answers_;
  CheckinStore& checkins_;
};

}  // namespace vexo::server

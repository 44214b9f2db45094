// The agents' listener: what the server answers to the agents' query and installer requests.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "server/agents/answer_cache.h"
#include "server/agents/content_folder.h"
#include "server/store/checkin_store.h"
#include "server/transport/exchange.h"

namespace vexo::server {

inline constexpr std::string_view kQueryPath = "/client/getData.php";
inline constexpr std::string_view kDownloadPrefix = "/files/";

// The agents' listener: the two queries and the installers, nothing else. Installers are served
// whole or, for a GET with a single byte range, in part: the rest of a download cut short.
class RequestRouter : public RequestHandler {
 public:
  RequestRouter(const ContentFolder& content, AnswerCache& answers, CheckinStore& checkins)
      : content_(content), answers_(answers), checkins_(checkins) {}

  Reply Handle(const Request& request) override;

  void DownloadEnded(SentFile sent) override;

 private:
  Reply Answer(const Request& request);
  Reply Download(const Request& request, std::string_view relativePath);

  const ContentFolder& content_;
  AnswerCache& answers_;
  CheckinStore& checkins_;
};

}  // namespace vexo::server

// The admin listener: the statistics, for those who present the admin secret.
#pragma once

#include "server/admin/admin_access.h"
#include "server/store/checkin_store.h"
#include "server/transport/exchange.h"

namespace vexo::server {

inline constexpr std::string_view kStatsPath = "/stats";

class AdminRouter : public RequestHandler {
 public:
  AdminRouter(CheckinStore& checkins, const AdminGate& gate) : checkins_(checkins), gate_(gate) {}

  // A request without the secret gets 401 whatever it asks for, so that it learns nothing, not
  // even which pages exist.
  Reply Handle(const Request& request) override;

 private:
  Reply Stats(bool html);

  CheckinStore& checkins_;
  const AdminGate& gate_;
};

}  // namespace vexo::server

// The transport of vexo-server without the network: the access log's lines.
#include <gtest/gtest.h>

#include "server/transport/access_log.h"

namespace vexo::server {
namespace {

TEST(VexoServerAccessLogLine, CommonLogFormatWithHostileBytesEscaped) {
  AccessRecord record{"127.0.0.1", 1733616000, "GET", "/a?t=x\" 200 1\n\x1b[2J\\",
                      "HTTP/1.1",  404,        10};
  EXPECT_EQ(FormatAccessLine(record),
            "127.0.0.1 - - [08/Dec/2024:00:00:00 +0000] "
            "\"GET /a?t=x\\x22 200 1\\x0a\\x1b[2J\\x5c HTTP/1.1\" 404 10");
}

}  // namespace
}  // namespace vexo::server

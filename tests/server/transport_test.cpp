// The transport of vexo-server without the network: the access log's lines, client addresses
// behind trusted proxies.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <thread>
#include <vector>

#include "server/transport/access_log.h"
#include "server/transport/client_address.h"

namespace vexo::server {
namespace {

TEST(VexoServerAccessLogLine, CommonLogFormatWithHostileBytesEscaped) {
  AccessRecord record{"127.0.0.1", 1733616000, "GET", "/a?t=x\" 200 1\n\x1b[2J\\",
                      "HTTP/1.1",  404,        10};
  EXPECT_EQ(FormatAccessLine(record),
            "127.0.0.1 - - [08/Dec/2024:00:00:00 +0000] "
            "\"GET /a?t=x\\x22 200 1\\x0a\\x1b[2J\\x5c HTTP/1.1\" 404 10");
  // A target as long as a URL may be, of bytes that each escape to four: cut after 2 KiB.
  const std::string longTarget = "/" + std::string(30000, '\x01');
  record.rawUri = longTarget;
  std::string line = FormatAccessLine(record);
  EXPECT_LT(line.size(), 4 * 2048 + 100u);
  EXPECT_TRUE(line.ends_with("\\x01... HTTP/1.1\" 404 10")) << line.substr(line.size() - 40);
}

// Lines written at once by many threads into a pipe that a slow reader drains: each arrives
// whole, the longest (too long for one atomic pipe write) too.
TEST(VexoServerAccessLog, ParallelLinesArriveWholeThroughASlowPipe) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  fcntl(ends[1], F_SETPIPE_SZ, 4096);
  std::string received;
  std::thread reader([&] {
    char chunk[512];
    for (ssize_t n; (n = read(ends[0], chunk, sizeof chunk)) > 0; usleep(50)) {
      received.append(chunk, static_cast<size_t>(n));
    }
  });
  std::FILE* out = fdopen(ends[1], "w");
  {
    AccessLog log(out);
    std::vector<std::jthread> writers;
    for (size_t length : {20000, 100, 101, 102}) {
      writers.emplace_back([&log, length] {
        for (int i = 0; i < 20; ++i) {
          log.WriteLine(std::string(length, 'x'));
        }
      });
    }
  }
  std::fclose(out);
  reader.join();
  close(ends[0]);
  std::istringstream lines(received);
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    ASSERT_TRUE(line.size() == 20000 || (line.size() >= 100 && line.size() <= 102)) << count;
  }
  EXPECT_EQ(count, 80);
}

TEST(VexoServerClientAddress, TrustedProxyRanges) {
  struct Case {
    const char* list;
    const char* inside;   // an address the ranges hold, or null when the list is refused
    const char* outside;  // one they do not
  };
  const Case cases[] = {
      {"10.0.0.0/8", "10.255.0.1", "11.0.0.1"},
      {"192.0.2.1", "192.0.2.1", "192.0.2.2"},
      {"127.0.0.2/32, 2001:db8::/32", "2001:db8:1::5", "2001:db9::5"},
      {"::ffff:10.0.0.0/104", "10.1.2.3", "11.1.2.3"},
      {"0.0.0.0/0", "203.0.113.9", "::1"},
      {"10.0.0.1/8", nullptr, nullptr},  // bits beyond the prefix
      {"10.0.0.0/33", nullptr, nullptr},
      {"10.0.0.0/", nullptr, nullptr},
      {"10.0.0.0/8,", nullptr, nullptr},
      {"proxy.example", nullptr, nullptr},
      {"", nullptr, nullptr},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.list);
    std::string error;
    std::optional<TrustedProxies> proxies = TrustedProxies::Parse(row.list, error);
    ASSERT_EQ(proxies.has_value(), row.inside != nullptr) << error;
    if (proxies) {
      EXPECT_TRUE(proxies->Trusts(*IpAddress::Parse(row.inside)));
      EXPECT_FALSE(proxies->Trusts(*IpAddress::Parse(row.outside)));
    } else {
      EXPECT_NE(error, "");
    }
  }
}

TEST(VexoServerClientAddress, RightMostUntrustedHop) {
  std::string error;
  TrustedProxies trusted = *TrustedProxies::Parse("10.0.0.0/8,2001:db8::/32", error);
  struct Case {
    const char* name;
    const char* peer;
    std::optional<std::string> forwarded;
    std::optional<std::string> xForwardedFor;
    const char* client;
  };
  const Case cases[] = {
      {"untrusted peer, forged header", "203.0.113.9", "for=1.2.3.4", "1.2.3.4", "203.0.113.9"},
      {"trusted peer without header", "10.0.0.1", std::nullopt, std::nullopt, "10.0.0.1"},
      {"one hop", "10.0.0.1", std::nullopt, "198.51.100.7", "198.51.100.7"},
      {"through two proxies", "10.0.0.1", std::nullopt, "198.51.100.7, 10.0.0.5", "198.51.100.7"},
      {"client's own forgery", "10.0.0.1", std::nullopt, "6.6.6.6,198.51.100.7", "198.51.100.7"},
      {"every hop trusted", "10.0.0.1", std::nullopt, "10.1.1.1, 10.2.2.2", "10.1.1.1"},
      {"garbage behind a proxy", "10.0.0.1", std::nullopt, "198.51.100.7, x, 10.0.0.3", "10.0.0.3"},
      {"with a port", "10.0.0.1", std::nullopt, "198.51.100.7:5555", "198.51.100.7"},
      {"IPv4-mapped", "10.0.0.1", std::nullopt, "::ffff:198.51.100.7", "198.51.100.7"},
      {"RFC 7239 example", "10.0.0.1",
       "for=192.0.2.60;proto=http;by=203.0.113.43, for=\"[2001:db8:cafe::17]:4711\"", std::nullopt,
       "192.0.2.60"},
      {"both headers agree", "10.0.0.1", "For=6.6.6.6, for=192.0.2.1", "7.7.7.7, 192.0.2.1",
       "192.0.2.1"},
      {"client's own Forwarded, proxy's X-Forwarded-For", "10.0.0.1", "for=6.6.6.6",
       "6.6.6.6, 198.51.100.7", "10.0.0.1"},
      {"IPv6 client", "10.0.0.1", "for=\"[2001:db9::1]\"", std::nullopt, "2001:db9::1"},
      {"unknown", "10.0.0.1", "for=unknown", std::nullopt, "10.0.0.1"},
      {"obfuscated", "10.0.0.1", "for=192.0.2.1, for=_hidden", std::nullopt, "10.0.0.1"},
      {"element without for", "10.0.0.1", "for=192.0.2.1, proto=https", std::nullopt, "10.0.0.1"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    IpAddress client = ClientAddress(*IpAddress::Parse(row.peer),
                                     ForwardingHeaders{row.forwarded, row.xForwardedFor}, trusted);
    EXPECT_EQ(client.ToString(), row.client);
  }
}

}  // namespace
}  // namespace vexo::server

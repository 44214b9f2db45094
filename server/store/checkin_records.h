// What the server records: one row per query an agent made, one per installer sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vexo::server {

// Longer values from the network are cut to this many bytes before they are stored.
inline constexpr size_t kMaxStoredValueBytes = 256;

struct Checkin {
  int64_t unixTime = 0;
  std::string query;
  std::string version;
  std::string application;
  std::string client;
  int status = 0;
  // The release the answer offered ("" when it offered none), and whether the rollout held the
  // offer back from this agent.
  std::string offered{};
  bool withheld = false;
};

// One installer request under /files/ that sent the file's bytes (not HEAD). A request for the
// rest of a file from a byte after the first continues a download cut short: a resumed one.
struct Download {
  int64_t unixTime = 0;
  std::string file;          // below files/
  uint64_t bytes = 0;        // sent by this request
  bool complete = false;     // everything up to the file's last byte went out
  uint64_t resumedFrom = 0;  // the first byte sent; 0 for a fresh download
};

}  // namespace vexo::server

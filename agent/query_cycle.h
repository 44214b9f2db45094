// One query to the statistics and notification server: the query URL with the agent's version
// and application name, the GET, the single read of the body, deciphering and widening. Also the
// per-user data folder, which the answer readers use.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "agent/data_folder.h"
#include "agent/desktop.h"

namespace vexo {

inline constexpr uint32_t ANSWER_BUFFER_SIZE = 102400;
inline constexpr char16_t kDefaultApplicationName[] = u"setup.exe";

class QueryCycle {
 public:
  // `compiledOrigin` is the server's origin built into the program ("http://host[:port]"); the
  // machine-wide value "server" replaces it when present.
  QueryCycle(Desktop& desktop, std::u16string compiledOrigin);

  // One query ("start" or "popup"). Throws httpclientexceptionW when the transfer fails; an HTTP
  // error status is not a failure.
  std::u16string FetchAnswer(std::u16string_view query);
  std::u16string BuildQueryUrl(std::u16string_view query);
  // The machine-wide value "application", or "setup.exe"; computed once.
  std::u16string ReadApplicationName();
  // "major.minor.build.revision" of the program's own file version, or empty.
  std::u16string GetOwnFileVersion();
  // The application-data folder followed by "vexo" and a separator; created and computed once.
  std::u16string GetDataFolder();

 private:
  std::u16string ServerOrigin();

  Desktop& desktop_;
  std::u16string compiledOrigin_;
  // Computed on first use; an empty text counts as not yet computed.
  std::u16string applicationName_;
  std::u16string dataFolder_;
};

}  // namespace vexo

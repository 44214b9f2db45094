// A partial answer's Content-Range on arbitrary server bytes: what is read is a satisfied range
// inside its complete length, and it reads back the same once written out again.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http/http_range.h"

namespace {

void Check(bool condition) {
  if (!condition)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  vexo::HttpContentRange range;
  if (!vexo::ParseContentRange(text, range))
    return 0;
  Check(range.first <= range.last && range.last < range.complete);
  std::string written = "bytes " + std::to_string(range.first) + "-" + std::to_string(range.last) +
                        "/" + std::to_string(range.complete);
  vexo::HttpContentRange again;
  Check(vexo::ParseContentRange(written, again));
  Check(again.first == range.first && again.last == range.last && again.complete == range.complete);
  return 0;
}

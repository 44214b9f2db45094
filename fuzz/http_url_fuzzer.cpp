// URL analysis of arbitrary UTF-16 text: every position stays inside the text and the parts
// follow each other; the query-string builder writes exactly the length it predicts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "http/http_client.h"
#include "http/http_url.h"

namespace {

void Check(bool condition) {
  if (!condition)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string url(size / 2, u'\0');
  std::memcpy(url.data(), data, url.size() * 2);
  url = url.substr(0, url.find(u'\0'));
  const auto length = static_cast<uint32_t>(url.size());

  vexo::CHttpUrlAnalyzerT parts;
  parts.Analyze(url.c_str(), 0);
  Check(parts.SchemeStart() == 0 && parts.SchemeLength() <= length);
  Check(parts.HostStart() + parts.HostLength() <= length);
  Check(parts.PortStart() + parts.PortLength() <= length);
  Check(parts.PathStart() + parts.PathLength() <= length);
  Check(parts.PathStart() + parts.PathLength() <= parts.QueryStart() || parts.QueryLength() == 0);
  Check(parts.QueryStart() + parts.QueryLength() <= parts.FragmentStart());
  Check(parts.FragmentStart() + parts.FragmentLength() == length);

  vexo::CHttpClientT client;
  client.Params().Add(u"name", u"v\u00e9 /&");
  try {
    uint32_t predicted = client.MakeGetUrlLen(url.c_str());
    std::vector<char16_t> buffer(predicted + 2, u'\xCDCD');
    client.MakeGetUrl(buffer.data(), url.c_str());
    Check(std::char_traits<char16_t>::length(buffer.data()) == predicted);
    Check(buffer[predicted + 1] == u'\xCDCD');
  } catch (const vexo::httpclientexceptionW&) {
    // Conversions of the ANSI code page may refuse a unit; never a crash.
  }
  return 0;
}

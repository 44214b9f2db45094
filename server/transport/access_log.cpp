#include "server/transport/access_log.h"

#include <ctime>

#include "server/common/utf8_text.h"

namespace vexo::server {
namespace {

// Longer fields of a request are cut to this many bytes in the log and marked with "...", so
// that one request writes a line of bounded length whatever it sent.
constexpr size_t kLongestLoggedField = 2048;

void AppendSanitized(std::string& out, std::string_view text) {
  out += EscapedForLog(text, kLongestLoggedField, true);
}

}  // namespace

std::string LogSafeText(std::string_view text) {
  return EscapedForLog(text, kLongestLoggedField, false);
}

std::string FormatAccessLine(const AccessRecord& record) {
  std::time_t time = static_cast<std::time_t>(record.unixTime);
  std::tm parts{};
  gmtime_r(&time, &parts);
  char stamp[40];
  std::strftime(stamp, sizeof stamp, "[%d/%b/%Y:%H:%M:%S +0000]", &parts);

  std::string line;
  AppendSanitized(line, record.client);
  line += " - - ";
  line += stamp;
  line += " \"";
  AppendSanitized(line, record.method);
  line += ' ';
  AppendSanitized(line, record.rawUri);
  line += ' ';
  AppendSanitized(line, record.protocol);
  line += "\" " + std::to_string(record.status) + " " + std::to_string(record.bodyBytes);
  return line;
}

void AccessLog::Write(const AccessRecord& record) {
  WriteLine(FormatAccessLine(record));
}

void AccessLog::WriteLine(std::string_view line) {
  std::lock_guard lock(mutex_);
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

}  // namespace vexo::server

#include "server/transport/access_log.h"

#include <ctime>

namespace vexo::server {
namespace {

void AppendSanitized(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (unsigned char c : text) {
    if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    } else {
      out += static_cast<char>(c);
    }
  }
}

}  // namespace

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

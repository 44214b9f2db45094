#include "server/transport/access_log.h"

#include <limits.h>
#include <unistd.h>

#include <cerrno>
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

// A log that cannot be written (a full disk, a closed terminal) does not stop the answers.
void WriteAll(int descriptor, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = write(descriptor, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
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

AccessLog::AccessLog(std::FILE* out) : descriptor_(fileno(out)) {
  std::fflush(out);  // anything the program printed before comes first
}

void AccessLog::WriteLine(std::string text) {
  text += '\n';
  // A file takes one write whole, and so do a pipe and a socket up to PIPE_BUF bytes; a longer
  // line (only a hostile request's can be) keeps every other line out until it is all written.
  if (text.size() <= PIPE_BUF) {
    std::shared_lock lock(mutex_);
    WriteAll(descriptor_, text);
  } else {
    std::unique_lock lock(mutex_);
    WriteAll(descriptor_, text);
  }
}

}  // namespace vexo::server

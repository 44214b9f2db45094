#include "server/transport/exchange.h"

#include <unistd.h>

namespace vexo::server {

std::string_view QueryArguments::Get(std::string_view name) const {
  for (const auto& [key, value] : pairs_) {
    if (key == name) {
      return value;
    }
  }
  return {};
}

OpenFile::OpenFile(OpenFile&& other) noexcept
    : descriptor_(other.Release()),
      size_(other.size_),
      modifiedNanoseconds_(other.modifiedNanoseconds_) {}

OpenFile::~OpenFile() {
  if (descriptor_ >= 0) {
    close(descriptor_);
  }
}

int OpenFile::Release() {
  int descriptor = descriptor_;
  descriptor_ = -1;
  return descriptor;
}

Reply TextReply(unsigned status, const char* text) {
  Reply reply;
  reply.status = status;
  reply.body = std::make_shared<const std::string>(text);
  return reply;
}

Reply MethodNotAllowedReply() {
  Reply reply = TextReply(405, "method not allowed\n");
  reply.headers.push_back({"Allow", "GET, HEAD"});
  return reply;
}

}  // namespace vexo::server

#include "platform/posix/transfer_protocol.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace vexo::platform::posix {
namespace {

// Numbers in the host's byte order: both ends are builds of the same program on one machine.
class Writer {
 public:
  void Number(uint64_t value) { out_.append(reinterpret_cast<const char*>(&value), sizeof value); }
  void Text(std::string_view text) {
    Number(text.size());
    out_.append(text);
  }
  void Optional(const std::optional<std::string>& text) {
    Number(text ? 1 : 0);
    if (text)
      Text(*text);
  }
  void List(const std::vector<std::string>& texts) {
    Number(texts.size());
    for (const auto& text : texts)
      Text(text);
  }
  std::string Take() { return std::move(out_); }

 private:
  std::string out_;
};

class Reader {
 public:
  explicit Reader(std::string_view bytes) : in_(bytes) {}

  template <typename Integer>
  bool Number(Integer& value) {
    uint64_t raw = 0;
    if (in_.size() < sizeof raw)
      return false;
    std::memcpy(&raw, in_.data(), sizeof raw);
    in_.remove_prefix(sizeof raw);
    value = static_cast<Integer>(raw);
    return static_cast<uint64_t>(value) == raw;
  }
  bool Text(std::string& text) {
    size_t length = 0;
    if (!Number(length) || in_.size() < length)
      return false;
    text.assign(in_.substr(0, length));
    in_.remove_prefix(length);
    return true;
  }
  bool Optional(std::optional<std::string>& text) {
    int present = 0;
    if (!Number(present) || present > 1)
      return false;
    if (present == 0) {
      text.reset();
      return true;
    }
    return Text(text.emplace());
  }
  bool List(std::vector<std::string>& texts) {
    size_t count = 0;
    if (!Number(count) || count > in_.size())
      return false;
    texts.resize(count);
    for (auto& text : texts)
      if (!Text(text))
        return false;
    return true;
  }
  bool AtEnd() const { return in_.empty(); }

 private:
  std::string_view in_;
};

constexpr size_t kFrameHeadBytes = 5;

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

const std::string* FirstHeader(const HeaderList& headers, std::string_view name) {
  for (const auto& [headerName, value] : headers)
    if (EqualNoCase(headerName, name))
      return &value;
  return nullptr;
}

std::string EncodeRequest(const TransferRequest& request) {
  Writer out;
  out.Number(request.connectTimeoutMs);
  out.Number(request.receiveTimeoutMs);
  out.Optional(request.agent);
  out.Number(request.accessType);
  out.Text(request.proxy);
  out.Text(request.proxyBypass);
  out.Text(request.host);
  out.Number(request.port);
  out.Optional(request.userName);
  out.Optional(request.password);
  out.Text(request.proxyUserName);
  out.Text(request.proxyPassword);
  out.Text(request.verb);
  out.Text(request.object);
  out.Optional(request.referrer);
  out.List(request.acceptTypes);
  out.Number(request.flags);
  out.List(request.addedHeaders);
  out.Text(request.body);
  return out.Take();
}

bool DecodeRequest(std::string_view bytes, TransferRequest& request) {
  Reader in(bytes);
  return in.Number(request.connectTimeoutMs) && in.Number(request.receiveTimeoutMs) &&
         in.Optional(request.agent) && in.Number(request.accessType) && in.Text(request.proxy) &&
         in.Text(request.proxyBypass) && in.Text(request.host) && in.Number(request.port) &&
         in.Optional(request.userName) && in.Optional(request.password) &&
         in.Text(request.proxyUserName) && in.Text(request.proxyPassword) &&
         in.Text(request.verb) && in.Text(request.object) && in.Optional(request.referrer) &&
         in.List(request.acceptTypes) && in.Number(request.flags) &&
         in.List(request.addedHeaders) && in.Text(request.body) && in.AtEnd();
}

std::string EncodeHead(const TransferHead& head) {
  Writer out;
  out.Number(static_cast<uint64_t>(head.status));
  for (const auto& [name, value] : head.headers) {
    out.Text(name);
    out.Text(value);
  }
  return out.Take();
}

bool DecodeHead(std::string_view bytes, TransferHead& head) {
  Reader in(bytes);
  head.headers.clear();
  if (!in.Number(head.status))
    return false;
  while (!in.AtEnd()) {
    auto& [name, value] = head.headers.emplace_back();
    if (!in.Text(name) || !in.Text(value))
      return false;
  }
  return true;
}

bool WriteAll(int fd, const void* bytes, size_t length) {
  const auto* at = static_cast<const char*>(bytes);
  while (length > 0) {
    ssize_t written = write(fd, at, length);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return false;
    at += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

bool ReadExactly(int fd, void* into, size_t length) {
  auto* at = static_cast<char*>(into);
  while (length > 0) {
    ssize_t got = read(fd, at, length);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      return false;
    at += got;
    length -= static_cast<size_t>(got);
  }
  return true;
}

ReadStep AppendOneRead(int fd, size_t mostBytes, std::string& into) {
  char chunk[16 * 1024];
  ssize_t got = read(fd, chunk, sizeof chunk);
  if (got < 0)
    return errno == EINTR ? ReadStep::kMore : ReadStep::kFailed;
  if (got == 0)
    return ReadStep::kEnd;
  if (into.size() + static_cast<size_t>(got) > mostBytes)
    return ReadStep::kFailed;
  into.append(chunk, static_cast<size_t>(got));
  return ReadStep::kMore;
}

bool WriteFrame(int fd, Frame kind, std::string_view payload) {
  std::string frame(kFrameHeadBytes, static_cast<char>(kind));
  auto length = static_cast<uint32_t>(payload.size());
  std::memcpy(frame.data() + 1, &length, sizeof length);
  frame.append(payload);
  return WriteAll(fd, frame.data(), frame.size());
}

bool WriteEndFrame(int fd, uint32_t error) {
  return WriteFrame(fd, Frame::kEnd,
                    std::string_view(reinterpret_cast<const char*>(&error), sizeof error));
}

bool DecodeEnd(std::string_view payload, uint32_t& error) {
  if (payload.size() != sizeof error)
    return false;
  std::memcpy(&error, payload.data(), sizeof error);
  return true;
}

bool ReadFrame(int fd, size_t mostBytes, Frame& kind, std::string& payload) {
  char head[kFrameHeadBytes];
  if (!ReadExactly(fd, head, sizeof head))
    return false;
  kind = static_cast<Frame>(head[0]);
  uint32_t length = 0;
  std::memcpy(&length, head + 1, sizeof length);
  if (length > mostBytes)
    return false;
  payload.resize(length);
  return ReadExactly(fd, payload.data(), length);
}

}  // namespace vexo::platform::posix

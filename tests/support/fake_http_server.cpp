#include "tests/support/fake_http_server.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

namespace vexo::testing {
namespace {

constexpr int kWaitMs = 50;
constexpr size_t kLongestHead = 64 * 1024;
// How long a reset waits after the last bytes before it, for them to reach the client.
constexpr int kResetDelayMs = 300;

bool EqualNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos)
    return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

RecordedRequest ParseHead(const std::string& head) {
  RecordedRequest request;
  request.head = head;
  size_t lineEnd = head.find("\r\n");
  std::string requestLine = head.substr(0, lineEnd);
  size_t firstSpace = requestLine.find(' ');
  size_t lastSpace = requestLine.rfind(' ');
  if (firstSpace != std::string::npos && lastSpace > firstSpace) {
    request.method = requestLine.substr(0, firstSpace);
    request.target = requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1);
    request.version = requestLine.substr(lastSpace + 1);
  }
  size_t position = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
  while (position < head.size()) {
    size_t end = head.find("\r\n", position);
    if (end == std::string::npos || end == position)
      break;
    std::string line = head.substr(position, end - position);
    size_t colon = line.find(':');
    if (colon != std::string::npos)
      request.headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
    position = end + 2;
  }
  return request;
}

}  // namespace

// --- FakeReply

FakeReply FakeReply::Body(int status, std::string body) {
  FakeReply reply;
  reply.status = status;
  reply.reason = status == 200 ? "OK" : status == 404 ? "Not Found" : "Status";
  reply.body = std::move(body);
  return reply;
}

FakeReply FakeReply::Redirect(int status, std::string location) {
  FakeReply reply = Body(status, "moved");
  reply.reason = "Moved";
  reply.headers.emplace_back("Location", std::move(location));
  return reply;
}

FakeReply FakeReply::Raw(std::string bytes) {
  FakeReply reply;
  reply.raw = std::move(bytes);
  return reply;
}

uint64_t FakeReply::BodySize() const {
  return generatedBodySize ? generatedBodySize : body.size();
}

std::optional<std::string> RecordedRequest::Header(const std::string& name) const {
  for (const auto& [headerName, value] : headers)
    if (EqualNoCase(headerName, name))
      return value;
  return std::nullopt;
}

// --- FakeHttpServer

FakeHttpServer::FakeHttpServer() : m_defaultReply(FakeReply::Body(404, "no such page")) {
  if (!net::Startup())
    return;
  m_listener = net::ListenOnLoopback(m_port);
  if (m_listener != net::kInvalidSocket)
    m_acceptor = std::thread([this] { AcceptLoop(); });
}

FakeHttpServer::~FakeHttpServer() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
  }
  if (m_acceptor.joinable())
    m_acceptor.join();
  for (auto& worker : m_workers)
    worker.join();
  if (m_listener != net::kInvalidSocket)
    net::Close(m_listener);
}

std::string FakeHttpServer::Origin() const {
  return "http://127.0.0.1:" + std::to_string(m_port);
}

void FakeHttpServer::Route(const std::string& target, FakeReply reply) {
  RouteInTurn(target, {std::move(reply)});
}

void FakeHttpServer::RouteInTurn(const std::string& target, std::vector<FakeReply> replies) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_routes[target] = std::move(replies);
}

void FakeHttpServer::SetDefaultReply(FakeReply reply) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_defaultReply = std::move(reply);
}

std::vector<RecordedRequest> FakeHttpServer::Requests() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests;
}

size_t FakeHttpServer::ConnectionsAccepted() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_connections;
}

bool FakeHttpServer::Stopping() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_stopping;
}

uint64_t FakeHttpServer::BodyBytesSent() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  uint64_t total = 0;
  for (const auto& request : m_requests)
    total += request.bodyBytesSent;
  return total;
}

FakeReply FakeHttpServer::ReplyFor(const std::string& target) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto route = m_routes.find(target);
  if (route == m_routes.end())
    route = m_routes.find(target.substr(0, target.find('?')));
  if (route == m_routes.end() || route->second.empty())
    return m_defaultReply;
  std::vector<FakeReply>& replies = route->second;
  FakeReply reply = replies.front();
  if (replies.size() > 1)
    replies.erase(replies.begin());
  return reply;
}

void FakeHttpServer::AcceptLoop() {
  while (!Stopping()) {
    net::Socket connection = net::Accept(m_listener, kWaitMs);
    if (connection == net::kInvalidSocket)
      continue;
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_connections;
    ++m_openConnections;
    m_workers.emplace_back([this, connection] { Serve(connection); });
  }
}

void FakeHttpServer::Serve(net::Socket connection) {
  std::string pending;
  Next next = Next::kKeepOpen;
  while (next == Next::kKeepOpen && !Stopping())
    next = ServeOneRequest(connection, pending);
  if (next == Next::kReset)
    net::CloseWithReset(connection);
  else
    net::Close(connection);
  std::lock_guard<std::mutex> lock(m_mutex);
  --m_openConnections;
  m_idle.notify_all();
}

bool FakeHttpServer::WaitUntilIdle(int limitMs) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_idle.wait_for(lock, std::chrono::milliseconds(limitMs),
                         [this] { return m_openConnections == 0; });
}

namespace {

// Sends all of `data` unless the server stops or the peer goes away.
class Sender {
 public:
  Sender(net::Socket socket, const bool& stopFlag, std::mutex& mutex)
      : m_socket(socket), m_stop(stopFlag), m_mutex(mutex) {}

  bool SendAll(const char* data, size_t size) {
    while (size > 0) {
      long sent = net::Send(m_socket, data, size, kWaitMs);
      if (sent == net::kFailed || Stopping())
        return false;
      if (sent > 0) {
        data += sent;
        size -= static_cast<size_t>(sent);
      }
    }
    return true;
  }
  bool SendAll(const std::string& text) { return SendAll(text.data(), text.size()); }

  // Holds the connection open without sending until the peer closes it or the server stops.
  void Stall() {
    char sink[4096];
    while (!Stopping()) {
      long got = net::Receive(m_socket, sink, sizeof sink, kWaitMs);
      if (got == net::kClosed || got == net::kFailed)
        return;
    }
  }

 private:
  bool Stopping() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stop;
  }
  net::Socket m_socket;
  const bool& m_stop;
  std::mutex& m_mutex;
};

// The part of a reply's body that goes out: all of it, or the range a request asked for.
struct BodyPart {
  uint64_t first = 0;
  uint64_t count = 0;
};

// Turns a reply that honours ranges into the 206 or 416 that a request's "bytes=N-" calls for.
BodyPart ApplyRange(const RecordedRequest& request, FakeReply& reply) {
  const uint64_t size = reply.BodySize();
  std::string range = request.Header("Range").value_or("");
  const std::string digits = range.size() > 7 && range.starts_with("bytes=") && range.back() == '-'
                                 ? range.substr(6, range.size() - 7)
                                 : "";
  if (reply.ranges != FakeReply::Ranges::kHonour || digits.empty() || digits.size() > 18 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return BodyPart{0, size};
  }
  const uint64_t first = std::stoull(digits);
  if (first >= size) {
    reply.status = 416;
    reply.reason = "Range Not Satisfiable";
    reply.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
    return BodyPart{0, 0};
  }
  reply.status = 206;
  reply.reason = "Partial Content";
  reply.headers.emplace_back("Content-Range", "bytes " + std::to_string(first) + "-" +
                                                  std::to_string(size - 1) + "/" +
                                                  std::to_string(size));
  return BodyPart{first, size - first};
}

std::string BuildHead(const FakeReply& reply, uint64_t bodyLength) {
  std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " + reply.reason + "\r\n";
  for (const auto& [name, value] : reply.headers)
    head += name + ": " + value + "\r\n";
  switch (reply.framing) {
    case FakeReply::Framing::kContentLength:
      head +=
          "Content-Length: " + std::to_string(reply.announcedLength.value_or(bodyLength)) + "\r\n";
      break;
    case FakeReply::Framing::kChunked:
      head += "Transfer-Encoding: chunked\r\n";
      break;
    case FakeReply::Framing::kUntilClose:
      head += "Connection: close\r\n";
      break;
  }
  return head + "\r\n";
}

// The body bytes [from, from + count) of a reply.
void BodySlice(const FakeReply& reply, uint64_t from, size_t count, std::string& out) {
  out.resize(count);
  if (reply.generatedBodySize == 0) {
    out.assign(reply.body, static_cast<size_t>(from), count);
    return;
  }
  // GeneratedBodyByte repeats every 26 * 251 bytes: large bodies are copied from one period.
  static const std::string period = [] {
    std::string bytes(26 * 251, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
      bytes[i] = GeneratedBodyByte(i);
    return bytes;
  }();
  size_t offset = static_cast<size_t>(from % period.size());
  for (size_t done = 0; done < count;) {
    size_t take = std::min(count - done, period.size() - offset);
    out.replace(done, take, period, offset, take);
    done += take;
    offset = 0;
  }
}

// Sends `limit` body bytes from `first` on in the reply's framing, telling `counted` about each
// piece before it goes out (so that a client never sees bytes not counted yet); false when sending
// failed.
bool SendBody(Sender& sender, const FakeReply& reply, uint64_t first, uint64_t limit,
              const std::function<void(uint64_t)>& counted) {
  const bool chunked = reply.framing == FakeReply::Framing::kChunked;
  const size_t piece = chunked ? std::max<size_t>(reply.chunkSize, 1) : 64 * 1024;
  std::string slice;
  for (uint64_t sent = 0; sent < limit;) {
    size_t count = static_cast<size_t>(std::min<uint64_t>(piece, limit - sent));
    BodySlice(reply, first + sent, count, slice);
    if (chunked) {
      char size[32];
      std::snprintf(size, sizeof size, "%zx\r\n", count);
      slice = size + slice + "\r\n";
    }
    counted(count);
    if (!sender.SendAll(slice))
      return false;
    sent += count;
  }
  return true;
}

}  // namespace

FakeHttpServer::Next FakeHttpServer::ServeOneRequest(net::Socket connection, std::string& pending) {
  char buffer[4096];
  size_t headEnd;
  while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos) {
    // Something that is not HTTP (a TLS handshake, say) is recorded as it came and dropped.
    bool notHttp = !pending.empty() && !std::isupper(static_cast<unsigned char>(pending[0]));
    if (notHttp || pending.size() > kLongestHead) {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_requests.push_back(ParseHead(pending));
      return Next::kClose;
    }
    long got = net::Receive(connection, buffer, sizeof buffer, kWaitMs);
    if (got == net::kClosed || got == net::kFailed || Stopping())
      return Next::kClose;
    if (got > 0)
      pending.append(buffer, static_cast<size_t>(got));
  }
  RecordedRequest request = ParseHead(pending.substr(0, headEnd + 4));
  pending.erase(0, headEnd + 4);
  FakeReply reply = ReplyFor(request.target);
  const BodyPart part = ApplyRange(request, reply);
  size_t index = 0;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    index = m_requests.size();
    m_requests.push_back(request);
  }

  Sender sender(connection, m_stopping, m_mutex);
  using Fault = FakeReply::Fault;
  if (reply.raw) {
    sender.SendAll(*reply.raw);
    return Next::kClose;
  }
  switch (reply.fault) {
    case Fault::kCloseWithoutReply:
      return Next::kClose;
    case Fault::kResetWithoutReply:
      return Next::kReset;
    case Fault::kStallBeforeReply:
      sender.Stall();
      return Next::kClose;
    default:
      break;
  }
  if (!sender.SendAll(BuildHead(reply, part.count)))
    return Next::kClose;
  auto sendBody = [&](uint64_t limit) {
    return SendBody(sender, reply, part.first, std::min(limit, part.count), [&](uint64_t count) {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_requests[index].bodyBytesSent += count;
    });
  };
  switch (reply.fault) {
    case Fault::kStallAfterHeaders:
      sender.Stall();
      return Next::kClose;
    case Fault::kStallAfterBodyBytes:
      if (sendBody(reply.faultAfterBodyBytes))
        sender.Stall();
      return Next::kClose;
    case Fault::kCloseAfterBodyBytes:
      sendBody(reply.faultAfterBodyBytes);
      return Next::kClose;
    case Fault::kResetAfterBodyBytes:
      if (sendBody(reply.faultAfterBodyBytes))
        std::this_thread::sleep_for(std::chrono::milliseconds(kResetDelayMs));
      return Next::kReset;
    default:
      break;
  }
  if (!sendBody(part.count))
    return Next::kClose;
  if (reply.framing == FakeReply::Framing::kChunked && !sender.SendAll("0\r\n\r\n"))
    return Next::kClose;
  bool keepOpen = reply.framing != FakeReply::Framing::kUntilClose && !reply.announcedLength;
  return keepOpen ? Next::kKeepOpen : Next::kClose;
}

}  // namespace vexo::testing

// The HTTP service as a WinINet stand-in. Each request's transfer runs in a transfer program
// (vexo-transfer) started for it, so that libcurl, the TLS libraries and the proxy lookup never
// load into the long-lived calling process. SendHttpRequest starts the program, hands it the
// request and waits for the final response's head; each ReadInternetFile takes from the body pipe
// until the caller's buffer is full or the body ends, and then the outcome. Closing the request
// ends the program.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/codepage.h"
#include "platform/internet.h"
#include "platform/internet_handles.h"
#include "platform/posix/transfer_protocol.h"

extern char** environ;

namespace vexo::platform {
namespace {

using posix::Frame;
using posix::TransferHead;
using posix::TransferRequest;

// How much of the body the program may send ahead of the caller's reads.
constexpr int kPipeBytes = 1024 * 1024;
// A head frame is the response's status and at most 64 KiB of header lines, each name and value
// with an 8-byte length: a few times that, at most, for lines as short as they can be.
constexpr size_t kMostHeadBytes = 1024 * 1024;

thread_local uint32_t t_lastError = 0;

bool Fail(uint32_t error) {
  t_lastError = error;
  return false;
}

std::nullptr_t FailHandle(uint32_t error) {
  t_lastError = error;
  return nullptr;
}

std::optional<std::string> Utf8Of(const char16_t* text) {
  if (text == nullptr)
    return std::nullopt;
  std::string out;
  uint32_t error = 0;
  WideToNarrow(kCodePageUtf8, text, out, error);
  return out;
}

// A request's transfer as the calling process sees it: the program that runs it, the pipes it
// writes to (the head and the outcome; the body), and the final response's head. Ending it ends
// the program.
struct Exchange {
  pid_t child = -1;
  int control = -1;
  int body = -1;
  TransferHead head;
  bool ended = false;

  Exchange() = default;
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;
  ~Exchange() {
    for (int end : {control, body})
      if (end >= 0)
        close(end);
    if (child > 0) {
      kill(child, SIGKILL);
      while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
  }
};

enum class Kind { kInternet, kConnection, kRequest };

struct Handle {
  explicit Handle(Kind k) : kind(k) {
    settings.connectTimeoutMs = kDefaultConnectTimeoutMs;
    settings.receiveTimeoutMs = kDefaultReceiveTimeoutMs;
  }
  Kind kind;
  // What the handle and those above it were given; a request's is its transfer's whole request.
  TransferRequest settings;
  uint32_t sendTimeoutMs = kDefaultReceiveTimeoutMs;
  std::unique_ptr<Exchange> exchange;  // once sent
  uint32_t failure = 0;                // a read failed: every later read fails the same way
};

InternetHandleTable<Handle>& Handles() {
  static auto* table = new InternetHandleTable<Handle>;  // outlives every static destructor
  return *table;
}

Handle* FindHandle(InternetHandle value, Kind kind) {
  uint32_t error = 0;
  Handle* handle = Handles().Find(value, kind, error);
  if (handle == nullptr)
    Fail(error);
  return handle;
}

std::string FolderOfThisProgram() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0)
    return {};
  std::string_view program(path, static_cast<size_t>(length));
  return std::string(program.substr(0, program.rfind('/') + 1));
}

// The transfer program beside this one (as the build lays programs out), else in the libexec
// folder beside this program's bin folder (as the packages install them).
const std::string& TransferProgram() {
  static const std::string path = [] {
    std::string folder = FolderOfThisProgram();
    for (std::string candidate : {folder + posix::kTransferProgramName,
                                  folder + "../libexec/vexo/" + posix::kTransferProgramName})
      if (access(candidate.c_str(), X_OK) == 0)
        return candidate;
    // Every request fails without it; say once why.
    std::fprintf(stderr, "%s not found in %s or %s../libexec/vexo/: HTTP requests fail\n",
                 posix::kTransferProgramName, folder.c_str(), folder.c_str());
    return std::string();
  }();
  return path;
}

// The ends of the three channels to a transfer program while it starts: the request socket and
// the control and body pipes, [0] the caller's, [1] the program's. Ends still held are closed.
struct ChannelEnds {
  int request[2] = {-1, -1};
  int control[2] = {-1, -1};
  int body[2] = {-1, -1};

  ChannelEnds() = default;
  ChannelEnds(const ChannelEnds&) = delete;
  ChannelEnds& operator=(const ChannelEnds&) = delete;
  ~ChannelEnds() {
    for (int* pair : {request, control, body})
      for (int side : {0, 1})
        Close(pair[side]);
  }
  // The request goes over a socket, so that a program gone early fails the write, not the caller
  // by SIGPIPE.
  bool Open() {
    return socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, request) == 0 &&
           pipe2(control, O_CLOEXEC) == 0 && pipe2(body, O_CLOEXEC) == 0;
  }
  static void Close(int& end) {
    if (end >= 0)
      close(std::exchange(end, -1));
  }
};

// Descriptors 0, 1 and 3 of the program are the ends given; every other descriptor but the error
// output is closed in it, and it starts with no signal blocked or ignored.
bool SpawnTransferProgram(int request, int control, int body, pid_t& child) {
  const std::string& program = TransferProgram();
  if (program.empty())
    return false;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_adddup2(&actions, request, posix::kTransferRequestFd);
  posix_spawn_file_actions_adddup2(&actions, control, posix::kTransferControlFd);
  posix_spawn_file_actions_adddup2(&actions, body, posix::kTransferBodyFd);
  posix_spawn_file_actions_addclosefrom_np(&actions, posix::kTransferBodyFd + 1);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
  int result = posix_spawn(&child, program.c_str(), &actions, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return result == 0;
}

// Starts the request's transfer program and waits for the final response's head, or the failure.
bool Send(Handle& request, const void* optional, uint32_t optionalLength) {
  request.exchange.reset();
  request.failure = 0;
  TransferRequest whole = request.settings;
  if (optional != nullptr && optionalLength > 0)
    whole.body.assign(static_cast<const char*>(optional), optionalLength);
  ChannelEnds ends;
  if (!ends.Open())
    return Fail(kErrorInternetInternalError);
  fcntl(ends.body[1], F_SETPIPE_SZ, kPipeBytes);  // a smaller pipe only means more, smaller steps
  auto exchange = std::make_unique<Exchange>();
  exchange->control = std::exchange(ends.control[0], -1);
  exchange->body = std::exchange(ends.body[0], -1);
  if (!SpawnTransferProgram(ends.request[1], ends.control[1], ends.body[1], exchange->child))
    return Fail(kErrorInternetInternalError);
  // Only the program holds its ends from here: its exit closes the pipes.
  for (int* end : {&ends.request[1], &ends.control[1], &ends.body[1]})
    ChannelEnds::Close(*end);
  std::string encoded = posix::EncodeRequest(whole);
  bool handedOver = true;
  for (std::string_view left = encoded; handedOver && !left.empty();) {
    ssize_t sent = send(ends.request[0], left.data(), left.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR)
      continue;
    handedOver = sent > 0;
    if (handedOver)
      left.remove_prefix(static_cast<size_t>(sent));
  }
  ChannelEnds::Close(ends.request[0]);  // the end of the request
  Frame kind{};
  std::string payload;
  if (!handedOver || !posix::ReadFrame(exchange->control, kMostHeadBytes, kind, payload))
    return Fail(kErrorInternetInternalError);
  uint32_t error = 0;
  if (kind == Frame::kEnd)
    return Fail(posix::DecodeEnd(payload, error) ? error : kErrorInternetInternalError);
  if (kind != Frame::kHead || !posix::DecodeHead(payload, exchange->head))
    return Fail(kErrorInternetInternalError);
  request.exchange = std::move(exchange);
  return true;
}

// The outcome the program sends once the body has ended: 0, or why the transfer failed.
uint32_t OutcomeOf(Exchange& exchange) {
  exchange.ended = true;
  Frame kind{};
  std::string payload;
  uint32_t error = 0;
  if (!posix::ReadFrame(exchange.control, sizeof error, kind, payload) || kind != Frame::kEnd ||
      !posix::DecodeEnd(payload, error))
    return kErrorInternetConnectionAborted;
  return error;
}

bool Read(Handle& request, void* buffer, uint32_t size, uint32_t& read) {
  if (request.failure != 0)
    return Fail(request.failure);
  if (!request.exchange)
    return Fail(kErrorInternetConnectionAborted);
  Exchange& exchange = *request.exchange;
  auto* dest = static_cast<char*>(buffer);
  size_t filled = 0;
  uint32_t error = 0;
  while (filled < size && !exchange.ended) {
    ssize_t got = ::read(exchange.body, dest + filled, size - filled);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0) {
      exchange.ended = true;
      error = kErrorInternetConnectionAborted;
    } else if (got == 0) {
      error = OutcomeOf(exchange);
    } else {
      filled += static_cast<size_t>(got);
    }
  }
  read = static_cast<uint32_t>(filled);
  if (error != 0) {
    request.failure = error;
    return Fail(error);
  }
  return true;
}

}  // namespace

// --- the service

InternetHandle OpenInternet(const char16_t* agent, uint32_t accessType, const char16_t* proxy,
                            const char16_t* proxyBypass, uint32_t /*flags*/) {
  if (accessType != kAccessPreconfig && accessType != kAccessDirect && accessType != kAccessProxy)
    return FailHandle(kErrorInvalidParameter);
  if (accessType == kAccessProxy && (proxy == nullptr || proxy[0] == 0))
    return FailHandle(kErrorInvalidParameter);
  auto handle = std::make_unique<Handle>(Kind::kInternet);
  handle->settings.agent = Utf8Of(agent);
  handle->settings.accessType = accessType;
  handle->settings.proxy = Utf8Of(proxy).value_or("");
  handle->settings.proxyBypass = Utf8Of(proxyBypass).value_or("");
  return Handles().Add(std::move(handle));
}

InternetHandle ConnectInternet(InternetHandle internet, const char16_t* serverName, uint16_t port,
                               const char16_t* userName, const char16_t* password) {
  Handle* parent = FindHandle(internet, Kind::kInternet);
  if (parent == nullptr)
    return nullptr;
  if (serverName == nullptr || serverName[0] == 0)
    return FailHandle(kErrorInvalidParameter);
  auto handle = std::make_unique<Handle>(Kind::kConnection);
  handle->settings = parent->settings;
  handle->sendTimeoutMs = parent->sendTimeoutMs;
  handle->settings.host = *Utf8Of(serverName);
  handle->settings.port = port;  // 0: the scheme's default port, as WinINet reads it
  handle->settings.userName = Utf8Of(userName);
  handle->settings.password = Utf8Of(password);
  return Handles().Add(std::move(handle));
}

InternetHandle OpenHttpRequest(InternetHandle connection, const char* verb, const char* objectName,
                               const char* version, const char* referrer,
                               const char* const* acceptTypes, uint32_t flags) {
  Handle* parent = FindHandle(connection, Kind::kConnection);
  if (parent == nullptr)
    return nullptr;
  if (version != nullptr && std::string_view(version) != "HTTP/1.1")
    return FailHandle(kErrorInvalidParameter);
  auto handle = std::make_unique<Handle>(Kind::kRequest);
  handle->settings = parent->settings;
  handle->sendTimeoutMs = parent->sendTimeoutMs;
  handle->settings.verb = verb != nullptr && verb[0] != 0 ? verb : "GET";
  handle->settings.object = objectName != nullptr && objectName[0] != 0 ? objectName : "/";
  if (referrer != nullptr && referrer[0] != 0)
    handle->settings.referrer = referrer;
  for (; acceptTypes != nullptr && *acceptTypes != nullptr; ++acceptTypes)
    handle->settings.acceptTypes.emplace_back(*acceptTypes);
  handle->settings.flags = flags;
  return Handles().Add(std::move(handle));
}

bool AddHttpRequestHeaders(InternetHandle request, const char* headers, uint32_t length,
                           uint32_t /*modifiers*/) {
  Handle* handle = FindHandle(request, Kind::kRequest);
  if (handle == nullptr)
    return false;
  if (headers == nullptr)
    return Fail(kErrorInvalidParameter);
  std::string_view text(headers, length == UINT32_MAX ? std::strlen(headers) : length);
  std::vector<std::string> lines;
  while (!text.empty()) {
    size_t end = text.find_first_of("\r\n");
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty())
      continue;
    size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos)
      return Fail(kErrorInvalidParameter);
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ')
      value.remove_prefix(1);
    // libcurl sends "Name;" as a header with an empty value ("Name:" would remove it).
    std::string name(line.substr(0, colon));
    lines.push_back(value.empty() ? name + ";" : name + ": " + std::string(value));
  }
  handle->settings.addedHeaders.insert(handle->settings.addedHeaders.end(), lines.begin(),
                                       lines.end());
  return true;
}

bool SendHttpRequest(InternetHandle request, const void* optional, uint32_t optionalLength) {
  Handle* handle = FindHandle(request, Kind::kRequest);
  return handle != nullptr && Send(*handle, optional, optionalLength);
}

// The head of the final response, once it is in; null (with the error) before that.
const TransferHead* AnsweredHead(InternetHandle request, uint32_t errorBefore) {
  Handle* handle = FindHandle(request, Kind::kRequest);
  if (handle == nullptr)
    return nullptr;
  if (!handle->exchange)
    return FailHandle(errorBefore);
  return &handle->exchange->head;
}

bool QueryContentLength(InternetHandle request, uint32_t& length) {
  std::string value;
  if (!QueryResponseHeader(request, "Content-Length", value))
    return false;
  if (!ParseContentLength(value, length))
    return Fail(kErrorHttpInvalidHeader);
  return true;
}

bool QueryStatusCode(InternetHandle request, uint32_t& status) {
  const TransferHead* head = AnsweredHead(request, kErrorHttpHeaderNotFound);
  if (head == nullptr)
    return false;
  status = static_cast<uint32_t>(head->status);
  return true;
}

bool QueryResponseHeader(InternetHandle request, const char* name, std::string& value) {
  const TransferHead* head = AnsweredHead(request, kErrorHttpHeaderNotFound);
  if (head == nullptr)
    return false;
  if (name == nullptr)
    return Fail(kErrorInvalidParameter);
  const std::string* found = posix::FirstHeader(head->headers, name);
  if (found == nullptr)
    return Fail(kErrorHttpHeaderNotFound);
  value = *found;
  return true;
}

bool ReadInternetFile(InternetHandle request, void* buffer, uint32_t size, uint32_t& read) {
  read = 0;
  Handle* handle = FindHandle(request, Kind::kRequest);
  if (handle == nullptr)
    return false;
  if (buffer == nullptr)
    return Fail(kErrorInvalidParameter);
  if (size == 0)
    return true;
  return Read(*handle, buffer, size, read);
}

bool SetInternetOption(InternetHandle target, uint32_t option, const void* buffer,
                       uint32_t length) {
  Handle* handle = Handles().Find(target);
  if (handle == nullptr)
    return Fail(kErrorInvalidHandle);
  if (buffer == nullptr)
    return Fail(kErrorInvalidParameter);
  auto number = [&](uint32_t& into) {
    if (length < sizeof(uint32_t))
      return Fail(kErrorInvalidParameter);
    std::memcpy(&into, buffer, sizeof into);
    return true;
  };
  auto text = [&](std::string& into) {
    std::u16string units(static_cast<const char16_t*>(buffer), length);
    into = *Utf8Of(units.c_str());
    return true;
  };
  switch (option) {
    case kOptionConnectTimeout:
      return number(handle->settings.connectTimeoutMs);
    case kOptionSendTimeout:
      return number(handle->sendTimeoutMs);
    case kOptionReceiveTimeout:
      return number(handle->settings.receiveTimeoutMs);
    case kOptionProxyUsername:
      return text(handle->settings.proxyUserName);
    case kOptionProxyPassword:
      return text(handle->settings.proxyPassword);
    default:
      return Fail(kErrorInternetInvalidOption);
  }
}

bool CloseInternetHandle(InternetHandle handle) {
  std::unique_ptr<Handle> removed = Handles().Remove(handle);
  if (!removed)
    return Fail(kErrorInvalidHandle);
  return true;
}

uint32_t LastInternetError() {
  return t_lastError;
}

}  // namespace vexo::platform

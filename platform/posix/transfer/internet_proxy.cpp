#include "platform/posix/transfer/internet_proxy.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <proxy.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <initializer_list>
#include <memory>

#include "platform/posix/transfer_protocol.h"

namespace vexo::platform::posix {
namespace {

using Clock = std::chrono::steady_clock;

// More than any list of proxies a configuration names; the rest of a longer answer is dropped.
constexpr size_t kLongestAnswer = 64 * 1024;
constexpr auto kLibproxyLimit = std::chrono::seconds(10);

std::optional<std::string> FirstOf(const VariableLookup& variable,
                                   std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (std::optional<std::string> value = variable(name))
      return value;
  }
  return std::nullopt;
}

std::optional<std::string> SchemeProxy(const VariableLookup& variable, bool secure) {
  return secure ? FirstOf(variable, {"https_proxy", "HTTPS_PROXY"})
                : FirstOf(variable, {"http_proxy", "HTTP_PROXY"});
}

std::string NoProxy(const VariableLookup& variable) {
  return FirstOf(variable, {"no_proxy", "NO_PROXY"}).value_or("");
}

std::string LowerCase(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

// A part of a URL, as libcurl's URL API gives it; absent when the URL has none.
std::optional<std::string> PartOf(CURLU* url, CURLUPart part, unsigned flags) {
  char* text = nullptr;
  if (curl_url_get(url, part, &text, flags) != CURLUE_OK)
    return std::nullopt;
  std::string value(text);
  curl_free(text);
  return value;
}

// --- the child that asks libproxy

// Writes libproxy's answer to `out`, each proxy followed by a NUL byte, and ends the child. The
// agent's close signals are its parent's business: here they end the child as they would any
// program.
[[noreturn]] void AnswerInChild(const std::string& url, int out) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP})
    ::signal(signal, SIG_DFL);
  pxProxyFactory* factory = px_proxy_factory_new();
  char** proxies =
      factory != nullptr ? px_proxy_factory_get_proxies(factory, url.c_str()) : nullptr;
  std::string answer;
  for (size_t i = 0; proxies != nullptr && proxies[i] != nullptr; ++i) {
    answer += proxies[i];
    answer += '\0';
  }
  bool sent = WriteAll(out, answer.data(), answer.size());
  if (proxies != nullptr)
    px_proxy_factory_free_proxies(proxies);
  if (factory != nullptr)
    px_proxy_factory_free(factory);
  _exit(sent ? 0 : 1);
}

// Reads `fd` to its end, unless the deadline passes first or the answer grows too long.
bool ReadToEnd(int fd, Clock::time_point deadline, std::string& answer) {
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0)
      return false;
    pollfd waiting = {fd, POLLIN, 0};
    int ready = poll(&waiting, 1, static_cast<int>(std::min<long long>(left, 1000)));
    if (ready < 0 && errno != EINTR)
      return false;
    if (ready <= 0)
      continue;
    if (ReadStep step = AppendOneRead(fd, kLongestAnswer, answer); step != ReadStep::kMore)
      return step == ReadStep::kEnd;
  }
}

std::vector<std::string> SplitAtNul(std::string_view answer) {
  std::vector<std::string> entries;
  while (!answer.empty()) {
    size_t end = answer.find('\0');
    if (end == std::string_view::npos)
      break;  // a last entry without its terminator was cut short
    entries.emplace_back(answer.substr(0, end));
    answer.remove_prefix(end + 1);
  }
  return entries;
}

}  // namespace

std::optional<std::string> ProcessVariable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] == '\0')
    return std::nullopt;
  return std::string(value);
}

std::optional<ProxyRoute> ProxyFromVariables(const VariableLookup& variable, bool secure) {
  std::optional<std::string> own = SchemeProxy(variable, secure);
  std::optional<std::string> all = FirstOf(variable, {"all_proxy", "ALL_PROXY"});
  if (!own && !all && !SchemeProxy(variable, !secure))
    return std::nullopt;
  ProxyRoute route = own ? RouteThrough(*own) : all ? RouteThrough(*all) : ProxyRoute{};
  route.noProxy = NoProxy(variable);
  return route;
}

ProxyRoute ProxyFromList(const std::vector<std::string>& proxies) {
  for (const std::string& entry : proxies) {
    size_t end = entry.find("://");
    if (end == std::string::npos)
      continue;
    std::string scheme = LowerCase(std::string_view(entry).substr(0, end));
    if (scheme == "direct")
      return {};
    if (scheme == "socks")
      return RouteThrough("socks5" + entry.substr(end));
    for (const char* usable : {"http", "https", "socks4", "socks4a", "socks5", "socks5h"}) {
      if (scheme == usable)
        return RouteThrough(entry);
    }
  }
  return {};
}

ProxyRoute RouteThrough(std::string_view proxyUrl) {
  ProxyRoute route;
  route.proxy = std::string(proxyUrl);
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), curl_url_cleanup);
  if (!url || curl_url_set(url.get(), CURLUPART_URL, route.proxy.c_str(),
                           CURLU_DEFAULT_SCHEME | CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
    return route;
  if (!PartOf(url.get(), CURLUPART_USER, 0))
    return route;
  // An encoding that does not decode (a NUL byte, say) is left for libcurl to refuse.
  std::optional<std::string> user = PartOf(url.get(), CURLUPART_USER, CURLU_URLDECODE);
  std::optional<std::string> password = PartOf(url.get(), CURLUPART_PASSWORD, CURLU_URLDECODE);
  bool hasPassword = PartOf(url.get(), CURLUPART_PASSWORD, 0).has_value();
  if (!user || (hasPassword && !password) ||
      curl_url_set(url.get(), CURLUPART_USER, nullptr, 0) != CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_PASSWORD, nullptr, 0) != CURLUE_OK)
    return route;
  std::optional<std::string> bare = PartOf(url.get(), CURLUPART_URL, 0);
  if (!bare)
    return route;
  route.proxy = *bare;
  route.userName = *user;
  route.password = password.value_or("");
  return route;
}

std::vector<std::string> AskLibproxy(const std::string& url, std::chrono::milliseconds limit) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0)
    return {};
  pid_t child = fork();
  if (child == 0) {
    close(ends[0]);
    AnswerInChild(url, ends[1]);
  }
  close(ends[1]);
  if (child < 0) {
    close(ends[0]);
    return {};
  }
  std::string answer;
  bool complete = ReadToEnd(ends[0], Clock::now() + limit, answer);
  close(ends[0]);
  if (!complete)
    kill(child, SIGKILL);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!complete || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return {};
  return SplitAtNul(answer);
}

ProxyRoute PreconfiguredRoute(const std::string& url, bool secure) {
  if (std::optional<ProxyRoute> route = ProxyFromVariables(ProcessVariable, secure))
    return *route;
  ProxyRoute route = ProxyFromList(AskLibproxy(url, kLibproxyLimit));
  route.noProxy = NoProxy(ProcessVariable);
  return route;
}

}  // namespace vexo::platform::posix

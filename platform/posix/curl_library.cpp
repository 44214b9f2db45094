#include "platform/posix/curl_library.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace vexo::platform::posix {
namespace {

template <typename Function>
bool Find(void* library, const char* name, Function& into) {
  into = reinterpret_cast<Function>(dlsym(library, name));
  return into != nullptr;
}

const CurlLibrary* Load() {
  // The name of the ABI the headers describe, as Debian's libcurl4 installs it.
  void* library = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr)
    return nullptr;
  static CurlLibrary curl;
  bool found = Find(library, "curl_global_init", curl.global_init) &&
               Find(library, "curl_easy_init", curl.easy_init) &&
               Find(library, "curl_easy_setopt", curl.easy_setopt) &&
               Find(library, "curl_easy_getinfo", curl.easy_getinfo) &&
               Find(library, "curl_easy_pause", curl.easy_pause) &&
               Find(library, "curl_easy_cleanup", curl.easy_cleanup) &&
               Find(library, "curl_multi_init", curl.multi_init) &&
               Find(library, "curl_multi_add_handle", curl.multi_add_handle) &&
               Find(library, "curl_multi_remove_handle", curl.multi_remove_handle) &&
               Find(library, "curl_multi_perform", curl.multi_perform) &&
               Find(library, "curl_multi_poll", curl.multi_poll) &&
               Find(library, "curl_multi_info_read", curl.multi_info_read) &&
               Find(library, "curl_multi_cleanup", curl.multi_cleanup) &&
               Find(library, "curl_slist_append", curl.slist_append) &&
               Find(library, "curl_slist_free_all", curl.slist_free_all) &&
               Find(library, "curl_url", curl.url) && Find(library, "curl_url_set", curl.url_set) &&
               Find(library, "curl_url_get", curl.url_get) &&
               Find(library, "curl_url_cleanup", curl.url_cleanup) &&
               Find(library, "curl_free", curl.free);
  return found ? &curl : nullptr;
}

}  // namespace

const CurlLibrary* LoadCurl() {
  static const CurlLibrary* const loaded = Load();
  return loaded;
}

const CurlLibrary& Curl() {
  const CurlLibrary* curl = LoadCurl();
  if (curl == nullptr) {
    const char* why = dlerror();
    std::fprintf(stderr, "libcurl.so.4 cannot be loaded: %s\n", why != nullptr ? why : "");
    std::abort();
  }
  return *curl;
}

}  // namespace vexo::platform::posix

// libcurl, loaded when a transfer first needs it instead of with the program. libcurl brings
// some thirty libraries (TLS, Kerberos, LDAP, SSH, ...) whose relocated data is private memory,
// and the TLS libraries cannot be unloaded again; a process that only starts transfers in
// children of its own never pays for them.
#pragma once

#include <curl/curl.h>

namespace vexo::platform::posix {

struct CurlLibrary {
  decltype(&curl_global_init) global_init;
  decltype(&curl_easy_init) easy_init;
  decltype(&curl_easy_setopt) easy_setopt;
  decltype(&curl_easy_getinfo) easy_getinfo;
  decltype(&curl_easy_pause) easy_pause;
  decltype(&curl_easy_cleanup) easy_cleanup;
  decltype(&curl_multi_init) multi_init;
  decltype(&curl_multi_add_handle) multi_add_handle;
  decltype(&curl_multi_remove_handle) multi_remove_handle;
  decltype(&curl_multi_perform) multi_perform;
  decltype(&curl_multi_poll) multi_poll;
  decltype(&curl_multi_info_read) multi_info_read;
  decltype(&curl_multi_cleanup) multi_cleanup;
  decltype(&curl_slist_append) slist_append;
  decltype(&curl_slist_free_all) slist_free_all;
  decltype(&curl_url) url;
  decltype(&curl_url_set) url_set;
  decltype(&curl_url_get) url_get;
  decltype(&curl_url_cleanup) url_cleanup;
  decltype(&curl_free) free;
};

// The library, loaded on the first call; null when it cannot be loaded.
const CurlLibrary* LoadCurl();

// The library; a process without it stops here with a message, as it would have at start when
// linked against it.
const CurlLibrary& Curl();

}  // namespace vexo::platform::posix

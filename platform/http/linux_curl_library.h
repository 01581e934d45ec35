// libcurl, loaded when the first request is made rather than at start-up:
// linked in, it and the libraries it needs (TLS, Kerberos, LDAP, ...) took
// most of every run's start-up, though few runs fetch a document.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

#include "platform/http/http_fetch.h"

namespace ps::platform {

// The libcurl functions the fetcher calls, resolved from the loaded library.
struct CurlLibrary {
  decltype(&::curl_global_init) global_init = nullptr;
  decltype(&::curl_easy_init) easy_init = nullptr;
  decltype(&::curl_easy_setopt) easy_setopt = nullptr;
  decltype(&::curl_easy_getinfo) easy_getinfo = nullptr;
  decltype(&::curl_easy_cleanup) easy_cleanup = nullptr;
  decltype(&::curl_easy_strerror) easy_strerror = nullptr;
  decltype(&::curl_multi_init) multi_init = nullptr;
  decltype(&::curl_multi_setopt) multi_setopt = nullptr;
  decltype(&::curl_multi_add_handle) multi_add_handle = nullptr;
  decltype(&::curl_multi_remove_handle) multi_remove_handle = nullptr;
  decltype(&::curl_multi_perform) multi_perform = nullptr;
  decltype(&::curl_multi_info_read) multi_info_read = nullptr;
  decltype(&::curl_multi_poll) multi_poll = nullptr;
  decltype(&::curl_multi_cleanup) multi_cleanup = nullptr;
};

// Loads `soname` (the system's libcurl is "libcurl.so.4") and initialises
// it once; null with `why` set when it is absent or lacks a function. The
// library stays loaded for the process's life. Thread-safe.
const CurlLibrary* LoadCurl(const char* soname, std::string* why);

// A fetcher over the libcurl of `soname`; when it cannot be loaded every
// request fails, saying why. SystemHttpFetcher() is the one over
// "libcurl.so.4".
std::unique_ptr<HttpFetcher> CurlFetcherOver(const char* soname);

}  // namespace ps::platform

#include "platform/http/linux_curl_library.h"

#include <dlfcn.h>

#include <map>
#include <mutex>

namespace ps::platform {
namespace {

template <typename F>
bool Resolve(void* handle, const char* name, F* f, std::string* missing) {
  *f = reinterpret_cast<F>(dlsym(handle, name));
  if (*f == nullptr && missing->empty()) *missing = name;
  return *f != nullptr;
}

struct Loaded {
  std::unique_ptr<CurlLibrary> library;  // null when it failed
  std::string why;
};

Loaded Load(const char* soname) {
  Loaded out;
  // RTLD_LOCAL: its symbols serve this fetcher alone.
  void* handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* error = dlerror();
    out.why = std::string("libcurl could not be loaded (") + (error != nullptr ? error : soname) +
              "); install libcurl4 to read device descriptions";
    return out;
  }
  auto lib = std::make_unique<CurlLibrary>();
  std::string missing;
  bool all = Resolve(handle, "curl_global_init", &lib->global_init, &missing);
  all &= Resolve(handle, "curl_easy_init", &lib->easy_init, &missing);
  all &= Resolve(handle, "curl_easy_setopt", &lib->easy_setopt, &missing);
  all &= Resolve(handle, "curl_easy_getinfo", &lib->easy_getinfo, &missing);
  all &= Resolve(handle, "curl_easy_cleanup", &lib->easy_cleanup, &missing);
  all &= Resolve(handle, "curl_easy_strerror", &lib->easy_strerror, &missing);
  all &= Resolve(handle, "curl_multi_init", &lib->multi_init, &missing);
  all &= Resolve(handle, "curl_multi_setopt", &lib->multi_setopt, &missing);
  all &= Resolve(handle, "curl_multi_add_handle", &lib->multi_add_handle, &missing);
  all &= Resolve(handle, "curl_multi_remove_handle", &lib->multi_remove_handle, &missing);
  all &= Resolve(handle, "curl_multi_perform", &lib->multi_perform, &missing);
  all &= Resolve(handle, "curl_multi_info_read", &lib->multi_info_read, &missing);
  all &= Resolve(handle, "curl_multi_poll", &lib->multi_poll, &missing);
  all &= Resolve(handle, "curl_multi_cleanup", &lib->multi_cleanup, &missing);
  if (!all) {
    out.why = std::string("the libcurl loaded (") + soname + ") lacks " + missing +
              "; a newer libcurl4 is needed to read device descriptions";
    dlclose(handle);
    return out;
  }
  if (lib->global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    out.why = "libcurl could not start";
    return out;  // stays loaded: a failed init may have left state behind
  }
  out.library = std::move(lib);
  return out;
}

}  // namespace

const CurlLibrary* LoadCurl(const char* soname, std::string* why) {
  static std::mutex mutex;
  static std::map<std::string, Loaded> loaded;  // by soname, tried once each
  const std::lock_guard lock(mutex);
  auto it = loaded.find(soname);
  if (it == loaded.end()) it = loaded.emplace(soname, Load(soname)).first;
  if (!it->second.library) *why = it->second.why;
  return it->second.library.get();
}

}  // namespace ps::platform

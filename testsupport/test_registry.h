// A registry of one test's own, for the registry tests. On Linux: a SQLite
// registry in a throw-away folder. On Windows: the system's registry (under
// ./test.sh windows, that of a throw-away Wine prefix); the keys a test adds
// directly under HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE\Software and
// HKEY_CLASSES_ROOT are
// deleted, with everything below them, at the end of its scope.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry/registry_service.h"

#ifndef _WIN32
#include "platform/registry/sqlite_registry.h"
#include "testsupport/temp_dir.h"
#endif

namespace ps::platform {

#ifndef _WIN32
class TestRegistry {
 public:
  TestRegistry() : store_(SqliteRegistry::LocationIn(dir_.path())) {}
  SqliteRegistry& service() { return store_; }
  // The folder of its files.
  const std::string& dir() const { return dir_.path(); }

 private:
  TempRegistryDir dir_;
  SqliteRegistry store_;
};
#else
class TestRegistry {
 public:
  TestRegistry() {
    for (const Place& p : kPlaces) before_.push_back(SubKeys(p.root, p.path));
  }
  ~TestRegistry() {
    for (std::size_t i = 0; i < std::size(kPlaces); ++i) {
      for (const std::string& name : SubKeys(kPlaces[i].root, kPlaces[i].path)) {
        const auto& old = before_[i];
        if (std::find(old.begin(), old.end(), name) != old.end()) continue;
        const std::string path = std::string(kPlaces[i].path) + (*kPlaces[i].path ? "\\" : "") + name;
        DeleteTree(kPlaces[i].root, path);
      }
    }
  }
  TestRegistry(const TestRegistry&) = delete;
  TestRegistry& operator=(const TestRegistry&) = delete;
  RegistryService& service() { return RegistryService::PlatformDefault(); }

 private:
  struct Place {
    HKEY root;
    const char* path;
  };
  static constexpr Place kPlaces[] = {
      {HKEY_CURRENT_USER, ""}, {HKEY_LOCAL_MACHINE, "Software"}, {HKEY_CLASSES_ROOT, ""},
      // Where the programs keep their own keys (the watch's inventory).
      {HKEY_CURRENT_USER, "Software\\PingSweep"}, {HKEY_LOCAL_MACHINE, "Software\\PingSweep"}};

  std::vector<std::string> SubKeys(HKEY root, const std::string& path) {
    std::vector<std::string> names;
    HKEY key = 0;
    if (service().RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
    char name[512];
    for (DWORD i = 0; service().RegEnumKeyA(key, i, name, sizeof name) == ERROR_SUCCESS; ++i)
      names.emplace_back(name);
    if (key != root) service().RegCloseKey(key);
    return names;
  }
  void DeleteTree(HKEY root, const std::string& path) {
    for (const std::string& child : SubKeys(root, path)) DeleteTree(root, path + "\\" + child);
    service().RegDeleteKeyA(root, path.c_str());
  }

  std::vector<std::vector<std::string>> before_;
};
#endif

}  // namespace ps::platform

// Test scaffolding shared by the registry tests: a throw-away folder that
// holds one test's registry files.
#pragma once

#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace ps::platform {

// A fresh folder under /tmp, readable by other users (they may read the machine
// root), removed with everything in it at the end of the scope.
class TempRegistryDir {
 public:
  TempRegistryDir() {
    char name[] = "/tmp/ps_registry.XXXXXX";
    if (::mkdtemp(name) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    path_ = name;
    ::chmod(path_.c_str(), 0755);
  }
  ~TempRegistryDir() {
    ::nftw(
        path_.c_str(), [](const char* p, const struct stat*, int, FTW*) { return ::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }
  TempRegistryDir(const TempRegistryDir&) = delete;
  TempRegistryDir& operator=(const TempRegistryDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace ps::platform

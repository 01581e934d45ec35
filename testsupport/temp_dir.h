// Test scaffolding shared by the registry tests: a throw-away folder that
// holds one test's registry files.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace ps::platform {

// A fresh folder in the system's temporary folder (/tmp), readable by other
// users (they may read the machine root), removed with everything in it at
// the end of the scope.
class TempRegistryDir {
 public:
  TempRegistryDir() {
    namespace fs = std::filesystem;
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      const fs::path candidate =
          fs::temp_directory_path() / ("ps_registry." + std::to_string(random()));
      std::error_code ec;
      if (fs::create_directory(candidate, ec)) path_ = candidate.generic_string();
    }
    if (path_.empty()) {
      std::perror("TempRegistryDir");
      std::abort();
    }
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec,
                    ec);
  }
  ~TempRegistryDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempRegistryDir(const TempRegistryDir&) = delete;
  TempRegistryDir& operator=(const TempRegistryDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace ps::platform

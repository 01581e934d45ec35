// The Linux backend: the registry's default files and the process-wide
// registry.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/registry/sqlite_registry.h"

namespace ps::platform {

SqliteRegistry::Location SqliteRegistry::DefaultLocation() {
  if (const char* dir = std::getenv(kDirVariable); dir && *dir) return LocationIn(dir);
  std::string data_home;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/') {
    data_home = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
      const passwd* pw = ::getpwuid(::geteuid());
      home = pw ? pw->pw_dir : "/";
    }
    data_home = std::string(home) + "/.local/share";
  }
  return {data_home + "/pingsweep/HKEY_CURRENT_USER.db",
          "/var/lib/pingsweep/HKEY_LOCAL_MACHINE.db"};
}

RegistryService& RegistryService::PlatformDefault() {
  // Never destroyed: keys may still be closed from other static destructors.
  static SqliteRegistry* const registry = new SqliteRegistry(SqliteRegistry::DefaultLocation());
  return *registry;
}

}  // namespace ps::platform

// The Linux backend's process-wide registry.
#include "platform/registry/sqlite_registry.h"

namespace ps::platform {

RegistryService& RegistryService::PlatformDefault() {
  // Never destroyed: keys may still be closed from other static destructors.
  static SqliteRegistry* const registry = new SqliteRegistry(SqliteRegistry::DefaultLocation());
  return *registry;
}

}  // namespace ps::platform

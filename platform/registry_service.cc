#include "platform/registry_service.h"

#include <atomic>

#include "platform/sqlite_registry.h"

namespace ps::platform {
namespace {

std::atomic<RegistryService*> g_override{nullptr};

}  // namespace

RegistryService& RegistryService::Default() {
  if (RegistryService* service = g_override.load(std::memory_order_acquire)) return *service;
  // Never destroyed: keys may still be closed from other static destructors.
  static SqliteRegistry* const registry = new SqliteRegistry(SqliteRegistry::DefaultLocation());
  return *registry;
}

ScopedRegistryService::ScopedRegistryService(RegistryService* service)
    : previous_(g_override.exchange(service, std::memory_order_acq_rel)) {}

ScopedRegistryService::~ScopedRegistryService() {
  g_override.store(previous_, std::memory_order_release);
}

}  // namespace ps::platform

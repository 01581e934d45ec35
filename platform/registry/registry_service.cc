#include "platform/registry/registry_service.h"

#include <atomic>

namespace ps::platform {
namespace {

std::atomic<RegistryService*> g_override{nullptr};

}  // namespace

RegistryService& RegistryService::Default() {
  if (RegistryService* service = g_override.load(std::memory_order_acquire)) return *service;
  return PlatformDefault();
}

ScopedRegistryService::ScopedRegistryService(RegistryService* service)
    : previous_(g_override.exchange(service, std::memory_order_acq_rel)) {}

ScopedRegistryService::~ScopedRegistryService() {
  g_override.store(previous_, std::memory_order_release);
}

}  // namespace ps::platform

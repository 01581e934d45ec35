// The inventory kept in our registry, so that a watch started again announces
// nothing it knew: one value per device under one key, named by the device's
// id, holding its whole record (record.h). A value is written in one call, so
// a process killed at any moment leaves each record old or new, never half;
// when the registry has batches (platform/registry/registry_batch.h) all the
// records of one Save() land together or not at all.
#pragma once

#include <string>
#include <vector>

#include "core/status.h"
#include "platform/registry/registry_service.h"
#include "watch/inventory.h"

namespace ps::watch {

// Below the current user's root, or the machine's for a system service.
inline constexpr char kInventoryKey[] = "Software\\PingSweep\\Inventory";

class InventoryStore {
 public:
  InventoryStore(platform::RegistryService& service, platform::HKEY root,
                 std::string path = kInventoryKey)
      : service_(service), root_(root), path_(std::move(path)) {}

  struct Loaded {
    std::vector<Device> devices;  // in the registry's order
    std::size_t damaged = 0;      // records that could not be read, left out
  };
  // Every stored device; none when the key does not exist yet.
  Result<Loaded> Load() const;
  // Writes the records of the devices `ids` names (ids not in `inventory` are
  // skipped).
  Status Save(const Inventory& inventory, const std::vector<std::string>& ids);

 private:
  Status Failure(const char* what, platform::LONG code) const;

  platform::RegistryService& service_;
  platform::HKEY root_;
  std::string path_;
};

}  // namespace ps::watch

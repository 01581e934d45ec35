#include "watch/inventory_store.h"

#include "platform/registry/registry_batch.h"
#include "platform/registry/registry_bulk_read.h"
#include "registry/reg_io.h"
#include "registry/reg_keys.h"
#include "watch/record.h"

namespace ps::watch {

using namespace platform;

Status InventoryStore::Failure(const char* what, LONG code) const {
  return Status::Failure(std::string("cannot ") + what + " the inventory " +
                         reg::KeyDisplayName(root_, path_) + ": " + reg::ErrorText(code));
}

Result<InventoryStore::Loaded> InventoryStore::Load() const {
  Loaded loaded;
  reg::KeyHandle key(service_);
  LONG rc = key.Open(root_, path_, KEY_READ);
  if (rc == ERROR_FILE_NOT_FOUND) return loaded;
  if (rc != ERROR_SUCCESS) return Failure("open", rc);
  const auto take = [&](std::string_view name, DWORD type, std::string_view data) {
    Result<Device> device = DecodeDevice(name, data);
    if (type != REG_SZ || !device.ok()) {
      ++loaded.damaged;
      return;
    }
    loaded.devices.push_back(std::move(device).value());
  };
  // One query for all when the registry can; else a call per value.
  if (auto* bulk = dynamic_cast<RegistryBulkRead*>(&service_)) {
    rc = bulk->ReadAllValues(key.get(), take);
    if (rc != ERROR_SUCCESS) return Failure("read", rc);
    return loaded;
  }
  reg::RegKeyOp values;
  rc = reg::ReadValues(service_, key.get(), &values);
  if (rc != ERROR_SUCCESS) return Failure("read", rc);
  loaded.devices.reserve(values.values.size());
  for (const reg::RegValueOp& value : values.values) take(value.name, value.type, value.data);
  return loaded;
}

Status InventoryStore::Save(const Inventory& inventory, const std::vector<std::string>& ids) {
  if (ids.empty()) return Status::Ok();
  auto* batch = dynamic_cast<RegistryBatch*>(&service_);
  if (batch != nullptr) {
    if (const LONG rc = batch->BeginBatch(root_); rc != ERROR_SUCCESS) return Failure("write", rc);
  }
  ScopedRegistryBatch scope(batch);
  reg::KeyHandle key(service_);
  if (const LONG rc = key.Create(root_, path_, KEY_WRITE); rc != ERROR_SUCCESS) {
    return Failure("create", rc);
  }
  for (const std::string& id : ids) {
    const auto it = inventory.entries().find(id);
    if (it == inventory.entries().end()) continue;
    const std::string record = EncodeDevice(it->second.device);
    const LONG rc = service_.RegSetValueExA(key.get(), id.c_str(), 0, REG_SZ,
                                            reinterpret_cast<const unsigned char*>(record.data()),
                                            static_cast<DWORD>(record.size()));
    if (rc != ERROR_SUCCESS) return Failure("write", rc);
  }
  key.Close();
  if (const LONG rc = scope.Commit(); rc != ERROR_SUCCESS) return Failure("write", rc);
  return Status::Ok();
}

}  // namespace ps::watch

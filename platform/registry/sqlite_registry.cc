// The handle table and the nine entry points over each root's store.
#include "platform/registry/sqlite_registry.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/registry/registry_names.h"
#include "platform/registry/registry_store.h"

namespace ps::platform {
namespace {

using registry_internal::kChangeRights;
using registry_internal::KeyId;
using registry_internal::KeyListing;
using registry_internal::kMaxKeyDepth;
using registry_internal::kMaxValueName;
using registry_internal::kRootId;
using registry_internal::MapGenericRights;
using registry_internal::PathResult;
using registry_internal::SplitPath;
using registry_internal::Store;
using registry_internal::ValueListing;
using registry_internal::ValueName;
using registry_internal::ValueRecord;

// Copies `data` into a caller's buffer with the registry's size rules. Text
// types stored without their zero get one appended when there is room for it
// (not counted).
LONG CopyData(const ValueRecord& value, unsigned char* lpData, DWORD* lpcbData) {
  if (lpcbData == nullptr) return ERROR_SUCCESS;
  const DWORD size = static_cast<DWORD>(value.data.size());
  if (lpData == nullptr) {
    *lpcbData = size;
    return ERROR_SUCCESS;
  }
  if (*lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  if (size > 0) std::memcpy(lpData, value.data.data(), size);
  const bool text =
      value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ;
  if (text && size > 0 && *lpcbData > size && value.data.back() != '\0') lpData[size] = 0;
  *lpcbData = size;
  return ERROR_SUCCESS;
}

}  // namespace

struct SqliteRegistry::Impl {
  explicit Impl(Location location)
      : current_user(std::move(location.current_user), true),
        local_machine(std::move(location.local_machine), false) {}

  struct OpenKey {
    Store* store;
    KeyId id;
    REGSAM rights;
    std::size_t depth = 0;  // levels below the root
  };

  // The store and key a handle stands for: ERROR_SUCCESS, ERROR_INVALID_HANDLE
  // for an unknown handle, or the failure of a root's database that answers
  // every call (Store::Ready). A root without a database yields a null store.
  LONG Lookup(HKEY hKey, OpenKey* out) {
    if (hKey == HKEY_CURRENT_USER || hKey == HKEY_LOCAL_MACHINE) {
      Store* store = hKey == HKEY_CURRENT_USER ? &current_user : &local_machine;
      const LONG ready = store->Ready();
      if (ready != ERROR_SUCCESS && ready != ERROR_FILE_NOT_FOUND) return ready;
      *out = {ready == ERROR_SUCCESS ? store : nullptr, kRootId, KEY_ALL_ACCESS};
    } else {
      auto it = handles.find(hKey);
      if (it == handles.end()) return ERROR_INVALID_HANDLE;
      *out = it->second;
    }
    if (out->store) out->store->Sync();
    return ERROR_SUCCESS;
  }

  // Numbers stay small: a closed handle's number is given out again, but only
  // after kReuseDelay other closes, so that a stale handle used soon after its
  // close is still refused rather than landing on another key.
  HKEY NewHandle(const OpenKey& key) {
    HKEY handle;
    if (freed.size() > kReuseDelay) {
      handle = freed.front();
      freed.pop_front();
    } else {
      handle = next_handle += 4;
    }
    handles.emplace(handle, key);
    return handle;
  }
  bool Close(HKEY handle) {
    if (handles.erase(handle) == 0) return false;
    freed.push_back(handle);
    return true;
  }

  // The rights a new handle gets; the root's refusal when it cannot grant them.
  static LONG Grant(const Store& store, REGSAM wanted, REGSAM* rights) {
    *rights = MapGenericRights(wanted, store.writable());
    return store.writable() || (*rights & kChangeRights) == 0 ? ERROR_SUCCESS : store.refusal();
  }

  std::mutex mu;
  Store current_user;
  Store local_machine;
  std::unordered_map<HKEY, OpenKey> handles;
  static constexpr std::size_t kReuseDelay = 1024;
  std::deque<HKEY> freed;
  HKEY next_handle = 0;
  std::vector<Store*> batch;  // the roots in the open batch, in order
};

SqliteRegistry::Location SqliteRegistry::LocationIn(const std::string& dir) {
  return {dir + "/HKEY_CURRENT_USER.db", dir + "/HKEY_LOCAL_MACHINE.db"};
}

SqliteRegistry::SqliteRegistry(Location location)
    : impl_(std::make_unique<Impl>(std::move(location))) {}

SqliteRegistry::~SqliteRegistry() { AbortBatch(); }

LONG SqliteRegistry::RegCreateKeyExA(HKEY hKey, const char* lpSubKey, DWORD Reserved,
                                     const char* lpClass, DWORD dwOptions, REGSAM samDesired,
                                     const SECURITY_ATTRIBUTES* /*lpSecurityAttributes*/,
                                     HKEY* phkResult, DWORD* lpdwDisposition) {
  if (phkResult == nullptr) return ERROR_BADKEY;
  if (Reserved != 0 || (dwOptions & ~(REG_OPTION_VOLATILE | REG_OPTION_OPEN_LINK)) != 0) {
    return ERROR_INVALID_PARAMETER;
  }
  std::vector<std::string_view> parts;
  if (LONG rc = SplitPath(lpSubKey, &parts); rc != ERROR_SUCCESS) return rc;
  std::lock_guard lock(impl_->mu);
  Impl::OpenKey parent;
  if (LONG rc = impl_->Lookup(hKey, &parent); rc != ERROR_SUCCESS) return rc;
  *phkResult = 0;
  if (parent.store == nullptr) return ERROR_ACCESS_DENIED;
  Store& store = *parent.store;
  REGSAM rights;
  const LONG granted = Impl::Grant(store, samDesired, &rights);
  // An existing key is opened without a write transaction.
  PathResult found = store.Resolve(parent.id, parts);
  DWORD disposition = REG_OPENED_EXISTING_KEY;
  const std::size_t depth = parent.depth + parts.size();
  if (found.code == ERROR_FILE_NOT_FOUND || (found.code == ERROR_SUCCESS && granted != 0)) {
    if (granted != ERROR_SUCCESS) return granted;
    if (found.code == ERROR_FILE_NOT_FOUND && depth > kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
    found.code = store.Create(parent.id, parts, lpClass ? std::string_view(lpClass) : "",
                              (dwOptions & REG_OPTION_VOLATILE) != 0, &found.id, &disposition);
  }
  if (found.code != ERROR_SUCCESS) return found.code;
  *phkResult = impl_->NewHandle({&store, found.id, rights, depth});
  if (lpdwDisposition) *lpdwDisposition = disposition;
  return ERROR_SUCCESS;
}

LONG SqliteRegistry::RegOpenKeyExA(HKEY hKey, const char* lpSubKey, DWORD /*ulOptions*/,
                                   REGSAM samDesired, HKEY* phkResult) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  std::vector<std::string_view> parts;
  if (LONG rc = SplitPath(lpSubKey, &parts); rc != ERROR_SUCCESS) return rc;
  std::lock_guard lock(impl_->mu);
  Impl::OpenKey parent;
  if (LONG rc = impl_->Lookup(hKey, &parent); rc != ERROR_SUCCESS) return rc;
  if (parts.empty() && hKey < 0) {
    // The predefined root itself stays its own handle.
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  *phkResult = 0;
  if (parent.store == nullptr) return ERROR_FILE_NOT_FOUND;
  Store& store = *parent.store;
  const PathResult found = store.Resolve(parent.id, parts);
  if (found.code != ERROR_SUCCESS) return found.code;
  REGSAM rights;
  if (LONG rc = Impl::Grant(store, samDesired, &rights); rc != ERROR_SUCCESS) return rc;
  *phkResult = impl_->NewHandle({&store, found.id, rights, parent.depth + parts.size()});
  return ERROR_SUCCESS;
}

LONG SqliteRegistry::RegCloseKey(HKEY hKey) {
  std::lock_guard lock(impl_->mu);
  if (hKey == HKEY_CURRENT_USER || hKey == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  return impl_->Close(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG SqliteRegistry::RegQueryValueExA(HKEY hKey, const char* lpValueName, DWORD* lpReserved,
                                      DWORD* lpType, unsigned char* lpData, DWORD* lpcbData) {
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  std::lock_guard lock(impl_->mu);
  Impl::OpenKey key;
  if (LONG rc = impl_->Lookup(hKey, &key); rc != ERROR_SUCCESS) return rc;
  if (!(key.rights & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (key.store == nullptr) {
    if (lpcbData && !lpData) *lpcbData = 0;
    return ERROR_FILE_NOT_FOUND;
  }
  const ValueRecord& value = key.store->QueryValue(key.id, ValueName(lpValueName));
  if (value.code != ERROR_SUCCESS) {
    if (lpcbData && !lpData) *lpcbData = 0;
    return value.code;
  }
  if (lpType) *lpType = value.type;
  return CopyData(value, lpData, lpcbData);
}

LONG SqliteRegistry::RegSetValueExA(HKEY hKey, const char* lpValueName, DWORD Reserved,
                                    DWORD dwType, const unsigned char* lpData, DWORD cbData) {
  const std::string_view name = ValueName(lpValueName);
  if (Reserved != 0 || name.size() > kMaxValueName) return ERROR_INVALID_PARAMETER;
  if (lpData == nullptr && cbData > 0) return ERROR_NOACCESS;
  std::lock_guard lock(impl_->mu);
  Impl::OpenKey key;
  if (LONG rc = impl_->Lookup(hKey, &key); rc != ERROR_SUCCESS) return rc;
  if (!(key.rights & KEY_SET_VALUE) || key.store == nullptr) return ERROR_ACCESS_DENIED;
  const std::string_view data(reinterpret_cast<const char*>(lpData), lpData ? cbData : 0);
  return key.store->SetValue(key.id, name, dwType, data);
}

LONG SqliteRegistry::RegDeleteValueA(HKEY hKey, const char* lpValueName) {
  std::lock_guard lock(impl_->mu);
  Impl::OpenKey key;
  if (LONG rc = impl_->Lookup(hKey, &key); rc != ERROR_SUCCESS) return rc;
  if (!(key.rights & KEY_SET_VALUE) || key.store == nullptr) return ERROR_ACCESS_DENIED;
  return key.store->DeleteValue(key.id, ValueName(lpValueName));
}

LONG SqliteRegistry::RegEnumValueA(HKEY hKey, DWORD dwIndex, char* lpValueName,
                                   DWORD* lpcchValueName, DWORD* lpReserved, DWORD* lpType,
                                   unsigned char* lpData, DWORD* lpcbData) {
  if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
      (lpData != nullptr && lpcbData == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  std::lock_guard lock(impl_->mu);
  Impl::OpenKey key;
  if (LONG rc = impl_->Lookup(hKey, &key); rc != ERROR_SUCCESS) return rc;
  if (!(key.rights & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (key.store == nullptr) return ERROR_NO_MORE_ITEMS;
  const ValueListing& listing = key.store->Values(key.id);
  if (listing.code != ERROR_SUCCESS) return listing.code;
  if (dwIndex >= listing.entries.size()) return ERROR_NO_MORE_ITEMS;
  const auto& [name, type] = listing.entries[dwIndex];
  if (*lpcchValueName <= name.size()) return ERROR_MORE_DATA;
  std::memcpy(lpValueName, name.data(), name.size());
  lpValueName[name.size()] = '\0';
  *lpcchValueName = static_cast<DWORD>(name.size());
  if (lpType) *lpType = type;
  if (lpcbData == nullptr) return ERROR_SUCCESS;
  const ValueRecord& value = key.store->QueryValue(key.id, name);
  if (value.code != ERROR_SUCCESS) return value.code;
  return CopyData(value, lpData, lpcbData);
}

LONG SqliteRegistry::ReadAllValues(
    HKEY hKey, const std::function<void(std::string_view, DWORD, std::string_view)>& each) {
  std::lock_guard lock(impl_->mu);
  Impl::OpenKey key;
  if (LONG rc = impl_->Lookup(hKey, &key); rc != ERROR_SUCCESS) return rc;
  if (!(key.rights & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (key.store == nullptr) return ERROR_SUCCESS;
  return key.store->AllValues(key.id, each);
}

LONG SqliteRegistry::RegEnumKeyA(HKEY hKey, DWORD dwIndex, char* lpName, DWORD cchName) {
  if (lpName == nullptr) return ERROR_INVALID_PARAMETER;
  std::lock_guard lock(impl_->mu);
  Impl::OpenKey key;
  if (LONG rc = impl_->Lookup(hKey, &key); rc != ERROR_SUCCESS) return rc;
  if (!(key.rights & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  if (key.store == nullptr) return ERROR_NO_MORE_ITEMS;
  const KeyListing& listing = key.store->Subkeys(key.id);
  if (listing.code != ERROR_SUCCESS) return listing.code;
  if (dwIndex >= listing.names.size()) return ERROR_NO_MORE_ITEMS;
  const std::string& name = listing.names[dwIndex];
  if (cchName <= name.size()) return ERROR_MORE_DATA;
  std::memcpy(lpName, name.data(), name.size());
  lpName[name.size()] = '\0';
  return ERROR_SUCCESS;
}

LONG SqliteRegistry::RegDeleteKeyA(HKEY hKey, const char* lpSubKey) {
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  std::vector<std::string_view> parts;
  if (LONG rc = SplitPath(lpSubKey, &parts); rc != ERROR_SUCCESS) return rc;
  std::lock_guard lock(impl_->mu);
  Impl::OpenKey parent;
  if (LONG rc = impl_->Lookup(hKey, &parent); rc != ERROR_SUCCESS) return rc;
  if (parent.store == nullptr) return ERROR_FILE_NOT_FOUND;
  // Only the root's write access counts, not the parent handle's rights.
  if (!parent.store->writable()) {
    const PathResult found = parent.store->Resolve(parent.id, parts);
    return found.code != ERROR_SUCCESS ? found.code : parent.store->refusal();
  }
  return parent.store->DeleteKey(parent.id, parts);
}

LONG SqliteRegistry::BeginBatch(HKEY root) {
  std::lock_guard lock(impl_->mu);
  if (root != HKEY_CURRENT_USER && root != HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
  Store* store = root == HKEY_CURRENT_USER ? &impl_->current_user : &impl_->local_machine;
  // As a change of a root without a database is refused.
  if (const LONG ready = store->Ready(); ready != ERROR_SUCCESS) {
    return ready == ERROR_FILE_NOT_FOUND ? ERROR_ACCESS_DENIED : ready;
  }
  auto& batch = impl_->batch;
  if (std::find(batch.begin(), batch.end(), store) != batch.end()) return ERROR_SUCCESS;
  const LONG rc = store->BeginBatch();
  if (rc == ERROR_SUCCESS) batch.push_back(store);
  return rc;
}

LONG SqliteRegistry::CommitBatch() {
  std::lock_guard lock(impl_->mu);
  LONG result = ERROR_SUCCESS;
  for (Store* store : impl_->batch) {
    if (result == ERROR_SUCCESS) {
      result = store->CommitBatch();
    } else {
      store->AbortBatch();
    }
  }
  impl_->batch.clear();
  return result;
}

void SqliteRegistry::AbortBatch() {
  std::lock_guard lock(impl_->mu);
  for (Store* store : impl_->batch) store->AbortBatch();
  impl_->batch.clear();
}

}  // namespace ps::platform

#include "registry/reg_keys.h"

#include <utility>

namespace ps::reg {
namespace {

using namespace platform;

// Key names are at most 255 bytes, value names at most 16,383.
constexpr std::size_t kMaxKeyNameBuffer = 256;
constexpr std::size_t kMaxValueNameBuffer = 16384;

bool HasNul(const std::string& name) { return name.find('\0') != std::string::npos; }

}  // namespace

KeyHandle::KeyHandle(KeyHandle&& other) noexcept
    : service_(other.service_), handle_(std::exchange(other.handle_, 0)) {}

LONG KeyHandle::Open(HKEY parent, const std::string& path, REGSAM rights) {
  Close();
  if (HasNul(path)) return ERROR_INVALID_PARAMETER;
  return service_->RegOpenKeyExA(parent, path.c_str(), 0, rights, &handle_);
}

LONG KeyHandle::Create(HKEY parent, const std::string& path, REGSAM rights) {
  Close();
  if (HasNul(path)) return ERROR_INVALID_PARAMETER;
  DWORD disposition = 0;
  return service_->RegCreateKeyExA(parent, path.c_str(), 0, "", REG_OPTION_NON_VOLATILE, rights,
                                   nullptr, &handle_, &disposition);
}

void KeyHandle::Close() {
  if (handle_ > 0) service_->RegCloseKey(handle_);
  handle_ = 0;
}

LONG QueryValue(RegistryService& service, HKEY key, const std::string& name, DWORD* type,
                std::string* data) {
  if (HasNul(name)) return ERROR_INVALID_PARAMETER;
  for (;;) {
    DWORD size = 0;
    LONG rc = service.RegQueryValueExA(key, name.c_str(), nullptr, type, nullptr, &size);
    if (rc != ERROR_SUCCESS) return rc;
    data->resize(size);
    rc = service.RegQueryValueExA(key, name.c_str(), nullptr, type,
                                  reinterpret_cast<unsigned char*>(data->data()), &size);
    if (rc == ERROR_MORE_DATA) continue;  // grew in between
    data->resize(size);
    return rc;
  }
}

LONG SubkeyNames(RegistryService& service, HKEY key, std::vector<std::string>* names) {
  char name[kMaxKeyNameBuffer];
  for (DWORD i = 0;; ++i) {
    const LONG rc = service.RegEnumKeyA(key, i, name, sizeof name);
    if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    names->emplace_back(name);
  }
}

LONG ReadValues(RegistryService& service, HKEY key, RegKeyOp* op) {
  std::string name(kMaxValueNameBuffer, '\0');
  std::string data(4096, '\0');
  for (DWORD i = 0;;) {
    DWORD name_size = static_cast<DWORD>(name.size());
    DWORD data_size = static_cast<DWORD>(data.size());
    DWORD type = REG_NONE;
    const LONG rc =
        service.RegEnumValueA(key, i, name.data(), &name_size, nullptr, &type,
                              reinterpret_cast<unsigned char*>(data.data()), &data_size);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc == ERROR_MORE_DATA && data_size > data.size()) {
      data.resize(data_size);
      continue;
    }
    if (rc != ERROR_SUCCESS) return rc;
    op->values.push_back({0, false, name.substr(0, name_size), type, data.substr(0, data_size)});
    ++i;
  }
  return ERROR_SUCCESS;
}

LONG WalkTree(RegistryService& service, HKEY root, const std::string& path, REGSAM rights,
              TreeVisitor& visitor) {
  // The open keys from the walk's top down to the current one. The current
  // key's path is kept in one string that grows and shrinks by a name.
  struct Level {
    KeyHandle key;
    std::vector<std::string> subkeys;
    std::size_t next = 0;
    std::size_t parent_path_size = 0;
  };
  std::vector<Level> levels;
  std::string current = path;
  const auto enter = [&](KeyHandle key, std::size_t parent_path_size) -> LONG {
    if (LONG rc = visitor.Enter(key.get(), current); rc != ERROR_SUCCESS) return rc;
    Level level{std::move(key), {}, 0, parent_path_size};
    if (LONG rc = SubkeyNames(service, level.key.get(), &level.subkeys); rc != ERROR_SUCCESS) {
      return rc;
    }
    levels.push_back(std::move(level));
    return ERROR_SUCCESS;
  };
  KeyHandle top(service);
  if (LONG rc = top.Open(root, path, rights); rc != ERROR_SUCCESS) return rc;
  if (LONG rc = enter(std::move(top), 0); rc != ERROR_SUCCESS) return rc;
  while (!levels.empty()) {
    Level& level = levels.back();
    if (level.next < level.subkeys.size()) {
      const std::string& name = level.subkeys[level.next++];
      KeyHandle child(service);
      const LONG rc = child.Open(level.key.get(), name, rights);
      if (rc == ERROR_FILE_NOT_FOUND) continue;  // deleted meanwhile
      if (rc != ERROR_SUCCESS) return rc;
      const std::size_t parent_path_size = current.size();
      if (!current.empty()) current += '\\';
      current += name;
      if (LONG entered = enter(std::move(child), parent_path_size); entered != ERROR_SUCCESS) {
        return entered;
      }
      continue;
    }
    const std::size_t parent_path_size = level.parent_path_size;
    levels.pop_back();  // closes the key
    HKEY parent = root;
    std::string name = path;
    if (!levels.empty()) {
      parent = levels.back().key.get();
      name = current.substr(parent_path_size + (parent_path_size > 0 ? 1 : 0));
      current.resize(parent_path_size);
    }
    if (LONG rc = visitor.Leave(parent, name); rc != ERROR_SUCCESS) return rc;
  }
  return ERROR_SUCCESS;
}

}  // namespace ps::reg

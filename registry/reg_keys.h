// Keys and values through the registry service: an open key that closes
// itself, whole values, and walks over key trees. Shared by the .reg import
// and export (reg_io.h) and by pingsweep-reg.
#pragma once

#include <string>
#include <vector>

#include "platform/registry/registry_service.h"
#include "registry/reg_file.h"

namespace ps::reg {

// One open key; closes it at the end of its life. The predefined roots, which
// the registry hands back for an empty path, are never closed. A name holding
// a NUL byte cannot be passed as a C string, so it opens nothing
// (ERROR_INVALID_PARAMETER) rather than some shorter name.
class KeyHandle {
 public:
  explicit KeyHandle(platform::RegistryService& service) : service_(&service) {}
  ~KeyHandle() { Close(); }
  KeyHandle(KeyHandle&& other) noexcept;
  KeyHandle& operator=(KeyHandle&&) = delete;
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;

  // `parent` is a root or an open key; `path` is below it.
  platform::LONG Open(HKEY parent, const std::string& path, platform::REGSAM rights);
  // Opens the key, creating it and the keys above it when missing.
  platform::LONG Create(HKEY parent, const std::string& path, platform::REGSAM rights);
  void Close();
  HKEY get() const { return handle_; }

 private:
  platform::RegistryService* service_;
  HKEY handle_ = 0;
};

// The whole of the value `name` (code page; "" for the unnamed value) of the
// open key `key`. A value that grows between asking its size and reading it
// is read again. The registry's code: ERROR_FILE_NOT_FOUND when it does not
// exist.
platform::LONG QueryValue(platform::RegistryService& service, HKEY key, const std::string& name,
                          DWORD* type, std::string* data);

// The values of the open key `key`, appended to op->values in enumeration
// order (op's root and path are left alone).
platform::LONG ReadValues(platform::RegistryService& service, HKEY key, RegKeyOp* op);
// The names of the open key's subkeys, appended to *names in enumeration order.
platform::LONG SubkeyNames(platform::RegistryService& service, HKEY key,
                           std::vector<std::string>* names);

// What a walk over a key tree does at each key.
class TreeVisitor {
 public:
  virtual ~TreeVisitor() = default;
  // Before the keys below it: `key` is open with the walk's rights, `path` is
  // its path below the root (valid during the call).
  virtual platform::LONG Enter(HKEY /*key*/, const std::string& /*path*/) {
    return platform::ERROR_SUCCESS;
  }
  // After the keys below it, which were all left before, and after the key's
  // own handle was closed: `name` is the key's name below the open key (or
  // root) `parent`.
  virtual platform::LONG Leave(HKEY /*parent*/, const std::string& /*name*/) {
    return platform::ERROR_SUCCESS;
  }
};

// Walks the key (root, path) and every key below it, depth first, subkeys in
// enumeration order. Each key is opened below its parent's open handle, so a
// key costs the same at any depth; a subkey that is gone by the time it is
// opened is skipped. Returns the first code other than ERROR_SUCCESS, from
// the registry or the visitor, which ends the walk.
platform::LONG WalkTree(platform::RegistryService& service, HKEY root, const std::string& path,
                        platform::REGSAM rights, TreeVisitor& visitor);

}  // namespace ps::reg

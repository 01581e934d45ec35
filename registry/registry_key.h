// RegistryKey: one object per open registry key. It opens, creates, reads,
// writes, lists and deletes keys and values through the registry service
// (platform/registry/registry_service.h) and reports failures as ps::Error with the
// registry's return code as the number.
//
// Text arguments are taken by reference and written back after their trip
// through the code page. The members that run in continue-on-error mode (the
// value read, SubKeyNames, SubValueNames) raise nothing; the last error they
// absorbed stays readable through LastError() until the next of them runs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/error.h"
#include "core/variant.h"

namespace ps {

class RegistryKey {
 public:
  // Booleans are 16-bit: true is all bits set.
  static constexpr std::int16_t kTrue = -1;
  static constexpr std::int16_t kFalse = 0;

  RegistryKey() = default;
  // Closes the key. A failed close is reported on standard error; it never
  // leaves the destructor.
  ~RegistryKey();
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  // True only when the key did not exist and was created now. On failure
  // returns false with handle() 0; raises only a failed close of the key held.
  std::int16_t CreateKey(std::int32_t rootKey, std::u16string& subKeyPath, std::u16string& keyClass,
                         std::int32_t options, std::int32_t accessRights);
  // With rights exactly KEY_WRITE a missing key is created first. On failure
  // handle() is 0; raises only a failed close of the key held.
  void OpenKey(std::int32_t& rootKey, std::u16string& subKeyPath, std::int32_t& accessRights);
  void CloseKey();
  std::int32_t handle() const { return keyHandle_; }

  // The value's bytes as text, one character per byte, without a final zero
  // byte. Never raises: a value that cannot be read gives the empty text.
  Variant value(std::u16string& valueName);
  // Stores newValue's text form as REG_SZ. Raises the conversion error of a
  // value without a text form before touching the registry, and the
  // registry's refusal after.
  void set_value(std::u16string& valueName, const Variant& newValue);
  // The named values (the unnamed default one left out), in enumeration
  // order; an array without bounds when there are none.
  Variant ValueNames();
  // The subkey names, or empty when the listing failed.
  Variant SubKeyNames();
  void DeleteKey(std::int32_t& rootKey, std::u16string& subKeyPath);
  void DeleteSubKey(std::u16string& subKeyPath);
  void DeleteValue(std::u16string& valueName);
  // Every value name, the default value as the empty text; empty when the
  // listing failed.
  Variant SubValueNames();

  // The last error absorbed by the most recent continue-on-error member.
  const std::optional<Error>& LastError() const { return lastError_; }

 private:
  std::int32_t GetRegistryValueLen(std::u16string& valueName);
  template <typename Next>
  Variant CollectNames(Next next);

  std::int32_t keyHandle_ = 0;
  std::optional<Error> lastError_;
};

}  // namespace ps

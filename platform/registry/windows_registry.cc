// The Windows backend: the nine registry functions are advapi32's own. Key
// handles cross the seam as 32-bit values: predefined roots sign-extend to the
// system's (HKEY_CURRENT_USER is (HKEY)(LONG)0x80000001), and kernel handles
// keep only 32 significant bits on 64-bit Windows, so nothing is lost. The
// seam's names first: the system headers' macros (HKEY_CURRENT_USER, DELETE,
// REG_SZ, ...) would rewrite them.
#include "platform/registry/registry_service.h"

#include <windows.h>

#include <cstdint>

namespace ps::platform {
namespace {

::HKEY ToSystem(HKEY key) { return reinterpret_cast<::HKEY>(static_cast<std::intptr_t>(key)); }

HKEY FromSystem(::HKEY key) {
  return static_cast<HKEY>(reinterpret_cast<std::intptr_t>(key));
}

class WindowsRegistry : public RegistryService {
 public:
  // The security record of the seam is a 32-bit stand-in the registry
  // ignores: the key gets the default security.
  LONG RegCreateKeyExA(HKEY hKey, const char* lpSubKey, DWORD Reserved, const char* lpClass,
                       DWORD dwOptions, REGSAM samDesired, const SECURITY_ATTRIBUTES*,
                       HKEY* phkResult, DWORD* lpdwDisposition) override {
    ::HKEY result = nullptr;
    ::DWORD disposition = 0;
    const LONG rc = ::RegCreateKeyExA(ToSystem(hKey), lpSubKey, Reserved,
                                      const_cast<char*>(lpClass), dwOptions, samDesired, nullptr,
                                      phkResult != nullptr ? &result : nullptr,
                                      lpdwDisposition != nullptr ? &disposition : nullptr);
    if (rc == 0 && phkResult != nullptr) *phkResult = FromSystem(result);
    if (rc == 0 && lpdwDisposition != nullptr) *lpdwDisposition = disposition;
    return rc;
  }
  LONG RegOpenKeyExA(HKEY hKey, const char* lpSubKey, DWORD ulOptions, REGSAM samDesired,
                     HKEY* phkResult) override {
    if (phkResult == nullptr) return ::RegOpenKeyExA(ToSystem(hKey), lpSubKey, ulOptions,
                                                     samDesired, nullptr);
    ::HKEY result = ToSystem(*phkResult);
    const LONG rc = ::RegOpenKeyExA(ToSystem(hKey), lpSubKey, ulOptions, samDesired, &result);
    *phkResult = FromSystem(result);
    return rc;
  }
  LONG RegCloseKey(HKEY hKey) override { return ::RegCloseKey(ToSystem(hKey)); }
  LONG RegQueryValueExA(HKEY hKey, const char* lpValueName, DWORD* lpReserved, DWORD* lpType,
                        unsigned char* lpData, DWORD* lpcbData) override {
    return WithDwords(lpType, lpcbData, [&](::DWORD* type, ::DWORD* size) {
      return ::RegQueryValueExA(ToSystem(hKey), lpValueName, reinterpret_cast<::DWORD*>(lpReserved),
                                type, lpData, size);
    });
  }
  LONG RegSetValueExA(HKEY hKey, const char* lpValueName, DWORD Reserved, DWORD dwType,
                      const unsigned char* lpData, DWORD cbData) override {
    return ::RegSetValueExA(ToSystem(hKey), lpValueName, Reserved, dwType, lpData, cbData);
  }
  LONG RegDeleteValueA(HKEY hKey, const char* lpValueName) override {
    return ::RegDeleteValueA(ToSystem(hKey), lpValueName);
  }
  LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, char* lpValueName, DWORD* lpcchValueName,
                     DWORD* lpReserved, DWORD* lpType, unsigned char* lpData,
                     DWORD* lpcbData) override {
    ::DWORD name_size = lpcchValueName != nullptr ? *lpcchValueName : 0;
    const LONG rc = WithDwords(lpType, lpcbData, [&](::DWORD* type, ::DWORD* size) {
      return ::RegEnumValueA(ToSystem(hKey), dwIndex, lpValueName,
                             lpcchValueName != nullptr ? &name_size : nullptr,
                             reinterpret_cast<::DWORD*>(lpReserved), type, lpData, size);
    });
    if (lpcchValueName != nullptr) *lpcchValueName = name_size;
    return rc;
  }
  LONG RegEnumKeyA(HKEY hKey, DWORD dwIndex, char* lpName, DWORD cchName) override {
    return ::RegEnumKeyA(ToSystem(hKey), dwIndex, lpName, cchName);
  }
  LONG RegDeleteKeyA(HKEY hKey, const char* lpSubKey) override {
    return ::RegDeleteKeyA(ToSystem(hKey), lpSubKey);
  }

 private:
  // The seam's DWORD is 32 bits, the system's `unsigned long` too (LLP64), but
  // they are distinct types: the optional in/out counts pass through copies.
  template <typename Call>
  static LONG WithDwords(DWORD* type, DWORD* size, Call call) {
    ::DWORD t = type != nullptr ? *type : 0;
    ::DWORD s = size != nullptr ? *size : 0;
    const LONG rc = call(type != nullptr ? &t : nullptr, size != nullptr ? &s : nullptr);
    if (type != nullptr) *type = t;
    if (size != nullptr) *size = s;
    return rc;
  }
};

}  // namespace

RegistryService& RegistryService::PlatformDefault() {
  // Never destroyed: keys may still be closed from other static destructors.
  static WindowsRegistry* const registry = new WindowsRegistry;
  return *registry;
}

}  // namespace ps::platform

// A registry that passes every call on to another one. Derive from it to
// change a few calls (count them, fail them) and leave the rest alone.
#pragma once

#include "platform/registry/registry_service.h"

namespace ps::platform {

class ForwardingRegistryService : public RegistryService {
 public:
  // `target` must outlive this object.
  explicit ForwardingRegistryService(RegistryService* target) : target_(target) {}

  LONG RegCreateKeyExA(HKEY hKey, const char* lpSubKey, DWORD Reserved, const char* lpClass,
                       DWORD dwOptions, REGSAM samDesired,
                       const SECURITY_ATTRIBUTES* lpSecurityAttributes, HKEY* phkResult,
                       DWORD* lpdwDisposition) override {
    return target()->RegCreateKeyExA(hKey, lpSubKey, Reserved, lpClass, dwOptions, samDesired,
                                     lpSecurityAttributes, phkResult, lpdwDisposition);
  }
  LONG RegOpenKeyExA(HKEY hKey, const char* lpSubKey, DWORD ulOptions, REGSAM samDesired,
                     HKEY* phkResult) override {
    return target()->RegOpenKeyExA(hKey, lpSubKey, ulOptions, samDesired, phkResult);
  }
  LONG RegCloseKey(HKEY hKey) override { return target()->RegCloseKey(hKey); }
  LONG RegQueryValueExA(HKEY hKey, const char* lpValueName, DWORD* lpReserved, DWORD* lpType,
                        unsigned char* lpData, DWORD* lpcbData) override {
    return target()->RegQueryValueExA(hKey, lpValueName, lpReserved, lpType, lpData, lpcbData);
  }
  LONG RegSetValueExA(HKEY hKey, const char* lpValueName, DWORD Reserved, DWORD dwType,
                      const unsigned char* lpData, DWORD cbData) override {
    return target()->RegSetValueExA(hKey, lpValueName, Reserved, dwType, lpData, cbData);
  }
  LONG RegDeleteValueA(HKEY hKey, const char* lpValueName) override {
    return target()->RegDeleteValueA(hKey, lpValueName);
  }
  LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, char* lpValueName, DWORD* lpcchValueName,
                     DWORD* lpReserved, DWORD* lpType, unsigned char* lpData,
                     DWORD* lpcbData) override {
    return target()->RegEnumValueA(hKey, dwIndex, lpValueName, lpcchValueName, lpReserved, lpType,
                                   lpData, lpcbData);
  }
  LONG RegEnumKeyA(HKEY hKey, DWORD dwIndex, char* lpName, DWORD cchName) override {
    return target()->RegEnumKeyA(hKey, dwIndex, lpName, cchName);
  }
  LONG RegDeleteKeyA(HKEY hKey, const char* lpSubKey) override {
    return target()->RegDeleteKeyA(hKey, lpSubKey);
  }

 protected:
  // Where each call goes; every forwarded call asks once, so a derived class
  // may override it to see every call pass.
  virtual RegistryService* target() { return target_; }

 private:
  RegistryService* const target_;
};

}  // namespace ps::platform

// The registry seam: the nine registry functions RegistryKey calls, declared
// with the platform's own names, argument order and return codes, so the class
// reads like the calls it makes. Names and data travel as code-page bytes.
//
// The process-wide instance is the platform backend's (on Linux the SQLite
// registry, sqlite_registry.h); tests put their own in place with
// ScopedRegistryService.
#pragma once

#include <cstdint>

namespace ps::platform {

using DWORD = std::uint32_t;
using LONG = std::int32_t;
using REGSAM = std::uint32_t;
// A key handle: a predefined root (negative) or an open key (small, positive).
// 0 is never a valid handle.
using HKEY = std::int32_t;

// The 32-bit record; the registry takes it and ignores its contents.
struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  DWORD lpSecurityDescriptor;
  DWORD bInheritHandle;
};

inline constexpr HKEY HKEY_CLASSES_ROOT = static_cast<HKEY>(0x80000000u);
inline constexpr HKEY HKEY_CURRENT_USER = static_cast<HKEY>(0x80000001u);
inline constexpr HKEY HKEY_LOCAL_MACHINE = static_cast<HKEY>(0x80000002u);
inline constexpr HKEY HKEY_USERS = static_cast<HKEY>(0x80000003u);

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_CREATE_LINK = 0x0020;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;
inline constexpr REGSAM DELETE = 0x00010000;
inline constexpr REGSAM WRITE_DAC = 0x00040000;
inline constexpr REGSAM WRITE_OWNER = 0x00080000;
inline constexpr REGSAM MAXIMUM_ALLOWED = 0x02000000;
inline constexpr REGSAM GENERIC_ALL = 0x10000000;
inline constexpr REGSAM GENERIC_WRITE = 0x40000000;
inline constexpr REGSAM GENERIC_READ = 0x80000000;

inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_OPTION_VOLATILE = 1;
inline constexpr DWORD REG_OPTION_OPEN_LINK = 8;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
inline constexpr DWORD REG_LINK = 6;
inline constexpr DWORD REG_MULTI_SZ = 7;
inline constexpr DWORD REG_QWORD = 11;

inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr LONG ERROR_ACCESS_DENIED = 5;
inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_OUTOFMEMORY = 14;
inline constexpr LONG ERROR_INVALID_PARAMETER = 87;
inline constexpr LONG ERROR_DISK_FULL = 112;
inline constexpr LONG ERROR_BAD_PATHNAME = 161;
inline constexpr LONG ERROR_BUSY = 170;
inline constexpr LONG ERROR_MORE_DATA = 234;
inline constexpr LONG ERROR_NO_MORE_ITEMS = 259;
inline constexpr LONG ERROR_NOACCESS = 998;
inline constexpr LONG ERROR_BADKEY = 1010;
inline constexpr LONG ERROR_REGISTRY_CORRUPT = 1015;
inline constexpr LONG ERROR_REGISTRY_IO_FAILED = 1016;
inline constexpr LONG ERROR_KEY_DELETED = 1018;
inline constexpr LONG ERROR_CHILD_MUST_BE_VOLATILE = 1021;

// Implementations are safe to call from several threads at once.
class RegistryService {
 public:
  virtual ~RegistryService() = default;

  // The registry RegistryKey talks to: the override installed by a
  // ScopedRegistryService if any, otherwise PlatformDefault().
  static RegistryService& Default();
  // The backend's own registry at its default location (created on first use,
  // never destroyed). Defined by the platform's backend file.
  static RegistryService& PlatformDefault();

  virtual LONG RegCreateKeyExA(HKEY hKey, const char* lpSubKey, DWORD Reserved, const char* lpClass,
                               DWORD dwOptions, REGSAM samDesired,
                               const SECURITY_ATTRIBUTES* lpSecurityAttributes, HKEY* phkResult,
                               DWORD* lpdwDisposition) = 0;
  virtual LONG RegOpenKeyExA(HKEY hKey, const char* lpSubKey, DWORD ulOptions, REGSAM samDesired,
                             HKEY* phkResult) = 0;
  virtual LONG RegCloseKey(HKEY hKey) = 0;
  virtual LONG RegQueryValueExA(HKEY hKey, const char* lpValueName, DWORD* lpReserved,
                                DWORD* lpType, unsigned char* lpData, DWORD* lpcbData) = 0;
  virtual LONG RegSetValueExA(HKEY hKey, const char* lpValueName, DWORD Reserved, DWORD dwType,
                              const unsigned char* lpData, DWORD cbData) = 0;
  virtual LONG RegDeleteValueA(HKEY hKey, const char* lpValueName) = 0;
  virtual LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, char* lpValueName, DWORD* lpcchValueName,
                             DWORD* lpReserved, DWORD* lpType, unsigned char* lpData,
                             DWORD* lpcbData) = 0;
  virtual LONG RegEnumKeyA(HKEY hKey, DWORD dwIndex, char* lpName, DWORD cchName) = 0;
  virtual LONG RegDeleteKeyA(HKEY hKey, const char* lpSubKey) = 0;
};

// Makes `service` the Default() for its lifetime, then restores the previous
// one. Scopes nest; the service must outlive the scope.
class ScopedRegistryService {
 public:
  explicit ScopedRegistryService(RegistryService* service);
  ~ScopedRegistryService();
  ScopedRegistryService(const ScopedRegistryService&) = delete;
  ScopedRegistryService& operator=(const ScopedRegistryService&) = delete;

 private:
  RegistryService* previous_;
};

}  // namespace ps::platform

#include "registry/registry_key.h"

#include <cstring>
#include <iostream>
#include <vector>

#include "core/codepage.h"
#include "platform/registry/registry_service.h"

namespace ps {
namespace {

using platform::DWORD;
using platform::HKEY;
using platform::LONG;
using platform::RegistryService;

constexpr std::int32_t kKeyWrite = 0x20006;
constexpr std::int32_t kKeyAllAccess = 0xF003F;
// The listings' name buffer and the capacities they offer the registry.
constexpr std::size_t kNameBuffer = 4096;
constexpr DWORD kValueNameCapacity = 4096;
constexpr DWORD kShortNameCapacity = 512;

RegistryService& Registry() { return RegistryService::Default(); }

// The text as the registry sees it, and the caller's text as it comes back.
std::string Bytes(std::u16string& text) {
  std::string bytes = ToCodePage(text);
  text = FromCodePage(bytes);
  return bytes;
}

std::u16string Quoted(const std::u16string& name) { return u"'" + name + u"'"; }

// The part of a name buffer before its first zero byte.
std::u16string UpToZero(const std::string& buffer, std::size_t limit) {
  const char* begin = buffer.data();
  const void* zero = std::memchr(begin, '\0', limit);
  const std::size_t length = zero ? static_cast<const char*>(zero) - begin : limit;
  return FromCodePage(std::string_view(begin, length));
}

}  // namespace

RegistryKey::~RegistryKey() {
  try {
    CloseKey();
  } catch (const std::exception& e) {
    std::cerr << "RegistryKey: handle " << keyHandle_ << " not released: " << e.what() << '\n';
  } catch (...) {
    std::cerr << "RegistryKey: handle " << keyHandle_ << " not released\n";
  }
}

std::int16_t RegistryKey::CreateKey(std::int32_t rootKey, std::u16string& subKeyPath,
                                    std::u16string& keyClass, std::int32_t options,
                                    std::int32_t accessRights) {
  CloseKey();
  const platform::SECURITY_ATTRIBUTES security{12, 0, 0};
  const std::string path = Bytes(subKeyPath);
  const std::string cls = Bytes(keyClass);
  DWORD disposition = 0;
  const LONG rc = Registry().RegCreateKeyExA(
      rootKey, path.c_str(), 0, cls.c_str(), static_cast<DWORD>(options),
      static_cast<DWORD>(accessRights), &security, &keyHandle_, &disposition);
  if (rc != platform::ERROR_SUCCESS) {
    keyHandle_ = 0;
    return kFalse;
  }
  return disposition == platform::REG_CREATED_NEW_KEY ? kTrue : kFalse;
}

void RegistryKey::OpenKey(std::int32_t& rootKey, std::u16string& subKeyPath,
                          std::int32_t& accessRights) {
  CloseKey();
  const std::string path = Bytes(subKeyPath);
  LONG rc = Registry().RegOpenKeyExA(rootKey, path.c_str(), 0, static_cast<DWORD>(accessRights),
                                     &keyHandle_);
  if (accessRights == kKeyWrite && rc == platform::ERROR_FILE_NOT_FOUND) {
    std::u16string noClass;
    CreateKey(rootKey, subKeyPath, noClass, 0, kKeyAllAccess);
    CloseKey();
    rc = Registry().RegOpenKeyExA(rootKey, path.c_str(), 0, static_cast<DWORD>(accessRights),
                                  &keyHandle_);
  }
  if (rc != platform::ERROR_SUCCESS) keyHandle_ = 0;
}

void RegistryKey::CloseKey() {
  if (keyHandle_ == 0) return;
  const LONG rc = Registry().RegCloseKey(keyHandle_);
  if (rc != platform::ERROR_SUCCESS) {
    throw Error(rc, u"RegistryKey.CloseKey", u"An error occurred while closing the registy key");
  }
  keyHandle_ = 0;
}

std::int32_t RegistryKey::GetRegistryValueLen(std::u16string& valueName) {
  const std::string name = Bytes(valueName);
  DWORD type = 0;
  DWORD size = 0;
  const LONG rc =
      Registry().RegQueryValueExA(keyHandle_, name.c_str(), nullptr, &type, nullptr, &size);
  if (rc != platform::ERROR_SUCCESS) {
    throw Error(
        rc, u"RegistryKey.GetRegistryValueLen",
        u"An error occurred while getting the length of the registy value " + Quoted(valueName));
  }
  return static_cast<std::int32_t>(size);
}

Variant RegistryKey::value(std::u16string& valueName) {
  lastError_.reset();
  std::int32_t size = 0;
  try {
    size = GetRegistryValueLen(valueName);
  } catch (const Error& e) {
    lastError_ = Error(e.Number(), u"RegistryKey.Get Value",
                       u"Unable to get the length of the registy value " + Quoted(valueName));
  }
  const std::string name = Bytes(valueName);
  std::string buffer(static_cast<std::size_t>(size < 0 ? 0 : size), '\0');
  DWORD type = 0;
  DWORD written = static_cast<DWORD>(buffer.size());
  const LONG rc =
      Registry().RegQueryValueExA(keyHandle_, name.c_str(), nullptr, &type,
                                  reinterpret_cast<unsigned char*>(buffer.data()), &written);
  if (rc != platform::ERROR_SUCCESS) {
    lastError_ = Error(rc, u"RegistryKey.Get Value",
                       u"An error occurred while getting the registy value " + Quoted(valueName));
    return Variant(std::u16string());
  }
  // A value that shrank between the two queries fills only part of the buffer.
  if (written < buffer.size()) buffer.resize(written);
  // Text is stored with its terminating zero; other data may end anywhere.
  if (!buffer.empty() && buffer.back() == '\0') buffer.pop_back();
  return Variant(FromCodePage(buffer));
}

void RegistryKey::set_value(std::u16string& valueName, const Variant& newValue) {
  const std::u16string text = newValue.ToText();
  const std::string name = Bytes(valueName);
  const std::string data = ToCodePage(text);
  // c_str() supplies the terminating zero counted in the size.
  const LONG rc = Registry().RegSetValueExA(keyHandle_, name.c_str(), 0, platform::REG_SZ,
                                            reinterpret_cast<const unsigned char*>(data.c_str()),
                                            static_cast<DWORD>(data.size() + 1));
  if (rc != platform::ERROR_SUCCESS) {
    throw Error(rc, u"RegistryKey.Set Value", u"Unable to set registry value " + Quoted(valueName));
  }
}

template <typename Next>
Variant RegistryKey::CollectNames(Next next) {
  std::vector<std::u16string> names;
  for (DWORD index = 0;; ++index) {
    const LONG rc = next(index, &names);
    if (rc == platform::ERROR_NO_MORE_ITEMS) return Variant::Array(std::move(names));
    if (rc != platform::ERROR_SUCCESS) {
      throw Error(rc, u"RegistryKey.GetValues", u"Unable to retrieve value names for registry key");
    }
  }
}

Variant RegistryKey::ValueNames() {
  std::string buffer(kNameBuffer, ' ');
  return CollectNames([&](DWORD index, std::vector<std::u16string>* names) {
    DWORD length = kValueNameCapacity;
    DWORD type = 0;
    const LONG rc = Registry().RegEnumValueA(keyHandle_, index, buffer.data(), &length, nullptr,
                                             &type, nullptr, nullptr);
    if (rc == platform::ERROR_SUCCESS && length > 0) {
      names->push_back(FromCodePage(std::string_view(buffer).substr(0, length)));
    }
    return rc;
  });
}

Variant RegistryKey::SubKeyNames() {
  lastError_.reset();
  std::string buffer(kNameBuffer, ' ');
  try {
    return CollectNames([&](DWORD index, std::vector<std::u16string>* names) {
      const LONG rc = Registry().RegEnumKeyA(keyHandle_, index, buffer.data(), kShortNameCapacity);
      if (rc == platform::ERROR_SUCCESS) names->push_back(UpToZero(buffer, buffer.size()));
      return rc;
    });
  } catch (const Error& e) {
    lastError_ = e;
    return Variant();
  }
}

Variant RegistryKey::SubValueNames() {
  lastError_.reset();
  std::string buffer(kNameBuffer, ' ');
  try {
    return CollectNames([&](DWORD index, std::vector<std::u16string>* names) {
      DWORD length = kShortNameCapacity;
      DWORD type = 0;
      const LONG rc = Registry().RegEnumValueA(keyHandle_, index, buffer.data(), &length, nullptr,
                                               &type, nullptr, nullptr);
      if (rc == platform::ERROR_SUCCESS) names->push_back(UpToZero(buffer, buffer.size()));
      return rc;
    });
  } catch (const Error& e) {
    lastError_ = e;
    return Variant();
  }
}

void RegistryKey::DeleteKey(std::int32_t& rootKey, std::u16string& subKeyPath) {
  const std::string path = Bytes(subKeyPath);
  const LONG rc = Registry().RegDeleteKeyA(rootKey, path.c_str());
  if (rc != platform::ERROR_SUCCESS) {
    throw Error(rc, u"RegistryKey.DeleteKey",
                u"Unable to delete registry key " + Quoted(subKeyPath));
  }
}

void RegistryKey::DeleteSubKey(std::u16string& subKeyPath) {
  const std::string path = Bytes(subKeyPath);
  const LONG rc = Registry().RegDeleteKeyA(keyHandle_, path.c_str());
  if (rc != platform::ERROR_SUCCESS) {
    throw Error(rc, u"RegistryKey.DeleteSubKey",
                u"Unable to delete registry subkey " + Quoted(subKeyPath));
  }
}

void RegistryKey::DeleteValue(std::u16string& valueName) {
  const std::string name = Bytes(valueName);
  const LONG rc = Registry().RegDeleteValueA(keyHandle_, name.c_str());
  if (rc != platform::ERROR_SUCCESS) {
    throw Error(rc, u"RegistryKey.DeleteValue",
                u"Unable to delete registry value " + Quoted(valueName));
  }
}

}  // namespace ps

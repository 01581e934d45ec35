// Keeps a setting in the registry with RegistryKey, reads it back, and shows
// the key as a .reg file would hold it.
#include <cstdint>
#include <iostream>
#include <string>

#include "core/error.h"
#include "platform/registry/registry_service.h"
#include "registry/reg_io.h"
#include "registry/registry_key.h"

int main() {
  using ps::platform::HKEY_CURRENT_USER;
  ps::RegistryKey key;
  std::u16string path = u"Software\\RegistryConsumer";
  std::u16string key_class;
  key.CreateKey(HKEY_CURRENT_USER, path, key_class, 0, 0xF003F /* KEY_ALL_ACCESS */);
  if (key.handle() == 0) {
    std::cerr << "cannot open HKEY_CURRENT_USER\\Software\\RegistryConsumer\n";
    return 1;
  }
  std::u16string name = u"Greeting";
  key.set_value(name, ps::Variant(u"hello from the consumer"));
  std::cout << "Greeting = " << ps::ToUtf8(key.value(name).ToText()) << "\n";

  std::string reg_file;
  ps::reg::RegError error;
  if (!ps::reg::ExportTree(ps::platform::RegistryService::Default(), HKEY_CURRENT_USER,
                           "Software\\RegistryConsumer", &reg_file, &error)) {
    std::cerr << error.message << "\n";
    return 1;
  }
  std::cout << "exported " << reg_file.size() << " bytes of .reg text\n";
  return 0;
}

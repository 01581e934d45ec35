// The predefined root keys by name.
#include <array>

#include "registry/reg_file.h"
#include "registry/reg_lines.h"

namespace ps::reg {
namespace {

using namespace platform;

struct Root {
  std::u16string_view name;
  std::u16string_view abbreviation;
  HKEY key;
};
constexpr std::array<Root, 4> kRoots = {{
    {u"HKEY_CLASSES_ROOT", u"HKCR", HKEY_CLASSES_ROOT},
    {u"HKEY_CURRENT_USER", u"HKCU", HKEY_CURRENT_USER},
    {u"HKEY_LOCAL_MACHINE", u"HKLM", HKEY_LOCAL_MACHINE},
    {u"HKEY_USERS", u"HKU", HKEY_USERS},
}};

}  // namespace

HKEY RootFromName(std::u16string_view name) {
  for (const Root& r : kRoots) {
    if (internal::SameAscii(name, r.name) || internal::SameAscii(name, r.abbreviation))
      return r.key;
  }
  return 0;
}

std::u16string RootName(HKEY root) {
  for (const Root& r : kRoots) {
    if (r.key == root) return std::u16string(r.name);
  }
  return {};
}

}  // namespace ps::reg

#include "platform/registry/registry_names.h"

namespace ps::platform::registry_internal {
namespace {

// Windows-1252 lower case: ASCII, the Latin-1 capitals (not the multiplication
// sign), and the capitals the code page adds at 8A, 8C, 8E and 9F.
unsigned char FoldByte(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c + 0x20);
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<unsigned char>(c + 0x20);
  switch (c) {
    case 0x8A:
    case 0x8C:
    case 0x8E:
      return static_cast<unsigned char>(c + 0x10);
    case 0x9F:
      return 0xFF;
    default:
      return c;
  }
}

}  // namespace

std::string Fold(std::string_view name) {
  std::string out(name.size(), '\0');
  for (std::size_t i = 0; i < name.size(); ++i) {
    out[i] = static_cast<char>(FoldByte(static_cast<unsigned char>(name[i])));
  }
  return out;
}

LONG SplitPath(const char* path, std::vector<std::string_view>* parts) {
  parts->clear();
  if (path == nullptr) return ERROR_SUCCESS;
  std::string_view rest(path);
  if (!rest.empty() && rest.front() == '\\') return ERROR_BAD_PATHNAME;
  while (!rest.empty()) {
    const std::size_t cut = rest.find('\\');
    const std::string_view part = rest.substr(0, cut);
    if (!part.empty()) {
      if (part.size() > kMaxKeyName) return ERROR_INVALID_PARAMETER;
      parts->push_back(part);
    }
    if (cut == std::string_view::npos) break;
    rest.remove_prefix(cut + 1);
  }
  return ERROR_SUCCESS;
}

REGSAM MapGenericRights(REGSAM sam, bool writable) {
  REGSAM out = sam & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (sam & GENERIC_READ) out |= KEY_READ;
  if (sam & GENERIC_WRITE) out |= KEY_WRITE;
  if (sam & GENERIC_ALL) out |= KEY_ALL_ACCESS;
  if (sam & MAXIMUM_ALLOWED) out |= writable ? KEY_ALL_ACCESS : KEY_READ;
  return out;
}

}  // namespace ps::platform::registry_internal

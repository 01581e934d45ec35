#include "platform/registry/registry_names.h"

#include <algorithm>

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

// Windows-1252 bytes 80 to 9F as UTF-16; the five bytes the code page leaves
// undefined stand for the control characters of the same number.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// A Windows-1252 byte as its upper-case UTF-16 code unit (Unicode's simple
// upper-case mapping of each character the code page holds).
char16_t UpperUnit(unsigned char c) {
  if (c >= 'a' && c <= 'z') return static_cast<char16_t>(c - 0x20);
  if (c >= 0x80 && c <= 0x9F) {
    switch (const char16_t u = kHighControls[c - 0x80]) {
      case 0x0161:  // s caron
      case 0x0153:  // oe
      case 0x017E:  // z caron
        return static_cast<char16_t>(u - 1);
      case 0x0192:  // f hook
        return 0x0191;
      default:
        return u;
    }
  }
  if (c == 0xB5) return 0x039C;  // micro sign: capital mu
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x0178;
  return c;
}

}  // namespace

bool PlatformOrderLess(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t x = UpperUnit(static_cast<unsigned char>(a[i]));
    const char16_t y = UpperUnit(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

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

// Value data between the command line's text and the registry's bytes.
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "cli/reg/verbs.h"
#include "core/codepage.h"
#include "core/error.h"

namespace ps::regtool {
namespace {

using namespace platform;

struct TypeEntry {
  const char* name;
  DWORD code;
};
constexpr TypeEntry kTypes[] = {
    {"REG_NONE", REG_NONE},
    {"REG_SZ", REG_SZ},
    {"REG_EXPAND_SZ", REG_EXPAND_SZ},
    {"REG_BINARY", REG_BINARY},
    {"REG_DWORD", REG_DWORD},
    {"REG_DWORD_BIG_ENDIAN", REG_DWORD_BIG_ENDIAN},
    {"REG_LINK", REG_LINK},
    {"REG_MULTI_SZ", REG_MULTI_SZ},
    {"REG_RESOURCE_LIST", 8},
    {"REG_FULL_RESOURCE_DESCRIPTOR", 9},
    {"REG_RESOURCE_REQUIREMENTS_LIST", 10},
    {"REG_QWORD", REG_QWORD},
};
// The types add accepts.
constexpr DWORD kAddable[] = {REG_NONE,  REG_SZ,    REG_EXPAND_SZ, REG_MULTI_SZ,
                              REG_DWORD, REG_QWORD, REG_BINARY};

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
  }
  return s;
}

// One '?' for each character the code page lacks.
std::string Text(const std::string& utf8) { return CharactersToCodePage(FromUtf8(utf8)); }

// Decimal or 0x-prefixed hexadecimal, no sign, at most `max`.
bool Number(const std::string& text, unsigned long long max, unsigned long long* out) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  char* end = nullptr;
  errno = 0;
  *out = std::strtoull(text.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
  return errno == 0 && end && *end == '\0' && *out <= max;
}

std::string LittleEndian(unsigned long long v, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
  return out;
}

unsigned long long FromLittleEndian(const std::string& bytes) {
  unsigned long long v = 0;
  for (std::size_t i = bytes.size(); i-- > 0;) v = (v << 8) | static_cast<unsigned char>(bytes[i]);
  return v;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::string Utf8(std::string_view code_page) { return ToUtf8(FromCodePage(code_page)); }

}  // namespace

std::string TypeName(DWORD type) {
  for (const TypeEntry& t : kTypes) {
    if (t.code == type) return t.name;
  }
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", type);
  return buf;
}

namespace {

bool EncodeNumber(const std::string& data, bool dword, std::string* bytes, std::string* error) {
  unsigned long long number = 0;
  if (!Number(data.empty() ? "0" : data, dword ? 0xFFFFFFFFull : ~0ull, &number)) {
    *error = std::string(
                 "Invalid syntax. Specify a valid numeric value (decimal, or hex with 0x) "
                 "of at most ") +
             (dword ? "32" : "64") + " bits.";
    return false;
  }
  *bytes = LittleEndian(number, dword ? 4 : 8);
  return true;
}

bool EncodeBinary(const std::string& data, std::string* bytes, std::string* error) {
  bytes->clear();
  for (std::size_t i = 0; i < data.size(); i += 2) {
    const int hi = HexDigit(data[i]), lo = i + 1 < data.size() ? HexDigit(data[i + 1]) : -1;
    if (hi < 0 || lo < 0) {
      *error = "Invalid syntax. Binary data is an even number of hex digits, such as 01ab.";
      return false;
    }
    bytes->push_back(static_cast<char>(hi * 16 + lo));
  }
  return true;
}

bool EncodeMultiString(const std::string& data, const std::string& separator, std::string* bytes,
                       std::string* error) {
  bytes->clear();
  if (separator.empty()) {
    *error = "Invalid syntax. The separator given with /s is empty.";
    return false;
  }
  std::size_t start = 0;
  while (!data.empty()) {
    const std::size_t cut = data.find(separator, start);
    const std::string item = data.substr(start, cut - start);
    if (item.empty() && cut != std::string::npos) {
      *error = "Invalid syntax. A REG_MULTI_SZ string may not be empty.";
      return false;
    }
    *bytes += Text(item);
    bytes->push_back('\0');
    if (cut == std::string::npos) break;
    start = cut + separator.size();
  }
  bytes->push_back('\0');
  return true;
}

}  // namespace

bool EncodeData(const std::string& type, const std::string& data, const std::string& separator,
                DWORD* type_code, std::string* bytes, std::string* error) {
  const std::string name = Upper(type);
  bool known = false;
  for (DWORD code : kAddable) {
    if (TypeName(code) == name) {
      *type_code = code;
      known = true;
    }
  }
  if (!known) {
    *error = "Invalid type '" + type +
             "'. Use REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY or "
             "REG_NONE.";
    return false;
  }
  switch (*type_code) {
    case REG_DWORD:
    case REG_QWORD:
      return EncodeNumber(data, *type_code == REG_DWORD, bytes, error);
    case REG_BINARY:
      return EncodeBinary(data, bytes, error);
    case REG_MULTI_SZ:
      return EncodeMultiString(data, separator, bytes, error);
    default:  // the text types and REG_NONE, which is stored as text
      *bytes = Text(data);
      bytes->push_back('\0');
      return true;
  }
}

std::string FormatData(DWORD type, const std::string& bytes) {
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      return Utf8(std::string_view(bytes).substr(0, bytes.find('\0')));
    case REG_MULTI_SZ: {
      std::string_view rest(bytes);
      std::string out;
      while (!rest.empty() && rest.front() != '\0') {
        const std::size_t cut = rest.find('\0');
        if (!out.empty()) out += "\\0";
        out += Utf8(rest.substr(0, cut));
        if (cut == std::string_view::npos) break;
        rest.remove_prefix(cut + 1);
      }
      return out;
    }
    case REG_DWORD:
    case REG_QWORD:
      if (bytes.size() == (type == REG_DWORD ? 4u : 8u)) {
        char buf[24];
        std::snprintf(buf, sizeof buf, "0x%llx", FromLittleEndian(bytes));
        return buf;
      }
      return Hex(bytes);
    default:
      return Hex(bytes);
  }
}

}  // namespace ps::regtool

#include "registry/reg_file.h"

#include <array>
#include <cstdint>

#include "core/codepage.h"
#include "core/error.h"

namespace ps::reg {
namespace {

using namespace platform;

constexpr std::u16string_view kHeader5 = u"Windows Registry Editor Version 5.00";
constexpr std::u16string_view kHeader4 = u"REGEDIT4";
constexpr std::size_t kMaxKeyName = 255;
constexpr std::size_t kMaxValueName = 16383;

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

bool SameAscii(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char16_t>(x - 0x20);
    if (y >= 'a' && y <= 'z') y = static_cast<char16_t>(y - 0x20);
    if (x != y) return false;
  }
  return true;
}

bool IsSpace(char16_t c) { return c == ' ' || c == '\t'; }

int HexDigit(char16_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// UTF-16LE bytes -> code page, one byte per character.
std::string Utf16LeToCodePage(std::string_view bytes) {
  std::string out(bytes.size() / 2, '\0');
  for (std::size_t i = 0; i < out.size(); ++i) {
    const auto lo = static_cast<unsigned char>(bytes[2 * i]);
    const auto hi = static_cast<unsigned char>(bytes[2 * i + 1]);
    out[i] = CharToCodePage(static_cast<char16_t>(lo | (hi << 8)));
  }
  return out;
}

bool IsTextType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

class Parser {
 public:
  Parser(std::u16string_view text, bool unicode, RegFile* out, RegError* error)
      : text_(text), unicode_(unicode), out_(out), error_(error) {}

  bool Run() {
    out_->keys.clear();
    std::u16string_view line;
    if (!NextLine(&line) || !(line == kHeader5 || line == kHeader4)) {
      return Fail(1, "not a registry file: the first line must be \"" + ToUtf8(kHeader5) +
                         "\" or \"REGEDIT4\"");
    }
    while (NextLine(&line)) {
      const int number = line_;
      std::size_t i = 0;
      while (i < line.size() && IsSpace(line[i])) ++i;
      line.remove_prefix(i);
      if (line.empty() || line[0] == ';') continue;
      if (line[0] == '[') {
        if (!Key(line, number)) return false;
      } else if (line[0] == '"' || line[0] == '@') {
        if (!Value(line, number)) return false;
      } else {
        return Fail(number, "unexpected text; expected [KEY], \"name\"=..., @=... or ; comment");
      }
    }
    return true;
  }

 private:
  // The next physical line without its line end; false at the end of text.
  bool NextLine(std::u16string_view* line) {
    if (pos_ >= text_.size()) return false;
    std::size_t end = text_.find(u'\n', pos_);
    if (end == std::u16string_view::npos) end = text_.size();
    std::u16string_view l = text_.substr(pos_, end - pos_);
    pos_ = end + 1;
    ++line_;
    while (!l.empty() && (l.back() == '\r' || IsSpace(l.back()))) l.remove_suffix(1);
    *line = l;
    return true;
  }

  bool Fail(int line, const std::string& message) {
    error_->line = line;
    error_->code = ERROR_INVALID_PARAMETER;
    error_->message = "line " + std::to_string(line) + ": " + message;
    return false;
  }

  bool Key(std::u16string_view line, int number) {
    const std::size_t close = line.rfind(u']');
    if (close == std::u16string_view::npos) return Fail(number, "key name without closing ']'");
    std::u16string_view name = line.substr(1, close - 1);
    RegKeyOp key;
    key.line = number;
    if (!name.empty() && name[0] == '-') {
      key.remove = true;
      name.remove_prefix(1);
    }
    const std::size_t slash = name.find(u'\\');
    const std::u16string_view root = name.substr(0, slash);
    key.root = RootFromName(root);
    if (key.root == 0) return Fail(number, "unknown root key '" + ToUtf8(root) + "'");
    if (slash != std::u16string_view::npos)
      name.remove_prefix(slash + 1);
    else
      name = {};
    while (!name.empty() && name.back() == '\\') name.remove_suffix(1);
    if (!name.empty() && name[0] == '\\') return Fail(number, "key path with an empty key name");
    key.path = ToCodePage(name);
    std::size_t start = 0;
    while (start <= key.path.size()) {
      std::size_t cut = key.path.find('\\', start);
      if (cut == std::string::npos) cut = key.path.size();
      if (cut - start > kMaxKeyName) return Fail(number, "key name longer than 255 characters");
      start = cut + 1;
    }
    if (key.remove && key.path.empty()) return Fail(number, "a root key cannot be deleted");
    out_->keys.push_back(std::move(key));
    return true;
  }

  // A quoted string starting at line[*i] == '"'; *i ends after the quote.
  bool Quoted(std::u16string_view line, std::size_t* i, int number, std::u16string* out) {
    out->clear();
    for (std::size_t k = *i + 1; k < line.size(); ++k) {
      char16_t c = line[k];
      if (c == '"') {
        *i = k + 1;
        return true;
      }
      if (c == '\\' && k + 1 < line.size()) {
        const char16_t e = line[++k];
        switch (e) {
          case '\\':
          case '"':
            c = e;
            break;
          case 'n':
            c = '\n';
            break;
          case 'r':
            c = '\r';
            break;
          case '0':
            c = '\0';
            break;
          default:
            out->push_back('\\');
            c = e;  // kept as written
        }
      }
      out->push_back(c);
    }
    return Fail(number, "unterminated string (no closing '\"')");
  }

  static bool OnlyCommentLeft(std::u16string_view line, std::size_t i) {
    while (i < line.size() && IsSpace(line[i])) ++i;
    return i == line.size() || line[i] == ';';
  }

  bool Value(std::u16string_view line, int number) {
    if (out_->keys.empty()) return Fail(number, "value before the first [KEY] line");
    RegValueOp value;
    value.line = number;
    std::size_t i = 0;
    std::u16string text;
    if (line[0] == '@') {
      i = 1;
    } else {
      if (!Quoted(line, &i, number, &text)) return false;
      value.name = ToCodePage(text);
      if (value.name.empty())
        return Fail(number, "empty value name (write @ for the default value)");
      if (value.name.size() > kMaxValueName) {
        return Fail(number, "value name longer than 16,383 characters");
      }
    }
    while (i < line.size() && IsSpace(line[i])) ++i;
    if (i >= line.size() || line[i] != '=')
      return Fail(number, "expected '=' after the value name");
    ++i;
    while (i < line.size() && IsSpace(line[i])) ++i;
    const std::u16string_view rest = line.substr(i);
    if (rest.starts_with(u"-") && OnlyCommentLeft(rest, 1)) {
      value.remove = true;
    } else if (rest.starts_with(u"\"")) {
      std::size_t k = 0;
      if (!Quoted(rest, &k, number, &text)) return false;
      if (!OnlyCommentLeft(rest, k)) return Fail(number, "unexpected text after the string");
      value.type = REG_SZ;
      value.data = ToCodePage(text);
      value.data.push_back('\0');
    } else if (SameAscii(rest.substr(0, 6), u"dword:")) {
      if (!Dword(rest.substr(6), number, &value.data)) return false;
      value.type = REG_DWORD;
    } else if (SameAscii(rest.substr(0, 3), u"hex")) {
      if (!Hex(rest.substr(3), number, &value)) return false;
    } else {
      return Fail(number, "unknown value type; expected \"text\", dword:, hex:, hex(N): or -");
    }
    out_->keys.back().values.push_back(std::move(value));
    return true;
  }

  bool Dword(std::u16string_view digits, int number, std::string* data) {
    std::uint32_t v = 0;
    std::size_t n = 0;
    while (n < digits.size() && HexDigit(digits[n]) >= 0) v = (v << 4) | HexDigit(digits[n++]);
    if (n == 0 || n > 8 || !OnlyCommentLeft(digits, n)) {
      return Fail(number, "bad dword: expected 1 to 8 hex digits");
    }
    *data = std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                        static_cast<char>(v >> 24)};
    return true;
  }

  // After "hex": "(N)" optionally, ':', then bytes "xx,xx,..." with "\" at a
  // line end to continue on the next line.
  bool Hex(std::u16string_view rest, int number, RegValueOp* value) {
    std::size_t i = 0;
    value->type = REG_BINARY;
    if (i < rest.size() && rest[i] == '(') {
      DWORD type = 0;
      std::size_t n = 0;
      for (++i; i < rest.size() && HexDigit(rest[i]) >= 0; ++i, ++n) {
        type = (type << 4) | HexDigit(rest[i]);
      }
      if (n == 0 || n > 8 || i >= rest.size() || rest[i] != ')') {
        return Fail(number, "bad hex(N): type: expected hex digits in parentheses");
      }
      ++i;
      value->type = type;
    }
    if (i >= rest.size() || rest[i] != ':') return Fail(number, "expected ':' after hex");
    ++i;
    std::string bytes;
    int at = number;
    for (;;) {
      while (i < rest.size() && IsSpace(rest[i])) ++i;
      if (i >= rest.size() || rest[i] == ';') break;
      if (rest[i] == '\\' && OnlyCommentLeft(rest, i + 1)) {
        std::u16string_view next;
        if (!NextLine(&next)) return Fail(at, "bad hex data: continuation at the end of the file");
        at = line_;
        rest = next;
        i = 0;
        continue;
      }
      const int hi = HexDigit(rest[i]);
      if (hi < 0) return Fail(at, "bad hex data: expected hex digits");
      int byte = hi;
      ++i;
      if (i < rest.size() && HexDigit(rest[i]) >= 0) byte = byte * 16 + HexDigit(rest[i++]);
      bytes.push_back(static_cast<char>(byte));
      while (i < rest.size() && IsSpace(rest[i])) ++i;
      if (i < rest.size() && rest[i] == ',') {
        ++i;
      } else if (i < rest.size() && rest[i] != '\\' && rest[i] != ';') {
        return Fail(at, "bad hex data: expected ',' between bytes");
      }
    }
    if (unicode_ && IsTextType(value->type)) {
      if (bytes.size() % 2 != 0) return Fail(number, "bad hex data: UTF-16 text of odd length");
      value->data = Utf16LeToCodePage(bytes);
    } else {
      value->data = std::move(bytes);
    }
    return true;
  }

  std::u16string_view text_;
  bool unicode_;
  RegFile* out_;
  RegError* error_;
  std::size_t pos_ = 0;
  int line_ = 0;
};

int LinesIn(std::u16string_view text) {
  int lines = 1;
  for (char16_t c : text) lines += c == '\n';
  return lines;
}

// The file's text as UTF-16; *unicode tells whether it is a version 5.00 file.
bool Decode(std::string_view bytes, std::u16string* text, bool* unicode, RegError* error) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    bytes.remove_prefix(2);
    text->resize(bytes.size() / 2);
    for (std::size_t i = 0; i < text->size(); ++i) {
      (*text)[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                         (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    }
    *unicode = true;
    if (bytes.size() % 2 != 0) {
      error->line = LinesIn(*text);
      error->code = ERROR_INVALID_PARAMETER;
      error->message =
          "line " + std::to_string(error->line) + ": truncated UTF-16 text (odd length)";
      return false;
    }
    return true;
  }
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
  *unicode = !bytes.starts_with("REGEDIT4");
  *text = *unicode ? FromUtf8(bytes) : FromCodePage(bytes);
  return true;
}

}  // namespace

HKEY RootFromName(std::u16string_view name) {
  for (const Root& r : kRoots) {
    if (SameAscii(name, r.name) || SameAscii(name, r.abbreviation)) return r.key;
  }
  return 0;
}

std::u16string RootName(HKEY root) {
  for (const Root& r : kRoots) {
    if (r.key == root) return std::u16string(r.name);
  }
  return {};
}

bool ParseRegFile(std::string_view bytes, RegFile* out, RegError* error) {
  std::u16string text;
  bool unicode = true;
  if (!Decode(bytes, &text, &unicode, error)) return false;
  return Parser(text, unicode, out, error).Run();
}

}  // namespace ps::reg

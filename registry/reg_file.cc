#include "registry/reg_file.h"

#include <cstdint>
#include <utility>

#include "core/codepage.h"
#include "core/error.h"
#include "registry/reg_lines.h"

namespace ps::reg {
namespace {

using namespace platform;
using internal::SameAscii;
using internal::Utf16LeToCodePage;

constexpr std::u16string_view kHeader5 = u"Windows Registry Editor Version 5.00";
constexpr std::u16string_view kHeader4 = u"REGEDIT4";
constexpr std::size_t kMaxKeyName = 255;
constexpr std::size_t kMaxValueName = 16383;

bool IsSpace(char16_t c) { return c == ' ' || c == '\t'; }

int HexDigit(char16_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsTextType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// A name shown in a message: its characters, a NUL as \0.
std::string Shown(std::u16string_view name) {
  std::string out;
  for (const char16_t c : name) out += c == u'\0' ? std::string("\\0") : ToUtf8({&c, 1});
  return out;
}

}  // namespace

class RegReader::Parser {
 public:
  explicit Parser(std::unique_ptr<internal::ByteSource> source) : lines_(std::move(source)) {}

  bool Next(RegKeyOp* section, RegError* error) {
    error_ = error;
    if (failed_ || (!started_ && !Start())) return false;
    for (;;) {
      std::u16string_view line;
      if (!NextLine(&line)) {
        if (failed_ || !open_) return false;
        open_ = false;
        *section = std::move(current_);
        return true;
      }
      const int number = lines_.line();
      std::size_t i = 0;
      while (i < line.size() && IsSpace(line[i])) ++i;
      line.remove_prefix(i);
      if (line.empty() || line[0] == ';') continue;
      if (line[0] == '"' || line[0] == '@') {
        if (!Value(line, number)) return false;
        continue;
      }
      if (line[0] != '[') {
        return Fail(number, "unexpected text; expected [KEY], \"name\"=..., @=... or ; comment");
      }
      RegKeyOp key;
      if (!Key(line, number, &key)) return false;
      const bool had = std::exchange(open_, true);
      if (had) *section = std::move(current_);
      current_ = std::move(key);
      if (had) return true;
    }
  }

  bool Restart(RegError* error) {
    error_ = error;
    if (!started_) return true;
    open_ = failed_ = false;
    std::u16string_view header;
    return lines_.Rewind(error) && NextLine(&header);
  }

  bool failed() const { return failed_; }
  int line() const { return lines_.line(); }
  const std::string& note() const { return lines_.note(); }

 private:
  bool Start() {
    started_ = true;
    if (!lines_.Start(error_)) {
      failed_ = true;
      return false;
    }
    std::u16string_view line;
    if (!NextLine(&line) || !(line == kHeader5 || line == kHeader4)) {
      return Fail(1, "not a registry file: the first line must be \"" + ToUtf8(kHeader5) +
                         "\" or \"REGEDIT4\"");
    }
    unicode_ = lines_.unicode();
    return true;
  }

  // The next physical line without its line end and trailing blanks; false
  // at the end of the text, and on a problem reading it (then failed_).
  bool NextLine(std::u16string_view* line) {
    error_->code = ERROR_SUCCESS;
    if (!lines_.Next(&line_, error_)) {
      failed_ = error_->code != ERROR_SUCCESS;
      return false;
    }
    std::u16string_view l = line_;
    while (!l.empty() && (l.back() == '\r' || IsSpace(l.back()))) l.remove_suffix(1);
    *line = l;
    return true;
  }

  bool Fail(int line, const std::string& message) {
    failed_ = true;
    error_->line = line;
    error_->code = ERROR_INVALID_PARAMETER;
    error_->message = "line " + std::to_string(line) + ": " + message;
    return false;
  }

  // A key path or value name as the registry will store it: false, naming
  // the line, when the stored name would not be exactly this one.
  bool ExactName(std::u16string_view name, int number, const char* what, std::string* out) {
    if (name.find(u'\0') != std::u16string_view::npos) {
      return Fail(number, std::string(what) + " '" + Shown(name) +
                              "' holds a NUL character, which the registry cannot store");
    }
    bool exact = false;
    *out = CharactersToCodePage(name, &exact);
    if (!exact) {
      return Fail(number, std::string(what) + " '" + Shown(name) +
                              "' holds characters outside the registry's code page, "
                              "Windows-1252");
    }
    return true;
  }

  bool Key(std::u16string_view line, int number, RegKeyOp* key) {
    const std::size_t close = line.rfind(u']');
    if (close == std::u16string_view::npos) return Fail(number, "key name without closing ']'");
    std::u16string_view name = line.substr(1, close - 1);
    key->line = number;
    if (!name.empty() && name[0] == '-') {
      key->remove = true;
      name.remove_prefix(1);
    }
    const std::size_t slash = name.find(u'\\');
    const std::u16string_view root = name.substr(0, slash);
    key->root = RootFromName(root);
    if (key->root == 0) return Fail(number, "unknown root key '" + ToUtf8(root) + "'");
    if (slash != std::u16string_view::npos)
      name.remove_prefix(slash + 1);
    else
      name = {};
    while (!name.empty() && name.back() == '\\') name.remove_suffix(1);
    if (!name.empty() && name[0] == '\\') return Fail(number, "key path with an empty key name");
    if (!ExactName(name, number, "key path", &key->path)) return false;
    std::size_t depth = 0;
    for (std::size_t start = 0; start <= key->path.size();) {
      std::size_t cut = key->path.find('\\', start);
      if (cut == std::string::npos) cut = key->path.size();
      if (cut - start > kMaxKeyName) return Fail(number, "key name longer than 255 characters");
      depth += cut > start ? 1 : 0;
      start = cut + 1;
    }
    if (key->remove && key->path.empty()) return Fail(number, "a root key cannot be deleted");
    if (!key->remove && depth > kMaxKeyDepth) {
      return Fail(number, "key path deeper than 512 levels");
    }
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
    if (!open_) return Fail(number, "value before the first [KEY] line");
    RegValueOp value;
    value.line = number;
    std::size_t i = 0;
    std::u16string text;
    if (line[0] == '@') {
      i = 1;
    } else {
      // "" names the unnamed value, as @ does.
      if (!Quoted(line, &i, number, &text)) return false;
      if (!ExactName(text, number, "value name", &value.name)) return false;
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
      value.data = CharactersToCodePage(text);
      value.data.push_back('\0');
    } else if (SameAscii(rest.substr(0, 6), u"dword:")) {
      if (!Dword(rest.substr(6), number, &value.data)) return false;
      value.type = REG_DWORD;
    } else if (SameAscii(rest.substr(0, 3), u"hex")) {
      if (!Hex(rest.substr(3), number, &value)) return false;
    } else {
      return Fail(number, "unknown value type; expected \"text\", dword:, hex:, hex(N): or -");
    }
    current_.values.push_back(std::move(value));
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
        if (!Continuation(&rest, &at)) return false;
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
    // Odd-length REG_SZ and REG_EXPAND_SZ data cannot be UTF-16: kept as it
    // is, as the platform keeps it. A list of strings must be whole.
    const bool odd = bytes.size() % 2 != 0;
    if (unicode_ && odd && value->type == REG_MULTI_SZ) {
      return Fail(number, "bad hex data: UTF-16 text of odd length");
    }
    if (unicode_ && IsTextType(value->type) && !odd) {
      value->data = Utf16LeToCodePage(bytes);
    } else {
      value->data = std::move(bytes);
    }
    return true;
  }

  // Moves *rest to the line that continues a hex list, past blank and
  // comment lines; *at becomes its number.
  bool Continuation(std::u16string_view* rest, int* at) {
    const int from = *at;
    for (;;) {
      std::u16string_view next;
      if (!NextLine(&next)) {
        return !failed_ && Fail(from, "bad hex data: continuation at the end of the file");
      }
      *at = lines_.line();
      std::size_t i = 0;
      while (i < next.size() && IsSpace(next[i])) ++i;
      if (i < next.size() && next[i] != ';') {
        *rest = next;
        return true;
      }
    }
  }

  internal::LineReader lines_;
  std::u16string line_;  // the last line read
  bool started_ = false;
  bool unicode_ = true;
  bool failed_ = false;
  bool open_ = false;  // current_ holds a section
  RegKeyOp current_;
  RegError* error_ = nullptr;
};

RegReader::RegReader(std::string_view bytes)
    : parser_(std::make_unique<Parser>(internal::ViewSource(bytes))) {}
RegReader::RegReader(std::istream& in)
    : parser_(std::make_unique<Parser>(internal::StreamSource(in))) {}
RegReader::~RegReader() = default;

bool RegReader::Next(RegKeyOp* section, RegError* error) { return parser_->Next(section, error); }
bool RegReader::failed() const { return parser_->failed(); }
bool RegReader::Restart(RegError* error) { return parser_->Restart(error); }
int RegReader::line() const { return parser_->line(); }
const std::string& RegReader::note() const { return parser_->note(); }

bool ParseRegFile(std::string_view bytes, RegFile* out, RegError* error) {
  RegReader reader(bytes);
  out->keys.clear();
  RegKeyOp section;
  while (reader.Next(&section, error)) out->keys.push_back(std::move(section));
  out->note = reader.note();
  return !reader.failed();
}

}  // namespace ps::reg

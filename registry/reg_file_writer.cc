// Writing .reg files: version 5.00 as the platform's registry editor exports it.
#include <cstdint>
#include <cstdio>

#include "core/codepage.h"
#include "core/error.h"
#include "registry/reg_file.h"

namespace ps::reg {
namespace {

using namespace platform;

// Code page -> UTF-16LE bytes.
std::string CodePageToUtf16Le(std::string_view bytes) {
  std::string out(bytes.size() * 2, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const char16_t c = CodePageToChar(static_cast<unsigned char>(bytes[i]));
    out[2 * i] = static_cast<char>(c & 0xFF);
    out[2 * i + 1] = static_cast<char>(c >> 8);
  }
  return out;
}

bool IsTextType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Text writing, UTF-16 first and bytes at the end.
class Writer {
 public:
  void Line(std::u16string_view s) {
    out_ += s;
    out_ += u"\r\n";
  }
  void Raw(std::u16string_view s) { out_ += s; }
  void Escaped(std::string_view bytes) {
    for (char b : bytes) {
      const char16_t c = CodePageToChar(static_cast<unsigned char>(b));
      // Line ends would break the line; names may hold them, string data
      // that does is written in hex.
      if (c == '\n' || c == '\r') {
        out_ += c == '\n' ? u"\\n" : u"\\r";
        continue;
      }
      if (c == '\\' || c == '"') out_ += u'\\';
      out_ += c;
    }
  }
  std::size_t Column() const { return out_.size() - (out_.rfind(u'\n') + 1); }

  // The platform editor's wrapping: after each "xx," the line is broken once
  // it has reached 77 characters; continuation lines start with two spaces.
  void HexList(std::string_view data) {
    static constexpr char16_t kDigits[] = u"0123456789abcdef";
    std::size_t column = Column();
    for (std::size_t i = 0; i < data.size(); ++i) {
      const auto b = static_cast<unsigned char>(data[i]);
      out_ += kDigits[b >> 4];
      out_ += kDigits[b & 15];
      if (i + 1 == data.size()) break;
      out_ += u',';
      column += 3;
      if (column >= 77) {
        out_ += u"\\\r\n  ";
        column = 2;
      }
    }
  }

  std::string Bytes() const {
    std::string bytes;
    bytes.reserve(2 + out_.size() * 2);
    bytes += "\xFF\xFE";
    for (char16_t c : out_) {
      bytes.push_back(static_cast<char>(c & 0xFF));
      bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
  }

 private:
  std::u16string out_;
};

// True when REG_SZ data reads back unchanged from the "text" form.
bool PlainString(std::string_view data) {
  if (data.empty() || data.back() != '\0') return false;
  data.remove_suffix(1);
  return data.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos;
}

void WriteValue(Writer& w, const RegValueOp& v) {
  if (v.name.empty()) {
    w.Raw(u"@=");
  } else {
    w.Raw(u"\"");
    w.Escaped(v.name);
    w.Raw(u"\"=");
  }
  if (v.remove) {
    w.Line(u"-");
    return;
  }
  if (v.type == REG_SZ && PlainString(v.data)) {
    w.Raw(u"\"");
    w.Escaped(std::string_view(v.data).substr(0, v.data.size() - 1));
    w.Line(u"\"");
    return;
  }
  if (v.type == REG_DWORD && v.data.size() == 4) {
    std::uint32_t d = 0;
    for (int i = 3; i >= 0; --i) d = (d << 8) | static_cast<unsigned char>(v.data[i]);
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x", d);
    w.Line(FromUtf8(buf));
    return;
  }
  if (v.type == REG_BINARY) {
    w.Raw(u"hex:");
  } else {
    char buf[24];
    std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
    w.Raw(FromUtf8(buf));
  }
  w.HexList(IsTextType(v.type) ? CodePageToUtf16Le(v.data) : v.data);
  w.Line(u"");
}

}  // namespace

std::string WriteRegFile(const RegFile& file) {
  Writer w;
  w.Line(u"Windows Registry Editor Version 5.00");
  w.Line(u"");
  for (const RegKeyOp& key : file.keys) {
    w.Raw(key.remove ? u"[-" : u"[");
    w.Raw(RootName(key.root));
    if (!key.path.empty()) {
      w.Raw(u"\\");
      w.Raw(FromCodePage(key.path));
    }
    w.Line(u"]");
    for (const RegValueOp& v : key.values) WriteValue(w, v);
    w.Line(u"");
  }
  return w.Bytes();
}

}  // namespace ps::reg

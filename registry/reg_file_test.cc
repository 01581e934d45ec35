#include "registry/reg_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/codepage.h"
#include "core/error.h"

namespace ps::reg {
namespace {

using namespace platform;

std::string Utf16Le(std::u16string_view text, bool bom = true) {
  std::string out = bom ? "\xFF\xFE" : "";
  for (char16_t c : text) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

std::string Repeat(std::string_view part, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += part;
  return out;
}

std::u16string FromUtf16Le(std::string_view bytes) {
  std::u16string out;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    out.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                        (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  }
  return out;
}

// Every form once. %BODY% differs between the versions: the text types'
// hex forms are UTF-16LE in 5.00 and code-page bytes in REGEDIT4.
constexpr char16_t kForms[] =
    u"; a comment before the first key\r\n"
    u"\r\n"
    u"[HKEY_CURRENT_USER\\Software\\Demo]\r\n"
    u"\"Text\"=\"say \\\"hi\\\" to C:\\\\temp\"\r\n"
    u"@=\"default\"\r\n"
    u"\"Caf\u00e9 \u20ac\"=\"\u00e9t\u00e9\"\r\n"
    u"  \"Count\" = dword:0000002a ; trailing comment\r\n"
    u"\"Blob\"=hex:00,ff,10,\\\r\n"
    u"  20\r\n"
    u"\"Empty\"=hex:\r\n"
    u"\"Big\"=hex(b):01,00,00,00,00,00,00,80\r\n"
    u"\"Big endian\"=hex(5):00,00,00,01\r\n"
    u"\"Nothing\"=hex(0):\r\n"
    u"\"Gone\"=-\r\n"
    u"\"Lines\"=\"a\\nb\"\r\n"
    u"\r\n"
    u"[-HKEY_LOCAL_MACHINE\\Software\\Old]\r\n"
    u"[HKLM\\Software\\Other\\]\r\n";

struct Expected {
  std::size_t key;
  int line;
  bool remove;
  std::string name;
  DWORD type;
  std::string data;
};

const std::vector<Expected>& ExpectedForms() {
  static const std::vector<Expected> expected = {
      {0, 5, false, "Text", REG_SZ, std::string("say \"hi\" to C:\\temp\0", 20)},
      {0, 6, false, "", REG_SZ, std::string("default\0", 8)},
      {0, 7, false, "Caf\xE9 \x80", REG_SZ, std::string("\xE9t\xE9\0", 4)},
      {0, 8, false, "Count", REG_DWORD, std::string("\x2a\0\0\0", 4)},
      {0, 9, false, "Blob", REG_BINARY, std::string("\x00\xff\x10\x20", 4)},
      {0, 11, false, "Empty", REG_BINARY, ""},
      {0, 12, false, "Big", REG_QWORD, std::string("\x01\0\0\0\0\0\0\x80", 8)},
      {0, 13, false, "Big endian", REG_DWORD_BIG_ENDIAN, std::string("\0\0\0\x01", 4)},
      {0, 14, false, "Nothing", REG_NONE, ""},
      {0, 15, true, "Gone", REG_NONE, ""},
      {0, 16, false, "Lines", REG_SZ, std::string("a\nb\0", 4)},
      {0, 21, false, "Path", REG_EXPAND_SZ, std::string("%H\xE9%\0", 5)},
      {0, 22, false, "List", REG_MULTI_SZ, std::string("a\0b\0\0", 5)},
  };
  return expected;
}

// The text-type hex lines of each version, appended under the first key.
std::u16string WithTextHex(bool unicode) {
  std::u16string text = kForms;
  const std::u16string key = u"[HKEY_CURRENT_USER\\Software\\Demo]\r\n";
  text += key;  // line 20: the same key again, so its values add to a second section
  text += unicode ? u"\"Path\"=hex(2):25,00,48,00,e9,00,25,00,00,00\r\n"
                    u"\"List\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
                  : u"\"Path\"=hex(2):25,48,e9,25,00\r\n"
                    u"\"List\"=hex(7):61,00,62,00,00\r\n";
  return text;
}

TEST(RegFileTest, ReadsEveryFormInEveryEncoding) {
  struct Case {
    const char* what;
    std::string bytes;
  };
  const std::u16string v5 = u"Windows Registry Editor Version 5.00\r\n" + WithTextHex(true);
  const std::u16string v4 = u"REGEDIT4\n" + WithTextHex(false);
  const Case cases[] = {
      {"5.00 UTF-16LE", Utf16Le(v5)},
      {"5.00 UTF-8", ToUtf8(v5)},
      {"5.00 UTF-8 with BOM", "\xEF\xBB\xBF" + ToUtf8(v5)},
      {"REGEDIT4", ToCodePage(v4)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RegFile file;
    RegError error;
    ASSERT_TRUE(ParseRegFile(c.bytes, &file, &error)) << error.message;
    ASSERT_EQ(file.keys.size(), 4u);
    EXPECT_EQ(file.keys[0].root, HKEY_CURRENT_USER);
    EXPECT_EQ(file.keys[0].path, "Software\\Demo");
    EXPECT_EQ(file.keys[0].line, 4);
    EXPECT_TRUE(file.keys[1].remove);
    EXPECT_EQ(file.keys[1].root, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(file.keys[1].path, "Software\\Old");
    EXPECT_FALSE(file.keys[2].remove);
    EXPECT_EQ(file.keys[2].path, "Software\\Other");  // trailing backslash dropped
    std::vector<RegValueOp> values = file.keys[0].values;
    values.insert(values.end(), file.keys[3].values.begin(), file.keys[3].values.end());
    ASSERT_EQ(values.size(), ExpectedForms().size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      const Expected& e = ExpectedForms()[i];
      SCOPED_TRACE(e.name);
      EXPECT_EQ(values[i].line, e.line);
      EXPECT_EQ(values[i].remove, e.remove);
      EXPECT_EQ(values[i].name, e.name);
      if (!e.remove) {
        EXPECT_EQ(values[i].type, e.type);
        EXPECT_EQ(values[i].data, e.data);
      }
    }
  }
}

TEST(RegFileTest, MalformedFilesNameTheirFirstBadLine) {
  struct Case {
    const char* what;
    std::string bytes;
    int line;
    const char* message;
  };
  const std::string head = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\A]\r\n";
  const Case cases[] = {
      {"no header", "[HKEY_CURRENT_USER\\A]\r\n", 1, "not a registry file"},
      {"unterminated name", head + "\"x\"=\"1\"\r\n\"y=1\r\n", 5, "unterminated string"},
      {"unterminated data", head + "\"x\"=\"1\r\n", 4, "unterminated string"},
      {"bad hex digit", head + "\"x\"=hex:00,0g\r\n", 4, "bad hex data"},
      {"bad hex on a continuation", head + "\"x\"=hex:00,\\\r\n  01,zz\r\n", 5, "bad hex data"},
      {"hex without commas", head + "\"x\"=hex:00 01\r\n", 4, "bad hex data"},
      {"continuation at the end", head + "\"x\"=hex:00,\\\r\n", 4, "end of the file"},
      {"odd UTF-16 list", head + "\"x\"=hex(7):41,00,42\r\n", 4, "odd length"},
      {"bad dword", head + "\"x\"=dword:123456789\r\n", 4, "bad dword"},
      {"unknown root", head + "[HKEY_NOWHERE\\A]\r\n", 4, "unknown root key 'HKEY_NOWHERE'"},
      {"unknown type", head + "\"x\"=qword:1\r\n", 4, "unknown value type"},
      {"value before a key", "REGEDIT4\n\"x\"=\"1\"\n", 2, "before the first [KEY]"},
      {"stray text", head + "hello\r\n", 4, "unexpected text"},
      {"root deletion", head + "[-HKEY_CURRENT_USER]\r\n", 4, "root key cannot be deleted"},
      {"long key name", head + "[HKCU\\" + std::string(256, 'k') + "]\r\n", 4, "255"},
      // Names the registry cannot store exactly: refused rather than let a
      // C string or the code page turn them into another entry's name.
      {"NUL in a value name", head + "\"a\\0b\"=-\r\n", 4, "NUL"},
      {"raw NUL in a value name", head + std::string("\"a\0b\"=\"x\"\r\n", 11), 4, "NUL"},
      {"NUL in a key path", head + std::string("[-HKEY_CURRENT_USER\\\0]\r\n", 24), 4, "NUL"},
      {"value name outside the code page", head + "\"\xE6\x97\xA5\xE6\x9C\xAC\"=-\r\n", 4,
       "Windows-1252"},
      {"key name outside the code page", head + "[-HKCU\\\xE6\x97\xA5\xE6\x9C\xAC]\r\n", 4,
       "Windows-1252"},
      {"key 513 levels deep", head + "[HKCU" + Repeat("\\k", 513) + "]\r\n", 4, "512 levels"},
      {"truncated UTF-16",
       Utf16Le(u"Windows Registry Editor Version 5.00\r\n\r\n[HKCU\\A]\r\n\"x\"=\"1\"")
           .substr(0, 107),
       4, "truncated UTF-16"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RegFile file;
    RegError error;
    ASSERT_FALSE(ParseRegFile(c.bytes, &file, &error));
    EXPECT_EQ(error.line, c.line);
    EXPECT_NE(error.message.find(c.message), std::string::npos) << error.message;
    EXPECT_EQ(error.message.rfind("line " + std::to_string(c.line) + ": ", 0), 0u) << error.message;
  }
}

// What hand-edited files and the platform's own exports hold, and the
// platform reads.
TEST(RegFileTest, ReadsWhatThePlatformAccepts) {
  struct Case {
    const char* what;
    std::string body;  // after the header and a [HKEY_CURRENT_USER\A] line
    std::string name;
    DWORD type;
    std::string data;
  };
  const Case cases[] = {
      // Bytes of any length: an odd one cannot be UTF-16, so it is kept.
      {"odd hex(2)", "\"x\"=hex(2):41,00,42\r\n", "x", REG_EXPAND_SZ, std::string("A\0B", 3)},
      {"odd hex(1)", "\"x\"=hex(1):41\r\n", "x", REG_SZ, "A"},
      {"blank line in a hex list", "\"x\"=hex:01,\\\r\n\r\n  02\r\n", "x", REG_BINARY, "\1\2"},
      {"comment in a hex list", "\"x\"=hex:01,\\\r\n  ; note\r\n  02\r\n", "x", REG_BINARY, "\1\2"},
      {"\"\" for the default value", "\"\"=\"d\"\r\n", "", REG_SZ, std::string("d\0", 2)},
      // One '?' per character the code page lacks, a surrogate pair included.
      {"emoji in text", "\"e\"=\"a\xF0\x9F\x98\x80\x62\"\r\n", "e", REG_SZ,
       std::string("a?b\0", 4)},
      {"emoji in UTF-16 hex", "\"e\"=hex(1):61,00,3d,d8,00,de,00,00\r\n", "e", REG_SZ,
       std::string("a?\0", 3)},
      // Not UTF-8 and no byte-order mark: the code page.
      {"not UTF-8", "\"\xE9\"=\"caf\xE9\"\r\n", "\xE9", REG_SZ, std::string("caf\xE9\0", 5)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RegFile file;
    RegError error;
    const bool parsed = ParseRegFile(
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\A]\r\n" + c.body, &file,
        &error);
    EXPECT_TRUE(parsed) << error.message;
    if (!parsed || file.keys.size() != 1 || file.keys[0].values.size() != 1) {
      ADD_FAILURE() << "not one key with one value";
      continue;
    }
    EXPECT_EQ(file.keys[0].values[0].name, c.name);
    EXPECT_EQ(file.keys[0].values[0].type, c.type);
    EXPECT_EQ(file.keys[0].values[0].data, c.data);
  }
}

TEST(RegFileTest, WritesWhatThePlatformEditorWrites) {
  RegFile file;
  file.keys.push_back({0, false, HKEY_CURRENT_USER, "Software\\Demo", {}});
  auto& v = file.keys[0].values;
  v.push_back({0, false, "", REG_SZ, std::string("a \"q\" \\\0", 8)});
  v.push_back({0, false, "n", REG_DWORD, std::string("\x10\x32\x54\x76", 4)});
  v.push_back({0, false, "e", REG_EXPAND_SZ, std::string("\xE9\0", 2)});
  v.push_back({0, false, "A", REG_BINARY, std::string(30, '\xAB')});
  v.push_back({0, false, "nl", REG_SZ, std::string("a\nb\0", 4)});
  file.keys.push_back({0, false, HKEY_LOCAL_MACHINE, "", {}});
  const std::string bytes = WriteRegFile(file);
  ASSERT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  const std::u16string text = FromUtf16Le(bytes);
  const std::u16string expected =
      u"Windows Registry Editor Version 5.00\r\n\r\n"
      u"[HKEY_CURRENT_USER\\Software\\Demo]\r\n"
      u"@=\"a \\\"q\\\" \\\\\"\r\n"
      u"\"n\"=dword:76543210\r\n"
      u"\"e\"=hex(2):e9,00,00,00\r\n"
      // 77 characters before the "\": 8 + 23 * 3; then 25 bytes a line.
      u"\"A\"=hex:ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,\\\r\n"
      u"  ab,ab,ab,ab,ab,ab,ab\r\n"
      u"\"nl\"=hex(1):61,00,0a,00,62,00,00,00\r\n"
      u"\r\n"
      u"[HKEY_LOCAL_MACHINE]\r\n\r\n";
  EXPECT_EQ(ToUtf8(text), ToUtf8(expected));
}

TEST(RegFileTest, WrittenFilesReadBackByteForByte) {
  std::string all_bytes;
  for (int b = 0; b < 256; ++b) all_bytes.push_back(static_cast<char>(b));
  RegFile file;
  file.keys.push_back({0, false, HKEY_CURRENT_USER, "K\xE9y \"\\ [x]", {}});
  auto& v = file.keys[0].values;
  const DWORD types[] = {REG_NONE,  REG_SZ,       REG_EXPAND_SZ, REG_BINARY, REG_DWORD,
                         REG_QWORD, REG_MULTI_SZ, REG_LINK,      0x12345};
  for (DWORD type : types) {
    for (const std::string& data :
         {std::string(), all_bytes, std::string("text\0", 5), std::string("\0\0", 2),
          std::string(1000, '\x7f'), std::string("1234", 4), std::string("12345678", 8)}) {
      const std::string name = "v" + std::to_string(v.size()) + " \"\\\xFF=\r\n";
      v.push_back({0, false, name, type, data});
    }
  }
  v.push_back({0, false, "", REG_SZ, std::string("x\0", 2)});
  RegFile back;
  RegError error;
  ASSERT_TRUE(ParseRegFile(WriteRegFile(file), &back, &error)) << error.message;
  ASSERT_EQ(back.keys.size(), 1u);
  EXPECT_EQ(back.keys[0].path, file.keys[0].path);
  ASSERT_EQ(back.keys[0].values.size(), v.size());
  for (std::size_t i = 0; i < v.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(back.keys[0].values[i].name, v[i].name);
    EXPECT_EQ(back.keys[0].values[i].type, v[i].type);
    EXPECT_EQ(back.keys[0].values[i].data, v[i].data);
  }
}

}  // namespace
}  // namespace ps::reg

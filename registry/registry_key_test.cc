#include "registry/registry_key.h"

#ifndef _WIN32
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/codepage.h"
#include "platform/registry/forwarding_registry_service.h"
#include "platform/registry/registry_service.h"
#include "testsupport/test_registry.h"

namespace ps {
namespace {

using platform::DWORD;
using platform::HKEY;
using platform::LONG;
using platform::REGSAM;

constexpr std::int32_t kHkcu = platform::HKEY_CURRENT_USER;
constexpr std::int32_t kHklm = platform::HKEY_LOCAL_MACHINE;
constexpr std::int32_t kKeyRead = 0x20019;
constexpr std::int32_t kKeyWrite = 0x20006;
constexpr std::int32_t kKeyAllAccess = 0xF003F;

#ifndef _WIN32
using TempDir = platform::TempRegistryDir;
#endif

// Passes every call on, counts the calls and the handles held, and fails on
// request.
class Recorder : public platform::ForwardingRegistryService {
 public:
  using ForwardingRegistryService::ForwardingRegistryService;

  int open_handles = 0;
  LONG close_result = 0;       // non-zero: RegCloseKey refuses with it
  LONG data_query_result = 0;  // non-zero: a query with a buffer fails with it
  int calls = 0;

  LONG RegCreateKeyExA(HKEY hKey, const char* lpSubKey, DWORD Reserved, const char* lpClass,
                       DWORD dwOptions, REGSAM samDesired, const platform::SECURITY_ATTRIBUTES* sa,
                       HKEY* phkResult, DWORD* lpdwDisposition) override {
    const LONG rc = ForwardingRegistryService::RegCreateKeyExA(
        hKey, lpSubKey, Reserved, lpClass, dwOptions, samDesired, sa, phkResult, lpdwDisposition);
    if (rc == 0 && *phkResult > 0) ++open_handles;
    return rc;
  }
  LONG RegOpenKeyExA(HKEY hKey, const char* lpSubKey, DWORD ulOptions, REGSAM samDesired,
                     HKEY* phkResult) override {
    const LONG rc =
        ForwardingRegistryService::RegOpenKeyExA(hKey, lpSubKey, ulOptions, samDesired, phkResult);
    if (rc == 0 && *phkResult > 0) ++open_handles;
    return rc;
  }
  LONG RegCloseKey(HKEY hKey) override {
    if (close_result != 0) {
      ++calls;
      return close_result;
    }
    const LONG rc = ForwardingRegistryService::RegCloseKey(hKey);
    if (rc == 0 && hKey > 0) --open_handles;
    return rc;
  }
  LONG RegQueryValueExA(HKEY hKey, const char* lpValueName, DWORD* lpReserved, DWORD* lpType,
                        unsigned char* lpData, DWORD* lpcbData) override {
    if (lpData != nullptr && data_query_result != 0) {
      ++calls;
      return data_query_result;
    }
    return ForwardingRegistryService::RegQueryValueExA(hKey, lpValueName, lpReserved, lpType,
                                                       lpData, lpcbData);
  }

 protected:
  RegistryService* target() override {
    ++calls;
    return ForwardingRegistryService::target();
  }
};

void ExpectError(const std::function<void()>& call, std::int32_t number,
                 const std::u16string& source, const std::u16string& description) {
  try {
    call();
    ADD_FAILURE() << "no error raised; expected " << number << " " << ToUtf8(description);
  } catch (const Error& e) {
    EXPECT_EQ(e.Number(), number);
    EXPECT_EQ(ToUtf8(e.Source()), ToUtf8(source));
    EXPECT_EQ(ToUtf8(e.Description()), ToUtf8(description));
  }
}

#ifdef _WIN32
// Names as the system's registry enumerates them: Wine keeps values and
// subkeys sorted without regard to case (real Windows documents no order).
constexpr bool kSortedEnumeration = true;
// It has HKEY_CLASSES_ROOT too; our Linux store has only the user and machine roots.
constexpr bool kHasClassesRoot = true;
#else
// Our store lists values in the order they were created, subkeys sorted.
constexpr bool kSortedEnumeration = false;
constexpr bool kHasClassesRoot = false;
#endif

// `created` (value names, in the order they were created) in the registry's
// enumeration order.
std::vector<std::u16string> InEnumerationOrder(std::vector<std::u16string> created) {
  if (kSortedEnumeration) {
    auto lower = [](std::u16string s) {
      for (char16_t& c : s) c = c >= u'A' && c <= u'Z' ? c + 32 : c;
      return s;
    };
    std::stable_sort(created.begin(), created.end(),
                     [&](const auto& a, const auto& b) { return lower(a) < lower(b); });
  }
  return created;
}

std::vector<std::u16string> Names(const Variant& v) {
  return v.IsArray() ? v.Elements() : std::vector<std::u16string>{};
}

class RegistryKeyTest : public ::testing::Test {
 protected:
  RegistryKeyTest() : recorder_(&store()), scope_(&recorder_) {}

  // The registry under test: the platform's own store, one per test.
  platform::RegistryService& store() { return registry_.service(); }

  // A key set up directly through the service, for data the class cannot write.
  HKEY RawKey(const char* path) {
    HKEY key = 0;
    EXPECT_EQ(store().RegCreateKeyExA(platform::HKEY_CURRENT_USER, path, 0, "", 0,
                                      platform::KEY_ALL_ACCESS, nullptr, &key, nullptr),
              0);
    raw_.push_back(key);
    return key;
  }
  void RawSet(HKEY key, const std::string& name, DWORD type, const std::string& data) {
    ASSERT_EQ(store().RegSetValueExA(key, name.c_str(), 0, type,
                                     reinterpret_cast<const unsigned char*>(data.data()),
                                     static_cast<DWORD>(data.size())),
              0);
  }
  std::string RawGet(HKEY key, const std::string& name, DWORD* type = nullptr) {
    DWORD size = 0;
    if (store().RegQueryValueExA(key, name.c_str(), nullptr, type, nullptr, &size) != 0) {
      return "<missing>";
    }
    std::string data(size, '\0');
    store().RegQueryValueExA(key, name.c_str(), nullptr, type,
                             reinterpret_cast<unsigned char*>(data.data()), &size);
    return data;
  }
  bool Exists(const char* path) {
    HKEY key = 0;
    const bool found =
        store().RegOpenKeyExA(platform::HKEY_CURRENT_USER, path, 0, kKeyRead, &key) == 0;
    if (found) store().RegCloseKey(key);
    return found;
  }
  void Open(RegistryKey& key, const char* path, std::int32_t rights = kKeyAllAccess,
            std::int32_t root = kHkcu) {
    std::u16string p = FromCodePage(path);
    key.OpenKey(root, p, rights);
  }
  void TearDown() override {
    for (HKEY key : raw_) store().RegCloseKey(key);
  }

  platform::TestRegistry registry_;
  Recorder recorder_;
  platform::ScopedRegistryService scope_;
  std::vector<HKEY> raw_;
};

TEST_F(RegistryKeyTest, NewObjectHoldsNothing) {
  RegistryKey key;
  EXPECT_EQ(key.handle(), 0);
  key.CloseKey();
  EXPECT_EQ(recorder_.calls, 0);
  EXPECT_FALSE(key.LastError().has_value());
}

TEST_F(RegistryKeyTest, CreateKey) {
  RawKey("Existing");
  struct Case {
    const char* what;
    std::int32_t root;
    std::u16string path;
    std::int16_t result;
    bool open;
  } cases[] = {
      {"new key, intermediate keys too", kHkcu, u"Fresh\\Deep\\Key", RegistryKey::kTrue, true},
      {"existing key", kHkcu, u"EXISTING", RegistryKey::kFalse, true},
      {"HKEY_CLASSES_ROOT", static_cast<std::int32_t>(0x80000000u), u"X",
       kHasClassesRoot ? RegistryKey::kTrue : RegistryKey::kFalse, kHasClassesRoot},
      {"leading backslash", kHkcu, u"\\X", RegistryKey::kFalse, false},
      {"no root", 0, u"X", RegistryKey::kFalse, false},
  };
  RegistryKey key;
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::u16string cls = u"class";
    EXPECT_EQ(key.CreateKey(c.root, c.path, cls, 0, kKeyAllAccess), c.result);
    EXPECT_EQ(key.handle() != 0, c.open);
    // The previous key was released first, also when this one failed.
    EXPECT_EQ(recorder_.open_handles, c.open ? 1 : 0);
  }
  EXPECT_TRUE(Exists("Fresh\\Deep"));
}

TEST_F(RegistryKeyTest, TextsComeBackThroughTheCodePage) {
  RegistryKey key;
  std::u16string path = u"Caf\u00e9 \u20ac \u03a9";  // omega is not in the code page
  std::u16string cls = u"\u0436";
  key.CreateKey(kHkcu, path, cls, 0, kKeyAllAccess);
  EXPECT_EQ(path, u"Caf\u00e9 \u20ac ?");
  EXPECT_EQ(cls, u"?");
  EXPECT_TRUE(Exists("Caf\xe9 \x80 ?"));
  std::u16string name = u"\u03a9\u00ff";
  key.set_value(name, Variant(u"x"));
  EXPECT_EQ(name, u"?\u00ff");
  name = u"\u03a9\u00ff";
  EXPECT_EQ(key.value(name).AsText(), u"x");
  EXPECT_EQ(name, u"?\u00ff");
}

TEST_F(RegistryKeyTest, OpenKey) {
  RawKey("Present");
  struct Case {
    const char* what;
    const char* path;
    std::int32_t rights;
    bool open;
    bool exists_after;
  } cases[] = {
      {"missing, exactly KEY_WRITE: created", "Missing1", kKeyWrite, true, true},
      {"missing, KEY_ALL_ACCESS", "Missing2", kKeyAllAccess, false, false},
      {"missing, KEY_WRITE and more", "Missing3", kKeyWrite | 1, false, false},
      {"missing, KEY_READ", "Missing4", kKeyRead, false, false},
      {"present, KEY_READ", "Present", kKeyRead, true, true},
      {"present, exactly KEY_WRITE", "present", kKeyWrite, true, true},
  };
  RegistryKey key;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Open(key, c.path, c.rights);
    EXPECT_EQ(key.handle() != 0, c.open);
    EXPECT_EQ(Exists(c.path), c.exists_after);
    EXPECT_EQ(recorder_.open_handles, c.open ? 1 : 0);
  }
  // The key created for KEY_WRITE is held with KEY_WRITE: it writes but cannot be read.
  Open(key, "Missing1", kKeyWrite);
  std::u16string name = u"v";
  key.set_value(name, Variant(u"w"));
  EXPECT_EQ(key.value(name).AsText(), u"");
  EXPECT_EQ(key.LastError()->Number(), 5);
}

TEST_F(RegistryKeyTest, AnotherObjectsHandleAsRoot) {
  RegistryKey outer, inner;
  Open(outer, "Outer", kKeyWrite);
  ASSERT_NE(outer.handle(), 0);
  Open(inner, "Inner", kKeyWrite, outer.handle());
  ASSERT_NE(inner.handle(), 0);
  EXPECT_NE(inner.handle(), outer.handle());
  EXPECT_TRUE(Exists("Outer\\Inner"));
  outer.CloseKey();
  std::u16string name = u"still";
  inner.set_value(name, Variant(1));
  EXPECT_EQ(RawGet(RawKey("Outer\\Inner"), "still"), std::string("1\0", 2));
}

TEST_F(RegistryKeyTest, DestructionReleasesTheKey) {
  {
    RegistryKey key;
    Open(key, "Held", kKeyWrite);
    EXPECT_EQ(recorder_.open_handles, 1);
  }
  EXPECT_EQ(recorder_.open_handles, 0);
}

TEST_F(RegistryKeyTest, RefusedCloseRaisesAndKeepsTheHandle) {
  RegistryKey other;
  Open(other, "Other", kKeyWrite);
  auto key = std::make_unique<RegistryKey>();
  Open(*key, "Closing", kKeyWrite);
  const std::int32_t held = key->handle();
  recorder_.close_result = 6;
  const std::u16string source = u"RegistryKey.CloseKey";
  const std::u16string text = u"An error occurred while closing the registy key";
  ExpectError([&] { key->CloseKey(); }, 6, source, text);
  EXPECT_EQ(key->handle(), held);
  // Opening passes the error on and does nothing else.
  const int calls = recorder_.calls;
  std::int32_t root = other.handle();
  std::u16string path = u"Elsewhere";
  std::int32_t rights = kKeyRead;
  ExpectError([&] { key->OpenKey(root, path, rights); }, 6, source, text);
  std::u16string cls;
  ExpectError([&] { key->CreateKey(kHkcu, path, cls, 0, kKeyRead); }, 6, source, text);
  EXPECT_EQ(recorder_.calls, calls + 2);
  EXPECT_EQ(key->handle(), held);
  // Destruction reports the failure and carries on.
  ::testing::internal::CaptureStderr();
  key.reset();
  const std::string reported = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(reported.find("An error occurred while closing the registy key"), std::string::npos)
      << reported;
  recorder_.close_result = 0;
}

TEST_F(RegistryKeyTest, ValueReadShapes) {
  HKEY raw = RawKey("Reads");
  struct Case {
    const char* name;
    DWORD type;
    std::string data;
    std::u16string text;
  } cases[] = {
      {"terminated", platform::REG_SZ, std::string("abc\0", 4), u"abc"},
      {"unterminated", platform::REG_SZ, "abc", u"abc"},
      {"empty", platform::REG_SZ, "", u""},
      {"only terminator", platform::REG_SZ, std::string(1, '\0'), u""},
      {"dword 42", platform::REG_DWORD, std::string("\x2a\0\0\0", 4), std::u16string(u"*\0\0", 3)},
      {"multi", platform::REG_MULTI_SZ, std::string("a\0bc\0\0", 6), std::u16string(u"a\0bc\0", 5)},
      {"code page", platform::REG_BINARY, "\x80\xff", u"\u20ac\u00ff"},
      {"", platform::REG_SZ, std::string("default\0", 8), u"default"},
  };
  for (const Case& c : cases) RawSet(raw, c.name, c.type, c.data);
  RegistryKey key;
  Open(key, "Reads", kKeyRead);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::u16string name = FromCodePage(c.name);
    const Variant v = key.value(name);
    ASSERT_EQ(v.kind(), Variant::Kind::kText);
    EXPECT_EQ(v.AsText(), c.text);
    EXPECT_FALSE(key.LastError().has_value());
  }
}

TEST_F(RegistryKeyTest, FailedReadsGiveEmptyTextAndKeepTheLastError) {
  HKEY raw = RawKey("Fails");
  RawSet(raw, "v", platform::REG_SZ, std::string("data\0", 5));
  RegistryKey open, closed, no_query;
  Open(open, "Fails", kKeyRead);
  Open(no_query, "Fails", kKeyWrite);
  struct Case {
    const char* what;
    RegistryKey* key;
    const char16_t* name;
    LONG data_query_result;
    std::int32_t number;
  } cases[] = {
      {"missing value", &open, u"nope", 0, 2},
      {"no key open", &closed, u"v", 0, 6},
      {"no right to query", &no_query, u"v", 0, 5},
      {"only the data query fails", &open, u"v", 234, 234},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    recorder_.data_query_result = c.data_query_result;
    std::u16string name = c.name;
    const Variant v = c.key->value(name);
    ASSERT_EQ(v.kind(), Variant::Kind::kText);
    EXPECT_EQ(v.AsText(), u"");
    ASSERT_TRUE(c.key->LastError().has_value());
    EXPECT_EQ(c.key->LastError()->Number(), c.number);
    EXPECT_EQ(ToUtf8(c.key->LastError()->Source()), "RegistryKey.Get Value");
    EXPECT_EQ(ToUtf8(c.key->LastError()->Description()),
              "An error occurred while getting the registy value '" + ToUtf8(name) + "'");
  }
  recorder_.data_query_result = 0;
  // A good read clears what the last one left.
  std::u16string name = u"v";
  EXPECT_EQ(open.value(name).AsText(), u"data");
  EXPECT_FALSE(open.LastError().has_value());
}

TEST_F(RegistryKeyTest, ValueWrites) {
  HKEY raw = RawKey("Writes");
  RegistryKey key;
  Open(key, "Writes", kKeyWrite);
  struct Case {
    const char* name;
    Variant value;
    std::string stored;
  } cases[] = {
      {"number", Variant(42), std::string("42\0", 3)},
      {"fraction", Variant(2.5), std::string("2.5\0", 4)},
      {"empty text", Variant(u""), std::string(1, '\0')},
      {"empty variant", Variant(), std::string(1, '\0')},
      {"boolean", Variant(true), std::string("True\0", 5)},
      {"text", Variant(u"\u20ac1"),
       std::string("\x80"
                   "1\0",
                   3)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::u16string name = FromCodePage(c.name);
    key.set_value(name, c.value);
    DWORD type = 0;
    EXPECT_EQ(RawGet(raw, c.name, &type), c.stored);
    EXPECT_EQ(type, platform::REG_SZ);
  }
  // No text form: the conversion error, before the registry is touched.
  struct Bad {
    Variant value;
    std::int32_t number;
  } bad[] = {{Variant::Null(), 94}, {Variant::Array({u"a"}), 13}};
  for (const Bad& b : bad) {
    const int calls = recorder_.calls;
    std::u16string name = u"bad";
    EXPECT_THROW(
        {
          try {
            key.set_value(name, b.value);
          } catch (const Error& e) {
            EXPECT_EQ(e.Number(), b.number);
            throw;
          }
        },
        Error);
    EXPECT_EQ(recorder_.calls, calls);
  }
  EXPECT_EQ(RawGet(raw, "bad"), "<missing>");
}

TEST_F(RegistryKeyTest, RefusedWritesRaise) {
  HKEY raw = RawKey("Refused");
  RawSet(raw, "v", platform::REG_SZ, std::string("kept\0", 5));
  RegistryKey closed, read_only;
  Open(read_only, "Refused", kKeyRead);
  struct Case {
    const char* what;
    RegistryKey* key;
    std::int32_t number;
  } cases[] = {{"no key open", &closed, 6}, {"opened for reading", &read_only, 5}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::u16string name = u"v";
    ExpectError([&] { c.key->set_value(name, Variant(u"lost")); }, c.number,
                u"RegistryKey.Set Value", u"Unable to set registry value 'v'");
    EXPECT_EQ(RawGet(raw, "v"), std::string("kept\0", 5));
  }
}

TEST_F(RegistryKeyTest, DeleteValue) {
  HKEY raw = RawKey("DelValue");
  RawSet(raw, "v", platform::REG_SZ, "x");
  RegistryKey key, closed, read_only;
  Open(key, "DelValue", kKeyWrite);
  Open(read_only, "DelValue", kKeyRead);
  std::u16string name = u"V";
  key.DeleteValue(name);
  EXPECT_EQ(RawGet(raw, "v"), "<missing>");
  // Binary data comes back as it went in: a text without its terminator
  // would come back with one from the system's registry.
  RawSet(raw, "v", platform::REG_BINARY, "x");
  struct Case {
    RegistryKey* key;
    const char16_t* name;
    std::int32_t number;
  } cases[] = {{&key, u"nope", 2}, {&closed, u"v", 6}, {&read_only, u"v", 5}};
  for (const Case& c : cases) {
    std::u16string n = c.name;
    ExpectError([&] { c.key->DeleteValue(n); }, c.number, u"RegistryKey.DeleteValue",
                u"Unable to delete registry value '" + n + u"'");
  }
  EXPECT_EQ(RawGet(raw, "v"), "x");
}

TEST_F(RegistryKeyTest, Listings) {
  HKEY none = RawKey("List\\None");
  HKEY only_default = RawKey("List\\OnlyDefault");
  RawSet(only_default, "", platform::REG_SZ, "d");
  HKEY both = RawKey("List\\Both");
  RawSet(both, "A", platform::REG_SZ, "1");
  RawSet(both, "", platform::REG_SZ, "d");
  RawSet(both, "B", platform::REG_SZ, "2");
  HKEY names = RawKey("List\\Names");
  RawSet(names, "a long name first", platform::REG_SZ, "");
  RawSet(names, "S", platform::REG_SZ, "");
  RawKey("List\\Both\\zeta");
  RawKey("List\\Both\\Alpha");
  (void)none;
  struct Case {
    const char* path;
    std::vector<std::u16string> value_names, sub_value_names, sub_key_names;
  } cases[] = {
      {"List\\None", {}, {}, {}},
      {"List\\OnlyDefault", {}, {u""}, {}},
      {"List\\Both", {u"A", u"B"}, InEnumerationOrder({u"A", u"", u"B"}), {u"Alpha", u"zeta"}},
      {"List\\Names", {u"a long name first", u"S"}, {u"a long name first", u"S"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    RegistryKey key;
    Open(key, c.path, kKeyRead);
    const Variant values = key.ValueNames();
    const Variant sub_values = key.SubValueNames();
    const Variant sub_keys = key.SubKeyNames();
    for (const Variant* v : {&values, &sub_values, &sub_keys}) ASSERT_TRUE(v->IsArray());
    EXPECT_EQ(values.Elements(), c.value_names);
    EXPECT_EQ(sub_values.Elements(), c.sub_value_names);
    EXPECT_EQ(sub_keys.Elements(), c.sub_key_names);
    // No names: an array without bounds.
    EXPECT_EQ(values.HasBounds(), !c.value_names.empty());
    EXPECT_EQ(sub_keys.HasBounds(), !c.sub_key_names.empty());
    if (sub_keys.HasBounds()) {
      EXPECT_EQ(sub_keys.LBound(), 1);
    }
  }
}

TEST_F(RegistryKeyTest, FailedListings) {
  HKEY raw = RawKey("Long");
  RegistryKey closed, no_rights, long_value, long_short;
  Open(no_rights, "Long", 0);
  ExpectError([&] { closed.ValueNames(); }, 6, u"RegistryKey.GetValues",
              u"Unable to retrieve value names for registry key");
  ExpectError([&] { no_rights.ValueNames(); }, 5, u"RegistryKey.GetValues",
              u"Unable to retrieve value names for registry key");
  struct Case {
    const char* what;
    RegistryKey* key;
    bool keys;
    std::int32_t number;
  } cases[] = {
      {"subkeys, no key open", &closed, true, 6},
      {"values, no key open", &closed, false, 6},
      {"subkeys, no right to list", &no_rights, true, 5},
      {"values, no right to query", &no_rights, false, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Variant v = c.keys ? c.key->SubKeyNames() : c.key->SubValueNames();
    EXPECT_TRUE(v.IsEmpty());
    ASSERT_TRUE(c.key->LastError().has_value());
    EXPECT_EQ(c.key->LastError()->Number(), c.number);
    EXPECT_EQ(ToUtf8(c.key->LastError()->Source()), "RegistryKey.GetValues");
  }
  // Name lengths at and past the capacities offered: 4096 for ValueNames, 512 for SubValueNames.
  Open(long_value, "Long", kKeyRead);
  RawSet(raw, std::string(4095, 'a'), platform::REG_SZ, "");
  RawSet(raw, std::string(511, 'b'), platform::REG_SZ, "");
  EXPECT_EQ(Names(long_value.ValueNames()).size(), 2u);
  EXPECT_EQ(Names(long_value.SubValueNames()), std::vector<std::u16string>{});  // 4095 > 512
  RawSet(raw, std::string(4096, 'c'), platform::REG_SZ, "");
  ExpectError([&] { long_value.ValueNames(); }, 234, u"RegistryKey.GetValues",
              u"Unable to retrieve value names for registry key");
  HKEY short_key = RawKey("Short");
  RawSet(short_key, std::string(511, 'b'), platform::REG_SZ, "");
  Open(long_short, "Short", kKeyRead);
  EXPECT_EQ(Names(long_short.SubValueNames()),
            std::vector<std::u16string>{std::u16string(511, u'b')});
  RawSet(short_key, std::string(512, 'd'), platform::REG_SZ, "");
  EXPECT_TRUE(long_short.SubValueNames().IsEmpty());
  EXPECT_EQ(long_short.LastError()->Number(), 234);
}

TEST_F(RegistryKeyTest, ListingsCollectEveryName) {
  constexpr int kNames = 32770;
  HKEY raw = RawKey("Many");
  for (int i = 0; i < kNames; ++i) {
    RawSet(raw, "v" + std::to_string(i), platform::REG_DWORD, std::string(4, '\0'));
  }
  for (int i = 0; i < kNames; ++i) {
    HKEY sub = 0;
    ASSERT_EQ(store().RegCreateKeyExA(raw, ("k" + std::to_string(100000 + i)).c_str(), 0, "", 0,
                                      kKeyRead, nullptr, &sub, nullptr),
              0);
    store().RegCloseKey(sub);
  }
  RegistryKey key;
  Open(key, "Many", kKeyRead);
  const Variant values = key.ValueNames();
  const Variant sub_values = key.SubValueNames();
  const Variant sub_keys = key.SubKeyNames();
  ASSERT_EQ(values.UBound(), kNames);
  ASSERT_EQ(sub_values.UBound(), kNames);
  ASSERT_EQ(sub_keys.UBound(), kNames);
  std::vector<std::u16string> created;
  for (int i = 0; i < kNames; ++i) created.push_back(FromCodePage("v" + std::to_string(i)));
  const std::vector<std::u16string> order = InEnumerationOrder(created);
  EXPECT_EQ(values.Element(kNames), order[kNames - 1]);  // v32769 when kept in creation order
  EXPECT_EQ(sub_values.Element(32767), order[32766]);    // v32766 likewise
  EXPECT_EQ(sub_keys.Element(kNames), u"k132769");
}

TEST_F(RegistryKeyTest, DeleteKeyAndSubKey) {
  RawKey("Tree\\Leaf");
  RawKey("Tree\\Branch\\Twig");
  RegistryKey key;
  Open(key, "Tree", kKeyRead);
  const std::int32_t held = key.handle();
  std::int32_t root = kHkcu;
  std::u16string path = u"Tree\\Missing";
  ExpectError([&] { key.DeleteKey(root, path); }, 2, u"RegistryKey.DeleteKey",
              u"Unable to delete registry key 'Tree\\Missing'");
  path = u"Tree\\Branch";
  ExpectError([&] { key.DeleteKey(root, path); }, 5, u"RegistryKey.DeleteKey",
              u"Unable to delete registry key 'Tree\\Branch'");
  EXPECT_EQ(key.handle(), held);  // the object's key plays no part
  path = u"TREE\\leaf";
  key.DeleteKey(root, path);
  EXPECT_FALSE(Exists("Tree\\Leaf"));
  // Below the open key; its rights do not matter.
  path = u"Branch\\Twig";
  key.DeleteSubKey(path);
  EXPECT_FALSE(Exists("Tree\\Branch\\Twig"));
  EXPECT_EQ(Names(key.SubKeyNames()), std::vector<std::u16string>{u"Branch"});
  RegistryKey closed;
  path = u"Branch";
  ExpectError([&] { closed.DeleteSubKey(path); }, 6, u"RegistryKey.DeleteSubKey",
              u"Unable to delete registry subkey 'Branch'");
  path = u"Nope";
  ExpectError([&] { key.DeleteSubKey(path); }, 2, u"RegistryKey.DeleteSubKey",
              u"Unable to delete registry subkey 'Nope'");
}

#ifndef _WIN32
// The SQLite store's own: its files' owners and the folder the environment
// names. (On Windows the registry's rights and location are the system's.)

// A process that may not change the machine root gets nothing created and
// every write refused, and reads what is there.
TEST_F(RegistryKeyTest, MachineRootAsAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  {
    platform::SqliteRegistry setup(platform::SqliteRegistry::LocationIn(registry_.dir()));
    HKEY key = 0;
    ASSERT_EQ(setup.RegCreateKeyExA(platform::HKEY_LOCAL_MACHINE, "Software\\Vendor", 0, "", 0,
                                    platform::KEY_ALL_ACCESS, nullptr, &key, nullptr),
              0);
    const unsigned char data[] = "machine";
    ASSERT_EQ(setup.RegSetValueExA(key, "v", 0, platform::REG_SZ, data, sizeof data), 0);
  }
  // The registries of this process hold no database open here: fork is safe.
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0) ::_exit(100);
    platform::SqliteRegistry registry(platform::SqliteRegistry::LocationIn(registry_.dir()));
    platform::ScopedRegistryService scope(&registry);
    int step = 0;
    auto check = [&](bool ok) {
      ++step;
      if (!ok) ::_exit(step);
    };
    RegistryKey key;
    std::u16string path = u"Software\\New";
    std::u16string cls;
    check(key.CreateKey(kHklm, path, cls, 0, kKeyAllAccess) == RegistryKey::kFalse);
    check(key.handle() == 0);
    std::int32_t root = kHklm;
    std::int32_t rights = kKeyWrite;
    key.OpenKey(root, path, rights);  // creation refused: nothing raised
    check(key.handle() == 0);
    path = u"Software\\Vendor";
    rights = kKeyRead;
    key.OpenKey(root, path, rights);
    check(key.handle() != 0);
    std::u16string name = u"v";
    check(key.value(name).AsText() == u"machine");
    try {
      key.set_value(name, Variant(u"changed"));
      check(false);
    } catch (const Error& e) {
      check(e.Number() == 5);
    }
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "first failing step (1-based)";
  platform::SqliteRegistry check(platform::SqliteRegistry::LocationIn(registry_.dir()));
  HKEY key = 0;
  EXPECT_EQ(check.RegOpenKeyExA(platform::HKEY_LOCAL_MACHINE, "Software\\New", 0, kKeyRead, &key),
            2);
}

// Without an override the class uses the process-wide registry, which the
// environment variable moves.
TEST_F(RegistryKeyTest, DefaultRegistryFollowsTheEnvironmentVariable) {
  TempDir elsewhere;
  const pid_t pid = ::fork();  // nothing is open yet in this process
  if (pid == 0) {
    ::setenv(platform::SqliteRegistry::kDirVariable, elsewhere.path().c_str(), 1);
    platform::ScopedRegistryService no_override(nullptr);
    RegistryKey key;
    std::u16string path = u"Software\\Default";
    std::u16string cls;
    key.CreateKey(kHkcu, path, cls, 0, kKeyAllAccess);
    std::u16string name = u"v";
    key.set_value(name, Variant(7));
    ::_exit(key.value(name).AsText() == u"7" ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  platform::SqliteRegistry there(platform::SqliteRegistry::LocationIn(elsewhere.path()));
  HKEY key = 0;
  ASSERT_EQ(
      there.RegOpenKeyExA(platform::HKEY_CURRENT_USER, "Software\\Default", 0, kKeyRead, &key), 0);
  char data[8];
  DWORD size = sizeof data;
  EXPECT_EQ(there.RegQueryValueExA(key, "v", nullptr, nullptr,
                                   reinterpret_cast<unsigned char*>(data), &size),
            0);
  EXPECT_EQ(std::string(data, size), std::string("7\0", 2));
}
#endif

}  // namespace
}  // namespace ps

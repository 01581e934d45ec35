#include "registry/reg_io.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "platform/registry/forwarding_registry_service.h"
#include "platform/registry/sqlite_registry.h"
#include "testsupport/temp_dir.h"

namespace ps::reg {
namespace {

using namespace platform;

// Passes every call to the real registry, failing the n-th value write (and
// the write-access probe when asked) the way a full disk or a refused right
// would.
class FailingRegistry : public ForwardingRegistryService {
 public:
  explicit FailingRegistry(RegistryService& real) : ForwardingRegistryService(&real) {}
  int fail_write = 0;  // 1-based; 0 never
  bool deny_probe = false;
  int writes = 0;

  LONG RegCreateKeyExA(HKEY k, const char* p, DWORD r, const char* c, DWORD o, REGSAM s,
                       const SECURITY_ATTRIBUTES* a, HKEY* h, DWORD* d) override {
    if (deny_probe && k == HKEY_LOCAL_MACHINE && p && !*p) return ERROR_ACCESS_DENIED;
    return ForwardingRegistryService::RegCreateKeyExA(k, p, r, c, o, s, a, h, d);
  }
  LONG RegSetValueExA(HKEY k, const char* n, DWORD r, DWORD t, const unsigned char* d,
                      DWORD c) override {
    if (++writes == fail_write) return ERROR_DISK_FULL;
    return ForwardingRegistryService::RegSetValueExA(k, n, r, t, d, c);
  }
};

// The same, passing batches on too, so that the import takes its batched path.
class FailingBatchRegistry : public FailingRegistry, public RegistryBatch {
 public:
  explicit FailingBatchRegistry(SqliteRegistry& real) : FailingRegistry(real), real_(real) {}
  LONG BeginBatch(HKEY root) override { return real_.BeginBatch(root); }
  LONG CommitBatch() override { return real_.CommitBatch(); }
  void AbortBatch() override { real_.AbortBatch(); }

 private:
  SqliteRegistry& real_;
};

class RegIoTest : public ::testing::Test {
 protected:
  RegIoTest() : registry_(SqliteRegistry::LocationIn(dir_.path())) {}

  void Set(HKEY root, const std::string& path, const std::string& name, DWORD type,
           const std::string& data) {
    HKEY key = 0;
    ASSERT_EQ(registry_.RegCreateKeyExA(root, path.c_str(), 0, "", 0, KEY_ALL_ACCESS, nullptr, &key,
                                        nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(registry_.RegSetValueExA(key, name.c_str(), 0, type,
                                       reinterpret_cast<const unsigned char*>(data.data()),
                                       static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
    registry_.RegCloseKey(key);
  }

  // Every type, odd data included, in a small tree on both roots.
  void Populate() {
    std::string all_bytes;
    for (int b = 0; b < 256; ++b) all_bytes.push_back(static_cast<char>(b));
    const DWORD types[] = {
        REG_NONE, REG_SZ,       REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_DWORD_BIG_ENDIAN,
        REG_LINK, REG_MULTI_SZ, REG_QWORD,     0x2000};
    const std::string datas[] = {"",
                                 all_bytes,
                                 std::string("plain\0", 6),
                                 std::string("\0", 1),
                                 std::string("a\0b\0\0", 5),
                                 "1234",
                                 "12345678",
                                 std::string(5000, 'x')};
    int n = 0;
    for (DWORD type : types) {
      for (const std::string& data : datas) {
        Set(HKEY_CURRENT_USER, "Software\\Demo", "v" + std::to_string(n++) + " \"\\\xE9", type,
            data);
      }
    }
    Set(HKEY_CURRENT_USER, "Software\\Demo", "", REG_SZ, std::string("default\0", 8));
    Set(HKEY_CURRENT_USER, "Software\\Demo\\Sub\\Deeper", "x", REG_DWORD, "\1\0\0\0");
    Set(HKEY_CURRENT_USER, "Software\\Demo\\Empty\xC4", "", REG_BINARY, "");
    Set(HKEY_LOCAL_MACHINE, "Software\\Machine", "m", REG_SZ, std::string("m\0", 2));
  }

  // The whole of both roots, as a canonical text.
  std::string Snapshot() {
    RegFile file;
    EXPECT_EQ(ReadTree(registry_, HKEY_CURRENT_USER, "", &file), ERROR_SUCCESS);
    EXPECT_EQ(ReadTree(registry_, HKEY_LOCAL_MACHINE, "", &file), ERROR_SUCCESS);
    return WriteRegFile(file);
  }

  TempRegistryDir dir_;
  SqliteRegistry registry_;
};

TEST_F(RegIoTest, ExportThenImportGivesIdenticalValues) {
  Populate();
  RegFile before;
  ASSERT_EQ(ReadTree(registry_, HKEY_CURRENT_USER, "Software", &before), ERROR_SUCCESS);
  std::string bytes;
  RegError error;
  ASSERT_TRUE(ExportTree(registry_, HKEY_CURRENT_USER, "Software", &bytes, &error));
  ASSERT_EQ(DeleteTree(registry_, HKEY_CURRENT_USER, "Software"), ERROR_SUCCESS);
  ASSERT_TRUE(ImportRegFile(registry_, bytes, &error)) << error.message;

  RegFile after;
  ASSERT_EQ(ReadTree(registry_, HKEY_CURRENT_USER, "Software", &after), ERROR_SUCCESS);
  ASSERT_EQ(after.keys.size(), before.keys.size());
  for (std::size_t k = 0; k < before.keys.size(); ++k) {
    EXPECT_EQ(after.keys[k].path, before.keys[k].path);
    ASSERT_EQ(after.keys[k].values.size(), before.keys[k].values.size());
    for (std::size_t i = 0; i < before.keys[k].values.size(); ++i) {
      const RegValueOp &a = after.keys[k].values[i], &b = before.keys[k].values[i];
      EXPECT_EQ(a.name, b.name);
      EXPECT_EQ(a.type, b.type) << b.name;
      EXPECT_EQ(a.data, b.data) << b.name;
    }
  }
  std::string again;
  ASSERT_TRUE(ExportTree(registry_, HKEY_CURRENT_USER, "Software", &again, &error));
  EXPECT_TRUE(again == bytes);
}

TEST_F(RegIoTest, MalformedFilesChangeNothing) {
  Populate();
  const std::string before = Snapshot();
  const std::string good =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[-HKEY_CURRENT_USER\\Software\\Demo\\Sub]\r\n"
      "[HKEY_CURRENT_USER\\Software\\Demo]\r\n\"v1 "
      "\\\"\\\\\xC3\xA9\"=\"changed\"\r\n\"new\"=dword:1\r\n";
  const struct {
    std::string tail;
    int line;
  } cases[] = {
      {"\"x\"=\"unterminated\r\n", 7},
      {"\"x\"=hex:01,02,zz\r\n", 7},
      {"[HKEY_SOMEWHERE\\Software]\r\n", 7},
      {"\"x\"=hex(7):41,00,\\\r\n  42\r\n", 7},
      // Names a C string or the code page would turn into another entry's.
      {"\"v1 \\\"\\\\\xC3\xA9\\0x\"=-\r\n", 7},
      {"\"\xE6\x97\xA5\xE6\x9C\xAC\"=-\r\n", 7},
      {"[-HKEY_CURRENT_USER\\Software\\\xE6\x97\xA5\xE6\x9C\xAC]\r\n", 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tail);
    RegError error;
    EXPECT_FALSE(ImportRegFile(registry_, good + c.tail, &error));
    EXPECT_EQ(error.line, c.line) << error.message;
    EXPECT_TRUE(Snapshot() == before);
  }
  // A UTF-16 file cut in the middle of a character.
  std::string utf16 = "\xFF\xFE";
  for (char c : good) utf16 += std::string{c, '\0'};
  RegError error;
  EXPECT_FALSE(ImportRegFile(registry_, utf16.substr(0, utf16.size() - 1), &error));
  EXPECT_EQ(error.line, 6) << error.message;
  EXPECT_TRUE(Snapshot() == before);
}

// A key name with a line break would write lines of its own into the file,
// and the file would then name keys and values that were never exported.
TEST_F(RegIoTest, ExportRefusesKeyNamesThatWouldReadBackAsOtherLines) {
  Populate();
  for (const std::string name :
       {"x\ny", "x\ry", "x]\r\n[HKEY_LOCAL_MACHINE\\Software\\Injected]\r\n\"v\"=\"1\""}) {
    SCOPED_TRACE(name);
    const std::string path = "Software\\Demo\\Sub\\" + name;
    Set(HKEY_CURRENT_USER, path, "v", REG_SZ, std::string("1\0", 2));
    std::string bytes;
    RegError error;
    EXPECT_FALSE(ExportTree(registry_, HKEY_CURRENT_USER, "Software", &bytes, &error));
    EXPECT_NE(error.message.find("Software\\Demo\\Sub\\x"), std::string::npos) << error.message;
    EXPECT_NE(error.message.find("line break"), std::string::npos) << error.message;
    ASSERT_EQ(DeleteTree(registry_, HKEY_CURRENT_USER,
                         "Software\\Demo\\Sub\\" + name.substr(0, name.find('\\'))),
              ERROR_SUCCESS);
  }
}

// Counts the key names that opens, creates and deletes walk through.
class CountingRegistry : public ForwardingRegistryService {
 public:
  explicit CountingRegistry(RegistryService& real) : ForwardingRegistryService(&real) {}
  long levels = 0;

  LONG RegCreateKeyExA(HKEY k, const char* p, DWORD r, const char* c, DWORD o, REGSAM s,
                       const SECURITY_ATTRIBUTES* a, HKEY* h, DWORD* d) override {
    Count(p);
    return ForwardingRegistryService::RegCreateKeyExA(k, p, r, c, o, s, a, h, d);
  }
  LONG RegOpenKeyExA(HKEY k, const char* p, DWORD o, REGSAM s, HKEY* h) override {
    Count(p);
    return ForwardingRegistryService::RegOpenKeyExA(k, p, o, s, h);
  }
  LONG RegDeleteKeyA(HKEY k, const char* p) override {
    Count(p);
    return ForwardingRegistryService::RegDeleteKeyA(k, p);
  }

 private:
  void Count(const char* path) {
    if (path && *path) levels += 1 + std::count(path, path + std::strlen(path), '\\');
  }
};

// Keys are at most 512 levels deep, and walking a deep tree costs the same
// per key as a flat one: each key is opened below its parent, never again
// from the root.
TEST_F(RegIoTest, DeepTreesAreCappedAndWalkedKeyByKey) {
  constexpr int kDepth = 512;
  std::string deepest = "Software";
  for (int i = 1; i < kDepth; ++i) deepest += "\\k";
  Set(HKEY_CURRENT_USER, deepest, "v", REG_DWORD, "\1\0\0\0");
  HKEY key = 0;
  EXPECT_EQ(registry_.RegCreateKeyExA(HKEY_CURRENT_USER, (deepest + "\\k").c_str(), 0, "", 0,
                                      KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_INVALID_PARAMETER);
  ASSERT_EQ(registry_.RegOpenKeyExA(HKEY_CURRENT_USER, deepest.c_str(), 0, KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  HKEY below = 0;
  EXPECT_EQ(registry_.RegCreateKeyExA(key, "k", 0, "", 0, KEY_ALL_ACCESS, nullptr, &below, nullptr),
            ERROR_INVALID_PARAMETER);
  registry_.RegCloseKey(key);

  CountingRegistry counting(registry_);
  const struct {
    const char* walk;
    std::function<LONG()> run;
  } walks[] = {
      {"read",
       [&] {
         RegFile tree;
         const LONG rc = ReadTree(counting, HKEY_CURRENT_USER, "Software", &tree);
         EXPECT_EQ(tree.keys.size(), static_cast<std::size_t>(kDepth));
         return rc;
       }},
      {"export",
       [&] {
         std::string bytes;
         RegError error;
         return ExportTree(counting, HKEY_CURRENT_USER, "Software", &bytes, &error) ? ERROR_SUCCESS
                                                                                    : error.code;
       }},
      {"delete", [&] { return DeleteTree(counting, HKEY_CURRENT_USER, "Software"); }},
  };
  for (const auto& w : walks) {
    SCOPED_TRACE(w.walk);
    counting.levels = 0;
    EXPECT_EQ(w.run(), ERROR_SUCCESS);
    EXPECT_LE(counting.levels, 3 * kDepth);  // from the root each time: 131,000
  }
  EXPECT_EQ(registry_.RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(RegIoTest, AFailureWhileApplyingUndoesEverything) {
  Populate();
  const std::string before = Snapshot();
  const std::string file =
      "REGEDIT4\n"
      "[-HKEY_CURRENT_USER\\Software\\Demo\\Sub]\n"
      "[HKEY_CURRENT_USER\\Software\\Demo]\n"
      "\"v2 \\\"\\\\\xE9\"=\"changed\"\n"
      "\"v3 \\\"\\\\\xE9\"=-\n"
      "@=-\n"
      "\"brand new\"=dword:00000007\n"
      "[HKEY_CURRENT_USER\\Software\\New\\Tree\\Below]\n"
      "\"a\"=\"1\"\n"
      "\"b\"=\"2\"\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Machine]\n"
      "\"m\"=hex:00\n";
  for (const bool batched : {false, true}) {
    // Imports through a fresh failing registry set up by `arrange`; the
    // import must fail and change nothing.
    const auto fails = [&](const std::function<void(FailingRegistry&)>& arrange) {
      FailingBatchRegistry batching(registry_);
      FailingRegistry plain(registry_);
      FailingRegistry& failing = batched ? batching : plain;
      arrange(failing);
      RegError error;
      EXPECT_FALSE(ImportRegFile(failing, file, &error));
      EXPECT_TRUE(Snapshot() == before);
      return error;
    };
    for (int fail_at = 1; fail_at <= 5; ++fail_at) {
      SCOPED_TRACE(testing::Message() << "batched " << batched << " at " << fail_at);
      const RegError error = fails([&](FailingRegistry& r) { r.fail_write = fail_at; });
      EXPECT_EQ(error.code, ERROR_DISK_FULL);
      EXPECT_NE(error.message.find("Nothing was changed."), std::string::npos) << error.message;
    }
    const RegError error = fails([](FailingRegistry& r) { r.deny_probe = true; });
    EXPECT_EQ(error.line, 11) << error.message;
    EXPECT_EQ(error.code, ERROR_ACCESS_DENIED);
  }
  RegError error;
  // And with nothing failing, all of it lands.
  ASSERT_TRUE(ImportRegFile(registry_, file, &error)) << error.message;
  EXPECT_FALSE(Snapshot() == before);
  RegFile tree;
  EXPECT_EQ(ReadTree(registry_, HKEY_CURRENT_USER, "Software\\Demo\\Sub", &tree),
            ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(ReadTree(registry_, HKEY_CURRENT_USER, "Software\\New", &tree), ERROR_SUCCESS);
  EXPECT_EQ(tree.keys.back().values.size(), 2u);
}

}  // namespace
}  // namespace ps::reg

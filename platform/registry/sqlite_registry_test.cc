#include "platform/registry/sqlite_registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport/temp_dir.h"

namespace ps::platform {
namespace {

using TempDir = TempRegistryDir;

// Runs `body` in a child process and returns its exit code (-signal when it
// was killed). SQLite connections must not cross fork(): callers fork only
// while this process holds no registry open on the same files.
int InChild(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// InChild with a mount table of its own, so that what the child mounts
// (root only) vanishes with it.
int InPrivateMounts(const std::function<int()>& body) {
  return InChild([&] {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return 99;
    }
    return body();
  });
}

// Fills the file system that holds `dir` to the last byte.
void FillFileSystem(const std::string& dir) {
  const int fd = ::open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const std::string chunk(1 << 16, 'f');
  for (std::size_t n = chunk.size(); n > 0; n /= 2) {
    while (::write(fd, chunk.data(), n) == static_cast<ssize_t>(n)) {
    }
  }
  ::close(fd);
}

// A step of a scripted run in a child process: what a call returned, and
// what it should have.
struct Step {
  LONG got;
  LONG want;
};

// 0 when every step got what it wanted, else the first failing step's number
// (1-based): a child's exit code.
int FirstFailingStep(std::initializer_list<Step> steps) {
  int number = 0;
  for (const Step& step : steps) {
    ++number;
    if (step.got != step.want) return number;
  }
  return 0;
}

std::string Bytes(const void* data, DWORD size) {
  return std::string(static_cast<const char*>(data), size);
}

class RegistryTest : public ::testing::Test {
 protected:
  SqliteRegistry::Location location() const { return SqliteRegistry::LocationIn(dir_.path()); }

  HKEY Create(SqliteRegistry& reg, const char* path, REGSAM rights = KEY_ALL_ACCESS,
              DWORD* disposition = nullptr, DWORD options = 0) {
    HKEY key = 0;
    const LONG rc = reg.RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, "", options, rights, nullptr,
                                        &key, disposition);
    EXPECT_EQ(rc, ERROR_SUCCESS) << path;
    return key;
  }
  static LONG Set(SqliteRegistry& reg, HKEY key, const char* name, DWORD type,
                  const std::string& data) {
    return reg.RegSetValueExA(key, name, 0, type,
                              reinterpret_cast<const unsigned char*>(data.data()),
                              static_cast<DWORD>(data.size()));
  }
  // The value's type and bytes; the code on failure.
  static LONG Get(SqliteRegistry& reg, HKEY key, const char* name, DWORD* type, std::string* out) {
    DWORD size = 0;
    LONG rc = reg.RegQueryValueExA(key, name, nullptr, type, nullptr, &size);
    if (rc != ERROR_SUCCESS) return rc;
    std::string buffer(size, '\0');
    rc = reg.RegQueryValueExA(key, name, nullptr, type,
                              reinterpret_cast<unsigned char*>(buffer.data()), &size);
    *out = buffer.substr(0, size);
    return rc;
  }
  static std::string Get(SqliteRegistry& reg, HKEY key, const char* name) {
    DWORD type = 0;
    std::string out;
    return Get(reg, key, name, &type, &out) == ERROR_SUCCESS ? out : "<missing>";
  }
  static std::vector<std::string> Subkeys(SqliteRegistry& reg, HKEY key) {
    std::vector<std::string> names;
    char name[512];
    for (DWORD i = 0; reg.RegEnumKeyA(key, i, name, sizeof name) == ERROR_SUCCESS; ++i) {
      names.emplace_back(name);
    }
    return names;
  }
  static std::vector<std::string> Values(SqliteRegistry& reg, HKEY key) {
    std::vector<std::string> names;
    char name[512];
    for (DWORD i = 0;; ++i) {
      DWORD length = sizeof name;
      if (reg.RegEnumValueA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS) {
        break;
      }
      names.emplace_back(name, length);
    }
    return names;
  }

  // Checks that calls of every kind on HKEY_CURRENT_USER answer `code`, each
  // twice; returns what was printed on standard error meanwhile.
  static std::string EveryCallAnswers(const SqliteRegistry::Location& where, LONG code) {
    testing::internal::CaptureStderr();
    {
      SqliteRegistry reg(where);
      for (int call = 0; call < 2; ++call) {
        HKEY key = 77;
        EXPECT_EQ(reg.RegCreateKeyExA(HKEY_CURRENT_USER, "x", 0, "", 0, KEY_ALL_ACCESS, nullptr,
                                      &key, nullptr),
                  code);
        EXPECT_EQ(reg.RegOpenKeyExA(HKEY_CURRENT_USER, "Filled", 0, KEY_READ, &key), code);
        EXPECT_EQ(Set(reg, HKEY_CURRENT_USER, "v", REG_SZ, "1"), code);
        char name[16];
        EXPECT_EQ(reg.RegEnumKeyA(HKEY_CURRENT_USER, 0, name, sizeof name), code);
      }
    }
    return testing::internal::GetCapturedStderr();
  }

  TempDir dir_;
};

TEST_F(RegistryTest, ReturnCodesOfTheNineFunctions) {
  SqliteRegistry reg(location());
  HKEY key = Create(reg, "Software\\Codes");
  HKEY closed = Create(reg, "Software\\Codes");
  ASSERT_EQ(reg.RegCloseKey(closed), ERROR_SUCCESS);
  char name[16];
  DWORD length = sizeof name;
  DWORD size = 0;
  HKEY out = 77;
  const unsigned char data[] = "x";
  for (HKEY bad : {HKEY{0}, closed, HKEY_CLASSES_ROOT, HKEY_USERS, HKEY{12345}}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(reg.RegCreateKeyExA(bad, "a", 0, "", 0, KEY_ALL_ACCESS, nullptr, &out, nullptr),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(reg.RegOpenKeyExA(bad, "a", 0, KEY_READ, &out), ERROR_INVALID_HANDLE);
    EXPECT_EQ(reg.RegCloseKey(bad), ERROR_INVALID_HANDLE);
    EXPECT_EQ(reg.RegQueryValueExA(bad, "v", nullptr, nullptr, nullptr, &size),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(reg.RegSetValueExA(bad, "v", 0, REG_SZ, data, 2), ERROR_INVALID_HANDLE);
    EXPECT_EQ(reg.RegDeleteValueA(bad, "v"), ERROR_INVALID_HANDLE);
    EXPECT_EQ(reg.RegEnumValueA(bad, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(reg.RegEnumKeyA(bad, 0, name, sizeof name), ERROR_INVALID_HANDLE);
    EXPECT_EQ(reg.RegDeleteKeyA(bad, "a"), ERROR_INVALID_HANDLE);
  }
  struct Case {
    const char* what;
    LONG got;
    LONG want;
  } cases[] = {
      {"close predefined", reg.RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS},
      {"open missing", reg.RegOpenKeyExA(key, "Nope", 0, KEY_READ, &out), ERROR_FILE_NOT_FOUND},
      {"leading backslash open",
       reg.RegOpenKeyExA(HKEY_CURRENT_USER, "\\Software", 0, KEY_READ, &out), ERROR_BAD_PATHNAME},
      {"leading backslash create",
       reg.RegCreateKeyExA(key, "\\x", 0, "", 0, KEY_READ, nullptr, &out, nullptr),
       ERROR_BAD_PATHNAME},
      {"create without result",
       reg.RegCreateKeyExA(key, "x", 0, "", 0, KEY_READ, nullptr, nullptr, nullptr), ERROR_BADKEY},
      {"create reserved", reg.RegCreateKeyExA(key, "x", 1, "", 0, KEY_READ, nullptr, &out, nullptr),
       ERROR_INVALID_PARAMETER},
      {"key name of 256",
       reg.RegCreateKeyExA(key, std::string(256, 'k').c_str(), 0, "", 0, KEY_READ, nullptr, &out,
                           nullptr),
       ERROR_INVALID_PARAMETER},
      {"open without result", reg.RegOpenKeyExA(key, "", 0, KEY_READ, nullptr),
       ERROR_INVALID_PARAMETER},
      {"query missing", reg.RegQueryValueExA(key, "nope", nullptr, nullptr, nullptr, &size),
       ERROR_FILE_NOT_FOUND},
      {"delete missing value", reg.RegDeleteValueA(key, "nope"), ERROR_FILE_NOT_FOUND},
      {"delete missing key", reg.RegDeleteKeyA(key, "nope"), ERROR_FILE_NOT_FOUND},
      {"delete null key", reg.RegDeleteKeyA(key, nullptr), ERROR_INVALID_PARAMETER},
      {"delete a root", reg.RegDeleteKeyA(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED},
      {"enum values past end",
       reg.RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
       ERROR_NO_MORE_ITEMS},
      {"enum keys past end", reg.RegEnumKeyA(key, 0, name, sizeof name), ERROR_NO_MORE_ITEMS},
      {"set from null data", reg.RegSetValueExA(key, "v", 0, REG_SZ, nullptr, 3), ERROR_NOACCESS},
      {"value name of 16384",
       reg.RegSetValueExA(key, std::string(16384, 'v').c_str(), 0, REG_SZ, data, 2),
       ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
  EXPECT_EQ(reg.RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(reg.RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, HandlesAndDispositions) {
  SqliteRegistry reg(location());
  DWORD disposition = 0;
  HKEY a = Create(reg, "Software\\Vendor\\App", KEY_ALL_ACCESS, &disposition);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  HKEY b = Create(reg, "software\\VENDOR\\app\\", KEY_READ, &disposition);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  HKEY c = 0;
  ASSERT_EQ(reg.RegOpenKeyExA(a, "", 0, KEY_READ, &c), ERROR_SUCCESS);
  HKEY root = 0;
  ASSERT_EQ(reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, &root), ERROR_SUCCESS);
  EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
  for (HKEY h : {a, b, c}) {
    EXPECT_GT(h, 0);
    EXPECT_LT(h, 1 << 16);
  }
  EXPECT_NE(a, b);
  EXPECT_NE(b, c);
  EXPECT_NE(a, c);
  // Missing intermediate keys were created; repeated separators collapse.
  HKEY mid = 0;
  EXPECT_EQ(reg.RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\\\Vendor", 0, KEY_READ, &mid),
            ERROR_SUCCESS);
  EXPECT_EQ(Subkeys(reg, mid), std::vector<std::string>{"App"});
  // A handle serves as a root; what is created below it is seen from the top.
  HKEY child = 0;
  ASSERT_EQ(reg.RegCreateKeyExA(a, "Deep\\Er", 0, "cls", 0, KEY_ALL_ACCESS, nullptr, &child,
                                &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  HKEY again = 0;
  EXPECT_EQ(
      reg.RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\vendor\\APP\\deep\\ER", 0, KEY_READ, &again),
      ERROR_SUCCESS);
  // Numbers stay small, and a closed one is not handed out again at once.
  for (int i = 0; i < 3000; ++i) {
    HKEY h = 0;
    ASSERT_EQ(reg.RegOpenKeyExA(a, "", 0, KEY_READ, &h), ERROR_SUCCESS);
    ASSERT_NE(h, c);
    ASSERT_LT(h, 4 * 1100);
    ASSERT_EQ(reg.RegCloseKey(h), ERROR_SUCCESS);
    ASSERT_EQ(reg.RegCloseKey(h), ERROR_INVALID_HANDLE);
  }
  // The failed open writes back 0.
  HKEY missing = 99;
  EXPECT_EQ(reg.RegOpenKeyExA(a, "Nope", 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing, 0);
}

// Each handle's rights decide what it may do; a refused call changes nothing.
TEST_F(RegistryTest, RightsMatrix) {
  SqliteRegistry reg(location());
  HKEY setup = Create(reg, "Rights\\Key");
  ASSERT_EQ(Set(reg, setup, "v", REG_SZ, std::string("old\0", 4)), ERROR_SUCCESS);
  HKEY sub = Create(reg, "Rights\\Key\\Sub");
  reg.RegCloseKey(sub);
  constexpr LONG kOk = ERROR_SUCCESS;
  constexpr LONG kNo = ERROR_ACCESS_DENIED;
  struct Row {
    REGSAM rights;
    LONG query, enum_values, set, del, enum_keys;
  } rows[] = {
      {0, kNo, kNo, kNo, kNo, kNo},
      {KEY_QUERY_VALUE, kOk, kOk, kNo, kNo, kNo},
      {KEY_SET_VALUE, kNo, kNo, kOk, kOk, kNo},
      {KEY_ENUMERATE_SUB_KEYS, kNo, kNo, kNo, kNo, kOk},
      {KEY_READ, kOk, kOk, kNo, kNo, kOk},
      {KEY_WRITE, kNo, kNo, kOk, kOk, kNo},
      {KEY_ALL_ACCESS, kOk, kOk, kOk, kOk, kOk},
      {GENERIC_READ, kOk, kOk, kNo, kNo, kOk},
      {MAXIMUM_ALLOWED, kOk, kOk, kOk, kOk, kOk},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.rights);
    HKEY key = 0;
    ASSERT_EQ(reg.RegOpenKeyExA(HKEY_CURRENT_USER, "Rights\\Key", 0, row.rights, &key),
              ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(reg.RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, &size), row.query);
    char name[16];
    DWORD length = sizeof name;
    EXPECT_EQ(reg.RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              row.enum_values);
    EXPECT_EQ(reg.RegEnumKeyA(key, 0, name, sizeof name), row.enum_keys);
    EXPECT_EQ(Set(reg, key, "v", REG_SZ, std::string("new\0", 4)), row.set);
    EXPECT_EQ(Get(reg, setup, "v"), std::string(row.set == kOk ? "new" : "old") + '\0');
    EXPECT_EQ(reg.RegDeleteValueA(key, "v"), row.del);
    EXPECT_EQ(Get(reg, setup, "v") == "<missing>", row.del == kOk);
    ASSERT_EQ(Set(reg, setup, "v", REG_SZ, std::string("old\0", 4)), ERROR_SUCCESS);
    // Creating and deleting keys does not depend on the parent handle's rights.
    HKEY made = 0;
    EXPECT_EQ(reg.RegCreateKeyExA(key, "Made", 0, "", 0, KEY_READ, nullptr, &made, nullptr), kOk);
    reg.RegCloseKey(made);
    EXPECT_EQ(reg.RegDeleteKeyA(key, "Made"), kOk);
    reg.RegCloseKey(key);
  }
}

TEST_F(RegistryTest, EveryTypeStoredByteForByte) {
  SqliteRegistry reg(location());
  HKEY key = Create(reg, "Types");
  const std::string all_bytes = [] {
    std::string s;
    for (int i = 0; i < 256; ++i) s += static_cast<char>(i);
    return s;
  }();
  struct Case {
    const char* name;
    DWORD type;
    std::string data;
  } cases[] = {
      {"sz", REG_SZ, std::string("text\0", 5)},
      {"sz unterminated", REG_SZ, "text"},
      {"sz empty", REG_SZ, ""},
      {"sz only zero", REG_SZ, std::string(1, '\0')},
      {"expand", REG_EXPAND_SZ, std::string("%PATH%\0", 7)},
      {"binary", REG_BINARY, all_bytes},
      {"dword", REG_DWORD, std::string("\x2a\0\0\0", 4)},
      {"multi", REG_MULTI_SZ, std::string("a\0bc\0\0", 6)},
      {"qword", REG_QWORD, std::string("\1\2\3\4\5\6\7\x80", 8)},
      {"none", REG_NONE, ""},
      {"odd type", 0x12345678, "x"},
      {"", REG_SZ, std::string("default\0", 8)},
      {"Caf\xe9 \x8a\x9f", REG_BINARY, "\xff"},
      // Larger than what the lookup cache keeps.
      {"large", REG_BINARY,
       [&] {
         std::string s;
         for (int i = 0; i < 4096; ++i) s += all_bytes;
         return s;
       }()},
  };
  for (const Case& c : cases) ASSERT_EQ(Set(reg, key, c.name, c.type, c.data), ERROR_SUCCESS);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DWORD type = 0;
    std::string data;
    ASSERT_EQ(Get(reg, key, c.name, &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(data, c.data);
  }
  // Too small a buffer: 234, the size needed, the buffer untouched.
  unsigned char small[3] = {7, 7, 7};
  DWORD size = sizeof small;
  EXPECT_EQ(reg.RegQueryValueExA(key, "sz", nullptr, nullptr, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(small[0], 7);
  // Text stored without its zero gets one when there is room, not counted.
  unsigned char roomy[8];
  std::memset(roomy, 'x', sizeof roomy);
  size = sizeof roomy;
  EXPECT_EQ(reg.RegQueryValueExA(key, "sz unterminated", nullptr, nullptr, roomy, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(Bytes(roomy, 5), std::string("text\0", 5));
  // Enumeration hands back the data too.
  char name[32];
  DWORD length = sizeof name;
  DWORD type = 0;
  unsigned char data[8];
  size = sizeof data;
  EXPECT_EQ(reg.RegEnumValueA(key, 6, name, &length, nullptr, &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::string(name, length), "dword");
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(Bytes(data, size), std::string("\x2a\0\0\0", 4));
}

TEST_F(RegistryTest, NamesAreCaseInsensitiveAndCasePreserving) {
  SqliteRegistry reg(location());
  HKEY key = Create(reg, "Case\\\xc9t\xe9 \x8a\x8c\x8e\x9f");
  HKEY same = 0;
  EXPECT_EQ(
      reg.RegOpenKeyExA(HKEY_CURRENT_USER, "cASE\\\xe9T\xc9 \x9a\x9c\x9e\xff", 0, KEY_READ, &same),
      ERROR_SUCCESS);
  HKEY other = 0;
  // ß has no capital in the code page, and the multiplication sign is no letter.
  EXPECT_EQ(reg.RegOpenKeyExA(HKEY_CURRENT_USER, "Case\\\xc9t\xe9 \x8a\x8c\x8e\x9fSS", 0, KEY_READ,
                              &other),
            ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(Set(reg, key, "Colour\xd7", REG_SZ, "1"), ERROR_SUCCESS);
  ASSERT_EQ(Set(reg, key, "COLOUR\xd7", REG_SZ, "2"), ERROR_SUCCESS);
  EXPECT_EQ(Get(reg, same, "colour\xd7"), "2");
  EXPECT_EQ(Get(reg, same, "colour\xf7"), "<missing>");
  EXPECT_EQ(Values(reg, same), std::vector<std::string>{"Colour\xd7"});
  HKEY top = 0;
  ASSERT_EQ(reg.RegOpenKeyExA(HKEY_CURRENT_USER, "case", 0, KEY_READ, &top), ERROR_SUCCESS);
  EXPECT_EQ(Subkeys(reg, top), std::vector<std::string>{"\xc9t\xe9 \x8a\x8c\x8e\x9f"});
  EXPECT_EQ(reg.RegDeleteValueA(key, "cOlOuR\xd7"), ERROR_SUCCESS);
}

TEST_F(RegistryTest, EnumerationOrder) {
  SqliteRegistry reg(location());
  HKEY key = Create(reg, "Order");
  for (const char* name : {"beta", "Alpha", "_under", "gamma", "DELTA"}) {
    reg.RegCloseKey(Create(reg, (std::string("Order\\") + name).c_str()));
  }
  EXPECT_EQ(Subkeys(reg, key),
            (std::vector<std::string>{"Alpha", "beta", "DELTA", "gamma", "_under"}));
  // By upper-cased UTF-16 code units: Latin-1 letters by their capitals, then
  // the letters beyond Latin-1 (OE, S caron, Y diaeresis, Z caron), then the euro.
  const std::vector<std::string> platform_order = {
      "apps", "Zulu", "_x", "\xe0", "\xc9t\xe9", "\xfe", "\x9c", "\x8a", "\xff", "\x9e", "\x80"};
  HKEY sorted = Create(reg, "Sorted");
  for (auto it = platform_order.rbegin(); it != platform_order.rend(); ++it) {
    reg.RegCloseKey(Create(reg, ("Sorted\\" + *it).c_str()));
  }
  EXPECT_EQ(Subkeys(reg, sorted), platform_order);
  for (const char* name : {"z", "a", "", "m"}) ASSERT_EQ(Set(reg, key, name, REG_SZ, "1"), 0);
  ASSERT_EQ(Set(reg, key, "A", REG_SZ, "overwritten in place"), ERROR_SUCCESS);
  EXPECT_EQ(Values(reg, key), (std::vector<std::string>{"z", "a", "", "m"}));
  ASSERT_EQ(reg.RegDeleteValueA(key, "z"), ERROR_SUCCESS);
  ASSERT_EQ(Set(reg, key, "Z", REG_SZ, "back at the end"), ERROR_SUCCESS);
  EXPECT_EQ(Values(reg, key), (std::vector<std::string>{"a", "", "m", "Z"}));
  // A name that does not fit: 234 and the capacity left alone.
  char name[8];
  DWORD length = 1;
  EXPECT_EQ(reg.RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  EXPECT_EQ(length, 1u);
  EXPECT_EQ(reg.RegEnumKeyA(key, 0, name, 5), ERROR_MORE_DATA);
  EXPECT_EQ(reg.RegEnumKeyA(key, 0, name, 6), ERROR_SUCCESS);
  EXPECT_STREQ(name, "Alpha");
}

TEST_F(RegistryTest, DeletingKeys) {
  SqliteRegistry reg(location());
  HKEY parent = Create(reg, "Del\\Parent");
  HKEY child = Create(reg, "Del\\Parent\\Child");
  ASSERT_EQ(Set(reg, child, "v", REG_SZ, "1"), ERROR_SUCCESS);
  EXPECT_EQ(reg.RegDeleteKeyA(HKEY_CURRENT_USER, "Del\\Parent"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg.RegDeleteKeyA(parent, "CHILD"), ERROR_SUCCESS);
  // The handle of a deleted key answers 1018; a new key of that name is another key.
  DWORD size = 0;
  EXPECT_EQ(reg.RegQueryValueExA(child, "v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(Set(reg, child, "v", REG_SZ, "1"), ERROR_KEY_DELETED);
  HKEY reborn = Create(reg, "Del\\Parent\\Child");
  EXPECT_EQ(Values(reg, reborn), std::vector<std::string>{});
  EXPECT_EQ(reg.RegQueryValueExA(child, "v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  // "" deletes the handle's own key.
  EXPECT_EQ(reg.RegDeleteKeyA(reborn, ""), ERROR_SUCCESS);
  EXPECT_EQ(Subkeys(reg, parent), std::vector<std::string>{});
  EXPECT_EQ(reg.RegCloseKey(child), ERROR_SUCCESS);
}

TEST_F(RegistryTest, VolatileKeysEndWithTheBoot) {
  {
    SqliteRegistry reg(location());
    reg.RegCloseKey(Create(reg, "Vol\\Kept"));
    DWORD disposition = 0;
    HKEY vol = Create(reg, "Vol\\Temp", KEY_ALL_ACCESS, &disposition, REG_OPTION_VOLATILE);
    HKEY out = 0;
    EXPECT_EQ(reg.RegCreateKeyExA(vol, "Lasting", 0, "", REG_OPTION_NON_VOLATILE, KEY_READ, nullptr,
                                  &out, nullptr),
              ERROR_CHILD_MUST_BE_VOLATILE);
    reg.RegCloseKey(Create(reg, "Vol\\Temp\\AlsoTemp", KEY_READ, nullptr, REG_OPTION_VOLATILE));
  }
  {
    SqliteRegistry reg(location());  // same boot: still there
    EXPECT_EQ(Subkeys(reg, Create(reg, "Vol")), (std::vector<std::string>{"Kept", "Temp"}));
  }
  // Pretend the machine restarted.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(location().current_user.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "UPDATE meta SET value = 'earlier' WHERE name = 'boot'", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  SqliteRegistry reg(location());
  EXPECT_EQ(Subkeys(reg, Create(reg, "Vol")), std::vector<std::string>{"Kept"});
}

// Each root gets the modes it promises whatever the umask: everyone must be
// able to read the machine root.
TEST_F(RegistryTest, FilesArePrivateToTheirOwner) {
  const SqliteRegistry::Location where = {dir_.path() + "/user/HKEY_CURRENT_USER.db",
                                          dir_.path() + "/machine/HKEY_LOCAL_MACHINE.db"};
  {
    struct Umask {
      mode_t saved = ::umask(077);
      ~Umask() { ::umask(saved); }
    } umask;
    SqliteRegistry reg(where);
    reg.RegCloseKey(Create(reg, "Private"));
    HKEY machine = 0;
    ASSERT_EQ(reg.RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Shared", 0, "", 0, KEY_ALL_ACCESS, nullptr,
                                  &machine, nullptr),
              ERROR_SUCCESS);
  }
  struct Case {
    std::string file;
    mode_t mode;
  } cases[] = {
      {where.current_user, 0600},          {where.current_user + "-wal", 0600},
      {where.current_user + "-shm", 0600}, {where.current_user + "-gen", 0600},
      {where.local_machine, 0644},         {where.local_machine + "-gen", 0644},
      {dir_.path() + "/user", 0700},       {dir_.path() + "/machine", 0755},
  };
  for (const Case& c : cases) {
    struct stat st;
    ASSERT_EQ(::stat(c.file.c_str(), &st), 0) << c.file;
    EXPECT_EQ(st.st_mode & 0777, c.mode) << c.file;
  }
}

TEST_F(RegistryTest, ChangesPersistAndAreSeenAcrossProcesses) {
  // A child writes; after it ends, a fresh registry here reads it back.
  EXPECT_EQ(InChild([&] {
              SqliteRegistry reg(location());
              HKEY key = 0;
              if (reg.RegCreateKeyExA(HKEY_CURRENT_USER, "Persist", 0, "", 0, KEY_ALL_ACCESS,
                                      nullptr, &key, nullptr) != ERROR_SUCCESS) {
                return 1;
              }
              return Set(reg, key, "v", REG_BINARY, std::string("\0\1\2", 3)) == 0 ? 0 : 2;
            }),
            0);
  // A child changes what this process has cached; the change shows at once.
  int go[2], done[2];
  ASSERT_EQ(::pipe(go), 0);
  ASSERT_EQ(::pipe(done), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    char c;
    if (::read(go[0], &c, 1) != 1) ::_exit(1);
    SqliteRegistry reg(location());
    HKEY key = 0;
    reg.RegOpenKeyExA(HKEY_CURRENT_USER, "Persist", 0, KEY_ALL_ACCESS, &key);
    const bool ok =
        Set(reg, key, "v", REG_SZ, "changed") == 0 && Set(reg, key, "w", REG_SZ, "new") == 0 &&
        reg.RegCreateKeyExA(key, "Sub", 0, "", 0, KEY_READ, nullptr, &key, nullptr) == 0;
    ::_exit(ok && ::write(done[1], "x", 1) == 1 ? 0 : 2);
  }
  {
    SqliteRegistry reg(location());
    HKEY key = 0;
    ASSERT_EQ(reg.RegOpenKeyExA(HKEY_CURRENT_USER, "Persist", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(Get(reg, key, "v"), std::string("\0\1\2", 3));
    EXPECT_EQ(Get(reg, key, "w"), "<missing>");
    EXPECT_EQ(Values(reg, key), std::vector<std::string>{"v"});
    EXPECT_EQ(Subkeys(reg, key), std::vector<std::string>{});
    ASSERT_EQ(::write(go[1], "x", 1), 1);
    char c;
    ASSERT_EQ(::read(done[0], &c, 1), 1);
    EXPECT_EQ(Get(reg, key, "v"), "changed");
    EXPECT_EQ(Get(reg, key, "w"), "new");
    EXPECT_EQ(Values(reg, key), (std::vector<std::string>{"v", "w"}));
    EXPECT_EQ(Subkeys(reg, key), std::vector<std::string>{"Sub"});
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int fd : {go[0], go[1], done[0], done[1]}) ::close(fd);
}

TEST_F(RegistryTest, TwoWritersAtOnceLoseNothing) {
  constexpr int kEach = 300;
  std::vector<pid_t> pids;
  for (int writer = 0; writer < 2; ++writer) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      SqliteRegistry reg(location());
      HKEY key = 0;
      if (reg.RegCreateKeyExA(HKEY_CURRENT_USER, "Shared\\Key", 0, "", 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr) != ERROR_SUCCESS) {
        ::_exit(1);
      }
      for (int i = 0; i < kEach; ++i) {
        const std::string name = "w" + std::to_string(writer) + "_" + std::to_string(i);
        if (Set(reg, key, name.c_str(), REG_SZ, name) != ERROR_SUCCESS) ::_exit(2);
        // Each writer also sees its own changes through the other's traffic.
        if (Get(reg, key, name.c_str()) != name) ::_exit(3);
      }
      ::_exit(0);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  SqliteRegistry reg(location());
  HKEY key = Create(reg, "Shared\\Key", KEY_READ);
  EXPECT_EQ(Values(reg, key).size(), 2u * kEach);
  for (int writer = 0; writer < 2; ++writer) {
    for (int i = 0; i < kEach; ++i) {
      const std::string name = "w" + std::to_string(writer) + "_" + std::to_string(i);
      ASSERT_EQ(Get(reg, key, name.c_str()), name);
    }
  }
}

TEST_F(RegistryTest, KilledWriterLosesNoAcknowledgedChange) {
  int acks[2];
  ASSERT_EQ(::pipe(acks), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(acks[0]);
    SqliteRegistry reg(location());
    HKEY key = 0;
    if (reg.RegCreateKeyExA(HKEY_CURRENT_USER, "Crash", 0, "", 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr) != ERROR_SUCCESS) {
      ::_exit(1);
    }
    for (std::uint32_t i = 0;; ++i) {
      const std::string name = std::to_string(i);
      if (Set(reg, key, name.c_str(), REG_SZ, std::string(100 + i % 300, 'd')) != ERROR_SUCCESS) {
        ::_exit(2);
      }
      if (::write(acks[1], &i, sizeof i) != sizeof i) ::_exit(3);
    }
  }
  ::close(acks[1]);
  // Kill it mid-stream, after it has acknowledged a good number of writes.
  std::uint32_t last = 0;
  std::int64_t count = 0;
  while (count < 400 && ::read(acks[0], &last, sizeof last) == sizeof last) ++count;
  std::this_thread::sleep_for(std::chrono::milliseconds(7));
  ASSERT_EQ(::kill(pid, SIGKILL), 0);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  while (::read(acks[0], &last, sizeof last) == sizeof last) ++count;
  ::close(acks[0]);
  ASSERT_GE(count, 400);

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(location().current_user.c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
            SQLITE_OK);
  sqlite3_stmt* check = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
  sqlite3_finalize(check);
  sqlite3_close(db);

  SqliteRegistry reg(location());
  HKEY key = Create(reg, "Crash", KEY_READ);
  for (std::uint32_t i = 0; i <= last; ++i) {
    ASSERT_EQ(Get(reg, key, std::to_string(i).c_str()), std::string(100 + i % 300, 'd')) << i;
  }
  // The registry stays writable after the crash.
  HKEY writable = Create(reg, "Crash");
  EXPECT_EQ(Set(reg, writable, "after", REG_SZ, "x"), ERROR_SUCCESS);
  EXPECT_EQ(Get(reg, key, "after"), "x");
}

// Sizes the store cannot keep are refused before the data is read, and the
// value keeps what it held. The data is a sparse mapping of zero pages, so
// nothing of that size is ever allocated.
TEST_F(RegistryTest, OversizedValuesAreRefusedAndChangeNothing) {
  constexpr std::size_t kMapped = std::size_t{1} << 32;
  void* map =
      ::mmap(nullptr, kMapped, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  const auto* zeros = static_cast<const unsigned char*>(map);
  SqliteRegistry reg(location());
  HKEY key = Create(reg, "Big");
  ASSERT_EQ(Set(reg, key, "v", REG_BINARY, "small"), ERROR_SUCCESS);
  for (DWORD size : {DWORD{1000000001}, DWORD{0x80000000u}, DWORD{0xFFFFFFFFu}}) {
    SCOPED_TRACE(size);
    EXPECT_EQ(reg.RegSetValueExA(key, "v", 0, REG_BINARY, zeros, size), ERROR_OUTOFMEMORY);
    EXPECT_EQ(reg.RegSetValueExA(key, "new", 0, REG_BINARY, zeros, size), ERROR_OUTOFMEMORY);
    EXPECT_EQ(Get(reg, key, "v"), "small");
    EXPECT_EQ(Values(reg, key), std::vector<std::string>{"v"});
  }
  ::munmap(map, kMapped);
}

// The mode of an existing database is its owner's choice: kept as it is, and
// without the owner's write bit the root refuses changes (root included).
TEST_F(RegistryTest, ExistingFilesKeepTheirMode) {
  struct Case {
    mode_t mode;
    LONG set;
  } cases[] = {{0444, ERROR_ACCESS_DENIED}, {0400, ERROR_ACCESS_DENIED}, {0640, ERROR_SUCCESS}};
  const std::string db = location().current_user;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    {
      SqliteRegistry reg(location());
      ASSERT_EQ(Set(reg, Create(reg, "Mode"), "v", REG_SZ, "before"), ERROR_SUCCESS);
    }
    ASSERT_EQ(::chmod(db.c_str(), c.mode), 0);
    SqliteRegistry reg(location());
    HKEY key = 0;
    ASSERT_EQ(reg.RegOpenKeyExA(HKEY_CURRENT_USER, "Mode", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(Set(reg, HKEY_CURRENT_USER, "v", REG_SZ, "after"), c.set);
    EXPECT_EQ(Get(reg, key, "v"), "before");
    struct stat st;
    ASSERT_EQ(::stat(db.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, c.mode);
    ASSERT_EQ(::chmod(db.c_str(), 0600), 0);
  }
}

// A full disk refuses changes with ERROR_DISK_FULL, also when the change
// counter's file has to be made anew, and keeps every acknowledged change.
TEST_F(RegistryTest, FullDiskRefusesChangesAndKeepsWhatWasAcknowledged) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a small file system";
  const std::string small = dir_.path() + "/small";
  ASSERT_EQ(::mkdir(small.c_str(), 0700), 0);
  const int failed = InPrivateMounts([&]() -> int {
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m,mode=0700") != 0) return 98;
    const SqliteRegistry::Location where = SqliteRegistry::LocationIn(small);
    {
      SqliteRegistry reg(where);
      HKEY key = 0;
      if (reg.RegCreateKeyExA(HKEY_CURRENT_USER, "Kept", 0, "", 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr) != ERROR_SUCCESS ||
          Set(reg, key, "v", REG_SZ, "acknowledged") != ERROR_SUCCESS) {
        return 97;
      }
    }
    ::unlink((where.current_user + "-gen").c_str());
    FillFileSystem(small);
    SqliteRegistry reg(where);
    HKEY key = 0;
    return FirstFailingStep({
        {Set(reg, HKEY_CURRENT_USER, "w", REG_SZ, "x"), ERROR_DISK_FULL},
        {reg.RegCreateKeyExA(HKEY_CURRENT_USER, "New", 0, "", 0, KEY_ALL_ACCESS, nullptr, &key,
                             nullptr),
         ERROR_DISK_FULL},
        {reg.RegOpenKeyExA(HKEY_CURRENT_USER, "Kept", 0, KEY_READ, &key), ERROR_SUCCESS},
        {Get(reg, key, "v") == "acknowledged" ? 0 : 1, 0},
    });
  });
  EXPECT_EQ(failed, 0) << "first failing step (1-based), or the signal that ended it";
}

// A writer killed mid-change leaves the change counter odd. While its writer
// lives (holds the change lock) readers cache nothing; once it is gone they
// cache again, which a change made behind the registry's back (plain SQL, not
// counted) shows: a cached listing does not see it.
TEST_F(RegistryTest, ReadersCacheAgainAfterAWriterDiedMidChange) {
  const std::string db = location().current_user;
  struct Case {
    const char* what;
    bool writer_alive;
  } cases[] = {{"writer alive", true}, {"writer gone", false}};
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = "Abandoned" + std::to_string(++round);
    SqliteRegistry reg(location());
    HKEY key = Create(reg, path.c_str());
    ASSERT_EQ(Set(reg, key, "a", REG_SZ, "1"), ERROR_SUCCESS);
    // What a writer leaves when it dies mid-change: an odd counter, and its
    // change lock held only while it lives.
    const int gen = ::open((db + "-gen").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(gen, 0);
    std::uint64_t counter = 0;
    ASSERT_EQ(::pread(gen, &counter, sizeof counter, 0), 8);
    counter += 1 + 2 * (counter & 1);
    ASSERT_EQ(::pwrite(gen, &counter, sizeof counter, 0), 8);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_len = 1;
    if (c.writer_alive) {
      ASSERT_EQ(::fcntl(gen, F_OFD_SETLK, &lock), 0);
    }
    EXPECT_EQ(Values(reg, key), std::vector<std::string>{"a"});
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
    const std::string insert =
        "INSERT INTO vals(key, name, fold, type, data) SELECT id, x'62', x'62', 1, x'' FROM keys "
        "WHERE name = CAST('" +
        path + "' AS BLOB)";
    ASSERT_EQ(sqlite3_exec(raw, insert.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(raw);
    EXPECT_EQ(Values(reg, key).size(), c.writer_alive ? 2u : 1u);
    ::close(gen);
    // The next change through the registry is seen at once, and evens the counter.
    SqliteRegistry other(location());
    ASSERT_EQ(Set(other, Create(other, path.c_str()), "c", REG_SZ, "3"), ERROR_SUCCESS);
    EXPECT_EQ(Values(reg, key), (std::vector<std::string>{"a", "b", "c"}));
  }
}

// A registry folder or file that another user could change is refused with
// ERROR_ACCESS_DENIED and one line on standard error; nothing is followed,
// created or changed there (root above all: the scenario of a root process
// run with a user's environment).
TEST_F(RegistryTest, FoldersAndFilesOtherUsersCanChangeAreRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant files as another user";
  const passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const uid_t other = nobody->pw_uid;
  const std::string victim = dir_.path() + "/victim";
  struct Case {
    const char* what;
    std::function<std::string(const std::string&)> plant;  // returns the registry folder
  } cases[] = {
      {"folder in another user's folder",
       [&](const std::string& base) {
         EXPECT_EQ(::chown(base.c_str(), other, other), 0);
         return base + "/.local/share/pingsweep";
       }},
      {"folder writable by everyone",
       [&](const std::string& base) {
         EXPECT_EQ(::chmod(base.c_str(), 01777), 0);
         return base;
       }},
      {"folder linked by another user from a sticky folder",
       [&](const std::string& base) {
         EXPECT_EQ(::chmod(base.c_str(), 01777), 0);
         EXPECT_EQ(::mkdir((base + "/target").c_str(), 0700), 0);
         EXPECT_EQ(::symlink((base + "/target").c_str(), (base + "/reg").c_str()), 0);
         EXPECT_EQ(::lchown((base + "/reg").c_str(), other, other), 0);
         return base + "/reg";
       }},
      {"database linked to another file",
       [&](const std::string& base) {
         EXPECT_EQ(::symlink(victim.c_str(), (base + "/HKEY_CURRENT_USER.db").c_str()), 0);
         return base;
       }},
      {"database of another user",
       [&](const std::string& base) {
         const std::string db = base + "/HKEY_CURRENT_USER.db";
         EXPECT_EQ(::close(::open(db.c_str(), O_WRONLY | O_CREAT, 0644)), 0);
         EXPECT_EQ(::chown(db.c_str(), other, other), 0);
         return base;
       }},
  };
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    {
      const int fd = ::open(victim.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ASSERT_EQ(::write(fd, "precious", 8), 8);
      ::close(fd);
    }
    const std::string base = dir_.path() + "/case" + std::to_string(++round);
    ASSERT_EQ(::mkdir(base.c_str(), 0755), 0);
    const std::string folder = c.plant(base);
    const std::string err =
        EveryCallAnswers(SqliteRegistry::LocationIn(folder), ERROR_ACCESS_DENIED);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("pingsweep: registry"), std::string::npos) << err;
    // Nothing made, and nothing followed.
    struct stat st;
    EXPECT_NE(::stat((base + "/.local").c_str(), &st), 0);
    EXPECT_NE(::stat((base + "/target/HKEY_CURRENT_USER.db").c_str(), &st), 0);
    EXPECT_NE(::stat((base + "/HKEY_CURRENT_USER.db-wal").c_str(), &st), 0);
    ASSERT_EQ(::stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 8);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
}

// Space a deletion frees goes back to the file system: the database and its
// journal shrink, in databases made before space was given back too.
TEST_F(RegistryTest, DeletedDataGivesItsSpaceBack) {
  constexpr std::size_t kLarge = 8 << 20;
  const auto files_size = [](const std::string& db) {
    std::int64_t total = 0;
    for (const char* suffix : {"", "-wal"}) {
      struct stat st;
      if (::stat((db + suffix).c_str(), &st) == 0) total += st.st_size;
    }
    return total;
  };
  struct Case {
    const char* what;
    bool old_database;
    std::function<LONG(SqliteRegistry&, HKEY)> free;
  } cases[] = {
      {"value deleted", false,
       [](SqliteRegistry& reg, HKEY key) { return reg.RegDeleteValueA(key, "large"); }},
      {"value made small", false,
       [](SqliteRegistry& reg, HKEY key) { return Set(reg, key, "large", REG_BINARY, "small"); }},
      {"key deleted", false,
       [](SqliteRegistry& reg, HKEY key) { return reg.RegDeleteKeyA(key, ""); }},
      {"value deleted in an old database", true,
       [](SqliteRegistry& reg, HKEY key) { return reg.RegDeleteValueA(key, "large"); }},
  };
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string folder = dir_.path() + "/space" + std::to_string(++round);
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    const SqliteRegistry::Location where = SqliteRegistry::LocationIn(folder);
    if (c.old_database) {
      sqlite3* raw = nullptr;
      ASSERT_EQ(sqlite3_open(where.current_user.c_str(), &raw), SQLITE_OK);
      ASSERT_EQ(sqlite3_exec(raw,
                             "PRAGMA journal_mode=WAL; CREATE TABLE meta(name TEXT PRIMARY KEY, "
                             "value TEXT NOT NULL)",
                             nullptr, nullptr, nullptr),
                SQLITE_OK);
      sqlite3_close(raw);
    }
    SqliteRegistry reg(where);
    HKEY key = 0;
    ASSERT_EQ(reg.RegCreateKeyExA(HKEY_CURRENT_USER, "Space", 0, "", 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(Set(reg, key, "kept", REG_SZ, "k"), ERROR_SUCCESS);
    ASSERT_EQ(Set(reg, key, "large", REG_BINARY, std::string(kLarge, 'l')), ERROR_SUCCESS);
    EXPECT_GE(files_size(where.current_user), static_cast<std::int64_t>(kLarge));
    ASSERT_EQ(c.free(reg, key), ERROR_SUCCESS);
    EXPECT_LT(files_size(where.current_user), 1 << 20);
    HKEY check = 0;
    if (reg.RegOpenKeyExA(HKEY_CURRENT_USER, "Space", 0, KEY_READ, &check) == ERROR_SUCCESS) {
      EXPECT_EQ(Get(reg, check, "kept"), "k");
    }
  }
}

// Another user who holds read locks on every file of the machine root it can
// open delays no change of root's: root's writes and opens go on at once, and
// readers who may not write see each change once it is made.
TEST_F(RegistryTest, OtherUsersCannotHoldUpTheMachineRoot) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const auto as_nobody = [&] {
    return ::setgid(nobody->pw_gid) == 0 && ::setuid(nobody->pw_uid) == 0;
  };
  const std::string db = location().local_machine;
  const auto read_as_nobody = [&](const char* want) {
    return InChild([&] {
      if (!as_nobody()) return 100;
      SqliteRegistry reg(location());
      HKEY key = 0;
      if (reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Held", 0, KEY_READ, &key) != 0) return 1;
      return Get(reg, key, "v") == want ? 0 : 2;
    });
  };
  {
    SqliteRegistry reg(location());
    HKEY key = 0;
    ASSERT_EQ(reg.RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Held", 0, "", 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(Set(reg, key, "v", REG_SZ, "before"), ERROR_SUCCESS);
  }
  EXPECT_EQ(read_as_nobody("before"), 0);
  int held[2], done[2];
  ASSERT_EQ(::pipe(held), 0);
  ASSERT_EQ(::pipe(done), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    if (!as_nobody()) ::_exit(100);
    char locked = 0;
    for (const char* suffix : {"", "-wal", "-shm", "-gen", "-snapshot", "-snapshot.lock"}) {
      const int fd = ::open((db + suffix).c_str(), O_RDONLY);
      struct flock lock = {};
      lock.l_type = F_RDLCK;
      if (fd >= 0 && ::fcntl(fd, F_SETLK, &lock) == 0) ++locked;
    }
    char c;
    ::_exit(::write(held[1], &locked, 1) == 1 && ::read(done[0], &c, 1) == 1 ? 0 : 1);
  }
  char locked = 0;
  ASSERT_EQ(::read(held[0], &locked, 1), 1);
  EXPECT_GE(locked, 1);  // the database and its counter are everyone's to read
  const auto start = std::chrono::steady_clock::now();
  {
    SqliteRegistry reg(location());
    HKEY key = 0;
    EXPECT_EQ(reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Held", 0, KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(Set(reg, key, "v", REG_SZ, "after"), ERROR_SUCCESS);
  }
  const auto took = std::chrono::steady_clock::now() - start;
  std::printf("root's open and write with another user's locks held: %.1f ms\n",
              std::chrono::duration<double, std::milli>(took).count());
  EXPECT_EQ(read_as_nobody("after"), 0);
  ASSERT_EQ(::write(done[1], "x", 1), 1);
  int status = 0;
  ::waitpid(holder, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  for (int fd : {held[0], held[1], done[0], done[1]}) ::close(fd);
  for (const char* suffix : {"-wal", "-shm"}) {
    struct stat st;
    ASSERT_EQ(::stat((db + suffix).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << suffix;
  }
}

// A damaged database is reported as damage, on every call and not only the
// first, with one line on standard error that names the file.
TEST_F(RegistryTest, DamagedDatabaseIsReportedAsSuch) {
  const std::string db = location().current_user;
  struct Case {
    const char* what;
    std::function<void()> damage;
  } cases[] = {
      {"no database at all",
       [&] {
         const int fd = ::open(db.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
         const std::string garbage(8192, 'g');
         ASSERT_EQ(::write(fd, garbage.data(), garbage.size()),
                   static_cast<ssize_t>(garbage.size()));
         ::close(fd);
       }},
      {"cut in the middle", [&] { ASSERT_EQ(::truncate(db.c_str(), 40000), 0); }},
      {"cut in its header", [&] { ASSERT_EQ(::truncate(db.c_str(), 100), 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    {
      SqliteRegistry reg(location());
      HKEY key = Create(reg, "Filled");
      for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(Set(reg, key, std::to_string(i).c_str(), REG_BINARY, std::string(900, 'd')), 0);
      }
    }
    for (const char* suffix : {"-wal", "-shm", "-gen"}) ::unlink((db + suffix).c_str());
    c.damage();
    const std::string err = EveryCallAnswers(location(), ERROR_REGISTRY_CORRUPT);
    EXPECT_NE(err.find(db), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    ::unlink(db.c_str());
  }
}

// A read-only folder that holds the database but none of its journal files:
// the database reads as it is, and changes are refused. The folder may be on
// a read-only mount, or one its owner (not root, who may write anyway) made
// read-only after the journal was checkpointed into the database.
TEST_F(RegistryTest, DatabaseInAReadOnlyFolderIsRead) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a folder read-only";
  const passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const std::string ro = dir_.path() + "/ro";
  const SqliteRegistry::Location where = SqliteRegistry::LocationIn(ro);
  // Reads the folder the way each case leaves it.
  const auto reads = [&]() -> int {
    SqliteRegistry reg(where);
    HKEY key = 0;
    return FirstFailingStep({
        {reg.RegOpenKeyExA(HKEY_CURRENT_USER, "Kept", 0, KEY_READ, &key), ERROR_SUCCESS},
        {Get(reg, key, "v") == "there" ? 0 : 1, 0},
        {Subkeys(reg, HKEY_CURRENT_USER) == std::vector<std::string>{"Kept"} ? 0 : 1, 0},
        {Set(reg, HKEY_CURRENT_USER, "w", REG_SZ, "x"), ERROR_ACCESS_DENIED},
        {reg.RegOpenKeyExA(HKEY_CURRENT_USER, "Kept", 0, KEY_WRITE, &key), ERROR_ACCESS_DENIED},
    });
  };
  // Writes the registry, checkpoints its journal into the database and
  // removes the journal files, as the last writer's close leaves them.
  const auto fill = [&] {
    {
      SqliteRegistry reg({ro + "/HKEY_CURRENT_USER.db", where.local_machine});
      if (Set(reg, Create(reg, "Kept"), "v", REG_SZ, "there") != ERROR_SUCCESS) return false;
    }
    sqlite3* db = nullptr;
    const bool checkpointed =
        sqlite3_open(where.current_user.c_str(), &db) == SQLITE_OK &&
        sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    for (const char* suffix : {"-wal", "-shm"}) ::unlink((where.current_user + suffix).c_str());
    return checkpointed;
  };
  const struct {
    const char* what;
    std::function<int()> run;
  } cases[] = {
      {"read-only mount",
       [&] {
         if (!fill()) return 97;
         ::unlink((where.current_user + "-gen").c_str());
         return InPrivateMounts([&]() -> int {
           if (::mount(ro.c_str(), ro.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
               ::mount(nullptr, ro.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) !=
                   0) {
             return 98;
           }
           return reads();
         });
       }},
      {"folder its owner made 0555",
       [&] {
         if (::chown(ro.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) return 96;
         return InChild([&]() -> int {
           if (::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0) return 100;
           if (!fill() || ::chmod(ro.c_str(), 0555) != 0) return 97;
           return reads();
         });
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(::mkdir(ro.c_str(), 0700), 0);
    EXPECT_EQ(c.run(), 0) << "first failing step (1-based)";
    ::chmod(ro.c_str(), 0700);
    { std::error_code e; std::filesystem::remove_all(ro, e); }
  }
}

// Only the owner of the machine root changes it; others read it and get 5.
TEST_F(RegistryTest, MachineRootRefusesChangesFromOtherUsers) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;
  {
    SqliteRegistry reg(location());
    HKEY key = 0;
    ASSERT_EQ(reg.RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vendor", 0, "", 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(Set(reg, key, "v", REG_SZ, "machine"), ERROR_SUCCESS);
  }
  const int failed = InChild([&]() -> int {
    if (::setgid(gid) != 0 || ::setuid(uid) != 0) return 100;
    SqliteRegistry reg(location());
    HKEY key = 0;
    DWORD disposition = 0;
    const unsigned char data[] = "x";
    return FirstFailingStep({
        {reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vendor", 0, KEY_READ, &key), 0},
        {key != 0 && Get(reg, key, "v") == "machine" ? 0 : 1, 0},
        {reg.RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\New", 0, "", 0, KEY_ALL_ACCESS, nullptr,
                             &key, nullptr),
         ERROR_ACCESS_DENIED},
        {reg.RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\New", 0, "", 0, KEY_READ, nullptr, &key,
                             nullptr),
         ERROR_ACCESS_DENIED},
        {reg.RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vendor", 0, "", 0, KEY_READ, nullptr,
                             &key, &disposition),
         0},
        {static_cast<LONG>(disposition), REG_OPENED_EXISTING_KEY},
        {reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vendor", 0, KEY_WRITE, &key),
         ERROR_ACCESS_DENIED},
        {reg.RegSetValueExA(HKEY_LOCAL_MACHINE, "v", 0, REG_SZ, data, 2), ERROR_ACCESS_DENIED},
        {reg.RegDeleteValueA(HKEY_LOCAL_MACHINE, "v"), ERROR_ACCESS_DENIED},
        {reg.RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Vendor"), ERROR_ACCESS_DENIED},
        {reg.RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Missing"), ERROR_FILE_NOT_FOUND},
    });
  });
  EXPECT_EQ(failed, 0) << "first failing step (1-based)";
  SqliteRegistry reg(location());
  HKEY key = 0;
  ASSERT_EQ(reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(Subkeys(reg, key), std::vector<std::string>{"Vendor"});
}

TEST_F(RegistryTest, DefaultLocationFollowsTheEnvironment) {
  // Put the environment back for the tests that follow in this process.
  struct Saved {
    const char* name;
    std::string value;
    bool set;
  };
  std::vector<Saved> saved;
  for (const char* name : {SqliteRegistry::kDirVariable, "XDG_DATA_HOME", "HOME"}) {
    const char* v = std::getenv(name);
    saved.push_back({name, v ? v : "", v != nullptr});
  }
  struct Restore {
    std::vector<Saved>& saved;
    ~Restore() {
      for (const Saved& s : saved) {
        s.set ? ::setenv(s.name, s.value.c_str(), 1) : ::unsetenv(s.name);
      }
    }
  } restore{saved};
  ::setenv(SqliteRegistry::kDirVariable, "/some/dir", 1);
  EXPECT_EQ(SqliteRegistry::DefaultLocation().current_user, "/some/dir/HKEY_CURRENT_USER.db");
  EXPECT_EQ(SqliteRegistry::DefaultLocation().local_machine, "/some/dir/HKEY_LOCAL_MACHINE.db");
  ::unsetenv(SqliteRegistry::kDirVariable);
  ::setenv("XDG_DATA_HOME", "/xdg", 1);
  EXPECT_EQ(SqliteRegistry::DefaultLocation().current_user, "/xdg/pingsweep/HKEY_CURRENT_USER.db");
  EXPECT_EQ(SqliteRegistry::DefaultLocation().local_machine,
            "/var/lib/pingsweep/HKEY_LOCAL_MACHINE.db");
  ::setenv("XDG_DATA_HOME", "relative", 1);
  ::setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(SqliteRegistry::DefaultLocation().current_user,
            "/home/someone/.local/share/pingsweep/HKEY_CURRENT_USER.db");
}

}  // namespace
}  // namespace ps::platform

namespace ps::platform {
namespace {

// A child gathers changes of both roots in a batch (one of them a call that
// fails on its own), reads its own changes, and then commits, aborts or is
// killed. Until it commits, another connection sees nothing of it; after an
// abort or a kill nothing of it is left, and the roots take changes again.
TEST_F(RegistryTest, BatchesShowNothingBeforeTheirCommitAndLeaveNothingOtherwise) {
  enum class End { kCommit, kAbort, kKill };
  constexpr HKEY kRoots[] = {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE};
  constexpr int kValues = 100;
  for (const End end : {End::kCommit, End::kAbort, End::kKill}) {
    const std::string path = "Batch\\" + std::to_string(static_cast<int>(end));
    SCOPED_TRACE(path);
    int ready[2], go[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(go), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      SqliteRegistry reg(location());
      char c = 0;
      if (::read(go[0], &c, 1) != 1) ::_exit(2);
      int step = 10;
      for (HKEY root : kRoots) {
        HKEY key = 0;
        if (reg.BeginBatch(root) != ERROR_SUCCESS || reg.BeginBatch(root) != ERROR_SUCCESS ||
            reg.RegCreateKeyExA(root, path.c_str(), 0, "", 0, KEY_ALL_ACCESS, nullptr, &key,
                                nullptr) != ERROR_SUCCESS) {
          ::_exit(step);
        }
        for (int i = 0; i < kValues; ++i) {
          const std::string name = "v" + std::to_string(i);
          if (Set(reg, key, name.c_str(), REG_SZ, std::to_string(i)) != 0) ::_exit(step + 1);
        }
        // A failing call fails alone, and the batch reads its own changes.
        const int failed = FirstFailingStep({
            {reg.RegDeleteValueA(key, "missing"), ERROR_FILE_NOT_FOUND},
            {reg.RegDeleteKeyA(root, "Batch"), ERROR_ACCESS_DENIED},
            {Get(reg, key, "v7") == "7" ? 0 : 1, ERROR_SUCCESS},
            {static_cast<LONG>(Values(reg, key).size()), kValues},
        });
        if (failed != 0) ::_exit(step + 1 + failed);
        step += 10;
      }
      if (::write(ready[1], "r", 1) != 1 || ::read(go[0], &c, 1) != 1) ::_exit(3);
      if (end == End::kAbort) {
        reg.AbortBatch();
        ::_exit(0);
      }
      ::_exit(end == End::kCommit ? reg.CommitBatch() : 4);
    }
    // Opened before the batch: a connection that may write runs its first
    // change (setting up the schema) when it opens, and would wait for the batch.
    SqliteRegistry other(location());
    for (HKEY root : kRoots) Subkeys(other, root);
    ASSERT_EQ(::write(go[1], "s", 1), 1);
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1) << "the child ended early";
    for (HKEY root : kRoots) {
      HKEY key = 0;
      EXPECT_EQ(other.RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    }
    if (end == End::kKill) {
      ASSERT_EQ(::kill(pid, SIGKILL), 0);
    }
    ASSERT_EQ(::write(go[1], "g", 1), 1);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (end == End::kKill) {
      EXPECT_TRUE(WIFSIGNALED(status)) << status;
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    for (int fd : {ready[0], ready[1], go[0], go[1]}) ::close(fd);
    for (HKEY root : kRoots) {
      HKEY key = 0;
      const LONG found = other.RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, &key);
      if (end == End::kCommit) {
        ASSERT_EQ(found, ERROR_SUCCESS);
        EXPECT_EQ(Values(other, key).size(), static_cast<std::size_t>(kValues));
        EXPECT_EQ(Get(other, key, "v99"), "99");
      } else {
        EXPECT_EQ(found, ERROR_FILE_NOT_FOUND);
        // The write lock went with the batch.
        ASSERT_EQ(other.RegCreateKeyExA(root, "After", 0, "", 0, KEY_ALL_ACCESS, nullptr, &key,
                                        nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(Set(other, key, "v", REG_SZ, "x"), ERROR_SUCCESS);
      }
      other.RegCloseKey(key);
    }
  }
  // Those who may only read the machine root read the committed batch from
  // its snapshot.
  const passwd* nobody = ::getpwnam("nobody");
  if (::geteuid() == 0 && nobody != nullptr) {
    EXPECT_EQ(InChild([&] {
                if (::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0) return 100;
                SqliteRegistry reg(location());
                HKEY key = 0;
                if (reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Batch\\0", 0, KEY_READ, &key) != 0) {
                  return 1;
                }
                return Get(reg, key, "v42") == "42" && Values(reg, key).size() == kValues ? 0 : 2;
              }),
              0);
  }
}

}  // namespace
}  // namespace ps::platform

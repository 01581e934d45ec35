// pingsweep-reg as a user runs it: the built program against a registry in a
// throw-away folder, one command after another.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "cli/reg/verbs.h"
#include "platform/registry/forwarding_registry_service.h"
#include "platform/registry/sqlite_registry.h"
#include "testsupport/temp_dir.h"

namespace {

struct Result {
  int status;
  std::string out, err;
};

class RegToolTest : public ::testing::Test {
 protected:
  std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

  // Runs the program with `args` (already quoted for the shell) and `input`
  // on standard input, after the shell commands `before` (ulimit, ...).
  Result Run(const std::string& args, const std::string& input = "",
             const std::string& before = "") {
    const std::string dir = dir_.path();
    std::ofstream(dir + "/stdin") << input;
    const std::string command = "cd " + dir + " && " + before + " PINGSWEEP_REGISTRY_DIR=" + dir +
                                " " + REG_TOOL + " " + args + " <stdin >stdout 2>stderr";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Read(dir + "/stdout"),
            Read(dir + "/stderr")};
  }

  ps::platform::TempRegistryDir dir_;
};

TEST_F(RegToolTest, VerbsExitCodesAndOutput) {
  const char* kOk = "The operation completed successfully.\n";
  const struct {
    const char* args;
    const char* input;
    int status;
    const char* out;  // expected standard output, whole ("" with an error)
    const char* err;  // a part of standard error
  } steps[] = {
      {"add 'HKCU\\Software\\T' /v Name /d 'Caf\xC3\xA9'", "", 0, kOk, ""},
      {"add 'HKCU\\Software\\T' /v name /d other", "", 1,
       "Value name exists, overwrite(Yes/No)? \n", "ERROR: The operation was cancelled"},
      {"add 'HKCU\\Software\\T' /v Name /d changed", "yes\n", 0,
       "Value Name exists, overwrite(Yes/No)? The operation completed successfully.\n", ""},
      {"add 'HKEY_CURRENT_USER\\Software\\T' /v D /t reg_dword /d 0x10 /f", "", 0, kOk, ""},
      {"-ADD 'HKCU\\Software\\T' -v Q -t REG_QWORD -d 18446744073709551615", "", 1, "",
       "ERROR: Invalid syntax: unknown verb"},
      {"add 'HKCU\\Software\\T' -v Q -t REG_QWORD -d 18446744073709551615", "", 0, kOk, ""},
      {"add 'HKCU\\Software\\T' /v M /t REG_MULTI_SZ /d 'a\\0b'", "", 0, kOk, ""},
      {"add 'HKCU\\Software\\T' /v B /t REG_BINARY /d 00ff", "", 0, kOk, ""},
      {"add 'HKCU\\Software\\T' /ve /t REG_EXPAND_SZ /d '%HOME%'", "", 0, kOk, ""},
      {"add 'HKCU\\Software\\T\\Sub'", "", 0, kOk, ""},
      {"add 'HKCU\\Software\\T' /v D /t REG_DWORD /d 4294967296 /f", "", 1, "", "numeric value"},
      {"add 'HKCU\\Software\\T' /v B /t REG_BINARY /d 0g /f", "", 1, "", "hex digits"},
      {"add 'HKCU\\Software\\T' /v X /t REG_FOO", "", 1, "", "Invalid type"},
      {"add 'HKCU\\Software\\New' /v X /t REG_DWORD /d -1", "", 1, "", "numeric value"},
      {"query 'HKCU\\Software\\New'", "", 1, "", "unable to find"},
      {"query 'HKCU\\Software\\T'", "", 0,
       "\nHKEY_CURRENT_USER\\Software\\T\n"
       "    Name    REG_SZ    changed\n"
       "    D    REG_DWORD    0x10\n"
       "    Q    REG_QWORD    0xffffffffffffffff\n"
       "    M    REG_MULTI_SZ    a\\0b\n"
       "    B    REG_BINARY    00FF\n"
       "    (Default)    REG_EXPAND_SZ    %HOME%\n"
       "\nHKEY_CURRENT_USER\\Software\\T\\Sub\n",
       ""},
      {"query 'HKCU\\Software\\T' /v d", "", 0,
       "\nHKEY_CURRENT_USER\\Software\\T\n    D    REG_DWORD    0x10\n\n", ""},
      {"query 'HKCU\\Software\\T\\Sub' /ve", "", 0,
       "\nHKEY_CURRENT_USER\\Software\\T\\Sub\n    (Default)    REG_SZ    (value not set)\n\n", ""},
      {"query 'HKCU\\Software\\T' /v Missing", "", 1, "", "unable to find"},
      {"query 'HKCU\\Software\\Nowhere'", "", 1, "", "ERROR: The system was unable to find"},
      {"query 'HKCR\\Software'", "", 1, "", "ERROR: Invalid key name"},
      {"query", "", 1, "", "Invalid syntax"},
      {"query 'HKCU\\Software' -x", "", 1, "", "unknown switch '-x'"},
      {"query 'HKCU\\Software' /x", "", 1, "", "query takes KEY"},
      {"export 'HKCU\\Software\\T' t.reg", "", 0, kOk, ""},
      {"export 'HKCU\\Software\\T' t.reg", "", 1,
       "File t.reg already exists. Overwrite (Yes/No)? \n", "cancelled"},
      {"export 'HKCU\\Software\\T' t.reg /y", "", 0, kOk, ""},
      {"delete 'HKCU\\Software\\T' /v Name", "n\n", 1, "Delete the registry value Name (Yes/No)? ",
       "cancelled"},
      {"delete 'HKCU\\Software\\T' /v Name /f", "", 0, kOk, ""},
      {"delete 'HKCU\\Software\\T' /v Name /f", "", 1, "", "unable to find"},
      {"delete 'HKCU\\Software\\T' /va /f", "", 0, kOk, ""},
      {"query 'HKCU\\Software\\T' /v D", "", 1, "", "unable to find"},
      {"delete 'HKCU\\Software\\T'", "y\n", 0,
       "Permanently delete the registry key HKEY_CURRENT_USER\\Software\\T (Yes/No)? "
       "The operation completed successfully.\n",
       ""},
      {"delete 'HKCU\\Software\\T' /f", "", 1, "", "unable to find"},
      {"import \"$PWD/t.reg\"", "", 0, kOk, ""},
      {"query 'HKCU\\Software\\T' /s /v q", "", 0,
       "\nHKEY_CURRENT_USER\\Software\\T\n    Q    REG_QWORD    0xffffffffffffffff\n"
       "\nEnd of search: 1 match(es) found.\n",
       ""},
      {"import bad.reg", "", 1, "", "ERROR: bad.reg: line 3: unterminated string"},
      {"import missing.reg", "", 1, "", "ERROR: Cannot open missing.reg"},
      {"delete HKCU /f", "", 1, "", "root key cannot be deleted"},
  };
  std::ofstream(dir_.path() + "/bad.reg") << "REGEDIT4\n[HKCU\\Software\\Bad]\n\"x\"=\"y\n";
  for (const auto& step : steps) {
    SCOPED_TRACE(step.args);
    const Result r = Run(step.args, step.input);
    EXPECT_EQ(r.status, step.status) << r.err;
    EXPECT_EQ(r.out, step.out);
    EXPECT_NE(r.err.find(step.err), std::string::npos) << r.err;
    if (step.status == 0) {
      EXPECT_EQ(r.err, "");
    }
  }
  EXPECT_EQ(Run("query 'HKCU\\Software\\Bad'").status, 1);  // the bad file changed nothing
}

TEST_F(RegToolTest, HelpAndVersion) {
  const Result help = Run("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: pingsweep-reg ", 0), 0u);
  for (const char* verb :
       {"query KEY", "add KEY", "delete KEY", "export KEY FILE", "import FILE"}) {
    EXPECT_NE(help.out.find(verb), std::string::npos) << verb;
  }
  // Examples paste into a shell as they are: a key unquoted loses its backslashes.
  std::istringstream lines(help.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("  pingsweep-reg ") == 0 && line.find("HKCU\\") != std::string::npos) {
      EXPECT_NE(line.find("'HKCU\\"), std::string::npos) << line;
    }
  }
  const Result version = Run("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("pingsweep-reg (PingSweep) ", 0), 0u);
}

// Export replaces a file in one step, never through a name someone else
// planted, and never turns what the name stands for (a device, a link) into a
// file of its own.
TEST_F(RegToolTest, ExportWritesWhereItsFileNamePoints) {
  ASSERT_EQ(Run("add 'HKCU\\Software\\T' /v v /d 1").status, 0);
  const std::string dir = dir_.path();
  const auto kind = [&](const std::string& name) {
    struct stat st;
    if (::lstat((dir + "/" + name).c_str(), &st) != 0) return std::string("missing");
    return std::string(S_ISREG(st.st_mode)   ? "file"
                       : S_ISLNK(st.st_mode) ? "link"
                       : S_ISCHR(st.st_mode) ? "device"
                       : S_ISDIR(st.st_mode) ? "folder"
                                             : "other");
  };
  const bool root = ::geteuid() == 0;
  const struct {
    const char* what;
    std::function<void()> arrange;
    const char* target;
    int status;
    const char* then_kind;  // of the target afterwards
    const char* exported;   // the file that must hold the export, or ""
  } cases[] = {
      {"a link planted at the temporary name",
       [&] {
         std::ofstream(dir + "/victim") << "keep";
         ASSERT_EQ(::symlink("victim", (dir + "/t.reg.tmp").c_str()), 0);
       },
       "t.reg", 0, "file", "t.reg"},
      {"a link to a file",
       [&] { ASSERT_EQ(::symlink("real.reg", (dir + "/link.reg").c_str()), 0); }, "link.reg", 1,
       "link", ""},
      {"a link to an existing file", [&] { std::ofstream(dir + "/real.reg") << "old"; }, "link.reg",
       0, "link", "real.reg"},
      {"a folder", [&] { ASSERT_EQ(::mkdir((dir + "/sub").c_str(), 0755), 0); }, "sub", 1, "folder",
       ""},
      // Devices of their own, so that a fault never replaces the machine's.
      {"a full device",
       [&] { ASSERT_EQ(::mknod((dir + "/full").c_str(), S_IFCHR | 0666, ::makedev(1, 7)), 0); },
       root ? "full" : "/dev/full", 1, root ? "device" : "missing", ""},
      {"a null device",
       [&] { ASSERT_EQ(::mknod((dir + "/null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0); },
       root ? "null" : "/dev/null", 0, root ? "device" : "missing", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (root || std::string(c.target)[0] != '/') c.arrange();
    const Result r = Run("export 'HKCU\\Software\\T' " + std::string(c.target) + " /y");
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.err.rfind(c.status ? "ERROR: " : "", 0), 0u) << r.err;
    if (c.status == 0) {
      EXPECT_EQ(r.out, "The operation completed successfully.\n");
    }
    if (std::string(c.target)[0] != '/') {
      EXPECT_EQ(kind(c.target), c.then_kind);
    }
    if (*c.exported) {
      EXPECT_EQ(Read(dir + "/" + c.exported).substr(0, 2), "\xFF\xFE");
    }
  }
  EXPECT_EQ(Read(dir + "/victim"), "keep");
}

// An import reads its file a piece at a time; one that cannot fit in memory
// fails with a message and changes nothing, rather than abort the program.
TEST_F(RegToolTest, ImportsLargeFilesInLittleMemory) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit allows";
#endif
  const std::string dir = dir_.path();
  const std::string limit = "ulimit -v 100000 &&";  // KiB: the program needs about 30 MB
  {
    std::ofstream big(dir + "/comments.reg", std::ios::binary);
    big << "Windows Registry Editor Version 5.00\r\n";
    const std::string comment = "; " + std::string(1000, 'c') + "\r\n";
    for (int i = 0; i < 40000; ++i) big << comment;  // 40 MB
    big << "[HKEY_CURRENT_USER\\Software\\Big]\r\n\"v\"=\"1\"\r\n";
  }
  Result r = Run("import comments.reg", "", limit);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Run("query 'HKCU\\Software\\Big' /v v").status, 0);
  {
    std::ofstream big(dir + "/long.reg", std::ios::binary);
    big << "Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\Software\\First]\r\n"
        << "\"v\"=\"1\"\r\n\"long\"=\"" << std::string(60 << 20, 'x') << "\"\r\n";
  }
  r = Run("import long.reg", "", limit);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("ERROR: long.reg: line 4: Not enough memory"), std::string::npos) << r.err;
  EXPECT_EQ(Run("query 'HKCU\\Software\\First'").status, 1);
}

TEST_F(RegToolTest, NamesAndTextTheRegistryCannotHoldExactly) {
  const std::string dir = dir_.path();
  // Not UTF-8, no byte-order mark: read as Windows-1252, and said so.
  std::ofstream(dir + "/latin1.reg", std::ios::binary)
      << "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\L]\r\n"
      << "\"\"=\"caf\xE9\"\r\n";
  Result r = Run("import latin1.reg");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("line 4"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Windows-1252"), std::string::npos) << r.err;
  r = Run("query 'HKCU\\Software\\L' /ve");
  EXPECT_EQ(r.out, "\nHKEY_CURRENT_USER\\Software\\L\n    (Default)    REG_SZ    caf\xC3\xA9\n\n");
  // A name outside the code page would stand for another (two question
  // marks): refused.
  ASSERT_EQ(Run("add 'HKCU\\Software\\L' /v '?\?' /d q").status, 0);
  for (const char* args : {"delete 'HKCU\\Software\\L' /v '\xE6\x97\xA5\xE6\x9C\xAC' /f",
                           "add 'HKCU\\Software\\L' /v '\xE6\x97\xA5\xE6\x9C\xAC' /d x /f",
                           "delete 'HKCU\\Software\\L\\\xE6\x97\xA5\xE6\x9C\xAC' /f"}) {
    SCOPED_TRACE(args);
    r = Run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Windows-1252"), std::string::npos) << r.err;
  }
  EXPECT_EQ(Run("query 'HKCU\\Software\\L' /v '?\?'").status, 0);
  // In data, one '?' for each character the code page lacks.
  ASSERT_EQ(Run("add 'HKCU\\Software\\L' /v e /d 'a\xF0\x9F\x98\x80\x62' /f").status, 0);
  EXPECT_EQ(Run("query 'HKCU\\Software\\L' /v e").out,
            "\nHKEY_CURRENT_USER\\Software\\L\n    e    REG_SZ    a?b\n\n");
}

// Passes every call on, and makes the unnamed value of Software\Grow longer
// the first time its size is asked, as another process might.
class GrowingRegistry : public ps::platform::ForwardingRegistryService {
 public:
  explicit GrowingRegistry(ps::platform::RegistryService& real)
      : ForwardingRegistryService(&real) {}
  ps::platform::LONG RegQueryValueExA(ps::platform::HKEY k, const char* n, ps::platform::DWORD* r,
                                      ps::platform::DWORD* t, unsigned char* d,
                                      ps::platform::DWORD* c) override {
    const ps::platform::LONG rc = ForwardingRegistryService::RegQueryValueExA(k, n, r, t, d, c);
    ps::platform::HKEY key = 0;
    if (d == nullptr && !grown_ &&
        RegOpenKeyExA(ps::platform::HKEY_CURRENT_USER, "Software\\Grow", 0,
                      ps::platform::KEY_SET_VALUE, &key) == ps::platform::ERROR_SUCCESS) {
      grown_ = true;
      static const unsigned char kLonger[] = "a longer text";
      RegSetValueExA(key, n, 0, ps::platform::REG_SZ, kLonger, sizeof kLonger);
      RegCloseKey(key);
    }
    return rc;
  }

 private:
  bool grown_ = false;
};

TEST_F(RegToolTest, QueryReadsAValueThatGrowsMeanwhile) {
  ASSERT_EQ(Run("add 'HKCU\\Software\\Grow' /ve /d short").status, 0);
  ps::platform::SqliteRegistry real(ps::platform::SqliteRegistry::LocationIn(dir_.path()));
  GrowingRegistry growing(real);
  ps::regtool::Args args;
  std::string error;
  ASSERT_TRUE(ps::regtool::ParseArgs({"query", "HKCU\\Software\\Grow", "/ve"}, &args, &error));
  std::ostringstream out, err;
  std::istringstream in;
  EXPECT_EQ(ps::regtool::RunVerb(args, growing, out, err, in), 0) << err.str();
  EXPECT_EQ(out.str(),
            "\nHKEY_CURRENT_USER\\Software\\Grow\n    (Default)    REG_SZ    a longer text\n\n");
}

// The bash completion offers fixed words only: nothing it offers is ever run.
TEST_F(RegToolTest, BashCompletion) {
  const std::string dir = dir_.path();
  std::ofstream(dir + "/$(touch pwned)");
  std::ofstream(dir + "/x;touch pwned");
  const struct {
    const char* words;  // after the program's name; the last is completed
    const char* offered;
  } cases[] = {
      {"''", "query add delete export import --help --version"},
      {"--he", "--help"},
      {"q", "query"},
      {"query ''", "HKCU HKLM HKEY_CURRENT_USER HKEY_LOCAL_MACHINE"},
      {"query HKEY_C", "HKEY_CURRENT_USER"},
      {"query HKCU /", "/v /ve /s"},
      {"add HKCU /", "/v /ve /t /d /s /f"},
      {"add HKCU -", "-v -ve -t -d -s -f"},
      {"delete HKCU /v", "/v /ve /va"},
      {"export HKCU /", "/y"},
      {"add HKCU /t REG_D", "REG_DWORD"},
      {"add HKCU /v ''", ""},
      {"import '$'", "$(touch pwned)"},
      {"export HKCU x", "x;touch pwned"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.words);
    const std::string script = "source " + std::string(REG_COMPLETION) +
                               " && COMP_WORDS=(pingsweep-reg " + c.words +
                               ") && COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) && COMPREPLY=() && "
                               "_pingsweep_reg; echo \"${COMPREPLY[*]}\"";
    std::ofstream(dir + "/complete.sh") << script;
    const int status = std::system(("cd " + dir + " && bash complete.sh >offered").c_str());
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Read(dir + "/offered"), std::string(c.offered) + "\n");
  }
  EXPECT_NE(::access((dir + "/pwned").c_str(), F_OK), 0);
}

}  // namespace

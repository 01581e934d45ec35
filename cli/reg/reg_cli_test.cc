// pingsweep-reg as a user runs it: the built program against a registry in a
// throw-away folder, one command after another.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

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
  // on standard input.
  Result Run(const std::string& args, const std::string& input = "") {
    const std::string dir = dir_.path();
    std::ofstream(dir + "/stdin") << input;
    const std::string command = "cd " + dir + " && PINGSWEEP_REGISTRY_DIR=" + dir + " " + REG_TOOL +
                                " " + args + " <stdin >stdout 2>stderr";
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
  const Result version = Run("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("pingsweep-reg (PingSweep) ", 0), 0u);
}

}  // namespace

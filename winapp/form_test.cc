// The Win32 window as a user's clicks and another program see it: the real
// pingsweep.exe driven with window messages (WM_SETTEXT on Text1, BM_CLICK on
// Command1, LB_GETCOUNT/LB_GETTEXT on List1, the title). Run by ./test.sh
// windows inside a private network namespace where 127.0.0.x answers but
// for the dropped hosts below, /etc/hosts names a few of them, and
// 10.99.0.0/24 is silent.
// The seam's names first: the system headers' macros would rewrite them.
#include "platform/netapi/net_services.h"

#include <windows.h>
#undef MessageBox

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/error.h"
#include "platform/netapi/net_fakes.h"
#include "winapp/form.h"
#include "winapp/form_ids.h"
#include "winapp/window_system.h"

namespace ps::winapp {
namespace {

// As test-windows.sh sets the namespace up.
const std::set<int> kSilent = {0, 3, 4, 100, 200, 253};

std::wstring Name(int n) {
  switch (n) {
    case 1: return L"localhost";
    case 2: return L"alpha.test";
    case 9: return L"bravo.test";
    case 77: return L"charlie.test";
    case 78: return L"caf\u00E9.test";
    case 254: return L"last.test";
    default: return L"";
  }
}

std::vector<std::wstring> ExpectedLines() {
  std::vector<std::wstring> lines;
  for (int n = 0; n <= 254; ++n)
    if (!kSilent.count(n)) lines.push_back(L"127.0.0." + std::to_wstring(n) + L" : " + Name(n));
  return lines;
}

// Equal lists, the first difference named.
void ExpectLines(const std::vector<std::wstring>& got, const std::vector<std::wstring>& want) {
  EXPECT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size() && i < want.size(); ++i) {
    if (got[i] == want[i]) continue;
    ADD_FAILURE() << "line " << i << ": " << std::string(got[i].begin(), got[i].end()) << " / "
                  << std::string(want[i].begin(), want[i].end());
    return;
  }
}

std::wstring TextOf(HWND w) {
  wchar_t text[512] = {};
  SendMessageTimeoutW(w, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_BLOCK, 10000, nullptr);
  return text;
}

class FormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("PINGSWEEP_SILENT_HOST") == nullptr)
      GTEST_SKIP() << "sends: run by ./test.sh windows, inside its namespace";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    wchar_t command[] = PINGSWEEP_EXE_W;
    ASSERT_TRUE(CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                               &process_));
    WaitForInputIdle(process_.hProcess, 20000);
    for (int i = 0; i < 200 && form_ == nullptr; ++i, Sleep(50)) {
      EnumWindows(
          [](HWND w, LPARAM self) -> BOOL {
            auto* t = reinterpret_cast<FormTest*>(self);
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            wchar_t cls[64];
            GetClassNameW(w, cls, 64);
            if (pid == t->process_.dwProcessId && std::wstring(cls) == kFormClass) t->form_ = w;
            return t->form_ == nullptr;
          },
          reinterpret_cast<LPARAM>(this));
    }
    ASSERT_NE(form_, nullptr);
    text1_ = GetDlgItem(form_, kText1Id);
    command1_ = GetDlgItem(form_, kCommand1Id);
    list1_ = GetDlgItem(form_, kList1Id);
  }
  void TearDown() override {
    if (process_.hProcess == nullptr) return;
    if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process_.hProcess, 9);
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }

  void Type(const std::wstring& text) {
    SendMessageW(text1_, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
  }
  // A click that returns once the whole sweep has run.
  void Click() {
    DWORD_PTR result;
    ASSERT_NE(SendMessageTimeoutW(command1_, BM_CLICK, 0, 0, SMTO_BLOCK, 120000, &result), 0);
  }
  std::vector<std::wstring> Lines() {
    std::vector<std::wstring> lines;
    const LRESULT n = SendMessageW(list1_, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < n; ++i) {
      std::wstring line(static_cast<std::size_t>(SendMessageW(list1_, LB_GETTEXTLEN, i, 0)), L'\0');
      SendMessageW(list1_, LB_GETTEXT, i, reinterpret_cast<LPARAM>(line.data()));
      lines.push_back(line);
    }
    return lines;
  }
  DWORD ExitCode(DWORD wait_ms) {
    if (WaitForSingleObject(process_.hProcess, wait_ms) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    return code;
  }

  PROCESS_INFORMATION process_{};
  HWND form_ = nullptr, text1_ = nullptr, command1_ = nullptr, list1_ = nullptr;
};

TEST_F(FormTest, DesignAndTwoSweepsOfLoopback) {
  EXPECT_EQ(TextOf(form_), L"Form1");
  EXPECT_EQ(TextOf(text1_), L"192.168.1.255");
  EXPECT_EQ(TextOf(command1_), L"PINGs");
  EXPECT_EQ(Lines().size(), 0u);
  RECT client;
  GetClientRect(form_, &client);
  EXPECT_EQ(client.right, 437);
  EXPECT_EQ(client.bottom, 533);

  Type(L"127.0.0.255");
  Click();
  ExpectLines(Lines(), ExpectedLines());
  EXPECT_EQ(TextOf(form_), L"127.0.0.254");
  // The shorter form gives the same addresses; lines accumulate.
  Type(L"127.0.0");
  Click();
  std::vector<std::wstring> twice = ExpectedLines();
  const std::vector<std::wstring> once = twice;
  twice.insert(twice.end(), once.begin(), once.end());
  ExpectLines(Lines(), twice);
  PostMessageW(form_, WM_CLOSE, 0, 0);
  EXPECT_EQ(ExitCode(10000), 0u);
}

TEST_F(FormTest, APressDuringTheSweepRunsAWholeSweepInsideIt) {
  Type(L"127.0.0.255");
  PostMessageW(command1_, BM_CLICK, 0, 0);
  PostMessageW(command1_, BM_CLICK, 0, 0);  // dispatched by the first sweep's first probe
  const std::size_t expected = 2 * ExpectedLines().size();
  for (int i = 0; i < 600 && Lines().size() < expected; ++i) Sleep(100);
  std::multiset<std::wstring> got, want;
  for (const auto& l : Lines()) got.insert(l);
  for (int k = 0; k < 2; ++k)
    for (const auto& l : ExpectedLines()) want.insert(l);
  EXPECT_EQ(got, want);
  EXPECT_EQ(Lines().front(), ExpectedLines().front());  // the inner sweep's, whole, comes first
}

TEST_F(FormTest, ClosingMidSweepEndsTheApplication) {
  Type(L"10.99.0.255");  // silent: the sweep takes 255 time-outs
  PostMessageW(command1_, BM_CLICK, 0, 0);
  Sleep(500);
  PostMessageW(form_, WM_CLOSE, 0, 0);
  EXPECT_EQ(ExitCode(10000), 0u);
}

// In this process, over fake services whose dispatch raises at host 6: the
// report in the system's message box (dismissed here like a user would),
// then the application ending with exit code 1; a further press probes
// nothing.
TEST(FormErrorTest, AnUntrappedErrorIsReportedAndEndsTheApplication) {
  platform::FakeSocketLayer sockets;
  platform::FakeEchoService echo;
  platform::FakeSystemClock clock;
  struct RaisingWindowSystem : Win32WindowSystem {
    int calls = 0;
    void DoEvents() override {
      Win32WindowSystem::DoEvents();
      if (++calls == 7) throw OverflowError();
    }
  } window;
  platform::ScopedServices services({&sockets, &echo, &clock, &window});
  MainForm form(GetModuleHandleW(nullptr));
  form.Show(SW_SHOWNORMAL);
  std::wstring report;
  std::thread user([&] {
    for (int i = 0; i < 400; ++i, Sleep(25)) {
      HWND box = FindWindowW(L"#32770", L"PingSweep");
      if (box == nullptr) continue;
      for (HWND c = GetWindow(box, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
        const std::wstring t = TextOf(c);
        if (t.rfind(L"Run-time error", 0) == 0) report = t;
      }
      PostMessageW(box, WM_COMMAND, IDOK, 0);
      return;
    }
  });
  SendMessageW(GetDlgItem(form.hwnd(), kCommand1Id), BM_CLICK, 0, 0);
  user.join();
  EXPECT_EQ(report, L"Run-time error '6':\n\nOverflow");
  EXPECT_EQ(echo.sends.size(), 6u);
  EXPECT_TRUE(ApplicationEnding());
  MSG msg{};
  bool quit = false;
  while (!quit && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) quit = msg.message == WM_QUIT;
  EXPECT_TRUE(quit);
  EXPECT_EQ(msg.wParam, 1u);
  SendMessageW(GetDlgItem(form.hwnd(), kCommand1Id), BM_CLICK, 0, 0);
  EXPECT_EQ(echo.sends.size(), 6u);
}

}  // namespace
}  // namespace ps::winapp

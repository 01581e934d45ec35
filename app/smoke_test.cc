// Starts the real application under Xvfb inside the test's private network
// namespace, finds its window and closes it the way a window manager does
// (WM_DELETE_WINDOW), then checks that the process ended cleanly.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "testsupport/private_network.h"

// Last: Xlib defines macros (None, Bool, Status...) that clash with the headers above.
#include <X11/Xlib.h>

extern char** environ;

namespace {

using namespace std::chrono_literals;

bool OnPath(const char* program) {
  return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

// The child's exit status, or nothing when it is still running after `limit`.
std::optional<int> WaitFor(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    std::this_thread::sleep_for(20ms);
  }
  return std::nullopt;
}

Window FindWindowNamed(Display* display, Window root, const std::string& name) {
  Window parent = 0, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(display, root, &root, &parent, &children, &count)) return 0;
  Window found = 0;
  for (unsigned i = 0; i < count && found == 0; ++i) {
    char* window_name = nullptr;
    if (XFetchName(display, children[i], &window_name) && window_name != nullptr) {
      if (name == window_name) found = children[i];
      XFree(window_name);
    }
    if (found == 0) found = FindWindowNamed(display, children[i], name);
  }
  if (children != nullptr) XFree(children);
  return found;
}

// What a window manager sends when the user closes a window.
void SendDeleteWindow(Display* display, Window window) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, window, False, NoEventMask, &event);
  XFlush(display);
}

std::string WindowName(Display* display, Window window) {
  char* name = nullptr;
  std::string out;
  if (XFetchName(display, window, &name) && name != nullptr) {
    out = name;
    XFree(name);
  }
  return out;
}

// The real binary under its own Xvfb, and our connection to that display.
class SmokeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PS_REQUIRE_PRIVATE_NETWORK();
    if (!OnPath("xvfb-run")) GTEST_SKIP() << "xvfb-run is not installed";
    char dir_template[] = "/tmp/pingsweep-smoke-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    dir_ = dir_template;
  }

  void TearDown() override {
    if (display_ != nullptr) XCloseDisplay(display_);
    if (pid_ > 0 && !WaitFor(pid_, 0ms)) {
      kill(-pid_, SIGTERM);  // the process group we started
      WaitFor(pid_, 5s);
    }
    if (!dir_.empty()) { std::error_code e; std::filesystem::remove_all(dir_, e); }
  }

  // Starts the application and waits for its window; false if none appeared.
  bool Start() {
    const std::string display_file = dir_ + "/display";
    // Under the leak checker: D-Bus, used by Qt's X11 integration, keeps one
    // buffer to the end; that one is not ours.
    const std::string suppressions = dir_ + "/lsan.supp";
    std::ofstream(suppressions) << "leak:libdbus-1.so\n";
    // xvfb-run picks a free display and an authority file; hand both back to us.
    const std::string script = "echo \"$DISPLAY $XAUTHORITY\" > '" + display_file +
                               "'; LSAN_OPTIONS=\"$LSAN_OPTIONS:suppressions=" + suppressions +
                               "\" exec '" + PINGSWEEP_BINARY + "'";
    const char* argv[] = {"xvfb-run", "-a", "-s",           "-screen 0 800x700x24",
                          "sh",       "-c", script.c_str(), nullptr};
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    const int spawned =
        posix_spawnp(&pid_, "xvfb-run", nullptr, &attr, const_cast<char**>(argv), environ);
    posix_spawnattr_destroy(&attr);
    if (spawned != 0) return false;

    for (auto deadline = std::chrono::steady_clock::now() + 20s;
         window_ == 0 && std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(100ms)) {
      if (display_ == nullptr) {
        std::string name, authority;
        std::ifstream(display_file) >> name >> authority;
        if (name.empty() || authority.empty()) continue;
        setenv("XAUTHORITY", authority.c_str(), 1);
        setenv("DISPLAY", name.c_str(), 1);
        display_ = XOpenDisplay(name.c_str());
        if (display_ == nullptr) continue;
      }
      window_ = FindWindowNamed(display_, DefaultRootWindow(display_), "Form1");
    }
    return window_ != 0;
  }

  // The exit status once the application has ended, or nothing.
  std::optional<int> WaitForExit() {
    // Let go of the display first: Xvfb goes away with the application, and
    // Xlib ends a process whose connection breaks.
    if (display_ != nullptr) XCloseDisplay(display_);
    display_ = nullptr;
    std::optional<int> status = WaitFor(pid_, 15s);
    if (status) pid_ = 0;
    return status;
  }

  std::string dir_;
  pid_t pid_ = 0;
  Display* display_ = nullptr;
  Window window_ = 0;
};

TEST_F(SmokeTest, WindowAppearsAndClosingItEndsTheApplicationCleanly) {
  ASSERT_TRUE(Start()) << "no window titled Form1 appeared";
  XWindowAttributes attributes{};
  XGetWindowAttributes(display_, window_, &attributes);
  EXPECT_EQ(attributes.width, 437);
  EXPECT_EQ(attributes.height, 533);

  SendDeleteWindow(display_, window_);
  const std::optional<int> status = WaitForExit();
  ASSERT_TRUE(status) << "the application did not end when its window was closed";
  EXPECT_TRUE(WIFEXITED(*status)) << *status;
  EXPECT_EQ(WEXITSTATUS(*status), 0);
}

TEST_F(SmokeTest, ClosingDuringASweepStopsItAndEndsTheApplicationCleanly) {
  // Every 127.0.0.x stays silent, so a sweep takes 255 time-outs.
  ps::testing::ResetFirewall();
  ps::testing::Sh("nft add chain inet pstest in '{ type filter hook input priority 0; }'");
  ps::testing::Sh("nft add rule inet pstest in ip daddr 127.0.0.0/24 icmp type echo-request drop");
  ASSERT_TRUE(Start()) << "no window titled Form1 appeared";

  // Type the subnet into Text1 and press Command1, at their design positions.
  const std::string w = std::to_string(window_);
  ps::testing::Sh("xdotool mousemove --window " + w + " 80 33 click 1 key --window " + w +
                  " ctrl+a BackSpace type --window " + w + " 127.0.0.255");
  ps::testing::Sh("xdotool mousemove --window " + w + " 216 36 click 1");

  std::string title;
  for (auto deadline = std::chrono::steady_clock::now() + 10s;
       std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(20ms)) {
    title = WindowName(display_, window_);
    if (title.rfind("127.0.0.", 0) == 0 && title != "127.0.0.0") break;
  }
  SendDeleteWindow(display_, window_);
  ASSERT_EQ(title.rfind("127.0.0.", 0), 0u) << "the sweep did not start: " << title;

  const std::optional<int> status = WaitForExit();
  ASSERT_TRUE(status) << "the application did not end when its window was closed";
  EXPECT_TRUE(WIFEXITED(*status)) << *status;
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  // It stopped early: far fewer requests than a whole sweep.
  EXPECT_LT(ps::testing::EchoRequestsSent(), 200u) << "title at close: " << title;
  ps::testing::ResetFirewall();
}

}  // namespace

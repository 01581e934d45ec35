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

TEST(SmokeTest, WindowAppearsAndClosingItEndsTheApplicationCleanly) {
  PS_REQUIRE_PRIVATE_NETWORK();
  if (!OnPath("xvfb-run")) GTEST_SKIP() << "xvfb-run is not installed";

  char dir_template[] = "/tmp/pingsweep-smoke-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  const std::string display_file = dir + "/display";
  // xvfb-run picks a free display and an authority file; hand both back to us.
  // Under the leak checker: D-Bus, used by Qt's X11 integration, keeps one
  // buffer to the end; that one is not ours.
  const std::string suppressions = dir + "/lsan.supp";
  std::ofstream(suppressions) << "leak:libdbus-1.so\n";
  const std::string script = "echo \"$DISPLAY $XAUTHORITY\" > '" + display_file +
                             "'; LSAN_OPTIONS=\"$LSAN_OPTIONS:suppressions=" + suppressions +
                             "\" exec '" + PINGSWEEP_BINARY + "'";
  const char* argv[] = {"xvfb-run", "-a", "-s",           "-screen 0 800x700x24",
                        "sh",       "-c", script.c_str(), nullptr};
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawnp(&pid, "xvfb-run", nullptr, &attr, const_cast<char**>(argv), environ), 0);
  posix_spawnattr_destroy(&attr);

  Display* display = nullptr;
  Window window = 0;
  for (auto deadline = std::chrono::steady_clock::now() + 20s;
       window == 0 && std::chrono::steady_clock::now() < deadline;
       std::this_thread::sleep_for(100ms)) {
    if (display == nullptr) {
      std::string name, authority;
      std::ifstream(display_file) >> name >> authority;
      if (name.empty() || authority.empty()) continue;
      setenv("XAUTHORITY", authority.c_str(), 1);
      display = XOpenDisplay(name.c_str());
      if (display == nullptr) continue;
    }
    window = FindWindowNamed(display, DefaultRootWindow(display), "Form1");
  }

  bool closed = false;
  if (window != 0) {
    XWindowAttributes attributes{};
    XGetWindowAttributes(display, window, &attributes);
    EXPECT_EQ(attributes.width, 437);
    EXPECT_EQ(attributes.height, 533);
    SendDeleteWindow(display, window);
    closed = true;
  }
  if (display != nullptr) XCloseDisplay(display);
  EXPECT_TRUE(closed) << "no window titled Form1 appeared";

  const std::optional<int> status = WaitFor(pid, 15s);
  if (!status) {
    kill(-pid, SIGTERM);
    WaitFor(pid, 5s);
    FAIL() << "the application did not end when its window was closed";
  }
  EXPECT_TRUE(WIFEXITED(*status)) << *status;
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  std::remove(display_file.c_str());
  std::remove(suppressions.c_str());
  rmdir(dir.c_str());
}

}  // namespace

// The real window binary, run as an unprivileged user inside the test's
// private network namespace, with a style plugin of the test's own
// (test_driver_style.cc) loaded the way any local user could load one. The
// plugin reports the capabilities it holds and drives a sweep of 127.0.0.x.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport/private_network.h"
#include "testsupport/temp_dir.h"

namespace {

using ps::testing::ScopedSysctl;
using ps::testing::Sh;

constexpr char kNobody[] = "65534";

bool OnPath(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

std::string Read(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> LinesStarting(const std::string& text, const std::string& prefix) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(prefix.size()));
  }
  return lines;
}

class WindowPrivilegesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PS_REQUIRE_PRIVATE_NETWORK();
    for (const char* tool : {"setcap", "setpriv"}) {
      if (!OnPath(tool)) GTEST_SKIP() << tool << " is not installed";
    }
    ps::testing::ResetFirewall();
    // A copy that the user may run, and the plugin where QT_PLUGIN_PATH finds it.
    const std::string& d = dir_.path();
    Sh("cp '" PINGSWEEP_BINARY "' " + d + "/pingsweep && mkdir -p " + d + "/plugins/styles " + d +
       "/home && cp '" DRIVER_PLUGIN "' " + d + "/plugins/styles/ && chown " + kNobody + ":" +
       kNobody + " " + d + "/home && touch " + d + "/notes && chmod 666 " + d + "/notes");
  }

  // Runs the copy as user nobody until the plugin closes its window; its
  // standard error goes to `stderr_`, the plugin's notes to `notes_`.
  void RunWindow() {
    const std::string& d = dir_.path();
    const int status = std::system(
        ("cd " + d + " && HOME=" + d + "/home QT_PLUGIN_PATH=" + d +
         "/plugins PSTEST_DRIVER_OUT=" + d +
         "/notes PSTEST_DRIVER_SUBNET=127.0.0.255 ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" "
         "timeout 120 setpriv --reuid=" +
         kNobody + " --regid=" + kNobody +
         " --clear-groups -- ./pingsweep -platform offscreen -style pstestdriver 2>" + d +
         "/stderr")
            .c_str());
    EXPECT_EQ(status, 0) << Read(d + "/stderr");
    notes_ = Read(d + "/notes");
    stderr_ = Read(d + "/stderr");
    ASSERT_NE(notes_.find("\ndone\n"), std::string::npos) << notes_ << stderr_;
  }

  // The plugin holds no capability, and can gain none.
  void ExpectNoCapability() {
    for (const char* set : {"CapEff:\t", "CapPrm:\t", "CapInh:\t", "CapAmb:\t"}) {
      const std::vector<std::string> values = LinesStarting(notes_, set);
      ASSERT_EQ(values.size(), 1u) << set << notes_;
      EXPECT_EQ(values[0], "0000000000000000") << set;
    }
    EXPECT_EQ(LinesStarting(notes_, "NoNewPrivs:\t"), std::vector<std::string>{"1"});
    EXPECT_EQ(LinesStarting(notes_, "Uid:\t").at(0).substr(0, 5), kNobody);
  }

  ps::platform::TempRegistryDir dir_;
  std::string notes_, stderr_;
};

TEST_F(WindowPrivilegesTest, PluginsRunWithoutTheCapabilityTheSweepStillHas) {
  // No group may open a datagram socket: only the capability lets it sweep.
  ScopedSysctl nobody("net/ipv4/ping_group_range", "1 0");
  Sh("setcap cap_net_raw+ep " + dir_.path() + "/pingsweep");
  RunWindow();
  ExpectNoCapability();
  EXPECT_TRUE(LinesStarting(notes_, "box: ").empty()) << notes_;
  const std::vector<std::string> lines = LinesStarting(notes_, "line: ");
  ASSERT_EQ(lines.size(), 255u) << notes_ << stderr_;
  for (int n = 0; n <= 254; ++n) {
    const std::string address = "127.0.0." + std::to_string(n) + " : ";
    EXPECT_EQ(lines[static_cast<std::size_t>(n)].rfind(address, 0), 0u) << lines[n];
  }
  EXPECT_EQ(ps::testing::EchoRequestsSent(), 255u);
}

TEST_F(WindowPrivilegesTest, WithoutPermissionBoxAndStderrWidenTheGroupRange) {
  // Groups 100 to 200 may ping; nobody's group (65534) may not, and the copy
  // has no capability.
  ScopedSysctl some("net/ipv4/ping_group_range", "100 200");
  RunWindow();
  ExpectNoCapability();
  const std::string widened =
      "echo 'net.ipv4.ping_group_range = 100 65534' | sudo tee /etc/sysctl.d/";
  ASSERT_EQ(LinesStarting(notes_, "box: ").size(), 1u) << notes_;
  const std::string& box = notes_;  // the box's text follows "box: "
  EXPECT_NE(box.find(widened), std::string::npos) << box;
  EXPECT_NE(stderr_.find(widened), std::string::npos) << stderr_;
  for (const std::string& text : {box, stderr_}) {
    EXPECT_NE(text.find("sudo setcap cap_net_raw+ep " + dir_.path() + "/pingsweep"),
              std::string::npos);
    EXPECT_EQ(text.find("65534 65534"), std::string::npos) << "locks groups 100 to 200 out";
  }
  EXPECT_TRUE(LinesStarting(notes_, "line: ").empty());
  EXPECT_EQ(ps::testing::EchoRequestsSent(), 0u);
}

}  // namespace

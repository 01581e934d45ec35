// Commands run through the system's shell: the environment given reaches the
// command as values only, and Kill() ends the command with what it started.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/process/commands.h"

namespace ps::platform {
namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

bool WaitEnded(Commands& commands, long id) {
  for (int i = 0; i < 500; ++i) {
    if (commands.Ended(id)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(LinuxCommandsTest, EnvironmentValuesNeverBecomeCommands) {
  const std::string dir = "/tmp/ps-commands-test." + std::to_string(getpid());
  ASSERT_EQ(std::system(("mkdir -p " + dir).c_str()), 0);
  ::setenv("PINGSWEEP_NAME", "inherited", 1);
  const std::string hostile = "$(touch " + dir + "/a);`touch " + dir + "/b`;touch " + dir + "/c";
  const struct {
    Environment env;
    std::string expected;
  } cases[] = {
      {{{"PINGSWEEP_NAME", hostile}}, hostile + "|" + hostile},
      {{{"PINGSWEEP_NAME", ""}}, "|"},
      {{}, "inherited|inherited"},  // not given: this process's own
  };
  Commands& commands = SystemCommands();
  for (const auto& c : cases) {
    const Result<long> id = commands.Start(
        "printf '%s|' \"$PINGSWEEP_NAME\" >" + dir + "/out; echo $PINGSWEEP_NAME >>" + dir + "/out",
        c.env);
    ASSERT_TRUE(id.ok()) << id.status().message();
    ASSERT_TRUE(WaitEnded(commands, id.value()));
    EXPECT_EQ(Slurp(dir + "/out"), c.expected + "\n");
  }
  for (const char* f : {"/a", "/b", "/c"}) EXPECT_NE(access((dir + f).c_str(), F_OK), 0) << f;
  ::unsetenv("PINGSWEEP_NAME");
  ASSERT_EQ(std::system(("rm -rf " + dir).c_str()), 0);
}

TEST(LinuxCommandsTest, KillEndsWhatTheCommandStarted) {
  Commands& commands = SystemCommands();
  const std::string pid_file = "/tmp/ps-commands-kill." + std::to_string(getpid());
  const Result<long> id = commands.Start("sleep 60 & echo $! >" + pid_file + "; wait", {});
  ASSERT_TRUE(id.ok());
  pid_t sleeper = 0;
  for (int i = 0; i < 500 && sleeper == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::istringstream(Slurp(pid_file)) >> sleeper;
  }
  ASSERT_GT(sleeper, 0);
  EXPECT_FALSE(commands.Ended(id.value()));
  commands.Kill(id.value());
  bool gone = false;
  for (int i = 0; i < 500 && !gone; ++i) {
    gone = ::kill(sleeper, 0) != 0;
    if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(gone) << "the command's own child outlived it";
  std::remove(pid_file.c_str());
}

}  // namespace
}  // namespace ps::platform

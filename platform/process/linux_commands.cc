// Commands through posix_spawn: /bin/sh -c in a new process group, the
// environment built here, the signals a shell expects set back to default.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "platform/process/commands.h"

extern char** environ;

namespace ps::platform {
namespace {

// This process's environment without the names `env` sets, then `env`.
std::vector<std::string> MergedEnvironment(const Environment& env) {
  std::vector<std::string> merged;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string_view entry(*e);
    bool replaced = false;
    for (const auto& [name, value] : env) {
      replaced = replaced || (entry.size() > name.size() && entry.starts_with(name) &&
                              entry[name.size()] == '=');
    }
    if (!replaced) merged.emplace_back(entry);
  }
  for (const auto& [name, value] : env) merged.push_back(name + "=" + value);
  return merged;
}

class LinuxCommands : public Commands {
 public:
  Result<long> Start(const std::string& command, const Environment& env) override {
    std::vector<std::string> strings = MergedEnvironment(env);
    std::vector<char*> envp;
    for (std::string& s : strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string sh = "/bin/sh", dash_c = "-c", text = command;
    char* argv[] = {sh.data(), dash_c.data(), text.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 2, 1);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGINT, SIGTERM, SIGPIPE, SIGHUP, SIGQUIT, SIGCHLD}) sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv, envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
      return Status::Failure(std::string("cannot run /bin/sh: ") + std::strerror(rc), rc);
    return static_cast<long>(pid);
  }

  bool Ended(long id) override {
    int status = 0;
    const pid_t r = waitpid(static_cast<pid_t>(id), &status, WNOHANG);
    return r == id || (r < 0 && errno == ECHILD);
  }

  void Kill(long id) override {
    kill(-static_cast<pid_t>(id), SIGKILL);  // its group: the shell and what it started
    kill(static_cast<pid_t>(id), SIGKILL);
    while (waitpid(static_cast<pid_t>(id), nullptr, 0) < 0 && errno == EINTR) {
    }
  }
};

}  // namespace

Commands& SystemCommands() {
  static LinuxCommands commands;
  return commands;
}

void SleepNs(std::int64_t ns) {
  if (ns <= 0) return;
  const timespec t{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  nanosleep(&t, nullptr);  // a signal ends it early, as wanted
}

}  // namespace ps::platform

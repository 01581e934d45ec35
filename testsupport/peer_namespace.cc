#include "testsupport/peer_namespace.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "testsupport/private_network.h"

namespace ps::testing {

PeerNamespace::PeerNamespace() {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return;
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    char result = unshare(CLONE_NEWNET) == 0 ? 1 : 0;
    (void)!write(ready[1], &result, 1);
    for (;;) pause();
  }
  close(ready[1]);
  char result = 0;
  if (pid > 0 && read(ready[0], &result, 1) == 1 && result == 1) {
    pid_ = pid;
  } else if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  close(ready[0]);
  EXPECT_TRUE(ok()) << "could not make a peer network namespace";
  if (ok()) Sh("ip link set lo up");
}

PeerNamespace::~PeerNamespace() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

int PeerNamespace::Sh(std::string_view command) const {
  std::string quoted;
  for (char c : command) {
    if (c == '\'') quoted += "'\\''";
    else quoted += c;
  }
  return testing::Sh("nsenter -t " + std::to_string(pid_) + " -n sh -c '" + quoted + "'");
}

void PeerNamespace::RunInside(const std::function<void()>& fn) const {
  std::thread thread([&] {
    const std::string path = "/proc/" + std::to_string(pid_) + "/ns/net";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool entered = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) close(fd);
    EXPECT_TRUE(entered) << "setns into the peer namespace";
    if (entered) fn();
  });
  thread.join();
}

bool AddVethPair(const PeerNamespace& peer, std::string_view near, std::string_view far) {
  const std::string n(near), f(far), pid = std::to_string(peer.pid());
  return Sh("ip link add " + n + " type veth peer name " + f + " netns " + pid) == 0 &&
         Sh("ip link set " + n + " up") == 0 && peer.Sh("ip link set " + f + " up") == 0;
}

}  // namespace ps::testing

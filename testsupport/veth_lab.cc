#include "testsupport/veth_lab.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include <cstdlib>
#include <sstream>
#include <string_view>

namespace ps::testing {
namespace {

int Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string NetNs(pid_t pid) {
  char link[64] = {};
  const std::string path = "/proc/" + std::to_string(pid) + "/ns/net";
  const ssize_t n = readlink(path.c_str(), link, sizeof(link) - 1);
  return n > 0 ? std::string(link, static_cast<std::size_t>(n)) : "";
}

}  // namespace

VethLab::VethLab(const std::string& far_blocks, const std::string& our_address) {
  const std::string ours = NetNs(getpid());
  far_ = fork();
  if (far_ == 0) {
    // The far side: a process that only holds its own network namespace.
    if (unshare(CLONE_NEWNET) != 0) _exit(1);
    for (;;) pause();
  }
  if (far_ < 0) {
    error_ = "fork failed";
    return;
  }
  for (int i = 0; i < 1000 && NetNs(far_) == ours; ++i) usleep(1000);
  if (NetNs(far_) == ours) {
    error_ = "the far namespace did not appear";
    return;
  }
  const std::string pid = std::to_string(far_);
  std::ostringstream far;
  far << "ip link set lo up && ip addr add 10.99.0.2/30 dev psv1 && ip link set psv1 up";
  std::istringstream blocks(far_blocks);
  for (std::string block; blocks >> block;) far << " && ip route add local " << block << " dev lo";
  // On-link, replies go straight back to our address on the veth.
  if (!our_address.empty())
    far << " && ip route add " << our_address.substr(0, our_address.find('/')) << " dev psv1";
  std::string near = "ip link add psv0 type veth peer name psv1 netns " + pid +
                     " && ip addr add 10.99.0.1/30 dev psv0 && ip link set psv0 up";
  if (!our_address.empty()) near += " && ip addr add " + our_address + " dev psv0";
  if (Shell(near) != 0 || Far(far.str()) != 0) {
    error_ = "setting up the veth pair failed";
    return;
  }
  // Routed: the blocks go via the far side. On-link they are reached through
  // our own address's subnet, or through a device route.
  std::istringstream again(far_blocks);
  for (std::string block; again >> block;) {
    const std::string route = our_address.empty() ? "via 10.99.0.2" : "dev psv0";
    if (Shell("ip route replace " + block + " " + route) != 0) error_ = "route for " + block;
  }
  if (Far("nft add table inet lab && nft add chain inet lab in "
          "'{ type filter hook input priority 0; policy accept; }'") != 0) {
    error_ = "nft in the far namespace failed";
  }
}

VethLab::~VethLab() {
  for (const pid_t pid : listeners_) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  if (far_ <= 0) return;
  Shell("ip link del psv0 2>/dev/null");
  kill(far_, SIGKILL);
  waitpid(far_, nullptr, 0);
}

int VethLab::Far(const std::string& command) const {
  std::string quoted;
  for (char c : command) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return Shell("nsenter -t " + std::to_string(far_) + " -n sh -c '" + quoted + "'");
}

bool VethLab::Listen(std::uint16_t port) {
  int ready[2];
  if (far_ <= 0 || pipe2(ready, O_CLOEXEC) != 0) return false;
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const std::string ns = "/proc/" + std::to_string(far_) + "/ns/net";
    const int ns_fd = open(ns.c_str(), O_RDONLY | O_CLOEXEC);
    char ok = ns_fd >= 0 && setns(ns_fd, CLONE_NEWNET) == 0;
    // Per namespace, so the far one's now.
    std::ofstream("/proc/sys/net/core/somaxconn") << 65535;
    std::ofstream("/proc/sys/net/ipv4/tcp_max_syn_backlog") << 65536;
    const int fd = socket(AF_INET6, SOCK_STREAM, 0);
    const int off = 0, on = 1;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_port = htons(port);
    ok = ok && bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof(any)) == 0 && listen(fd, 65535) == 0;
    (void)!write(ready[1], &ok, 1);
    for (;;) pause();
  }
  close(ready[1]);
  char ok = 0;
  const bool started = pid > 0 && read(ready[0], &ok, 1) == 1 && ok == 1;
  close(ready[0]);
  if (pid > 0) listeners_.push_back(pid);
  return started;
}

bool VethLab::DropEchoRequests(const std::string& block) const {
  return Far("nft add rule inet lab in ip daddr " + block + " icmp type echo-request drop") == 0;
}

bool VethLab::RejectEchoRequests(const std::string& block, const std::string& reject_type) const {
  return Far("nft add rule inet lab in ip daddr " + block +
             " icmp type echo-request reject with icmp type " + reject_type) == 0;
}

}  // namespace ps::testing

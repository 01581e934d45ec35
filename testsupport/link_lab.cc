#include "testsupport/link_lab.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "testsupport/private_network.h"

namespace ps::testing {
namespace {

int Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string NetNs(const std::string& pid) {
  char link[64] = {};
  const std::string path = "/proc/" + pid + "/ns/net";
  const ssize_t n = readlink(path.c_str(), link, sizeof(link) - 1);
  return n > 0 ? std::string(link, static_cast<std::size_t>(n)) : "";
}

}  // namespace

LinkLab::LinkLab(int peers) {
  if (Shell("sysctl -qw net.ipv6.conf.default.accept_dad=0 && "
            "ip link add psbr type bridge && ip link set psbr addrgenmode none && "
            "ip addr add fe80::100/64 dev psbr nodad && ip addr add fd78::100/64 dev psbr nodad && "
            "ip addr add 10.78.0.100/24 dev psbr && ip link set psbr up") != 0) {
    error_ = "the bridge";
    return;
  }
  for (int n = 1; n <= peers; ++n) {
    // Each peer: a process holding a namespace of its own until the lab ends.
    std::string pid = ShOutput("unshare -n sleep 3600 >/dev/null 2>&1 & echo $!");
    pids_.push_back(pid.substr(0, pid.find('\n')));
    // Until unshare has run, the process is still in this namespace.
    const std::string ours = NetNs("self");
    for (int i = 0; i < 2000 && NetNs(pids_.back()) == ours; ++i) usleep(1000);
    const std::string id = std::to_string(n);
    if (Shell("ip link add psp" + id + " type veth peer name eth0 netns " + pids_.back() +
              " && ip link set psp" + id + " master psbr up") != 0 ||
        Peer(n, "sysctl -qw net.ipv6.conf.default.accept_dad=0 && ip link set lo up && "
                "ip link set eth0 address 02:00:00:00:00:0" + id + " addrgenmode none && "
                "ip addr add fe80::" + id + "/64 dev eth0 nodad && "
                "ip addr add fd78::" + id + "/64 dev eth0 nodad && "
                "ip addr add 10.78.0." + id + "/24 dev eth0 && ip link set eth0 up") != 0) {
      error_ = "peer " + id;
      return;
    }
  }
}

LinkLab::~LinkLab() {
  Shell("ip link del psbr 2>/dev/null");
  for (const std::string& pid : pids_) Shell("kill " + pid + " 2>/dev/null");
}

int LinkLab::Peer(int n, const std::string& command) const {
  std::string quoted;
  for (char c : command) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return Shell("nsenter -t " + pids_.at(static_cast<std::size_t>(n - 1)) + " -n sh -c '" + quoted +
               "'");
}

}  // namespace ps::testing

// A second network namespace behind a veth pair, for tests and benchmarks
// that sweep many addresses: the far side answers for a whole block (a
// `local` route), routed through it or on-link. Use only inside the private
// network namespace of EnterPrivateNetwork(): nothing here touches the host's.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ps::testing {

class VethLab {
 public:
  // `far_blocks`: CIDR blocks (space-separated) the far side answers for.
  // `our_address`: "" for a routed lab (the blocks routed via the far side),
  // or our CIDR address on the veth (e.g. "10.78.255.254/16") for an on-link
  // one; it must lie outside the far blocks.
  VethLab(const std::string& far_blocks, const std::string& our_address);
  ~VethLab();
  VethLab(const VethLab&) = delete;
  VethLab& operator=(const VethLab&) = delete;

  // "" when the lab stands; else what failed.
  const std::string& error() const { return error_; }
  // The process holding the far namespace (/proc/<pid>/ns/net).
  pid_t far_pid() const { return far_; }
  // Runs a shell command in the far namespace; its exit status.
  int Far(const std::string& command) const;
  // The far side drops echo requests to `block` on arrival (silent hosts), or
  // answers them with an ICMP error (`reject_type`, e.g. "host-unreachable").
  bool DropEchoRequests(const std::string& block) const;
  bool RejectEchoRequests(const std::string& block, const std::string& reject_type) const;
  // A TCP listener on `port` of every far address, IPv4 and IPv6, that never
  // accepts (backlogs raised for a /16 of SYNs), until the lab goes. False
  // when it could not start.
  bool Listen(std::uint16_t port);

 private:
  pid_t far_ = -1;
  std::vector<pid_t> listeners_;
  std::string error_;
};

}  // namespace ps::testing

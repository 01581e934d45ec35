// One Ethernet segment of IPv6 (and IPv4) hosts for tests: a bridge "psbr"
// in this namespace (fe80::100, fd78::100/64, 10.78.0.100/24) and `peers`
// hosts behind it, each in its own namespace, peer n with MAC
// 02:00:00:00:00:0n and addresses fe80::n, fd78::n, 10.78.0.n. No duplicate
// address detection, no automatic link-local addresses: all usable at once.
// Use only inside the private network namespace of EnterPrivateNetwork().
#pragma once

#include <string>
#include <vector>

namespace ps::testing {

class LinkLab {
 public:
  explicit LinkLab(int peers);
  ~LinkLab();
  LinkLab(const LinkLab&) = delete;
  LinkLab& operator=(const LinkLab&) = delete;

  // "" when the segment stands; else what failed.
  const std::string& error() const { return error_; }
  // Runs a shell command in peer n's namespace (1-based); its exit status.
  int Peer(int n, const std::string& command) const;

 private:
  std::vector<std::string> pids_;
  std::string error_;
};

}  // namespace ps::testing

// A second network namespace for tests that need a far side: a child process
// holds it open while the test runs commands in it and moves interfaces into
// it. Use only inside the private network (PS_REQUIRE_PRIVATE_NETWORK).
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

namespace ps::testing {

class PeerNamespace {
 public:
  PeerNamespace();
  ~PeerNamespace();  // ends the child; the namespace and its interfaces go with it
  PeerNamespace(const PeerNamespace&) = delete;
  PeerNamespace& operator=(const PeerNamespace&) = delete;

  bool ok() const { return pid_ > 0; }
  // The holder's process id: `ip link set X netns <pid>` moves an interface in.
  pid_t pid() const { return pid_; }
  // Runs a shell command inside the namespace; a non-zero exit fails the test.
  int Sh(std::string_view command) const;
  // Runs `fn` on a thread that has entered the namespace (sockets it opens
  // live there) and waits for it.
  void RunInside(const std::function<void()>& fn) const;

 private:
  pid_t pid_ = -1;
};

// Links this namespace to `peer` with a veth pair: `near` here, `far` there,
// both up. Returns false (and fails the test) when a step fails.
bool AddVethPair(const PeerNamespace& peer, std::string_view near, std::string_view far);

}  // namespace ps::testing

// Running tests that send real packets, safely: inside a private network
// namespace (only its own loopback, no route out) and a private mount
// namespace, both created by the test binary itself.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace ps::testing {

// Call first in main(), before any thread exists: enters new network and mount
// namespaces (root only), brings lo up and makes all mounts private. Returns ""
// on success or the reason it could not.
std::string EnterPrivateNetwork();
// "" when inside one; else why not (also "not attempted").
const std::string& PrivateNetworkSkipReason();

// The helpers below may only be used inside the private network.

// Runs a shell command; a non-zero exit fails the current test. Returns the
// exit status.
int Sh(std::string_view command);
// Runs a shell command and returns its standard output.
std::string ShOutput(std::string_view command);

// Bind-mounts a temporary file holding `content` over /etc/hosts until
// UnbindHostsFile() (or the end of the process).
bool BindHostsFile(std::string_view content);
void UnbindHostsFile();

// The resolver of programs started from here on answers from `hosts` alone:
// BindHostsFile(hosts) and an /etc/nsswitch.conf that names only files,
// until UnbindResolverFiles().
bool BindResolverFiles(std::string_view hosts);
void UnbindResolverFiles();

// Writes /proc/sys/<name>, e.g. SetSysctl("net/ipv4/ping_group_range", "0 0").
bool SetSysctl(std::string_view name, std::string_view value);
std::string GetSysctl(std::string_view name);

// Sets a sysctl for the lifetime of the object and restores it afterwards.
class ScopedSysctl {
 public:
  ScopedSysctl(std::string name, std::string_view value);
  ~ScopedSysctl();
  ScopedSysctl(const ScopedSysctl&) = delete;
  ScopedSysctl& operator=(const ScopedSysctl&) = delete;

 private:
  std::string name_;
  std::string previous_;
};

// nftables: a table "pstest" that drops echo requests to chosen addresses on
// arrival (the host stays silent), answers others with an ICMP error, and
// counts the echo requests sent. ResetFirewall() starts it afresh.
void ResetFirewall();
void DropEchoRequestsTo(std::string_view address);
void RejectEchoRequestsTo(std::string_view address, std::string_view icmp_reject_type);
// Echo requests that left any socket of this namespace since the last reset.
std::uint64_t EchoRequestsSent();
// Packets of any kind sent on an interface other than lo since the last reset.
std::uint64_t PacketsLeavingLoopback();
// Adds a named counter for outgoing packets matching an nft expression, e.g.
// CountPackets("ttl255", "ip ttl 255 icmp type echo-request"); read it with
// Counted("ttl255").
void CountPackets(std::string_view counter, std::string_view match);
std::uint64_t Counted(std::string_view counter);
// Runs `command` (a shell line) in the background and interrupts it (SIGINT)
// once `counter` has counted `packets`, or after a minute: a fixed sleep
// would be used up by a slow start on a loaded machine. Returns what the
// command printed (both streams), then "#" and its exit status.
std::string InterruptOnceCounted(const std::string& command, std::string_view counter,
                                 std::uint64_t packets);

}  // namespace ps::testing

#define PS_REQUIRE_PRIVATE_NETWORK()                             \
  do {                                                           \
    if (!::ps::testing::PrivateNetworkSkipReason().empty())      \
      GTEST_SKIP() << "needs a private network namespace: "      \
                   << ::ps::testing::PrivateNetworkSkipReason(); \
  } while (0)

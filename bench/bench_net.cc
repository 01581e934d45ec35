// Probe timings inside a private network namespace (run as root):
//  - PingHost on answering loopback addresses: median time per probe (a
//    socket per probe, then the one socket the window opens at start-up);
//  - 255 probes of silenced addresses: total, and median overshoot of the
//    10 ms time-out;
//  - fping on the same addresses, when installed, side by side.
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_stats.h"
#include "net/ping.h"
#include "platform/netapi/linux_net_services.h"
#include "testsupport/private_network.h"

namespace {

using Clock = std::chrono::steady_clock;

using ps::bench::Median;

void SetSysctl(const char* name, const char* value) {
  std::ofstream(std::string("/proc/sys/") + name) << value;
}

std::vector<std::u16string> Addresses(int third) {
  std::vector<std::u16string> out;
  for (int host = 1; host <= 255; ++host) {
    const std::string a = "127.0." + std::to_string(third) + "." + std::to_string(host);
    out.emplace_back(a.begin(), a.end());
  }
  return out;
}

std::string FpingList(int third) {
  std::string list;
  for (int host = 1; host <= 255; ++host) {
    list += " 127.0." + std::to_string(third) + "." + std::to_string(host);
  }
  return list;
}

double WallSeconds(const std::string& command) {
  const auto start = Clock::now();
  const int rc = std::system(command.c_str());
  (void)rc;  // fping exits 1 when some hosts are unreachable
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void RunKind(const char* label, const char* group_range) {
  SetSysctl("net/ipv4/ping_group_range", group_range);
  std::printf("\n== %s socket (net.ipv4.ping_group_range=\"%s\") ==\n", label, group_range);

  // Answering: the kernel replies on loopback.
  const auto answering = Addresses(1);
  std::vector<double> per_probe_us;
  int present = 0;
  for (int round = 0; round < 20; ++round) {
    for (const auto& a : answering) {
      const auto start = Clock::now();
      present += ps::PingHost(a).Present != 0;
      per_probe_us.push_back(
          std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
  }
  std::printf(
      "answering 127.0.1.1-255: median %.1f us per probe (target <= 50 us), %d/%zu present\n",
      Median(per_probe_us), present, per_probe_us.size());

  // Silent: requests to 127.0.2.0/24 are dropped on arrival.
  const auto silent = Addresses(2);
  std::vector<double> overshoot_us;
  present = 0;
  const auto sweep_start = Clock::now();
  for (const auto& a : silent) {
    const auto start = Clock::now();
    present += ps::PingHost(a).Present != 0;
    overshoot_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count() -
                           10000.0);
  }
  const double total = std::chrono::duration<double>(Clock::now() - sweep_start).count();
  std::printf(
      "silent 127.0.2.1-255: total %.3f s (target <= %.3f s), median overshoot %.1f us, "
      "%d present\n",
      total, 1.02 * 2.55, Median(overshoot_us), present);
}

}  // namespace

int main() {
  const std::string reason = ps::testing::EnterPrivateNetwork();
  if (!reason.empty()) {
    std::fprintf(stderr, "bench_net needs a private network namespace: %s\n", reason.c_str());
    return 1;
  }
  SetSysctl("net/ipv4/icmp_echo_ignore_all", "0");
  if (std::system("nft add table inet bench && nft add chain inet bench in "
                  "'{ type filter hook input priority 0; policy accept; }' && "
                  "nft add rule inet bench in ip daddr 127.0.2.0/24 icmp type echo-request drop") !=
      0) {
    std::fprintf(stderr, "nft failed\n");
    return 1;
  }
  RunKind("datagram", "0 2147483647");
  RunKind("raw", "1 0");
  // As the window probes: one socket opened at start-up for every probe.
  SetSysctl("net/ipv4/ping_group_range", "1 0");
  ps::platform::SystemEchoService().OpenSocket();
  RunKind("raw, opened once as the window does,", "1 0");

  if (std::system("command -v fping >/dev/null 2>&1") == 0) {
    std::printf("\n== fping on the same addresses (wall time of one run) ==\n");
    const std::string quiet = " >/dev/null 2>&1";
    std::printf("fping -t 10 -r 0 silent set:  %.3f s\n",
                WallSeconds("fping -t 10 -r 0" + FpingList(2) + quiet));
    std::printf("fping (default) answering set: %.3f s\n",
                WallSeconds("fping" + FpingList(1) + quiet));
    std::printf("fping -i 1 answering set:      %.3f s\n",
                WallSeconds("fping -i 1" + FpingList(1) + quiet));
  } else {
    std::printf("\nfping not installed: no comparison\n");
  }
  return 0;
}

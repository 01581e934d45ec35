// ARP discovery of an on-link /16 inside a lab of private network namespaces
// (run as root): a veth pair to a peer namespace that owns 10.78.0.0/16 as
// local addresses, echo requests to half of it dropped. The sweeping side's
// own address lies outside the /16. The prober (in this process) and the
// floor, a bare ARP loop that matches replies by sender address only (its own
// process), run in turns; medians of several runs, with arp-scan and nmap side
// by side when installed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_stats.h"
#include "platform/link/packet_io.h"
#include "lan/arp_prober.h"
#include "testsupport/peer_namespace.h"
#include "testsupport/private_network.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t kNet = 0x0A4E0000;  // 10.78.0.0/16
constexpr std::uint32_t kOurIp = 0x0AC80001;  // 10.200.0.1

using ps::bench::Median;

struct Figure {
  std::vector<double> seconds;
  std::vector<double> found;
};

void Print(const char* label, const Figure& f) {
  std::printf("  %-34s median %7.3f s   found %6.0f of 65536  (%zu runs)\n", label,
              Median(f.seconds), Median(f.found), f.seconds.size());
}

// Wall time of a shell command and the number its output reduces to.
void RunPeer(const std::string& command, Figure* f) {
  const auto start = Clock::now();
  const std::string out = ps::testing::ShOutput(command);
  f->seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  f->found.push_back(std::atof(out.c_str()));
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const std::string reason = ps::testing::EnterPrivateNetwork();
  if (!reason.empty()) {
    std::fprintf(stderr, "bench_arp needs a private network namespace: %s\n", reason.c_str());
    return 1;
  }
  ps::testing::PeerNamespace peer;
  if (!peer.ok() || !ps::testing::AddVethPair(peer, "arp0", "arp1")) return 1;
  ps::testing::Sh("ip addr add 10.200.0.1/32 dev arp0 && ip route add 10.78.0.0/16 dev arp0");
  peer.Sh("ip route add local 10.78.0.0/16 dev lo && ip route add 10.200.0.1/32 dev arp1");
  peer.Sh("nft add table inet silent && nft add chain inet silent in "
          "'{ type filter hook input priority 0; }' && "
          "nft add rule inet silent in ip daddr 10.78.0.0/17 icmp type echo-request drop");

  ps::platform::Link link;
  for (const auto& l : ps::platform::SystemPacketNetwork().Links()) {
    if (l.name == "arp0") link = l;
  }
  std::vector<std::uint32_t> targets;
  for (std::uint32_t host = 0; host < 65536; ++host) targets.push_back(kNet | host);

  std::printf("on-link /16 (10.78.0.0/16), half dropping echo requests; ARP as root\n");
  Figure ours, bare;
  for (int run = 0; run < runs; ++run) {
    RunPeer(BARE_LOOP " arp arp0 10.200.0.1 10.78.0.0 65536 500 | cut -d' ' -f2", &bare);
    const auto start = Clock::now();
    auto opened = ps::platform::SystemPacketNetwork().OpenArp(link.index);
    if (!opened.ok()) {
      std::fprintf(stderr, "%s\n", opened.status().message().c_str());
      return 1;
    }
    const std::unique_ptr<ps::platform::PacketSocket> socket = std::move(opened).value();
    ps::sweep::ArpProbeOptions options;
    options.rate = 0;
    options.timeout_ns = 500'000'000;
    options.retries = 1;
    ps::sweep::ArpProber prober(socket.get(), &ps::platform::SystemMonotonicClock(),
                                {link.mac, kOurIp}, options);
    const auto answers = prober.Run(targets);
    ours.seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    ours.found.push_back(static_cast<double>(answers.size()));
  }
  Print("ArpProber --rate max", ours);
  Print("bare ARP loop", bare);
  std::printf("  prober / bare loop: %.2fx (goal <= 1.10)\n", Median(ours.seconds) / Median(bare.seconds));

  if (std::system("command -v arp-scan >/dev/null 2>&1") == 0) {
    Figure f;
    for (int run = 0; run < runs; ++run) {
      RunPeer("arp-scan -I arp0 -B 100M -q -x 10.78.0.0/16 2>/dev/null | wc -l", &f);
    }
    Print("arp-scan -B 100M", f);
  } else {
    std::printf("  arp-scan: not installed\n");
  }
  if (std::system("command -v nmap >/dev/null 2>&1") == 0) {
    Figure f;
    for (int run = 0; run < runs; ++run) {
      RunPeer("nmap -sn -n -e arp0 10.78.0.0/16 2>/dev/null | "
              "sed -n 's/.*(\\([0-9]*\\) hosts\\? up).*/\\1/p'", &f);
    }
    Print("nmap -sn -n", f);
  } else {
    std::printf("  nmap: not installed\n");
  }
  return 0;
}

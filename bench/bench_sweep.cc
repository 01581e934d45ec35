// pingsweep-cli beside the floor (bench/bare_loop.cc: a bare sendmmsg /
// recvmmsg loop that checks nothing; "bare +stamps" is the same loop with the
// receive stamps, TTLs and request data a sweep keeps, so the kernel's part of
// them shows apart from the sweep's own) and its peers fping, arp-scan and nmap,
// in a lab of private network namespaces it builds itself (run as root): a
// veth pair to a far namespace that answers for a whole /16 (a `local`
// route), routed through it.
//  - routed /16, all answering; the same with half of it dropped;
//  - a silent /24 with a 10 ms time-out;
//  - peak resident memory of a /16 sweep;
//  - 1,000,000 forged replies during a /16 sweep: false hosts;
//  - an on-link /16 by ARP as root, half of it dropping echo requests, with
//    the bare ARP loop and arp-scan -B 100M beside it (ARP takes no
//    neighbour entry);
//  - an IPv6 /112 of local addresses;
//  - with --on-link only (it fills the machine-wide neighbour table for up to
//    a minute): 1,536 on-link addresses, the first 1,024 answering ARP but
//    dropping ICMP, as an unprivileged user on the ping socket.
// Every contender of a scenario runs once per round, --runs rounds (default
// 5), so that the machine's changing load falls on all alike; the table gives
// medians of wall and CPU time (user + system) and pingsweep-cli's ratio to
// each goal's reference. nmap only with --nmap (it takes seconds a run).
// --before=PROGRAM runs an earlier build of pingsweep-cli beside the current
// one in every scenario ("cli before", with its own ratios): a change's
// before and after in one run. --only=TEXT runs only the scenarios whose name
// contains TEXT ("silent", "ARP", "IPv6", "peak RSS", "forged", ...).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_stats.h"
#include "bench/forger.h"
#include "bench/sweep_runner.h"
#include "testsupport/private_network.h"
#include "testsupport/veth_lab.h"

namespace {

using ps::bench::Contender;
using ps::bench::CountLines;
using ps::bench::Goal;
using ps::bench::Median;
using ps::bench::RunCommand;

// Found hosts per tool, from their output.
long FoundCli(const std::string& out) { return CountLines(out, ",answered,"); }
// "found N in T s"
long FoundBare(const std::string& out) {
  const std::size_t at = out.find_first_of("0123456789");
  return at == std::string::npos ? -1 : std::atol(out.c_str() + at);
}
long FoundFping(const std::string& out) { return CountLines(out, ".") + CountLines(out, ":"); }
long FoundNmap(const std::string& out) { return CountLines(out, "Status: Up"); }
long FoundArpScan(const std::string& out) { return CountLines(out, "10.79."); }

ps::bench::SideBySide g_table;
bool g_nmap = false;
std::string g_before;  // an earlier pingsweep-cli, or ""

Contender Cli(const std::string& args) {
  return {"pingsweep-cli", PINGSWEEP_CLI " -o csv " + args, FoundCli, ""};
}
// The earlier build's run of the same arguments (no part when there is none).
Contender Before(const std::string& args) {
  return {"cli before", g_before.empty() ? "" : g_before + " -o csv " + args, FoundCli, "", true};
}
Contender Bare(const std::string& name, const std::string& args) {
  return {name, BARE_LOOP " " + args, FoundBare, ""};
}
Contender Fping(const std::string& args) { return {"fping", "fping " + args, FoundFping, "fping"}; }
Contender Nmap(const std::string& args) {
  return {"nmap", g_nmap ? "nmap " + args : "", FoundNmap, "nmap"};
}

}  // namespace

namespace {

// Routed: 10.77.0.0/16 behind the far namespace.
void Routed(ps::testing::VethLab& lab, int runs) {
  const std::string fast = "--rate max --timeout 500 --retries 0 -n ";
  const std::string fping = "-a -q -i 0 -r 0 -t 500 -g 10.77.0.0/16";
  const std::string nmap = "-sn -n -PE --min-rate 100000 -oG - 10.77.0.0/16";
  const std::vector<Contender> sweep = {
      Cli(fast + "10.77.0.0/16"), Before(fast + "10.77.0.0/16"),
      Bare("bare dgram", "icmp dgram 10.77.0.1 65534 500"),
      Bare("bare raw", "icmp raw 10.77.0.1 65534 500"),
      Bare("bare +stamps", "icmp dgram+stamps 10.77.0.1 65534 500"), Fping(fping), Nmap(nmap)};
  const std::vector<Goal> goals = {
      {"bare dgram", 1.10}, {"bare raw", 0}, {"bare +stamps", 0}, {"fping", 0}};
  g_table.Scenario("routed /16, all answering", sweep, goals, runs);
  lab.DropEchoRequests("10.77.128.0/17");
  g_table.Scenario("routed /16, half dropped", sweep, goals, runs);
  g_table.Scenario("silent /24, 10 ms time-out",
                   {Cli("--timeout 10 --retries 0 -n 10.77.200.0/24"),
                   Before("--timeout 10 --retries 0 -n 10.77.200.0/24"),
                    Bare("bare dgram", "icmp dgram 10.77.200.1 254 10"),
                    Fping("-a -q -i 0 -r 0 -t 10 -g 10.77.200.0/24")},
                   {{"fping", 1.2}, {"bare dgram", 1.10}}, runs);
  for (const std::string& program : {std::string(PINGSWEEP_CLI), g_before}) {
    if (program.empty() || !g_table.Wanted("peak RSS")) continue;
    std::vector<double> rss;
    for (int i = 0; i < runs; ++i)
      rss.push_back(RunCommand(program + " " + fast + "10.77.0.0/16").max_rss_kb / 1024.0);
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f MB", Median(rss));
    g_table.Row("peak RSS, routed /16 (text)", program == PINGSWEEP_CLI ? "pingsweep-cli" : "cli before",
                "-", text, "goal <= 22.6 MB");
  }
  if (!g_table.Wanted("forged")) return;
  const ForgeryResult forged = SweepUnderForgery(lab, 1000000);
  g_table.Row("/16 half dropped + 1M forged", "pingsweep engine", std::to_string(forged.answered),
              std::to_string(forged.false_hosts) + " false",
              std::to_string(forged.forged_sent) + " forged sent, " +
                  std::to_string(forged.ignored) + " ignored; goal 0 false");
}

// ARP as root: 10.79.0.0/16 on-link, its first half dropping echo requests.
void OnLinkArp(int runs) {
  ps::testing::VethLab lab("10.79.0.0/16", "10.78.255.254/15");
  if (!lab.error().empty() || !lab.DropEchoRequests("10.79.0.0/17")) {
    std::fprintf(stderr, "on-link ARP lab: %s\n", lab.error().c_str());
    return;
  }
  g_table.Scenario("on-link /16 ARP, half drop ICMP",
                   {Cli("--rate max -n --probe arp 10.79.0.0-10.79.255.255"),
                   Before("--rate max -n --probe arp 10.79.0.0-10.79.255.255"),
                    Bare("bare arp", "arp psv0 10.78.255.254 10.79.0.0 65536 500"),
                    {"arp-scan", "arp-scan -I psv0 -B 100M -q -x 10.79.0.0/16", FoundArpScan, "arp-scan"},
                    Nmap("-sn -n -e psv0 -oG - 10.79.0.0/16")},
                   {{"bare arp", 1.10}, {"arp-scan", 0.7}}, runs);
}

// IPv6: a /112 of local addresses on this namespace's loopback. (fping takes
// no IPv6 block: it reads the addresses from a file.)
bool Ipv6(int runs) {
  if (std::system("ip -6 route add local fd00::/112 dev lo && "
                  "seq 0 65535 | awk '{ printf \"fd00::%x\\n\", $1 }' > /tmp/bench-v6-targets") != 0) {
    std::fprintf(stderr, "IPv6 lab: the local route failed\n");
    return false;
  }
  g_table.Scenario("IPv6 /112 on loopback",
                   {Cli("--rate max --timeout 500 --retries 0 -n fd00::/112"),
                   Before("--rate max --timeout 500 --retries 0 -n fd00::/112"),
                    Bare("bare dgram", "icmp6 dgram fd00:: 65536 500"),
                    Bare("bare raw", "icmp6 raw fd00:: 65536 500"),
                    Bare("bare +stamps", "icmp6 dgram+stamps fd00:: 65536 500"),
                    Fping("-6 -a -q -i 0 -r 0 -t 500 -f /tmp/bench-v6-targets"),
                    Nmap("-6 -sn -n -PE --min-rate 100000 -oG - fd00::/112")},
                   {{"bare dgram", 1.10}, {"bare raw", 0}, {"bare +stamps", 0}, {"fping", 0}},
                   runs);
  unlink("/tmp/bench-v6-targets");
  return true;
}

// 10.78.0.0/22 answers ARP but drops ICMP; 10.78.4.0/23 answers both. A fresh
// lab for each tool, so that neither finds the other's entries.
void OnLinkIcmp() {
  const auto run_on_link = [](const std::string& tool, const std::string& command,
                              long (*found)(const std::string&), const std::string& goal) {
    ps::testing::VethLab lab("10.78.0.0/22 10.78.4.0/23", "10.78.255.254/16");
    if (!lab.error().empty() || !lab.DropEchoRequests("10.78.0.0/22")) {
      std::fprintf(stderr, "on-link lab: %s\n", lab.error().c_str());
      return;
    }
    const ps::bench::Measure m = RunCommand(command);
    char t[64];
    std::snprintf(t, sizeof(t), "%.3f s", m.seconds);
    g_table.Row("on-link 1536 (512 answer)", tool, std::to_string(found(m.out)), t, goal);
  };
  if (ps::bench::Installed("fping"))
    run_on_link("fping (root)", "fping -a -q -i 0 -r 0 -t 500 -g 10.78.0.0 10.78.5.255", FoundFping, "");
  run_on_link("pingsweep-cli (nobody)",
              "setpriv --reuid=65534 --regid=65534 --clear-groups " PINGSWEEP_CLI
              " -o csv -n --rate max --timeout 500 --retries 0 10.78.0.0-10.78.5.255",
              FoundCli, "all 512 found");
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  bool on_link = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--on-link") == 0) on_link = true;
    else if (std::strcmp(argv[i], "--nmap") == 0) g_nmap = true;
    else if (std::strncmp(argv[i], "--runs=", 7) == 0) runs = std::max(1, std::atoi(argv[i] + 7));
    else if (std::strncmp(argv[i], "--before=", 9) == 0) g_before = argv[i] + 9;
    else if (std::strncmp(argv[i], "--only=", 7) == 0) g_table.Only(argv[i] + 7);
    else {
      std::fprintf(stderr, "usage: %s [--runs=N] [--before=PROGRAM] [--only=SCENARIO-PART] [--on-link] [--nmap]\n",
                   argv[0]);
      return 2;
    }
  }
  const std::string why = ps::testing::EnterPrivateNetwork();
  if (!why.empty()) {
    std::fprintf(stderr, "bench_sweep needs a private network namespace: %s\n", why.c_str());
    return 1;
  }
  ps::testing::SetSysctl("net/ipv4/ping_group_range", "0 2147483647");
  std::fprintf(stderr, "%d rounds; load average at start: %s", runs,
               ps::testing::ShOutput("cut -d' ' -f1-3 /proc/loadavg").c_str());
  {
    ps::testing::VethLab lab("10.77.0.0/16", "");
    if (!lab.error().empty()) {
      std::fprintf(stderr, "lab: %s\n", lab.error().c_str());
      return 1;
    }
    Routed(lab, runs);
  }
  OnLinkArp(runs);
  if (!Ipv6(runs)) return 1;
  if (on_link) OnLinkIcmp();
  g_table.Print();
  std::printf("load average at the end: %s", ps::testing::ShOutput("cut -d' ' -f1-3 /proc/loadavg").c_str());
  return 0;
}

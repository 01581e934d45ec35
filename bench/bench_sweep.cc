// pingsweep-cli against fping, nmap and arp-scan, in a lab of private network
// namespaces it builds itself (run as root): a veth pair to a far namespace
// that answers for a whole /16 (a `local` route), routed through it.
//  - routed /16, all answering; the same with half of it dropped;
//  - a silent /24 with a 10 ms time-out;
//  - peak resident memory of a /16 sweep;
//  - 1,000,000 forged replies during a /16 sweep: false hosts;
//  - an on-link /16 by ARP as root, half of it dropping echo requests, with
//    arp-scan -B 100M and nmap -sn beside it (ARP takes no neighbour entry);
//  - with --on-link only (it fills the machine-wide neighbour table for up to
//    a minute): 1,536 on-link addresses, the first 1,024 answering ARP but
//    dropping ICMP, as an unprivileged user on the ping socket.
// Medians of --runs (default 3) runs, printed as a table: wall time, and CPU
// time (user + system) that a loaded machine does not stretch.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport/private_network.h"
#include "testsupport/veth_lab.h"
#include "bench/forger.h"

namespace {

struct Measure {
  double seconds = 0;
  double cpu_seconds = 0;  // user + system: what a loaded machine does not stretch
  long max_rss_kb = 0;
  std::string out;
};

// Runs `command` via /bin/sh with exec, so that the rusage is the program's.
Measure RunCommand(const std::string& command) {
  const std::string out_file = "/tmp/bench-sweep-out." + std::to_string(getpid());
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const std::string line = "exec " + command + " >" + out_file + " 2>/dev/null";
    execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  Measure m;
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  m.max_rss_kb = usage.ru_maxrss;
  const auto secs = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  m.cpu_seconds = secs(usage.ru_utime) + secs(usage.ru_stime);
  std::ifstream in(out_file);
  std::stringstream s;
  s << in.rdbuf();
  m.out = s.str();
  unlink(out_file.c_str());
  return m;
}

bool Installed(const char* tool) {
  return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : (v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2);
}

long CountLines(const std::string& text, const std::string& containing) {
  long n = 0;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) n += line.find(containing) != std::string::npos;
  return n;
}

// Found hosts per tool, from their output.
long FoundCli(const std::string& out) { return CountLines(out, ",answered,"); }
long FoundFping(const std::string& out) { return CountLines(out, ".") + CountLines(out, ":"); }
long FoundNmap(const std::string& out) { return CountLines(out, "Status: Up"); }

struct Row {
  std::string scenario, tool, found, median, cpu, note;
};
std::vector<Row> g_rows;

void Scenario(const std::string& name, const std::string& cli_args, const std::string& fping_args,
              const std::string& nmap_args, int runs, const std::string& goal) {
  struct Tool {
    const char* name;
    std::string command;
    long (*found)(const std::string&);
  };
  const std::vector<Tool> tools = {
      {"pingsweep-cli", PINGSWEEP_CLI " -o csv " + cli_args, FoundCli},
      {"fping", fping_args.empty() ? "" : "fping " + fping_args, FoundFping},
      {"nmap", nmap_args.empty() ? "" : "nmap " + nmap_args, FoundNmap},
  };
  // pingsweep-cli's medians, to quote as a share of fping's in the same run.
  std::size_t cli_row = g_rows.size();
  double cli_wall = 0, cli_cpu = 0;
  for (const Tool& t : tools) {
    if (t.command.empty()) continue;
    if (std::string(t.name) != "pingsweep-cli" && !Installed(t.name)) {
      g_rows.push_back({name, t.name, "-", "not installed", "", ""});
      continue;
    }
    std::vector<double> times, cpu;
    long found = -1;
    for (int i = 0; i < runs; ++i) {
      const Measure m = RunCommand(t.command);
      times.push_back(m.seconds);
      cpu.push_back(m.cpu_seconds);
      found = t.found(m.out);
    }
    char median[32], cpu_median[32];
    std::snprintf(median, sizeof(median), "%.3f s", Median(times));
    std::snprintf(cpu_median, sizeof(cpu_median), "%.3f s", Median(cpu));
    const bool ours = std::string(t.name) == "pingsweep-cli";
    const bool fping = std::string(t.name) == "fping";
    if (ours) {
      cli_row = g_rows.size();
      cli_wall = Median(times);
      cli_cpu = Median(cpu);
    }
    std::string note = ours ? goal : "";
    if (fping && cli_row < g_rows.size() && Median(times) > 0 && Median(cpu) > 0) {
      char share[96];
      std::snprintf(share, sizeof(share), "; %.2f of fping's time, %.2f of its cpu",
                    cli_wall / Median(times), cli_cpu / Median(cpu));
      g_rows[cli_row].note += share;
    }
    g_rows.push_back({name, t.name, std::to_string(found), median, cpu_median, note});
    std::fprintf(stderr, "  %s / %s: %s (cpu %s), %ld found\n", name.c_str(), t.name, median,
                 cpu_median, found);
  }
}

// One peer's row: median time of `runs` runs and the lines of its output that
// contain `found_marker`.
void PeerRow(const std::string& scenario, const char* tool, const std::string& command,
             const std::string& found_marker, int runs) {
  if (!Installed(tool)) {
    g_rows.push_back({scenario, tool, "-", "not installed", ""});
    return;
  }
  std::vector<double> times;
  long found = -1;
  for (int i = 0; i < runs; ++i) {
    const Measure m = RunCommand(command);
    times.push_back(m.seconds);
    found = CountLines(m.out, found_marker);
  }
  char median[32];
  std::snprintf(median, sizeof(median), "%.3f s", Median(times));
  g_rows.push_back({scenario, tool, std::to_string(found), median, ""});
  std::fprintf(stderr, "  %s / %s: %s, %ld found\n", scenario.c_str(), tool, median, found);
}

void PrintTable() {
  std::printf("\n%-34s %-14s %8s %14s %10s  %s\n", "scenario", "tool", "found", "median",
              "cpu", "goal");
  for (const Row& r : g_rows)
    std::printf("%-34s %-14s %8s %14s %10s  %s\n", r.scenario.c_str(), r.tool.c_str(),
                r.found.c_str(), r.median.c_str(), r.cpu.c_str(), r.note.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 3;
  bool on_link = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--on-link") == 0) on_link = true;
    else if (std::strncmp(argv[i], "--runs=", 7) == 0) runs = std::max(1, std::atoi(argv[i] + 7));
    else {
      std::fprintf(stderr, "usage: %s [--runs=N] [--on-link]\n", argv[0]);
      return 2;
    }
  }
  const std::string why = ps::testing::EnterPrivateNetwork();
  if (!why.empty()) {
    std::fprintf(stderr, "bench_sweep needs a private network namespace: %s\n", why.c_str());
    return 1;
  }
  ps::testing::SetSysctl("net/ipv4/ping_group_range", "0 2147483647");
  {
    ps::testing::VethLab lab("10.77.0.0/16", "");
    if (!lab.error().empty()) {
      std::fprintf(stderr, "lab: %s\n", lab.error().c_str());
      return 1;
    }
    std::fprintf(stderr, "routed lab up; %d runs each\n", runs);
    const std::string fast = "--rate max --timeout 500 --retries 0 -n ";
    const std::string fping = "-a -q -i 0 -r 0 -t 500 -g 10.77.0.0/16";
    const std::string nmap = "-sn -n -PE --min-rate 100000 -oG - 10.77.0.0/16";
    Scenario("routed /16, all answering", fast + "10.77.0.0/16", fping, nmap, runs,
             "65534 found, <= 0.6 s, <= 1/3 of fping");
    lab.DropEchoRequests("10.77.128.0/17");
    Scenario("routed /16, half dropped", fast + "10.77.0.0/16", fping, nmap, runs,
             "32767 found, <= 1.2 s");
    Scenario("silent /24, 10 ms time-out", "--timeout 10 --retries 0 -n 10.77.200.0/24",
             "-a -q -i 0 -r 0 -t 10 -g 10.77.200.0/24", "", runs, "<= 40 ms");
    {
      std::vector<double> rss;
      for (int i = 0; i < runs; ++i)
        rss.push_back(RunCommand(PINGSWEEP_CLI " " + fast + "10.77.0.0/16").max_rss_kb / 1024.0);
      char text[32];
      std::snprintf(text, sizeof(text), "%.1f MB", Median(rss));
      g_rows.push_back({"peak RSS, routed /16", "pingsweep-cli", "-", text, "", "<= 60 MB"});
    }
    const ForgeryResult forged = SweepUnderForgery(lab, 1000000);
    g_rows.push_back({"/16 half dropped + 1M forged", "pingsweep engine",
                      std::to_string(forged.answered), std::to_string(forged.false_hosts) + " false", "",
                      std::to_string(forged.forged_sent) + " forged sent, " +
                          std::to_string(forged.ignored) + " ignored; goal 0 false"});
  }
  {
    // ARP as root: 10.79.0.0/16 on-link, its first half dropping echo requests.
    ps::testing::VethLab lab("10.79.0.0/16", "10.78.255.254/15");
    if (lab.error().empty() && lab.DropEchoRequests("10.79.0.0/17")) {
      const std::string name = "on-link /16 ARP, half drop ICMP";
      Scenario(name, "--rate max -n --probe arp 10.79.0.0-10.79.255.255", "", "", runs,
               "65536 found, <= 0.4 s, <= arp-scan");
      PeerRow(name, "arp-scan", "arp-scan -I psv0 -B 100M -q -x 10.79.0.0/16", "10.79.", runs);
      PeerRow(name, "nmap", "nmap -sn -n -e psv0 -oG - 10.79.0.0/16", "Status: Up", runs);
    } else {
      std::fprintf(stderr, "on-link ARP lab: %s\n", lab.error().c_str());
    }
  }
  {
    // IPv6: a /112 of local addresses on this namespace's loopback. (fping
    // takes no IPv6 block: it reads the addresses from a file.)
    if (std::system("ip -6 route add local fd00::/112 dev lo && "
                    "seq 0 65535 | awk '{ printf \"fd00::%x\\n\", $1 }' > /tmp/bench-v6-targets") != 0) {
      std::fprintf(stderr, "IPv6 lab: the local route failed\n");
      return 1;
    }
    Scenario("IPv6 /112 on loopback", "--rate max --timeout 500 --retries 0 -n fd00::/112",
             "-6 -a -q -i 0 -r 0 -t 500 -f /tmp/bench-v6-targets",
             "-6 -sn -n -PE --min-rate 100000 -oG - fd00::/112", runs,
             "65536 found, <= 1 s");
    unlink("/tmp/bench-v6-targets");
  }
  if (on_link) {
    // 10.78.0.0/22 answers ARP but drops ICMP; 10.78.4.0/23 answers both. A
    // fresh lab for each tool, so that neither finds the other's entries.
    const auto run_on_link = [](const std::string& tool, const std::string& command,
                                long (*found)(const std::string&), const std::string& goal) {
      ps::testing::VethLab lab("10.78.0.0/22 10.78.4.0/23", "10.78.255.254/16");
      if (!lab.error().empty() || !lab.DropEchoRequests("10.78.0.0/22")) {
        std::fprintf(stderr, "on-link lab: %s\n", lab.error().c_str());
        return;
      }
      const Measure m = RunCommand(command);
      char t[32];
      char cpu[32];
      std::snprintf(t, sizeof(t), "%.3f s", m.seconds);
      std::snprintf(cpu, sizeof(cpu), "%.3f s", m.cpu_seconds);
      g_rows.push_back({"on-link 1536 (512 answer)", tool, std::to_string(found(m.out)), t, cpu, goal});
    };
    if (Installed("fping")) {
      run_on_link("fping (root)", "fping -a -q -i 0 -r 0 -t 500 -g 10.78.0.0 10.78.5.255", FoundFping,
                  "");
    }
    run_on_link("pingsweep-cli (nobody)",
                "setpriv --reuid=65534 --regid=65534 --clear-groups " PINGSWEEP_CLI
                " -o csv -n --rate max --timeout 500 --retries 0 10.78.0.0-10.78.5.255",
                FoundCli, "all 512 found");
  }
  PrintTable();
  return 0;
}

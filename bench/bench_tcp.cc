// TCP discovery against ICMP and nmap, in a lab of private network namespaces
// it builds itself (run as root): a veth pair to a far namespace that answers
// for two routed /16s, 10.77.0.0/16 answering echo requests and 10.78.0.0/16
// dropping them but listening on port 443 on every address.
//  - routed /16 by raw SYN to 443, beside an ICMP sweep of the other /16,
//    the floor (bare_loop syn: SYNs out, any segment back from the block
//    counts) and nmap -sn -PS443 of the same /16, taking turns in each run;
//  - the unprivileged connect() path on a /20 of the listening hosts (as
//    nobody), beside the raw path on the same /20.
// Medians of --runs (default 5) runs; figures are printed, never asserted.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_stats.h"
#include "bench/sweep_runner.h"
#include "testsupport/private_network.h"
#include "testsupport/veth_lab.h"

namespace {

struct Run {
  double seconds = 0;
  double cpu_seconds = 0;  // user + system: what a loaded machine does not stretch
  long found = 0;
};

// Runs `command` (bench/sweep_runner.h): its wall and CPU time and the lines
// of its output that contain `marker` (the bare loop's "found N ...": N).
Run Measure(const std::string& command, const std::string& marker) {
  const ps::bench::Measure m = ps::bench::RunCommand(command);
  Run r;
  r.seconds = m.seconds;
  r.cpu_seconds = m.cpu_seconds;
  std::istringstream in(m.out);
  for (std::string line; std::getline(in, line);) {
    if (marker == "found" && line.rfind("found ", 0) == 0) r.found += std::atol(line.c_str() + 6);
    else r.found += line.find(marker) != std::string::npos;
  }
  return r;
}

struct Contender {
  std::string name, command, marker;
  std::vector<double> times = {}, cpu = {};
  long found = 0;
  double Median() const { return ps::bench::Median(times); }
};

bool Installed(const char* tool) {
  return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// Each run gives every contender one turn, so that drift in the machine's
// load falls on all alike.
void TakeTurns(std::vector<Contender>* contenders, int runs) {
  for (int i = 0; i < runs; ++i) {
    for (Contender& c : *contenders) {
      const Run r = Measure(c.command, c.marker);
      c.times.push_back(r.seconds);
      c.cpu.push_back(r.cpu_seconds);
      c.found = r.found;
      std::fprintf(stderr, "  run %d, %s: %.3f s (cpu %.3f s), %ld found\n", i + 1, c.name.c_str(),
                   r.seconds, r.cpu_seconds, r.found);
    }
  }
}

void Print(const char* scenario, const std::vector<Contender>& contenders) {
  for (const Contender& c : contenders)
    std::printf("%-26s %-34s %6ld %10.3f s %9.3f s\n", scenario, c.name.c_str(), c.found,
                c.Median(), ps::bench::Median(c.cpu));
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--runs=", 7) == 0) {
      runs = std::max(1, std::atoi(argv[i] + 7));
    } else {
      std::fprintf(stderr, "usage: %s [--runs=N]\n", argv[0]);
      return 2;
    }
  }
  const std::string why = ps::testing::EnterPrivateNetwork();
  if (!why.empty()) {
    std::fprintf(stderr, "bench_tcp needs a private network namespace: %s\n", why.c_str());
    return 1;
  }
  ps::testing::SetSysctl("net/ipv4/ping_group_range", "0 2147483647");
  ps::testing::VethLab lab("10.77.0.0/16 10.78.0.0/16", "");
  if (!lab.error().empty() || !lab.DropEchoRequests("10.78.0.0/16") || !lab.Listen(443)) {
    std::fprintf(stderr, "lab: %s\n", lab.error().c_str());
    return 1;
  }
  std::fprintf(stderr, "routed lab up; %d runs each\n", runs);
  const std::string cli = PINGSWEEP_CLI " -o csv -n --rate max --timeout 500 --retries 0 ";
  const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  std::vector<Contender> wide = {
      {"pingsweep-cli ICMP (other /16)", cli + "10.77.0.0/16", ",answered,"},
      {"pingsweep-cli raw SYN :443", cli + "--probe tcp:443 10.78.0.0/16", ",answered,"},
      {"bare SYN loop (floor)", BARE_LOOP " syn 443 10.78.0.0 65536 500", "found"},
  };
  if (Installed("nmap")) {
    wide.push_back({"nmap -sn -PS443 --min-rate 100000",
                    "nmap -sn -n -PS443 --min-rate 100000 -oG - 10.78.0.0/16", "Status: Up"});
  }
  TakeTurns(&wide, runs);
  std::vector<Contender> narrow = {
      {"pingsweep-cli raw SYN :443", cli + "--probe tcp:443 10.78.0.0/20", ",answered,"},
      {"pingsweep-cli connect() (nobody)", nobody + cli + "--probe tcp:443 10.78.0.0/20",
       ",answered,"},
  };
  TakeTurns(&narrow, runs);

  std::printf("\n%-26s %-34s %6s %12s %11s\n", "scenario", "tool", "found", "median", "cpu");
  Print("routed /16", wide);
  Print("routed /20, ICMP dropped", narrow);
  const double syn = wide[1].Median();
  std::printf("\nraw SYN /16: %.2f x the ICMP sweep's time (goal <= 1.3), %.2f x the bare SYN loop's",
              syn / wide[0].Median(), syn / wide[2].Median());
  if (wide.size() > 3) std::printf("; nmap takes %.1f x as long (goal >= 5)", wide[3].Median() / syn);
  std::printf("\nconnect() /20: %.3f s, %.2f x the raw path's time; 4094 to find\n",
              narrow[1].Median(), narrow[1].Median() / narrow[0].Median());
  return 0;
}

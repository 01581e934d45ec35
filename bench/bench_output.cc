// pingsweep-cli's output of a /16 in each format, without the network: the
// lines an ARP sweep prints (address, MAC, no vendor, one answer each) and an
// ICMP sweep's (address, TTL), made one at a time as the sweep makes them.
// Median time per line over RUNS runs (21 unless given), of the cases whose
// name contains ONLY (all unless given).
//   bench_output [RUNS [ONLY]]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "bench/bench_stats.h"
#include "cli/sweep/output.h"

namespace {

using ps::cli::HostLine;

// Counts what it is given and keeps none of it.
class NullBuffer : public std::streambuf {
 public:
  std::size_t written = 0;

 protected:
  std::streamsize xsputn(const char*, std::streamsize n) override {
    written += static_cast<std::size_t>(n);
    return n;
  }
  int overflow(int c) override {
    ++written;
    return c;
  }
};

class SyntheticHosts : public ps::cli::HostSource {
 public:
  SyntheticHosts(std::size_t count, bool arp) : count_(count), arp_(arp) {}
  std::size_t size() const override { return count_; }
  const HostLine& Get(std::size_t i) override {
    ps::sweep::HostResult& r = line_.result;
    r.address = ps::IpAddress::V4(0x0A4F0000u + static_cast<std::uint32_t>(i));
    r.outcome = ps::sweep::Outcome::kAnswered;
    r.sent = r.received = 1;
    r.rtt_min_ns = r.rtt_max_ns = r.rtt_sum_ns = 180'000 + static_cast<std::int64_t>(i % 977) * 1013;
    r.via = arp_ ? ps::sweep::Via::kArp : ps::sweep::Via::kIcmp;
    r.ttl = arp_ ? 0 : 64;
    if (arp_) {
      char text[ps::MacAddress::kText];
      const auto mac = ps::MacAddress::FromUint64(0x020000000000ull + i);
      line_.mac.assign(text, mac.WriteText(text));
    }
    return line_;
  }

 private:
  std::size_t count_;
  bool arp_;
  HostLine line_;
};

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;
  const std::string only = argc > 2 ? argv[2] : "";
  constexpr std::size_t kLines = 65536;
  const struct {
    const char* name;
    ps::cli::Format format;
    bool arp;
  } cases[] = {
      {"ARP /16, text", ps::cli::Format::kText, true},
      {"ARP /16, csv", ps::cli::Format::kCsv, true},
      {"ICMP /16, text", ps::cli::Format::kText, false},
      {"ICMP /16, csv", ps::cli::Format::kCsv, false},
      {"ICMP /16, json", ps::cli::Format::kJson, false},
  };
  std::printf("output of %zu answering hosts, median of %d runs\n", kLines, runs);
  for (const auto& c : cases) {
    if (std::string(c.name).find(only) == std::string::npos) continue;
    std::vector<double> ns_per_line;
    std::size_t bytes = 0;
    for (int run = 0; run < runs; ++run) {
      NullBuffer null;
      std::ostream out(&null);
      SyntheticHosts hosts(kLines, c.arp);
      const auto start = std::chrono::steady_clock::now();
      ps::cli::WriteHosts(out, c.format, hosts, 1);
      const auto took = std::chrono::steady_clock::now() - start;
      ns_per_line.push_back(std::chrono::duration<double, std::nano>(took).count() / kLines);
      bytes = null.written;
    }
    std::printf("  %-16s %7.1f ns a line  %8.2f ms in all  (%zu bytes)\n", c.name,
                ps::bench::Median(ns_per_line), ps::bench::Median(ns_per_line) * kLines / 1e6,
                bytes);
  }
  return 0;
}

// Vendor registry figures over the installed IEEE registries: median load time
// of all files, and median time of one lookup (addresses drawn from the
// registered prefixes, a tenth of them unknown).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_stats.h"
#include "lan/vendors.h"

namespace {

using Clock = std::chrono::steady_clock;

using ps::bench::Median;

}  // namespace

int main(int argc, char** argv) {
  const std::string folder = argc > 1 ? argv[1] : ps::sweep::VendorRegistry::kSystemFolder;
  std::vector<double> load_ms;
  std::optional<ps::sweep::VendorRegistry> registry;
  for (int run = 0; run < 21; ++run) {
    const auto start = Clock::now();
    auto loaded = ps::sweep::VendorRegistry::Load(folder);
    load_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    if (!loaded.ok()) {
      std::fprintf(stderr, "%s\n", loaded.status().message().c_str());
      return 1;
    }
    registry = std::move(loaded).value();
  }

  // Known prefixes: every MA-L prefix the registry answers for, sampled.
  std::mt19937_64 random(42);
  std::vector<ps::MacAddress> macs;
  while (macs.size() < 1 << 16) {
    ps::MacAddress mac = ps::MacAddress::FromUint64(random() & 0xfcffffffffffull);
    if (macs.size() % 10 != 0 && registry->Lookup(mac).empty()) continue;
    macs.push_back(mac);
  }
  std::shuffle(macs.begin(), macs.end(), random);
  std::vector<double> lookup_ns;
  std::size_t sink = 0;
  for (int run = 0; run < 21; ++run) {
    const auto start = Clock::now();
    for (const auto& mac : macs) sink += registry->Lookup(mac).size();
    lookup_ns.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
                        static_cast<double>(macs.size()));
  }
  std::printf("vendor registry (%s): %zu prefixes\n", folder.c_str(), registry->size());
  std::printf("  load, all files     median %7.2f ms (goal <= 50 ms)\n", Median(load_ms));
  std::printf("  one lookup          median %7.1f ns (goal <= 1000 ns)   [%zu]\n",
              Median(lookup_ns), sink % 10);
  return 0;
}

// The watch's inventory at scale: 100,000 devices stored in the SQLite
// registry (in a throw-away folder), loaded back, and one event written (the
// change observed, its line rendered, the device's record saved). Figures are
// medians of the repetitions. Sends nothing.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_stats.h"
#include "platform/clock/monotonic_clock.h"
#include "platform/netapi/net_services.h"
#include "platform/registry/sqlite_registry.h"
#include "testsupport/temp_dir.h"
#include "watch/inventory_store.h"
#include "watch/watcher.h"

namespace {

using namespace ps;
using Clock = std::chrono::steady_clock;

constexpr int kDevices = 100'000;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// This process's CPU time: on a shared machine the wall clock also counts the
// waits for a core.
double CpuMs() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double ResidentMb() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * 4096.0 / (1024 * 1024);
}

watch::Observation Device(int i, int generation) {
  watch::Observation seen;
  seen.mac = MacAddress::FromUint64(0x0011'2200'0000ULL + static_cast<std::uint64_t>(i));
  seen.address = IpAddress::V4(0x0A000000u + static_cast<std::uint32_t>(i) + generation * 0x10000u);
  seen.names = {{"dns", "host-" + std::to_string(i) + ".lan"}};
  seen.vendor = "Example Networks";
  return seen;
}

watch::Watcher MakeWatcher() {
  return watch::Watcher({2, 300'000'000'000, kDevices}, platform::SystemMonotonicClock(),
                        *platform::Services().clock);
}

}  // namespace

int main() {
  platform::TempRegistryDir dir;
  platform::SqliteRegistry registry(platform::SqliteRegistry::LocationIn(dir.path()));
  watch::InventoryStore store(registry, platform::HKEY_CURRENT_USER);
  std::vector<watch::Event> events;
  {
    watch::Watcher watcher = MakeWatcher();
    for (int i = 0; i < kDevices; ++i) watcher.Observe(Device(i, 0), &events);
    const auto start = Clock::now();
    const double cpu = CpuMs();
    if (const Status s = store.Save(watcher.inventory(), watcher.TakeChanged()); !s.ok()) {
      std::fprintf(stderr, "bench_watch: %s\n", s.ToString().c_str());
      return 1;
    }
    std::printf("save of %d devices, one batch: %.1f ms, %.1f ms of CPU\n", kDevices,
                MsSince(start), CpuMs() - cpu);
  }
  std::vector<double> loads, load_cpu, read_cpu;
  for (int round = 0; round < 5; ++round) {
    const auto start = Clock::now();
    const double cpu = CpuMs();
    auto loaded = store.Load();
    if (!loaded.ok()) return 1;
    read_cpu.push_back(CpuMs() - cpu);
    watch::Watcher watcher = MakeWatcher();
    watcher.AdoptAll(std::move(loaded->devices));
    loads.push_back(MsSince(start));
    load_cpu.push_back(CpuMs() - cpu);
    if (watcher.inventory().size() != kDevices) return 1;
  }
  std::printf("load of %d devices: median %.1f ms, %.1f ms of CPU (%.1f ms reading the store; "
              "resident %.1f MB)\n",
              kDevices, bench::Median(loads), bench::Median(load_cpu), bench::Median(read_cpu),
              ResidentMb());

  watch::Watcher watcher = MakeWatcher();
  auto loaded = store.Load();
  if (!loaded.ok()) return 1;
  for (watch::Device& d : loaded->devices) watcher.Adopt(std::move(d));
  loaded->devices.clear();
  loaded->devices.shrink_to_fit();
  std::printf("resident with one inventory loaded: %.1f MB\n", ResidentMb());
  std::vector<double> writes, write_cpu;
  std::size_t bytes = 0;
  for (int i = 0; i < 201; ++i) {
    events.clear();
    const auto start = Clock::now();
    const double cpu = CpuMs();
    watcher.Observe(Device(i * 397 % kDevices, 1 + i), &events);  // another address
    for (const watch::Event& e : events) bytes += watch::EventJson(e).size();
    if (!store.Save(watcher.inventory(), watcher.TakeChanged()).ok()) return 1;
    writes.push_back(MsSince(start));
    write_cpu.push_back(CpuMs() - cpu);
  }
  std::printf(
      "one event written (observed, rendered, its record saved): median %.3f ms, %.3f ms "
      "of CPU (%zu bytes of JSON in all)\n",
      bench::Median(writes), bench::Median(write_cpu), bytes);
  return 0;
}

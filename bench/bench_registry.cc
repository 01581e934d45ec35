// RegistryKey over the SQLite registry, in a throw-away folder.
//
// Every write is its own committed transaction (WAL, synchronous=NORMAL): once
// set_value returns, the change survives a crash or kill of the process.
// Figures are medians of the repetitions.
#include <benchmark/benchmark.h>
#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "platform/registry/registry_service.h"
#include "platform/registry/sqlite_registry.h"
#include "registry/registry_key.h"

namespace {

constexpr std::int32_t kHkcu = ps::platform::HKEY_CURRENT_USER;
constexpr std::int32_t kKeyRead = 0x20019;
constexpr std::int32_t kKeyWrite = 0x20006;
constexpr int kManyValues = 100000;

// The registry the benchmarks use: created once, removed at exit.
struct Registry {
  Registry() {
    char name[] = "/tmp/bench_registry.XXXXXX";
    dir = ::mkdtemp(name);
    sqlite = std::make_unique<ps::platform::SqliteRegistry>(
        ps::platform::SqliteRegistry::LocationIn(dir));
    scope = std::make_unique<ps::platform::ScopedRegistryService>(sqlite.get());
  }
  ~Registry() {
    scope.reset();
    sqlite.reset();
    ::nftw(
        dir.c_str(), [](const char* p, const struct stat*, int, FTW*) { return ::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }
  std::string dir;
  std::unique_ptr<ps::platform::SqliteRegistry> sqlite;
  std::unique_ptr<ps::platform::ScopedRegistryService> scope;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

void Open(ps::RegistryKey& key, const char16_t* path, std::int32_t rights) {
  TheRegistry();
  std::int32_t root = kHkcu;
  std::u16string p = path;
  key.OpenKey(root, p, rights);
}

void BM_DurableValueWrite(benchmark::State& state) {
  ps::RegistryKey key;
  Open(key, u"Software\\PingSweep\\Writes", kKeyWrite);
  std::u16string name = u"Counter";
  std::int64_t i = 0;
  for (auto _ : state) key.set_value(name, ps::Variant(static_cast<double>(++i)));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DurableValueWrite)->MinTime(0.5);

void BM_ValueRead(benchmark::State& state) {
  ps::RegistryKey key;
  Open(key, u"Software\\PingSweep\\Reads", kKeyWrite);
  std::u16string name = u"Setting";
  key.set_value(name, ps::Variant(u"a value of moderate length"));
  Open(key, u"Software\\PingSweep\\Reads", kKeyRead);
  for (auto _ : state) benchmark::DoNotOptimize(key.value(name));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ValueRead)->MinTime(0.5);

// Fills the key of 100,000 values once per run.
void FillMany() {
  static bool filled = false;
  if (filled) return;
  ps::RegistryKey key;
  Open(key, u"Software\\PingSweep\\Many", kKeyWrite);
  for (int i = 0; i < kManyValues; ++i) {
    std::u16string name = u"Value number " + ps::FromUtf8(std::to_string(i));
    key.set_value(name, ps::Variant(i));
  }
  filled = true;
}

void BM_ValueNames100k(benchmark::State& state) {
  FillMany();
  ps::RegistryKey key;
  Open(key, u"Software\\PingSweep\\Many", kKeyRead);
  for (auto _ : state) {
    const ps::Variant names = key.ValueNames();
    if (names.UBound() != kManyValues) state.SkipWithError("wrong count");
  }
}
BENCHMARK(BM_ValueNames100k)->Unit(benchmark::kMillisecond)->Iterations(3);

// The same with the listing read from the database each time: a change
// elsewhere before each call drops the process's caches.
void BM_ValueNames100kUncached(benchmark::State& state) {
  FillMany();
  ps::RegistryKey key, other;
  Open(key, u"Software\\PingSweep\\Many", kKeyRead);
  Open(other, u"Software\\PingSweep\\Other", kKeyWrite);
  std::u16string name = u"x";
  for (auto _ : state) {
    state.PauseTiming();
    other.set_value(name, ps::Variant(u"y"));
    state.ResumeTiming();
    const ps::Variant names = key.ValueNames();
    if (names.UBound() != kManyValues) state.SkipWithError("wrong count");
  }
}
BENCHMARK(BM_ValueNames100kUncached)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_OpenClose(benchmark::State& state) {
  ps::RegistryKey key;
  Open(key, u"Software\\PingSweep\\Bench\\Open", kKeyWrite);
  key.CloseKey();
  std::int32_t root = kHkcu;
  std::u16string path = u"Software\\PingSweep\\Bench\\Open";
  std::int32_t rights = kKeyRead;
  for (auto _ : state) {
    key.OpenKey(root, path, rights);
    key.CloseKey();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OpenClose)->MinTime(0.5);

}  // namespace

int main(int argc, char** argv) {
  std::printf(
      "Targets: durable write >= 5,000/s; read >= 200,000/s; ValueNames of 100,000 values <= 300 "
      "ms; open+close >= 100,000/s.\n");
  // Medians unless the command line says otherwise.
  std::vector<char*> args(argv, argv + argc);
  std::string reps = "--benchmark_repetitions=5";
  std::string only = "--benchmark_report_aggregates_only=true";
  args.insert(args.begin() + 1, {reps.data(), only.data()});
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

#include "watch/inventory_store.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/registry/forwarding_registry_service.h"
#include "platform/registry/sqlite_registry.h"
#include "registry/reg_io.h"
#include "testsupport/temp_dir.h"
#include "watch/record.h"
#include "watch/watch_script.h"

namespace ps::watch {
namespace {

using namespace platform;
using testing::Script;

constexpr std::int64_t kMinute = 60'000'000'000;

// Fails the n-th value write as a full disk would; passes batches on.
class FailingRegistry : public ForwardingRegistryService, public RegistryBatch {
 public:
  explicit FailingRegistry(SqliteRegistry& real) : ForwardingRegistryService(&real), real_(real) {}
  int fail_write = 0;  // 1-based; 0 never
  int writes = 0;
  LONG RegSetValueExA(HKEY k, const char* n, DWORD r, DWORD t, const unsigned char* d,
                      DWORD c) override {
    if (++writes == fail_write) return ERROR_DISK_FULL;
    return ForwardingRegistryService::RegSetValueExA(k, n, r, t, d, c);
  }
  LONG BeginBatch(HKEY root) override { return real_.BeginBatch(root); }
  LONG CommitBatch() override { return real_.CommitBatch(); }
  void AbortBatch() override { real_.AbortBatch(); }

 private:
  SqliteRegistry& real_;
};

class WatchStoreTest : public ::testing::Test {
 protected:
  WatchStoreTest() : registry_(SqliteRegistry::LocationIn(dir_.path())) {}

  std::map<std::string, Device> Devices(const Watcher& watcher) {
    std::map<std::string, Device> out;
    for (const auto& [id, entry] : watcher.inventory().entries()) out[id] = entry.device;
    return out;
  }
  // A new watcher holding what the store holds.
  std::unique_ptr<Script> Reload(std::size_t* damaged = nullptr) {
    auto script = std::make_unique<Script>(WatchConfig{2, 5 * kMinute, 64});
    Result<InventoryStore::Loaded> loaded = store_.Load();
    EXPECT_TRUE(loaded.ok()) << loaded.status().ToString();
    if (!loaded.ok()) return script;
    for (Device& d : loaded->devices) EXPECT_TRUE(script->watcher.Adopt(std::move(d)));
    if (damaged) *damaged = loaded->damaged;
    return script;
  }
  // Whether the store holds a device named with a generation not in `seen`.
  void SetRaw(const std::string& name, DWORD type, const std::string& data) {
    HKEY key = 0;
    ASSERT_EQ(registry_.RegCreateKeyExA(HKEY_CURRENT_USER, kInventoryKey, 0, "", 0, KEY_ALL_ACCESS,
                                        nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(registry_.RegSetValueExA(key, name.c_str(), 0, type,
                                       reinterpret_cast<const unsigned char*>(data.data()),
                                       static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
    registry_.RegCloseKey(key);
  }

  TempRegistryDir dir_;
  SqliteRegistry registry_;
  InventoryStore store_{registry_, HKEY_CURRENT_USER};
};

TEST_F(WatchStoreTest, ReloadKeepsEveryFieldAndAnnouncesNothingKnown) {
  Script first({2, 5 * kMinute, 64});
  Observation odd = testing::Answer("B fe80::2");  // randomized, names not UTF-8
  odd.mac->octets[0] = 0x02;
  odd.names = {{"dhcp", std::string("tele\0phone\xFF\x1B[2J", 15)}, {"n\xC3\xA9t", "caf\xC3\xA9"}};
  odd.vendor = "\xFE vendor";
  // One sweep: the odd device answers, then `answers`.
  const auto step = [&odd](Script& script, const std::string& answers) {
    std::vector<Event> events;
    script.watcher.Observe(odd, &events);
    const std::string own = testing::Summaries(events), rest = script.Step(answers);
    return own.empty() || rest.empty() ? own + rest : own + "; " + rest;
  };
  EXPECT_EQ(step(first, "A 10.0.0.1 dns=nas; C 10.0.0.3; - 192.0.2.7 dns=far"),
            "new 02:11:22:33:44:42 fe80::2 dhcp=" + odd.names[0].name +
                "; new A 10.0.0.1 dns=nas; new C 10.0.0.3; new ip:192.0.2.7 dns=far");
  step(first, "A 10.0.0.1; - 192.0.2.7");
  EXPECT_EQ(step(first, "A 10.0.0.1; - 192.0.2.7"), "offline C 10.0.0.3");
  ASSERT_TRUE(store_.Save(first.watcher.inventory(), first.watcher.TakeChanged()).ok());

  std::size_t damaged = 99;
  auto second = Reload(&damaged);
  EXPECT_EQ(damaged, 0u);
  EXPECT_EQ(Devices(second->watcher), Devices(first.watcher));
  EXPECT_EQ(step(*second, "A 10.0.0.1 dns=nas; - 192.0.2.7"), "");
  EXPECT_EQ(step(*second, "C 10.0.0.3; A 10.0.0.1; - 192.0.2.7"), "online C 10.0.0.3");
  // What changed since is written over the old records, not beside them.
  ASSERT_TRUE(store_.Save(second->watcher.inventory(), second->watcher.TakeChanged()).ok());
  EXPECT_EQ(Devices(Reload()->watcher), Devices(second->watcher));
  EXPECT_EQ(store_.Load()->devices.size(), 4u);
}

TEST_F(WatchStoreTest, DamagedRecordsAreLeftOut) {
  Script script({});
  script.Step("A 10.0.0.1");
  ASSERT_TRUE(store_.Save(script.watcher.inventory(), script.watcher.TakeChanged()).ok());
  const std::string good =
      EncodeDevice(script.watcher.inventory().entries().begin()->second.device);
  std::string many = R"({"first_seen":0,"last_seen":0,"names":[],"vendor":"","randomized":false,)"
                     R"("online":true,"addresses":[)";
  for (int i = 0; i < 9; ++i) {
    many += std::string(i ? "," : "") + "[\"10.0.0." + std::to_string(i) + "\",0]";
  }
  const struct {
    std::string name;
    DWORD type;
    std::string data;
  } cases[] = {
      {"00:11:22:33:44:42", REG_SZ, "not json"},
      {"00:11:22:33:44:43", REG_SZ, "{}"},
      {"00:11:22:33:44:44", REG_SZ, good},                  // names another MAC
      {"00:11:22:33:44:41", REG_DWORD, good.substr(0, 4)},  // not a record's type
      {"ip:10.0.0.5", REG_SZ, many + "]}"},                 // beyond the bounds (and the id)
      {"ip:10.0.0.0", REG_SZ, many + "]}"},
      {"00:11:22:33:44:45", REG_SZ,
       R"({"mac":"00:11:22:33:44:45","first_seen":0,"last_seen":0,)"
       R"("addresses":[["10.0.0.300",0]],"names":[],"vendor":"",)"
       R"("randomized":false,"online":true})"},
      {"00:11:22:33:44:46", REG_SZ,
       R"({"mac":"00:11:22:33:44:46","first_seen":0,"last_seen":0,)"
       R"("addresses":[],"names":[["dns",{"hex":"4"}]],"vendor":"",)"
       R"("randomized":false,"online":true})"},
  };
  for (const auto& c : cases) SetRaw(c.name, c.type, c.data);
  SetRaw("00:11:22:33:44:47", REG_SZ,
         R"({"mac":"00:11:22:33:44:47","first_seen":1,"last_seen":2,"addresses":[],)"
         R"("names":[["dns",{"hex":"41ff"}]],"vendor":"","randomized":false,"online":false})");
  std::size_t damaged = 0;
  auto reloaded = Reload(&damaged);
  EXPECT_EQ(damaged, std::size(cases));
  ASSERT_EQ(reloaded->watcher.inventory().size(), 1u);  // 41 was overwritten by the DWORD
  const Device& d = reloaded->watcher.inventory().entries().at("00:11:22:33:44:47").device;
  EXPECT_EQ(d.names, (std::vector<NameBy>{{"dns", "A\xFF"}}));
  EXPECT_FALSE(d.online);
}

TEST_F(WatchStoreTest, AFailedSaveLeavesTheStoredInventoryAsItWas) {
  Script script({});
  script.Step("A 10.0.0.1; B 10.0.0.2");
  ASSERT_TRUE(store_.Save(script.watcher.inventory(), script.watcher.TakeChanged()).ok());
  const auto before = Devices(Reload()->watcher);
  script.Step("A 10.0.0.3; B 10.0.0.4");
  FailingRegistry failing(registry_);
  failing.fail_write = 2;
  InventoryStore store(failing, HKEY_CURRENT_USER);
  const Status saved = store.Save(script.watcher.inventory(), script.watcher.TakeChanged());
  EXPECT_FALSE(saved.ok());
  EXPECT_EQ(saved.message(),
            "cannot write the inventory HKEY_CURRENT_USER\\Software\\PingSweep\\Inventory: " +
                reg::ErrorText(ERROR_DISK_FULL));
  EXPECT_EQ(Devices(Reload()->watcher), before);  // A's new record went with the batch
}

// A writer killed at random moments: every reload finds whole records, each
// of the same generation (one batch per save), never a damaged one.
TEST_F(WatchStoreTest, KilledWriterLeavesWholeRecords) {
  std::set<std::string> seen_generations;
  for (int round = 0; round < 4; ++round) {
    int saved[2];
    ASSERT_EQ(::pipe(saved), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(saved[0]);
      SqliteRegistry registry(SqliteRegistry::LocationIn(dir_.path()));
      InventoryStore store(registry, HKEY_CURRENT_USER);
      Script script({2, 5 * kMinute, 1000});
      // Each round's generations are its own, so every round's survivor is
      // told apart from the others'.
      for (int generation = round * 1'000'000;; ++generation) {
        for (int i = 0; i < 200; ++i) {
          std::vector<Event> events;
          Observation seen;
          seen.mac = MacAddress::FromUint64(0x001122000000 + i);
          seen.names = {{"gen", std::to_string(generation)}};
          script.watcher.Observe(seen, &events);
        }
        if (!store.Save(script.watcher.inventory(), script.watcher.TakeChanged()).ok()) _exit(1);
        if (::write(saved[1], "s", 1) != 1) _exit(1);
      }
    }
    ::close(saved[1]);
    // Killed once the writer has stored a generation (a slow, sanitized
    // build on a loaded machine may take long to get there), at a moment
    // that moves from round to round.
    pollfd first{.fd = saved[0], .events = POLLIN, .revents = 0};
    char byte = 0;
    const bool stored = ::poll(&first, 1, 120'000) == 1 && ::read(saved[0], &byte, 1) == 1;
    ::usleep(round * 7'000);
    ::kill(child, SIGKILL);
    ::close(saved[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(stored) << "the writer stored nothing within 120 s";
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed on its own";
    Result<InventoryStore::Loaded> loaded = store_.Load();
    ASSERT_TRUE(loaded.ok()) << loaded.status().ToString();
    EXPECT_EQ(loaded->damaged, 0u);
    ASSERT_EQ(loaded->devices.size() % 200, 0u);
    std::set<std::string> generations;
    for (const Device& d : loaded->devices) generations.insert(d.names.at(0).name);
    EXPECT_LE(generations.size(), 1u) << "round " << round;
    seen_generations.insert(generations.begin(), generations.end());
  }
  EXPECT_GE(seen_generations.size(), 2u) << "the writer was killed before it wrote twice";
}

}  // namespace
}  // namespace ps::watch

#include "watch/watcher.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "watch/watch_script.h"

namespace ps::watch {
namespace {

using testing::Script;

constexpr std::int64_t kMinute = 60'000'000'000;

struct ScriptCase {
  const char* what;
  std::vector<std::pair<std::string, std::string>> steps;  // answers -> events
};

// K = 2, quiet for 5 minutes, sweeps a minute apart.
TEST(WatchWatcherTest, ScriptedChanges) {
  const ScriptCase cases[] = {
      {"arrival, then nothing new",
       {{"A 10.0.0.1; B 10.0.0.2", "new A 10.0.0.1; new B 10.0.0.2"},
        {"B 10.0.0.2; A 10.0.0.1", ""}}},
      {"departure after K sweeps, return",
       {{"A 10.0.0.1", "new A 10.0.0.1"},
        {"", ""},
        {"", "offline A 10.0.0.1"},
        {"", ""},
        {"A 10.0.0.1", "online A 10.0.0.1"},
        {"A 10.0.0.1", ""}}},
      {"traffic seen between sweeps keeps a silent device up",
       {{"A 10.0.0.1", "new A 10.0.0.1"},
        {"", ""},
        {"~A", ""},
        {"", ""},
        {"", ""},
        {"", "offline A 10.0.0.1"},
        {"~A 10.0.0.1", "online A 10.0.0.1"}}},
      {"another address",
       {{"A 10.0.0.1", "new A 10.0.0.1"},
        {"A 10.0.0.2", "address A 10.0.0.2 was 10.0.0.1"},
        {"A 10.0.0.2; A fe80::1", "address A fe80::1"},
        {"A 10.0.0.1", ""}}},
      {"a MAC changed: the new one takes the address, the old goes offline",
       {{"A 10.0.0.1", "new A 10.0.0.1"},
        {"B 10.0.0.1", "new B 10.0.0.1; conflict 10.0.0.1 B was A"},
        {"B 10.0.0.1", "offline A"},
        {"B 10.0.0.1", ""}}},
      {"an address answering from a known device's MAC",
       {{"A 10.0.0.1; B 10.0.0.2", "new A 10.0.0.1; new B 10.0.0.2"},
        {"A 10.0.0.1; B 10.0.0.1", "conflict 10.0.0.1 B was A"}}},
      {"an address left longer than quiet_for changes hands silently",
       {{"A 10.0.0.1", "new A 10.0.0.1"},
        {"", ""},
        {"", "offline A 10.0.0.1"},
        {"", ""},
        {"", ""},
        {"", ""},
        {"B 10.0.0.1", "new B 10.0.0.1"}}},
      {"names: a change per source, the first of a new source, never an empty one",
       {{"A 10.0.0.1 dns=nas", "new A 10.0.0.1 dns=nas"},
        {"A 10.0.0.1 dns=nas", ""},
        {"A 10.0.0.1 dns=nas2", "name A 10.0.0.1 dns=nas2 was nas"},
        {"A 10.0.0.1 dhcp=phone dns=nas2", "name A 10.0.0.1 dhcp=phone was "},
        {"A 10.0.0.1 dns=", ""}}},
      {"flapping: one pair per quiet period",
       {{"A 10.0.0.1", "new A 10.0.0.1"},
        {"", ""},
        {"", "offline A 10.0.0.1"},  // t = 2 min
        {"A 10.0.0.1", "online A 10.0.0.1"},
        {"", ""},
        {"", ""},  // down at 5 min: too soon
        {"A 10.0.0.1", ""},
        {"", ""},
        {"", "offline A 10.0.0.1"},  // down at 8 min
        {"A 10.0.0.1", "online A 10.0.0.1"}}},
      {"flapping: an offline held back is announced when the quiet period ends",
       {{"A 10.0.0.1", "new A 10.0.0.1"},
        {"", ""},
        {"", "offline A 10.0.0.1"},  // t = 2 min
        {"A 10.0.0.1", "online A 10.0.0.1"},
        {"", ""},
        {"", ""},
        {"", ""},
        {"", "offline A 10.0.0.1"}}},  // t = 7 min
      {"hosts beyond a router, by address",
       {{"- 192.0.2.7 dns=far", "new ip:192.0.2.7 dns=far"},
        {"- 192.0.2.7", ""},
        {"", ""},
        {"", "offline ip:192.0.2.7"}}},
      {"group and zero MACs are no station's",
       {{"ff:ff:ff:ff:ff:ff 10.0.0.9", ""},
        {"01:00:5e:00:00:01 10.0.0.9", ""},
        {"00:00:00:00:00:00 10.0.0.9", ""},
        {"00:00:00:00:00:01 10.0.0.9", "new 00:00:00:00:00:01 10.0.0.9"}}},
  };
  for (const ScriptCase& c : cases) {
    SCOPED_TRACE(c.what);
    Script script({2, 5 * kMinute, 64});
    int step = 0;
    for (const auto& [answers, events] : c.steps) {
      EXPECT_EQ(script.Step(answers), events) << "step " << step++ << ": " << answers;
    }
  }
}

TEST(WatchWatcherTest, CapWarnsOnceAndKeepsTrackingKnownDevices) {
  Script script({2, 5 * kMinute, 3});
  EXPECT_EQ(script.Step("A 10.0.0.1; B 10.0.0.2; C 10.0.0.3; D 10.0.0.4; E 10.0.0.5"),
            "new A 10.0.0.1; new B 10.0.0.2; new C 10.0.0.3; full 3");
  EXPECT_EQ(script.Step("F 10.0.0.6; A 10.0.0.1; B 10.0.0.2"), "");
  EXPECT_EQ(script.Step("A 10.0.0.9; B 10.0.0.2; G 10.0.0.7"),
            "address A 10.0.0.9 was 10.0.0.1; offline C 10.0.0.3");
  EXPECT_EQ(script.Step("C 10.0.0.3; H 10.0.0.8"), "online C 10.0.0.3");
  EXPECT_EQ(script.watcher.inventory().size(), 3u);
}

TEST(WatchWatcherTest, DeviceRecordAndChangedList) {
  Script script({});
  std::vector<Event> events;
  Observation seen = testing::Answer("A 10.0.0.1 dns=nas");
  seen.mac->octets[0] = 0x02;  // locally administered
  seen.vendor = std::string(300, 'v');
  script.watcher.Observe(seen, &events);
  script.Advance(kMinute);
  seen.address = IpAddress::Parse("fe80::1");
  seen.names = {{"dns", std::string(400, 'n')}};
  script.watcher.Observe(seen, &events);
  const Device d = script.watcher.inventory().entries().at("02:11:22:33:44:41").device;
  EXPECT_EQ(d.id, "02:11:22:33:44:41");
  EXPECT_TRUE(d.randomized);
  EXPECT_EQ(d.first_seen, 1710238830400);  // 2024-03-12T10:20:30.400Z
  EXPECT_EQ(d.last_seen, d.first_seen + 60'000);
  ASSERT_EQ(d.addresses.size(), 2u);
  EXPECT_EQ(d.addresses[0], (SeenAddress{*IpAddress::Parse("fe80::1"), d.last_seen}));
  EXPECT_EQ(d.addresses[1], (SeenAddress{*IpAddress::Parse("10.0.0.1"), d.first_seen}));
  EXPECT_EQ(d.names, (std::vector<NameBy>{{"dns", std::string(kMaxTextBytes, 'n')}}));
  EXPECT_EQ(d.vendor.size(), kMaxTextBytes);
  EXPECT_TRUE(d.online);

  for (int i = 0; i < 10; ++i) script.watcher.Observe(testing::Answer("B 10.0.0.1"), &events);
  // B took 10.0.0.1 from A: both changed, each listed once.
  EXPECT_EQ(script.watcher.TakeChanged(),
            (std::vector<std::string>{"00:11:22:33:44:42", "02:11:22:33:44:41"}));
  EXPECT_TRUE(script.watcher.TakeChanged().empty());
  EXPECT_EQ(script.watcher.inventory().entries().at(d.id).device.addresses.size(), 1u);
  EXPECT_EQ(testing::Summaries(events),
            "new 02:11:22:33:44:41 10.0.0.1 dns=nas; address 02:11:22:33:44:41 fe80::1; "
            "name 02:11:22:33:44:41 fe80::1 dns=" +
                std::string(kMaxTextBytes, 'n') +
                " was nas; new B 10.0.0.1; conflict 10.0.0.1 B was 02:11:22:33:44:41");
}

TEST(WatchWatcherTest, AddressListIsBounded) {
  Script script({});
  for (int i = 1; i <= 20; ++i) script.Step("A 10.0.1." + std::to_string(i));
  const Device& d = script.watcher.inventory().entries().begin()->second.device;
  ASSERT_EQ(d.addresses.size(), kMaxAddresses);
  EXPECT_EQ(d.addresses.front().address.ToString(), "10.0.1.20");
  EXPECT_EQ(d.addresses.back().address.ToString(), "10.0.1.13");
  // An address that fell off the list is free: another MAC takes it silently.
  EXPECT_EQ(script.Step("A 10.0.1.20; B 10.0.1.1"), "new B 10.0.1.1");
}

// A day of a 1,000-device LAN swept every minute, K = 2, quiet for an hour:
// 20 devices flap (answer one sweep in three), 50 leave for an hour, 10 move
// to another address, 10 change their MAC, 10 are renamed, the rest stay.
TEST(WatchWatcherTest, DayOfAThousandDevices) {
  Script script({2, 60 * kMinute, kDefaultMaxDevices});
  std::map<EventKind, int> counts;
  std::vector<Event> events;
  for (int n = 0; n < 24 * 60; ++n) {
    for (int i = 0; i < 1000; ++i) {
      if (i < 20 && n % 3 != 0) continue;
      if (i >= 20 && i < 70 && n >= 360 && n < 420) continue;
      const auto hi = static_cast<std::uint8_t>(i >> 8), lo = static_cast<std::uint8_t>(i);
      const std::uint8_t changed = i >= 80 && i < 90 && n >= 1080;
      Observation seen;
      seen.mac = MacAddress{{0x00, 0x22, 0x00, changed, hi, lo}};
      seen.address = IpAddress::V4((i >= 70 && i < 80 && n >= 720 ? 0x0A020000 : 0x0A010000) |
                                   static_cast<std::uint32_t>(i));
      seen.names = {
          {"dns", "h" + std::to_string(i) + (i >= 90 && i < 100 && n >= 900 ? "-new" : "")}};
      script.watcher.Observe(seen, &events);
    }
    script.watcher.EndSweep(&events);
    for (const Event& e : events) ++counts[e.kind];
    events.clear();
    script.watcher.TakeChanged();
    script.Advance(Script::kIntervalNs);
    if (n % 60 == 59) {
      ASSERT_LE(script.watcher.inventory().size(), 1010u) << "at minute " << n;
    }
  }
  EXPECT_EQ(counts, (std::map<EventKind, int>{{EventKind::kNew, 1010},
                                              {EventKind::kOnline, 480 + 50},
                                              {EventKind::kOffline, 480 + 50 + 10},
                                              {EventKind::kAddress, 10},
                                              {EventKind::kConflict, 10},
                                              {EventKind::kName, 10}}));
  EXPECT_EQ(script.watcher.inventory().size(), 1010u);
  std::size_t addresses = 0;
  for (const auto& [id, entry] : script.watcher.inventory().entries()) {
    addresses += entry.device.addresses.size();
  }
  EXPECT_EQ(addresses, 1000u + 10);  // the movers keep their old address; the old MACs lost theirs
}

}  // namespace
}  // namespace ps::watch

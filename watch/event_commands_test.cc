#include "watch/event_commands.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "platform/inet/sweep_fakes.h"

namespace ps::watch {
namespace {

// Commands that run until told to end; what each was given is kept.
class FakeCommands : public platform::Commands {
 public:
  Result<long> Start(const std::string& command, const platform::Environment& env) override {
    if (fail) return Status::Failure("no shell");
    commands.push_back(command);
    envs.push_back(env);
    running.insert(next_id);
    return next_id++;
  }
  bool Ended(long id) override { return ended.count(id) > 0 && running.erase(id) > 0; }
  void Kill(long id) override {
    killed.insert(id);
    running.erase(id);
  }
  bool fail = false;
  long next_id = 1;
  std::vector<std::string> commands;
  std::vector<platform::Environment> envs;
  std::set<long> running, ended, killed;
};

Event Sample(EventKind kind) {
  Event e;
  e.kind = kind;
  e.time = 1'700'000'000'000;
  e.device = "02:00:5e:00:00:01";
  e.mac = MacAddress::Parse(e.device);
  e.address = IpAddress::Parse("10.0.0.7");
  e.previous_mac = MacAddress::Parse("02:00:5e:00:00:02");
  e.name = "$(reboot); `id` | x\n\x1b[31m";
  e.source = "dhcp";
  return e;
}

TEST(WatchEventCommandsTest, FieldsOnlyInTheEnvironment) {
  FakeCommands fake;
  platform::FakeMonotonicClock clock;
  EventCommands commands(fake, clock, "notify \"$PINGSWEEP_NAME\"");
  std::string said;
  commands.Add(Sample(EventKind::kConflict), &said);
  ASSERT_EQ(fake.envs.size(), 1u);
  EXPECT_EQ(fake.commands[0], "notify \"$PINGSWEEP_NAME\"");  // the text as given, nothing added
  const std::map<std::string, std::string> env(fake.envs[0].begin(), fake.envs[0].end());
  const std::map<std::string, std::string> expected = {
      {"PINGSWEEP_EVENT", "conflict"},
      {"PINGSWEEP_TIME", "2023-11-14T22:13:20.000Z"},
      {"PINGSWEEP_WARNING", "1"},
      {"PINGSWEEP_DEVICE", "02:00:5e:00:00:01"},
      {"PINGSWEEP_MAC", "02:00:5e:00:00:01"},
      {"PINGSWEEP_ADDRESS", "10.0.0.7"},
      {"PINGSWEEP_PREVIOUS_ADDRESS", ""},
      {"PINGSWEEP_PREVIOUS_MAC", "02:00:5e:00:00:02"},
      {"PINGSWEEP_NAME", "$(reboot); `id` | x\\x0A\\x1B[31m"},
      {"PINGSWEEP_PREVIOUS_NAME", ""},
      {"PINGSWEEP_SOURCE", "dhcp"},
      {"PINGSWEEP_VENDOR", ""},
  };
  EXPECT_EQ(env, expected);
}

// At most `running` at once, the rest queued up to `queued` (one warning for
// the dropped), each killed when over its time.
TEST(WatchEventCommandsTest, BoundedInNumberAndTime) {
  FakeCommands fake;
  platform::FakeMonotonicClock clock;
  EventCommands commands(fake, clock, "x", CommandLimits{2, 10'000'000'000, 3});
  std::vector<std::string> said(7);
  for (std::string& message : said) commands.Add(Sample(EventKind::kNew), &message);
  EXPECT_EQ(fake.commands.size(), 2u);
  EXPECT_EQ(commands.queued(), 3u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(said[i], "") << i;
  EXPECT_EQ(said[5], "--exec: more than 3 events wait for their command; the later ones get none");
  EXPECT_EQ(said[6], "");  // said once

  std::string message;
  fake.ended.insert(1);
  commands.Poll(&message);
  EXPECT_EQ(fake.running, (std::set<long>{2, 3}));
  EXPECT_EQ(commands.queued(), 2u);
  clock.now_ns += 9'999'999'999;
  commands.Poll(&message);
  EXPECT_TRUE(fake.killed.empty());
  clock.now_ns += 1;
  commands.Poll(&message);
  EXPECT_EQ(fake.killed, (std::set<long>{2, 3}));
  EXPECT_EQ(fake.running, (std::set<long>{4, 5}));
  EXPECT_EQ(commands.killed(), 2u);
  EXPECT_EQ(commands.queued(), 0u);

  fake.ended = {4, 5};
  commands.Poll(&message);
  fake.fail = true;
  commands.Add(Sample(EventKind::kNew), &message);
  EXPECT_EQ(message, "--exec: no shell");
  commands.Add(Sample(EventKind::kNew), &message);
  EXPECT_EQ(message, "");
  EXPECT_EQ(commands.running(), 0u);
}

}  // namespace
}  // namespace ps::watch

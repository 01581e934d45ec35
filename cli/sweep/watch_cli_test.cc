// The watch from the command line over fakes: --changes run after run as a
// LAN changes, --inventory in each format, --exec's environment, and the
// option mixes refused.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/sweep/test_fixtures.h"
#include "cli/sweep/watch_run.h"
#include "testsupport/test_registry.h"

namespace ps::cli {
namespace {

class RecordingCommands : public platform::Commands {
 public:
  Result<long> Start(const std::string& command, const platform::Environment& env) override {
    commands.push_back(command);
    envs.emplace_back(env.begin(), env.end());
    return static_cast<long>(envs.size());
  }
  bool Ended(long) override { return true; }
  void Kill(long) override {}
  std::vector<std::string> commands;
  std::vector<std::map<std::string, std::string>> envs;
};

constexpr std::uint32_t kHost2 = 0x0A000002, kHost3 = 0x0A000003;

class WatchCliTest : public LanRunTest {
 protected:
  WatchCliTest() { segment_.hosts[kHost2].mac = *MacAddress::Parse("02:42:ac:11:00:02"); }
  int Watch(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    const Result<Options> parsed = testing::Parse(std::move(args));
    EXPECT_EQ(parsed.status().message(), "");
    if (!parsed.ok()) return -1;
    const platform::SweepPlatform p{&clock_,    &opener_,  nullptr,     &interfaces_,
                                    &resolver_, &packets_, &privileges_};
    std::istringstream in;
    const Streams streams{&in, &out_, &err_, false};
    const RunContext run{parsed.value(), p, streams, "pingsweep-cli: "};
    return RunWatch(run, WatchServices{&registry_.service(), &commands_, nullptr});
  }
  // The lines printed, each without its first word (the time), joined by "; ".
  std::string Events() const {
    std::istringstream lines(out_.str());
    std::string all;
    for (std::string line; std::getline(lines, line);) {
      all += (all.empty() ? "" : "; ") + line.substr(line.find(' ') + 1);
    }
    return all;
  }

  platform::TestRegistry registry_;
  RecordingCommands commands_;
};

TEST_F(WatchCliTest, ChangesRunAfterRun) {
  const std::string two = "02:42:ac:11:00:02", three = "02:42:ac:11:00:03";
  struct Step {
    const char* what;
    std::function<void()> change;
    std::string events;
    int exit;
  };
  const Step steps[] = {
      {"first sight", [] {},
       "new " + two + " 10.0.0.2 vendor 'private address'; new " + three +
           " 10.0.0.3 name 'printer.lan' (dns) vendor 'private address'",
       kChanged},
      {"nothing changed", [] {}, "", kAnswered},
      {"one silent sweep is no departure", [&] { segment_.hosts.erase(kHost2); }, "", kAnswered},
      {"the second is", [] {}, "offline " + two + " 10.0.0.2", kChanged},
      {"back", [&] { segment_.hosts[kHost2].mac = *MacAddress::Parse(two); },
       "online " + two + " 10.0.0.2", kChanged},
      {"another MAC answers from 10.0.0.3",
       [&] { segment_.hosts[kHost3].mac = *MacAddress::Parse("02:42:ac:11:00:09"); },
       "new 02:42:ac:11:00:09 10.0.0.3 name 'printer.lan' (dns) vendor 'private address'; "
       "warning: conflict 10.0.0.3 02:42:ac:11:00:09 (was " +
           three + ")",
       kChanged},
      {"a name with shell metacharacters; the MAC gone from 10.0.0.3 a second sweep",
       [&] { resolver_.reverse[IpAddress::V4(kHost3)] = "$(touch x);`id`|y"; },
       "name 02:42:ac:11:00:09 10.0.0.3 '$(touch x);`id`|y' (dns, was 'printer.lan'); offline " +
           three,
       kChanged},
  };
  for (const Step& step : steps) {
    step.change();
    EXPECT_EQ(Watch({"--changes", "--exec", "notify \"$PINGSWEEP_NAME\"", "10.0.0.0/29"}),
              step.exit)
        << step.what << "\n"
        << err_.str();
    EXPECT_EQ(Events(), step.events) << step.what;
    EXPECT_TRUE(privileges_.dropped) << step.what;
  }
  // One command per event, the text from the network only in its environment.
  ASSERT_EQ(commands_.envs.size(), 8u);
  for (const std::string& c : commands_.commands) EXPECT_EQ(c, "notify \"$PINGSWEEP_NAME\"");
  EXPECT_EQ(commands_.envs[6].at("PINGSWEEP_EVENT"), "name");
  EXPECT_EQ(commands_.envs[6].at("PINGSWEEP_NAME"), "$(touch x);`id`|y");
  EXPECT_EQ(commands_.envs[6].at("PINGSWEEP_PREVIOUS_NAME"), "printer.lan");
  EXPECT_EQ(commands_.envs[5].at("PINGSWEEP_WARNING"), "1");
}

TEST_F(WatchCliTest, InventoryInEachFormat) {
  resolver_.reverse[IpAddress::V4(kHost3)] = "a,\"b\"\x1b";
  ASSERT_EQ(Watch({"--changes", "10.0.0.0/29"}), kChanged);
  ASSERT_EQ(Watch({"--inventory"}), kAnswered);
  EXPECT_EQ(err_.str(), "pingsweep-cli: 2 devices in the inventory\n");
  const std::string text = out_.str();
  EXPECT_NE(text.find("02:42:ac:11:00:03  online  10.0.0.3  'a,\"b\"\\x1B' (dns)  vendor "
                      "'private address'  randomized  first 20"),
            std::string::npos)
      << text;
  ASSERT_EQ(Watch({"--inventory", "-o", "csv"}), kAnswered);
  std::istringstream csv(out_.str());
  std::string header, first, second;
  std::getline(csv, header);
  std::getline(csv, first);
  std::getline(csv, second);
  EXPECT_EQ(header, "device,mac,addresses,names,vendor,randomized,online,first_seen,last_seen");
  EXPECT_TRUE(
      second.starts_with("02:42:ac:11:00:03,02:42:ac:11:00:03,10.0.0.3,"
                         "\"'a,\"\"b\"\"\\x1B' (dns)\",private address,yes,online,20"))
      << second;
  ASSERT_EQ(Watch({"--inventory", "-o", "json"}), kAnswered);
  std::istringstream json(out_.str());
  std::string line;
  std::getline(json, line);
  std::getline(json, line);
  const auto j = nlohmann::json::parse(line);
  EXPECT_EQ(j.at("device"), "02:42:ac:11:00:03");
  EXPECT_EQ(j.at("addresses").at(0).at("address"), "10.0.0.3");
  EXPECT_EQ(j.at("names").at(0).at("name"), "a,\"b\"\\x1B");
  EXPECT_EQ(j.at("names").at(0).at("source"), "dns");
  EXPECT_EQ(j.at("randomized"), true);
  EXPECT_EQ(j.at("online"), true);
  EXPECT_TRUE(j.at("first_seen").get<std::string>().ends_with("Z"));
}

TEST_F(WatchCliTest, RefusedMixes) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--watch", "--changes"}, "--watch, --changes and --inventory exclude one another"},
      {{"--changes", "--probe", "tcp:80"}, "the watch probes by ARP and ICMP only"},
      {{"--changes", "-o", "csv"}, "events are text or JSON Lines"},
      {{"--inventory", "--exec", "x"}, "--exec runs for events"},
      {{"--changes", "--link-local"}, "do not mix with the watch"},
  };
  for (const auto& [args, message] : cases) {
    EXPECT_EQ(Watch(args), kUsage) << args[0];
    EXPECT_NE(err_.str().find(message), std::string::npos) << err_.str();
    EXPECT_FALSE(privileges_.dropped);  // refused before anything opened
  }
}

TEST(WatchOptionsTest, ValuesAndLimits) {
  struct Case {
    std::vector<std::string> args;
    std::string error;  // "" when parsed
    int watch, quiet, after;
  };
  const Case cases[] = {
      {{"--watch"}, "", 60, 300, 2},
      {{"--watch=5", "--quiet-for=0", "--offline-after=3"}, "", 5, 0, 3},
      {{"--watch=0"}, "--watch: '0' is not a number of seconds (1 to 86400)", 0, 0, 0},
      {{"--watch", "5"}, "", 60, 300, 2},  // a separate word is a target
      {{"--offline-after=0"},
       "--offline-after: '0' is not a number of sweeps (1 to 1000)",
       0,
       0,
       0},
      {{"--quiet-for=-1"}, "--quiet-for: '-1' is not a number of seconds (0 to 86400)", 0, 0, 0},
      {{"--exec="}, "--exec: needs a command", 0, 0, 0},
  };
  for (const Case& c : cases) {
    const Result<Options> o = testing::Parse(c.args);
    EXPECT_EQ(o.status().message(), c.error) << c.args[0];
    if (!o.ok() || !c.error.empty()) continue;
    EXPECT_EQ(o->watch_seconds, c.watch);
    EXPECT_EQ(o->quiet_for_s, c.quiet);
    EXPECT_EQ(o->offline_after, c.after);
  }
}

}  // namespace
}  // namespace ps::cli

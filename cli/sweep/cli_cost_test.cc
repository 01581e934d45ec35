// pingsweep-cli's costs that tests can see: which system tables a run reads.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <sstream>

#include "cli/sweep/options.h"
#include "cli/sweep/output.h"
#include "cli/sweep/run.h"
#include "cli/sweep/test_readers.h"
#include "platform/inet/sweep_fakes.h"
#include "platform/link/packet_io.h"

namespace ps::cli {
namespace {

// Counts dumps per family; knows one MAC.
class CountingNeighbours : public platform::NeighbourTable {
 public:
  Result<std::vector<platform::Neighbour>> Dump(IpAddress::Family family) override {
    ++dumps[family == IpAddress::Family::kV4 ? 0 : 1];
    std::vector<platform::Neighbour> out;
    platform::Neighbour n;
    n.address = IpAddress::V4(0x0A000003);
    n.mac = {0x02, 0x42, 0xAC, 0x11, 0x00, 0x03};
    n.has_mac = true;
    n.state = platform::kNeighbourReachable;
    if (family == IpAddress::Family::kV4) out.push_back(n);
    return out;
  }
  std::optional<platform::NeighbourUsage> Usage(IpAddress::Family) override {
    ++facts;
    return platform::NeighbourUsage{1, 1024};
  }
  double PinnedSeconds(IpAddress::Family) override {
    ++facts;
    return 45;
  }
  int dumps[2] = {0, 0};
  int facts = 0;  // reads of the table's size or pinning time
};

// Counts readings of the links and of the connected subnets; ARP sockets
// cannot be had (a sweep then goes by ICMP).
class CountingLinks : public platform::PacketNetwork, public platform::FakeInterfaceTable {
 public:
  std::vector<platform::Link> Links() override {
    ++links_read;
    platform::Link eth0{"eth0", 2, MacAddress{}, true, true, {{0x0A000006, 29}}};
    return {eth0};
  }
  Result<std::unique_ptr<platform::PacketSocket>> OpenArp(int) override {
    return platform::PacketSocketFailure(EPERM);
  }
  std::vector<platform::ConnectedSubnet> ConnectedSubnets() override {
    ++subnets_read;
    return FakeInterfaceTable::ConnectedSubnets();
  }
  int links_read = 0, subnets_read = 0;
};

Result<Options> Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "pingsweep-cli");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return ParseOptions(static_cast<int>(args.size()), argv.data());
}

class CostTest : public ::testing::Test {
 protected:
  CostTest() {
    opener_.clock = &clock_;
    for (std::uint32_t a : {0x0A000003u, 0x0A010003u}) opener_.hosts[IpAddress::V4(a)] = {};
    opener_.hosts[*IpAddress::Parse("fd00::3")] = {};
    links_.subnets = {
        {IpAddress::V4(0x0A000000), 29, IpAddress::V4(0x0A000006), "eth0", false}};
  }
  int RunWith(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    std::istringstream in;
    const Result<Options> parsed = Parse(std::move(args));
    EXPECT_EQ(parsed.status().message(), "");
    if (!parsed.ok()) return -1;
    const platform::SweepPlatform p{&clock_, &opener_, &neighbours_, &links_, &resolver_, &links_};
    return cli::Run(parsed.value(), p, Streams{&in, &out_, &err_, false}, "pingsweep-cli");
  }

  platform::FakeMonotonicClock clock_;
  platform::FakeIcmpOpener opener_;
  platform::FakeResolver resolver_;
  CountingLinks links_;
  CountingNeighbours neighbours_;
  std::ostringstream out_, err_;
};

// The neighbour table holds an entry per address reached without a router
// (and IPv6 one per local address on lo): a dump of a large one costs more
// than the sweep. Only a family with on-link targets is read, its size and
// pinning time too; the links (for ARP) only when a target may be on one;
// the connected subnets once a run.
TEST_F(CostTest, ReadsTheNeighbourTableOnlyForOnLinkTargets) {
  const struct {
    std::vector<std::string> targets;
    int v4_dumps_at_least, v6_dumps;
    bool v4_none;
    const char* mac;
  } cases[] = {
      {{"10.0.0.3"}, 1, 0, false, "02:42:ac:11:00:03"},  // on eth0's subnet
      {{"10.1.0.3"}, 0, 0, true, ""},                    // routed
      {{"fd00::3"}, 0, 0, true, ""},
      {{"10.1.0.3", "fd00::3"}, 0, 0, true, ""},
  };
  for (const auto& c : cases) {
    neighbours_.dumps[0] = neighbours_.dumps[1] = neighbours_.facts = 0;
    links_.links_read = links_.subnets_read = 0;
    std::vector<std::string> args = {"-n", "-o", "csv"};
    args.insert(args.end(), c.targets.begin(), c.targets.end());
    EXPECT_EQ(RunWith(args), kAnswered) << err_.str();
    bool ok = false;
    const auto rows = testing::CsvRows(out_.str(), &ok);
    ASSERT_EQ(rows.size(), c.targets.size()) << out_.str();
    EXPECT_EQ(rows[0].at("mac"), c.mac) << c.targets[0];
    EXPECT_GE(neighbours_.dumps[0], c.v4_dumps_at_least) << c.targets[0];
    if (c.v4_none) {
      EXPECT_EQ(neighbours_.dumps[0], 0) << c.targets[0];
      EXPECT_EQ(neighbours_.facts, 0) << c.targets[0];
    }
    EXPECT_EQ(links_.links_read, c.v4_none ? 0 : 1) << c.targets[0];
    EXPECT_EQ(links_.subnets_read, 1) << c.targets[0];
    EXPECT_EQ(neighbours_.dumps[1], c.v6_dumps) << c.targets[0];
  }
}

// Times are written without printf, exactly as "%.3f" writes them: ties (a
// remainder of 500 ns), every remainder near them, large and odd values.
TEST(OutputCostTest, MillisecondsAreWrittenAsPrintfWritesThem) {
  std::vector<std::int64_t> values = {-1, -500, 999'999'999'999'999, 1'000'000'000'000'000,
                                      1'000'000'000'000'500, INT64_MAX, INT64_MIN};
  for (std::int64_t ns = 0; ns < 300'000; ++ns) values.push_back(ns);
  std::mt19937_64 random(22);
  for (int i = 0; i < 300'000; ++i) {
    const std::int64_t scale[] = {1'000'000, 1'000'000'000'000, 2'000'000'000'000'000};
    const std::int64_t ns = static_cast<std::int64_t>(random() % scale[i % 3]);
    values.push_back(i % 2 ? ns : ns / 1000 * 1000 + 500);
  }
  for (const std::int64_t ns : values) {
    char expected[64];
    std::snprintf(expected, sizeof(expected), "%.3f", ns / 1e6);
    ASSERT_EQ(Milliseconds(ns), expected) << ns;
  }
}

}  // namespace
}  // namespace ps::cli

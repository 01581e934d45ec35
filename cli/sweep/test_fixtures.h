// Shared by the pingsweep-cli tests over fakes: sample hosts and whole runs
// (RunTest; LanRunTest with ARP) over fake platforms.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli/sweep/options.h"
#include "cli/sweep/output.h"
#include "cli/sweep/run.h"
#include "cli/sweep/test_options.h"
#include "lan/arp_fakes.h"
#include "platform/inet/sweep_fakes.h"

namespace ps::cli {

inline std::vector<HostLine> SampleHosts() {
  std::vector<HostLine> hosts(4);
  hosts[0].result.address = IpAddress::V4(0x0A000001);
  hosts[0].result.outcome = sweep::Outcome::kAnswered;
  hosts[0].result.sent = hosts[0].result.received = 1;
  hosts[0].result.rtt_min_ns = hosts[0].result.rtt_max_ns = hosts[0].result.rtt_sum_ns = 1234567;
  hosts[0].result.ttl = 64;
  hosts[0].name = "caf\xC3\xA9,\"quoted\"\nline\x1B[31m\\";
  hosts[1] = hosts[0];
  hosts[1].result.address = IpAddress::V4(0x0A000002);
  hosts[1].name = "bad\xFFutf8\xC2\x85rtl\xE2\x80\xAEnal.evil";  // U+202E: right-to-left override
  hosts[2].result.address = IpAddress::V4(0x0A00000A);
  hosts[2].result.sent = 2;
  hosts[3].result.address = IpAddress::V4(0x0A00000B);
  hosts[3].result.outcome = sweep::Outcome::kError;
  hosts[3].result.sent = 2;
  hosts[3].result.error_type = 3;
  hosts[3].result.error_code = 1;
  hosts[3].result.error_from = IpAddress::V4(0x0A0000FE);
  return hosts;
}

// Whole runs over the fakes: what is printed and the exit code.
class RunTest : public ::testing::Test {
 protected:
  RunTest() {
    opener_.clock = &clock_;
    opener_.hosts[IpAddress::V4(0x0A000001)] = {};
    opener_.hosts[IpAddress::V4(0x0A000003)] = {};
    opener_.facts.program_path = "/opt/pingsweep-cli";
    resolver_.reverse[IpAddress::V4(0x0A000003)] = "printer.lan";
    resolver_.forward["printer.lan"] = {IpAddress::V4(0x0A000003)};
    interfaces_.subnets = {{IpAddress::V4(0x7F000000), 8, IpAddress::V4(0x7F000001), "lo", true},
                           {IpAddress::V4(0x0A000000), 29, IpAddress::V4(0x0A000006), "eth0", false}};
  }
  // `out`: where the results go instead of out_.
  int RunWith(std::vector<std::string> args, const std::string& input = "",
              std::ostream* out = nullptr) {
    out_.str("");
    err_.str("");
    std::istringstream in(input);
    const Result<Options> parsed = testing::Parse(std::move(args));
    EXPECT_EQ(parsed.status().message(), "");
    if (!parsed.ok()) return -1;
    platform::SweepPlatform p{&clock_, &opener_, nullptr, &interfaces_, &resolver_};
    p.http = http_;
    return cli::Run(parsed.value(), p, Streams{&in, out != nullptr ? out : &out_, &err_, false},
                    "pingsweep-cli");
  }

  platform::FakeMonotonicClock clock_;
  platform::FakeIcmpOpener opener_;
  platform::FakeResolver resolver_;
  platform::FakeInterfaceTable interfaces_;
  platform::HttpFetcher* http_ = nullptr;
  std::ostringstream out_, err_;
};

// Records when the capabilities were given up: after every socket was opened.
class FakePrivileges : public platform::Privileges {
 public:
  FakePrivileges(sweep::FakePacketNetwork* packets, platform::FakeIcmpOpener* icmp)
      : packets_(packets), icmp_(icmp) {}
  bool HasNetRaw() override { return !dropped; }
  Status DropAll() override {
    dropped = true;
    arp_sockets_before = packets_->opened.size();
    icmp_sockets_before = icmp_->opened;
    return Status::Ok();
  }
  bool dropped = false;
  std::size_t arp_sockets_before = 0;
  int icmp_sockets_before = 0;

 private:
  sweep::FakePacketNetwork* packets_;
  platform::FakeIcmpOpener* icmp_;
};

class LanRunTest : public RunTest {
 protected:
  LanRunTest() {
    platform::Link eth0{"eth0", 2, *MacAddress::Parse("00:00:0c:00:00:06"), true, true,
                        {{0x0A000006, 29}}};
    packets_.links = {eth0};
    segment_.hosts[0x0A000002] = {};  // answers ARP, drops echo requests
    segment_.hosts[0x0A000003] = {.mac = *MacAddress::Parse("02:42:ac:11:00:03")};
  }
  int RunLan(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    std::istringstream in;
    const Result<Options> parsed = testing::Parse(std::move(args));
    EXPECT_EQ(parsed.status().message(), "");
    if (!parsed.ok()) return -1;
    const platform::SweepPlatform p{&clock_,     &opener_,  nullptr,   &interfaces_,
                                    &resolver_,  &packets_, &privileges_};
    return cli::Run(parsed.value(), p, Streams{&in, &out_, &err_, false}, "pingsweep-cli");
  }
  sweep::FakeArpSegment segment_{&clock_.now_ns};
  sweep::FakePacketNetwork packets_{&segment_};
  FakePrivileges privileges_{&packets_, &opener_};
};

}  // namespace ps::cli

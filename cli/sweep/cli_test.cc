// pingsweep-cli over fakes: options, output formats read back, the
// permission report, and whole runs with their exit codes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "cli/sweep/check.h"
#include "cli/sweep/options.h"
#include "cli/sweep/output.h"
#include "cli/sweep/run.h"
#include "cli/sweep/test_readers.h"
#include "core/terminal_text.h"
#include "platform/inet/sweep_fakes.h"
#include "sweep/targets.h"
#include "lan/arp_fakes.h"

namespace ps::cli {
namespace {

using namespace std::string_literals;

ParseResult Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "pingsweep-cli");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return ParseOptions(static_cast<int>(args.size()), argv.data());
}

TEST(OptionsTest, ParsesEveryOptionAndNamesWhatIsWrong) {
  {
    const ParseResult r = Parse({"-n", "--timeout", "250", "-r0", "--count=3", "-i", "200", "--rate", "max", "-a",
                                 "-A", "--allow-large", "-o", "json", "10.0.0.0/24", "-x", "10.0.0.7",
                                 "--exclude=10.0.0.9", "-f", "hosts.txt", "--", "-"});
    ASSERT_EQ(r.error, "");
    const Options& o = r.options;
    EXPECT_TRUE(o.numeric && o.all && o.all_addresses && o.allow_large);
    EXPECT_EQ(o.timeout_ms, 250);
    EXPECT_EQ(o.retries, 0);
    EXPECT_EQ(o.count, 3);
    EXPECT_EQ(o.interval_ms, 200);
    EXPECT_EQ(o.rate, 0);
    EXPECT_EQ(o.format, Format::kJson);
    EXPECT_EQ(o.targets, (std::vector<std::string>{"10.0.0.0/24", "-"}));
    EXPECT_EQ(o.excludes, (std::vector<std::string>{"10.0.0.7", "10.0.0.9"}));
    EXPECT_EQ(o.files, (std::vector<std::string>{"hosts.txt"}));
  }
  const Options defaults = Parse({}).options;
  EXPECT_EQ(defaults.timeout_ms, 500);
  EXPECT_EQ(defaults.retries, 1);
  EXPECT_EQ(defaults.count, 1);
  EXPECT_EQ(defaults.rate, 10000);
  EXPECT_EQ(defaults.format, Format::kText);
  EXPECT_TRUE(Parse({"--check"}).options.check);
  EXPECT_TRUE(Parse({"-h"}).options.help);
  EXPECT_TRUE(Parse({"--version"}).options.version);
  EXPECT_EQ(Parse({"-R", "2500"}).options.rate, 2500);
  EXPECT_EQ(defaults.probe, Probe::kAuto);
  EXPECT_EQ(Parse({"--probe", "arp"}).options.probe, Probe::kArp);
  EXPECT_EQ(Parse({"--probe=both"}).options.probe, Probe::kBoth);
  EXPECT_EQ(Parse({"--probe", "icmp"}).options.probe, Probe::kIcmp);
  EXPECT_EQ(Parse({"-I", "eth1"}).options.interface, "eth1");

  const std::pair<std::vector<std::string>, std::string> errors[] = {
      {{"--timeout", "0"}, "--timeout: '0'"},
      {{"-t", "5s"}, "-t: '5s'"},
      {{"--retries=-1"}, "--retries: '-1'"},
      {{"-c", "0"}, "-c: '0'"},
      {{"--rate", "fast"}, "--rate: 'fast'"},
      {{"--interval=1s"}, "--interval: '1s'"},
      {{"--format", "xml"}, "--format: 'xml'"},
      {{"--probe", "udp"}, "--probe: 'udp'"},
      {{"--interface="}, "--interface: needs an interface name"},
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"-Z"}, "unknown option '-Z'"},
      {{"10.0.0.1", "-t"}, "-t: needs a value"},
      // What was typed is named escaped.
      {{"--format", "x\x1B[2J"}, "--format: 'x\\x1B[2J' is not"},
      {{"-c", "\xE2\x80\xAE" "1"}, "-c: '\\xE2\\x80\\xAE1' is not"},
      {{"--bo\x1Bgus"}, "unknown option '--bo\\x1Bgus'"},
      {{"--bogus=\x1B"}, "unknown option '--bogus=\\x1B'"},
  };
  for (const auto& [args, expected] : errors) {
    const ParseResult r = Parse(args);
    EXPECT_NE(r.error.find(expected), std::string::npos) << args[0] << ": " << r.error;
    EXPECT_EQ(r.error.find('\x1B'), std::string::npos) << r.error;
  }
}

TEST(OptionsTest, HelpHasTheSectionsAManPageNeeds) {
  const std::string help = HelpText("pingsweep-cli");
  for (const std::string& part : std::vector<std::string>{
           "Usage: pingsweep-cli [OPTION]... [TARGET]...", "\nOptions:\n", "--timeout=MS",
           "--rate=PPS", "--format=FORMAT", "\nExit status:\n", "\nExamples:\n", "loss_percent",
           "line of at most " + std::to_string(sweep::kMaxLineBytes) + " bytes"})
    EXPECT_NE(help.find(part), std::string::npos) << part;
  EXPECT_EQ(VersionText().rfind("pingsweep-cli ", 0), 0u);
}

std::vector<HostLine> SampleHosts() {
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

TEST(OutputTest, CsvAndJsonReadBack) {
  const std::vector<HostLine> hosts = SampleHosts();
  std::ostringstream csv, json;
  WriteHosts(csv, Format::kCsv, hosts, 1);
  WriteHosts(json, Format::kJson, hosts, 1);
  bool ok = false;
  const auto rows = testing::CsvRows(csv.str(), &ok);
  EXPECT_TRUE(ok);
  const auto objects = testing::JsonLines(json.str());
  ASSERT_EQ(rows.size(), hosts.size());
  ASSERT_EQ(objects.size(), hosts.size());
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(rows[i].at("address"), hosts[i].result.address.ToString());
    EXPECT_EQ(objects[i]["address"], hosts[i].result.address.ToString());
    EXPECT_EQ(rows[i].at("name"), EscapeText(hosts[i].name));
    if (hosts[i].name.empty()) {
      EXPECT_TRUE(objects[i]["name"].is_null());
    } else {
      EXPECT_EQ(objects[i]["name"], EscapeText(hosts[i].name));
    }
    EXPECT_EQ(rows[i].at("status"), StatusWord(hosts[i].result));
    EXPECT_EQ(objects[i]["status"], StatusWord(hosts[i].result));
    EXPECT_EQ(objects[i]["sent"], hosts[i].result.sent);
    EXPECT_EQ(rows[i].at("sent"), std::to_string(hosts[i].result.sent));
  }
  EXPECT_EQ(rows[0].at("rtt_ms"), "1.235");
  EXPECT_DOUBLE_EQ(objects[0]["rtt_ms"].get<double>(), 1.234567);
  EXPECT_EQ(rows[0].at("ttl"), "64");
  EXPECT_EQ(rows[2].at("rtt_ms"), "");
  EXPECT_TRUE(objects[2]["rtt_ms"].is_null());
  EXPECT_EQ(rows[2].at("loss_percent"), "100");
  EXPECT_EQ(rows[3].at("error"), "host unreachable from 10.0.0.254");
  EXPECT_EQ(objects[3]["error"], "host unreachable from 10.0.0.254");
  // The names' control and bidirectional characters never reach the output.
  for (const std::string& written : {json.str(), csv.str()}) {
    EXPECT_EQ(written.find('\x1B'), std::string::npos) << written;
    EXPECT_EQ(written.find("\xE2\x80\xAE"), std::string::npos) << written;
  }
}

TEST(OutputTest, TextColumnsAlign) {
  std::vector<HostLine> hosts = SampleHosts();
  std::ostringstream text;
  WriteHosts(text, Format::kText, hosts, 1);
  std::vector<std::string> lines;
  std::istringstream in(text.str());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), hosts.size() + 1);  // header + one a host
  EXPECT_EQ(lines[0].rfind("ADDRESS", 0), 0u);
  const std::size_t rtt = lines[0].find("RTT");
  // The first name's é is two bytes in one column.
  EXPECT_EQ(lines[1].substr(rtt + 1, 9), "1.235 ms ");
  EXPECT_EQ(lines[3].substr(rtt, 2), "- ");
  EXPECT_NE(lines[4].find("host unreachable from 10.0.0.254"), std::string::npos);
  EXPECT_EQ(text.str().find('\x1B'), std::string::npos);
  EXPECT_EQ(text.str().find("\xE2\x80\xAE"), std::string::npos);
  // An IPv6 link-local host's zone is an interface name: escaped in every format.
  hosts.resize(1);
  hosts[0].result.address = *IpAddress::Parse("fe80::1");
  hosts[0].zone = "ev\x1B]0;x\x07il";
  for (const Format format : {Format::kText, Format::kCsv, Format::kJson}) {
    std::ostringstream written;
    WriteHosts(written, format, hosts, 1);
    const std::string shown =
        format == Format::kJson
            ? testing::JsonLines(written.str()).at(0)["address"].get<std::string>()
            : written.str();
    EXPECT_NE(shown.find("fe80::1%ev\\x1B]0;x\\x07il"), std::string::npos) << written.str();
    EXPECT_EQ(written.str().find('\x1B'), std::string::npos) << written.str();
  }
  sweep::SweepSummary summary;
  summary.answered = 2;
  summary.targets = 254;
  summary.elapsed_ns = 520'000'000;
  EXPECT_EQ(SummaryLine(summary), "2 of 254 hosts answered in 0.52 s");
}

// Columns line up as a terminal shows them: wide characters take two
// columns, combining marks none.
TEST(OutputTest, TextColumnsAlignOnScreenWhateverTheNames) {
  const char* names[] = {"plain.lan", "\xE6\x97\xA5\xE6\x9C\xAC.lan",   // 日本.lan
                         "cafe\xCC\x81.lan",                            // e + combining acute
                         "\xEF\xBC\xA1\xF0\x9F\x98\x80",                   // fullwidth A, emoji
                         "caf\xC3\xA9-\xD0\xB4\xD0\xBE\xD0\xBC"};           // café-дом
  std::vector<HostLine> hosts = SampleHosts();
  hosts.resize(1);
  for (std::size_t i = 1; i < std::size(names); ++i) hosts.push_back(hosts[0]);
  for (std::size_t i = 0; i < hosts.size(); ++i) hosts[i].name = names[i];
  std::ostringstream text;
  WriteHosts(text, Format::kText, hosts, 1);
  std::istringstream in(text.str());
  std::string header;
  std::getline(in, header);
  // Columns counted by hand: the widths above are 9, 8, 9, 4 and 8.
  const std::size_t rtt = header.find("RTT");
  ASSERT_EQ(rtt, std::string("ADDRESS   NAME       ").size()) << header;
  int rows = 0;
  for (std::string line; std::getline(in, line) && line.find(" ms") != std::string::npos; ++rows) {
    const std::string before = line.substr(0, line.find("1.235 ms"));
    std::size_t columns = 0;  // code points, less the combining acute, plus one for each wide one
    for (unsigned char c : before) columns += (c & 0xC0) != 0x80;
    for (const char* wide : {"\xE6\x97\xA5", "\xE6\x9C\xAC", "\xEF\xBC\xA1", "\xF0\x9F\x98\x80"})
      columns += before.find(wide) != std::string::npos;
    columns -= before.find("\xCC\x81") != std::string::npos;
    EXPECT_EQ(columns, rtt) << line;
  }
  EXPECT_EQ(rows, static_cast<int>(hosts.size()));
}

TEST(CheckTest, ReportsTheSocketAndTheExactFixes) {
  platform::FakeIcmpOpener opener;
  opener.facts.group_id = 1000;
  opener.facts.group_name = "staff";
  opener.facts.program_path = "/usr/local/bin/pingsweep-cli";
  struct Case {
    bool datagram, raw;
    std::string range;
    std::vector<std::string> expected;
    bool usable;
    bool v6 = true;
  };
  const Case cases[] = {
      {true, false, "0 2147483647",
       {"would use the datagram socket", "is within",
        "ICMPv6 datagram (ping) socket: allowed: group 1000 (staff) is within",
        "IPv6 targets would use the ICMPv6 datagram socket"},
       true},
      {false, true, "1 0",
       {"would use the raw socket", "is outside", "ICMPv6 datagram (ping) socket: not allowed",
        "IPv6 targets would use the raw ICMPv6 socket"},
       true},
      {false, false, "1 0",
       {"net.ipv4.ping_group_range = 1000 1000' | sudo tee /etc/sysctl.d/",
        "sudo setcap cap_net_raw+ep /usr/local/bin/pingsweep-cli", "group 1000 (staff)",
        "raw ICMPv6 socket: not allowed: needs CAP_NET_RAW",
        "IPv6 targets cannot send ICMPv6 echo requests"},
       false},
      {false, false, "0 999", {"net.ipv4.ping_group_range = 0 1000'"}, false},
      // Without IPv6 the report says so and the IPv4 verdict stands.
      {true, false, "0 2147483647",
       {"would use the datagram socket", "ICMPv6: IPv6 not available"}, true, false},
      {false, false, "1 0", {"ICMPv6: IPv6 not available", "sudo setcap"}, false, false},
  };
  for (const Case& c : cases) {
    opener.datagram_allowed = c.datagram;
    opener.raw_allowed = c.raw;
    opener.v6_available = c.v6;
    opener.facts.ping_group_range = c.range;
    bool usable = !c.usable;
    const std::string report = CheckReport(&opener, &usable);
    EXPECT_EQ(usable, c.usable) << report;
    for (const std::string& e : c.expected) EXPECT_NE(report.find(e), std::string::npos) << e << "\n" << report;
    // The fixes are given once at most; no IPv6 lines when IPv6 is missing.
    const std::size_t fixes = report.find("To allow it");
    EXPECT_EQ(fixes == std::string::npos ? fixes : report.find("To allow it", fixes + 1), std::string::npos);
    EXPECT_EQ(report.find("ICMPv6 datagram") == std::string::npos, !c.v6) << report;
  }
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
    const ParseResult parsed = Parse(std::move(args));
    EXPECT_EQ(parsed.error, "");
    const platform::SweepPlatform p{&clock_, &opener_, nullptr, &interfaces_, &resolver_};
    return cli::Run(parsed.options, p, Streams{&in, out != nullptr ? out : &out_, &err_, false},
                    "pingsweep-cli");
  }

  platform::FakeMonotonicClock clock_;
  platform::FakeIcmpOpener opener_;
  platform::FakeResolver resolver_;
  platform::FakeInterfaceTable interfaces_;
  std::ostringstream out_, err_;
};

TEST_F(RunTest, SweepsPrintsAndExits) {
  EXPECT_EQ(RunWith({"10.0.0.1-4"}), kAnswered);
  EXPECT_NE(out_.str().find("10.0.0.3  printer.lan"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("\n2 of 4 hosts answered in "), std::string::npos) << out_.str();
  EXPECT_EQ(err_.str(), "");

  EXPECT_EQ(RunWith({"-n", "-a", "--format", "csv", "-"}, "10.0.0.1\n# comment\n10.0.0.2\n"), kAnswered);
  bool ok = false;
  const auto rows = testing::CsvRows(out_.str(), &ok);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].at("status"), "silent");
  EXPECT_NE(err_.str().find("1 of 2 hosts answered"), std::string::npos);

  EXPECT_EQ(RunWith({"10.0.0.2", "10.0.0.4"}), kNoneAnswered);
  EXPECT_EQ(RunWith({"10.0.0.1", "--exclude", "10.0.0.1"}), kUsage);
  EXPECT_EQ(RunWith({"10.0.0.1", "224.0.0.9"}), kUsage);
  EXPECT_NE(err_.str().find("pingsweep-cli: '224.0.0.9': multicast"), std::string::npos);
  EXPECT_EQ(RunWith({"-f", "/nonexistent/targets"}), kUsage);
  EXPECT_NE(err_.str().find("'/nonexistent/targets': cannot read"), std::string::npos);

  // No target: the non-loopback subnets, said on standard error.
  EXPECT_EQ(RunWith({"-n"}), kAnswered);
  EXPECT_NE(err_.str().find("sweeping 10.0.0.0/29 (eth0)"), std::string::npos) << err_.str();
  EXPECT_NE(out_.str().find("2 of 6 hosts answered"), std::string::npos) << out_.str();
}

// Input that is no target: refused with exit 2, named escaped, and nothing sent.
TEST_F(RunTest, BadInputIsRefusedAndNamedEscaped) {
  resolver_.forward["0x7f.1"] = {IpAddress::V4(0x0A000001)};  // as the C library reads it
  std::vector<std::string> files;
  const auto file = [&](const std::string& content) {
    char path[] = "/tmp/pingsweep-cli-test.XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
    files.push_back(path);
    return files.back();
  };
  const std::string evil = file("10.0.0.1\n\x1B]0;owned\x07.lan\n");
  const struct {
    std::vector<std::string> args;
    std::string input;
    std::string expected;
  } cases[] = {
      {{"0x7f.1"}, "", "pingsweep-cli: '0x7f.1': not an IPv4 address\n"},
      {{"-"}, "10.0.0.1\n127.0.0.1\0/8\n"s,
       "pingsweep-cli: standard input:2: '127.0.0.1\\x00/8': holds a control character"},
      {{"-f", evil}, "",
       "pingsweep-cli: " + evil + ":2: '\\x1B]0;owned\\x07.lan': holds a control character"},
      {{"-f", "/"}, "", "pingsweep-cli: /: cannot read: Is a directory\n"},
      {{"-f", "/dev/zero"}, "", "pingsweep-cli: /dev/zero:1: longer than 4096 bytes\n"},
      {{"-f", "/nonexistent/\x1B[31m"}, "", "pingsweep-cli: '/nonexistent/\\x1B[31m': cannot read"},
      {{"-f", file("# nothing yet\n")}, "", "pingsweep-cli: no address to probe: the targets given hold none\n"},
      {{"10.0.0.1", "-x", "10.0.0.0/30"}, "", "pingsweep-cli: no address left to probe after the exclusions\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    opener_.last_opened = nullptr;
    EXPECT_EQ(RunWith(c.args, c.input), kUsage);
    EXPECT_EQ(err_.str().substr(0, c.expected.size()), c.expected);
    EXPECT_EQ(err_.str().find('\x1B'), std::string::npos);
    EXPECT_EQ(opener_.last_opened, nullptr);  // no socket, so nothing sent
    EXPECT_EQ(out_.str(), "");
  }
  for (const std::string& f : files) unlink(f.c_str());
}

// Standard output on a full disk: every write fails, or only the last flush.
class FullDevice : public std::streambuf {
 public:
  explicit FullDevice(bool fail_at_flush) : fail_at_flush_(fail_at_flush) {}

 protected:
  int overflow(int c) override { return xsputn(nullptr, 1) == 1 ? c : traits_type::eof(); }
  std::streamsize xsputn(const char*, std::streamsize n) override {
    if (fail_at_flush_) return n;
    errno = ENOSPC;
    return 0;
  }
  int sync() override {
    errno = fail_at_flush_ ? EIO : ENOSPC;
    return -1;
  }

 private:
  bool fail_at_flush_;
};

TEST_F(RunTest, OutputThatCannotBeWrittenFails) {
  interfaces_.links = {{"eth0", 2}};
  const std::vector<std::string> runs[] = {{"--help"},     {"--version"}, {"--check"},
                                           {"10.0.0.1-4"}, {"-o", "csv", "10.0.0.1-4"},
                                           {"-o", "json", "-a", "10.0.0.2"}, {"--link-local"}};
  for (const bool at_flush : {false, true}) {
    for (const auto& args : runs) {
      SCOPED_TRACE(args.front() + (at_flush ? " (at the flush)" : ""));
      FullDevice device(at_flush);
      std::ostream out(&device);
      EXPECT_EQ(RunWith(args, "", &out), kSystemFailure);
      EXPECT_NE(err_.str().find(std::string("pingsweep-cli: cannot write the output: ") +
                                std::strerror(at_flush ? EIO : ENOSPC) + "\n"),
                std::string::npos)
          << err_.str();
    }
  }
  EXPECT_EQ(RunWith({"--version"}), kAnswered);  // the same writes to a stream that takes them
}

TEST_F(RunTest, NoPermissionPrintsTheFixes) {
  opener_.datagram_allowed = false;
  EXPECT_EQ(RunWith({"10.0.0.1"}), kNoPermission);
  EXPECT_NE(err_.str().find("sudo setcap cap_net_raw+ep /opt/pingsweep-cli"), std::string::npos);
  EXPECT_NE(err_.str().find("/etc/sysctl.d/"), std::string::npos);
  EXPECT_EQ(RunWith({"--check"}), kNoPermission);
  opener_.raw_allowed = true;
  EXPECT_EQ(RunWith({"10.0.0.1"}), kAnswered);
  EXPECT_EQ(RunWith({"--check"}), kAnswered);
}

TEST_F(RunTest, InterruptBeforeTheSweepReportsNothingFound) {
  Interrupt();
  EXPECT_EQ(RunWith({"10.0.0.1-4"}), kInterrupted);
  EXPECT_NE(out_.str().find("0 of 4 hosts answered in 0.00 s (interrupted)"), std::string::npos)
      << out_.str();
  // Nor does a discovery on the links.
  interfaces_.links = {{"eth0", 2}};
  EXPECT_EQ(RunWith({"--link-local"}), kInterrupted);
  EXPECT_NE(out_.str().find("0 hosts answered on eth0 in 0.00 s (interrupted)"), std::string::npos)
      << out_.str();
}

// Records when the capabilities were given up: after every socket was opened.
class FakePrivileges : public platform::Privileges {
 public:
  explicit FakePrivileges(sweep::FakePacketNetwork* packets) : packets_(packets) {}
  bool HasNetRaw() override { return !dropped; }
  bool DropAll(std::string*) override {
    dropped = true;
    arp_sockets_before = packets_->opened.size();
    return true;
  }
  bool dropped = false;
  std::size_t arp_sockets_before = 0;

 private:
  sweep::FakePacketNetwork* packets_;
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
    const ParseResult parsed = Parse(std::move(args));
    EXPECT_EQ(parsed.error, "");
    const platform::SweepPlatform p{&clock_,     &opener_,  nullptr,   &interfaces_,
                                    &resolver_,  &packets_, &privileges_};
    return cli::Run(parsed.options, p, Streams{&in, &out_, &err_, false}, "pingsweep-cli");
  }
  sweep::FakeArpSegment segment_{&clock_.now_ns};
  sweep::FakePacketNetwork packets_{&segment_};
  FakePrivileges privileges_{&packets_};
};

TEST_F(LanRunTest, OnLinkTargetsGoByArpAndShowTheirMac) {
  EXPECT_EQ(RunLan({"-n", "10.0.0.1-4", "192.0.2.1"}), kAnswered);
  EXPECT_NE(err_.str().find("probing 4 on-link targets by ARP on eth0, 1 by ICMP"),
            std::string::npos) << err_.str();
  const std::string& out = out_.str();
  EXPECT_NE(out.find("MAC                VENDOR\n"), std::string::npos) << out;
  EXPECT_NE(out.find("10.0.0.2  -     1.000 ms  -    00:00:0c:00:00:02  "), std::string::npos) << out;
  EXPECT_NE(out.find("10.0.0.3  -     1.000 ms  -    02:42:ac:11:00:03  private address\n"),
            std::string::npos) << out;
  EXPECT_EQ(out.find("10.0.0.1 "), std::string::npos) << out;  // answers echo, not ARP
  EXPECT_NE(out.find("2 of 5 hosts answered"), std::string::npos) << out;
  EXPECT_EQ(segment_.RequestsTo(0x0A000004), 2);  // one retry
  EXPECT_EQ(packets_.opened, std::vector<int>{2});
  EXPECT_TRUE(privileges_.dropped);
  EXPECT_EQ(privileges_.arp_sockets_before, 1u);

  // Both: ICMP finds .1 too; ARP adds the MACs.
  EXPECT_EQ(RunLan({"-n", "-o", "csv", "--probe", "both", "10.0.0.1-3"}), kAnswered);
  bool ok = false;
  const auto rows = testing::CsvRows(out_.str(), &ok);
  ASSERT_EQ(rows.size(), 3u) << out_.str();
  EXPECT_EQ(rows[0].at("mac"), "");
  EXPECT_EQ(rows[0].at("ttl"), "64");
  EXPECT_EQ(rows[2].at("mac"), "02:42:ac:11:00:03");
  EXPECT_EQ(rows[2].at("vendor"), "private address");
  EXPECT_EQ(rows[2].at("ttl"), "64");  // ICMP answered too

  // ICMP alone: no ARP socket, no MAC column.
  packets_.opened.clear();
  EXPECT_EQ(RunLan({"-n", "--probe", "icmp", "10.0.0.1-4"}), kAnswered);
  EXPECT_TRUE(packets_.opened.empty());
  EXPECT_EQ(out_.str().find("MAC"), std::string::npos) << out_.str();
  EXPECT_EQ(err_.str(), "");
}

// Interface names, the group's name and the program's path come from outside
// too: every message names them escaped.
TEST_F(LanRunTest, OutsideTextInMessagesIsEscaped) {
  const std::string evil = "ev\x1B]0;x\x07il";
  const std::string shown = "ev\\x1B]0;x\\x07il";
  const struct {
    std::function<void()> setup;
    std::vector<std::string> args;
    int code;
    std::vector<std::string> expected;
  } cases[] = {
      {[] {}, {"--link-local", "wl\x1B[2Jan0"}, kUsage,
       {"'wl\\x1B[2Jan0': no interface of that name"}},
      {[&] { interfaces_.links = {{evil, 7}}; }, {"--link-local"}, kNoneAnswered,
       {"0 hosts answered on " + shown + " in "}},
      {[&] { interfaces_.subnets[1].interface = evil; }, {"-n"}, kAnswered,
       {"sweeping 10.0.0.0/29 (" + shown + ")"}},
      {[] {}, {"-I", "wl\x1B[2Jan0", "10.0.0.2"}, kUsage, {"no interface named wl\\x1B[2Jan0"}},
      {[&] { packets_.links[0].name = evil; }, {"-n", "10.0.0.2"}, kAnswered,
       {"by ARP on " + shown}},
      {[&] { packets_.links[0] = {evil, 2, {}, false, true, {{0x0A000006, 29}}}; },
       {"-I", evil, "10.0.0.2"}, kUsage, {"interface " + shown + " is down"}},
      {[&] {
         opener_.datagram_allowed = false;
         opener_.facts.group_name = evil;
         opener_.facts.program_path = "/opt/" + evil;
       },
       {"192.0.2.1"}, kNoPermission, {"setcap cap_net_raw+ep /opt/" + shown, "(" + shown + ")"}},
  };
  const auto subnets = interfaces_.subnets;
  const auto links = packets_.links;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front());
    c.setup();
    EXPECT_EQ(RunLan(c.args), c.code);
    const std::string all = out_.str() + err_.str();
    for (const std::string& e : c.expected) EXPECT_NE(all.find(e), std::string::npos) << all;
    EXPECT_EQ(all.find('\x1B'), std::string::npos) << all;
    interfaces_.subnets = subnets;
    interfaces_.links.clear();
    packets_.links = links;
  }
}

TEST_F(LanRunTest, WhenArpIsNotAllowedAutoSaysSoAndArpFails) {
  packets_.open_error = EPERM;
  EXPECT_EQ(RunLan({"-n", "10.0.0.1-4"}), kAnswered);
  EXPECT_NE(err_.str().find("probing by ICMP: ARP needs a packet socket"), std::string::npos)
      << err_.str();
  EXPECT_NE(out_.str().find("2 of 4 hosts answered"), std::string::npos) << out_.str();
  EXPECT_EQ(RunLan({"--probe", "arp", "10.0.0.2"}), kNoPermission);
  EXPECT_NE(err_.str().find("CAP_NET_RAW"), std::string::npos) << err_.str();
  EXPECT_EQ(RunLan({"--check"}), kAnswered);
  EXPECT_NE(out_.str().find("ARP: not available: "), std::string::npos) << out_.str();

  packets_.open_error = 0;
  EXPECT_EQ(RunLan({"--check"}), kAnswered);
  EXPECT_NE(out_.str().find("ARP: available"), std::string::npos) << out_.str();
  const std::pair<std::vector<std::string>, std::string> usage[] = {
      {{"--probe", "arp", "10.0.0.2", "192.0.2.1"}, "'192.0.2.1' is not on a directly connected"},
      {{"--probe", "arp", "10.0.0.6"}, "'10.0.0.6' is not on a directly connected"},
      {{"-I", "wlan0", "10.0.0.2"}, "--interface: no interface named wlan0"},
      {{"--probe", "icmp", "-I", "eth0", "10.0.0.2"}, "no use with --probe icmp"},
  };
  for (const auto& [args, expected] : usage) {
    EXPECT_EQ(RunLan(args), kUsage) << args[0];
    EXPECT_NE(err_.str().find(expected), std::string::npos) << err_.str();
  }
}

}  // namespace
}  // namespace ps::cli

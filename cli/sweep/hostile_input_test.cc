// pingsweep-cli over fakes, given hostile input: text that is no target,
// terminal escapes in every text from outside, names that would misalign or
// reorder the table, and output that cannot be written.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <sstream>

#include "cli/sweep/test_fixtures.h"
#include "cli/sweep/test_readers.h"

namespace ps::cli {
namespace {

using namespace std::string_literals;

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

// Input that is no target: refused with exit 2, named escaped, and nothing sent.
TEST_F(RunTest, BadInputIsRefusedAndNamedEscaped) {
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
      {{"-"}, "10.0.0.1\n127.0.0.1\0/8\n"s,
       "pingsweep-cli: standard input:2: '127.0.0.1\\x00/8': holds a control character"},
      {{"-f", evil}, "",
       "pingsweep-cli: " + evil + ":2: '\\x1B]0;owned\\x07.lan': holds a control character"},
#ifdef _WIN32
      {{"-f", "/"}, "", "pingsweep-cli: '/': cannot read: "},  // a folder does not open
#else
      {{"-f", "/"}, "", "pingsweep-cli: /: cannot read: Is a directory\n"},
#endif
      {{"-f", "/dev/zero"}, "", "pingsweep-cli: /dev/zero:1: longer than 4096 bytes\n"},
      {{"-f", "/nonexistent/\x1B[31m"}, "",
       "pingsweep-cli: '/nonexistent/\\x1B[31m': cannot read"},
      {{"-f", file("# nothing yet\n")}, "",
       "pingsweep-cli: no address to probe: the targets given hold none\n"},
      {{"10.0.0.1", "-x", "10.0.0.0/30"}, "",
       "pingsweep-cli: no address left to probe after the exclusions\n"},
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
       {"192.0.2.1"},
       kNoPermission,
       {"setcap cap_net_raw+ep '/opt/" + shown + "'", "(" + shown + ")"}},
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

}  // namespace
}  // namespace ps::cli

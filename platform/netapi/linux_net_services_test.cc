// The Linux services against a real kernel, inside the test binary's own
// network namespace (see testsupport/netns_gtest_main.cc).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

#include "core/error.h"
#include "platform/netapi/linux_net_services.h"
#include "testsupport/icmp_responder.h"
#include "testsupport/private_network.h"

namespace ps::platform {
namespace {

using Kind = LinuxEchoService::SocketKind;
using Buffer = std::array<std::uint8_t, 288>;
using ps::testing::IcmpResponder;
using ps::testing::ScopedSysctl;

constexpr char kRequest[] = "Ping from KORVEL Datatronics software";
constexpr std::uint8_t kUntouched = 0xA5;

IPAddr Addr(const char* dotted) {
  in_addr a{};
  inet_pton(AF_INET, dotted, &a);
  return a.s_addr;
}

std::uint32_t Le32(const Buffer& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | b[at + 3] << 24);
}
std::uint16_t Le16(const Buffer& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
IPAddr AddressIn(const Buffer& b) {
  IPAddr a;
  std::memcpy(&a, b.data(), 4);
  return a;
}
bool UntouchedFrom(const Buffer& b, std::size_t from) {
  for (std::size_t i = from; i < b.size(); ++i) {
    if (b[i] != kUntouched) return false;
  }
  return true;
}

const char* GroupRangeFor(Kind kind) { return kind == Kind::kDatagram ? "0 2147483647" : "1 0"; }

// One probe as the window's sweep makes it: TTL 255, the 37 bytes, 288-byte
// buffer, a fresh handle.
struct Outcome {
  DWORD replies;
  Buffer buffer;
  double elapsed_ms;
  Kind kind;
};

Outcome Probe(LinuxEchoService& echo, const char* dotted, DWORD timeout = 10,
              IcmpHandle handle = 0, std::uint8_t tos = 0) {
  Outcome o{};
  o.buffer.fill(kUntouched);
  const bool own = handle == 0;
  if (own) handle = echo.IcmpCreateFile();
  EXPECT_NE(handle, 0) << ToUtf8(echo.LastErrorText());
  o.kind = echo.KindOf(handle);
  IP_OPTION_INFORMATION options{};
  options.Ttl = 255;
  options.Tos = tos;
  const auto start = std::chrono::steady_clock::now();
  o.replies = echo.IcmpSendEcho(handle, Addr(dotted), kRequest, 37, &options, o.buffer.data(), 288,
                                timeout);
  o.elapsed_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  if (own) {
    EXPECT_TRUE(echo.IcmpCloseHandle(handle));
  }
  return o;
}

// A reply due well within the time-out can still miss it when the responder's
// thread is held up on a busy machine; a few tries tell that from a fault.
Outcome ProbeUntilAnswered(LinuxEchoService& echo, const char* dotted) {
  Outcome o{};
  for (int attempt = 0; attempt < 3 && o.replies == 0; ++attempt) o = Probe(echo, dotted);
  return o;
}

class EchoServiceTest : public ::testing::TestWithParam<Kind> {
 protected:
  void SetUp() override {
    PS_REQUIRE_PRIVATE_NETWORK();
    group_range_.emplace("net/ipv4/ping_group_range", GroupRangeFor(GetParam()));
    ps::testing::ResetFirewall();
  }
  std::optional<ScopedSysctl> group_range_;
  LinuxEchoService echo_;
};

TEST_P(EchoServiceTest, LoopbackAnswersWithTheHeaderFilledIn) {
  ps::testing::CountPackets("as_asked",
                            "ip ttl 255 ip dscp cs0 ip hdrlength 5 icmp type echo-request "
                            "ip length 65");
  const Outcome o = Probe(echo_, "127.0.0.7");
  EXPECT_EQ(o.kind, GetParam());
  ASSERT_EQ(o.replies, 1u);
  EXPECT_EQ(AddressIn(o.buffer), Addr("127.0.0.7"));
  EXPECT_EQ(Le32(o.buffer, 4), IP_SUCCESS);
  EXPECT_LT(Le32(o.buffer, 8), 10u);   // RoundTripTime
  EXPECT_EQ(Le16(o.buffer, 12), 37);   // DataSize
  EXPECT_EQ(Le32(o.buffer, 16), 28u);  // Data: where the data lies
  EXPECT_EQ(o.buffer[20], 64);         // the kernel's reply TTL
  EXPECT_EQ(o.buffer[21], 0);          // TOS
  EXPECT_EQ(o.buffer[23], 0);          // no options passed on
  EXPECT_EQ(std::string(o.buffer.begin() + 28, o.buffer.begin() + 65), kRequest);
  EXPECT_TRUE(UntouchedFrom(o.buffer, 65));
  // The request went out with TTL 255, TOS 0, no IP options, 37 data bytes.
  EXPECT_EQ(ps::testing::Counted("as_asked"), 1u);
  // The kernel answers with the request's TOS, read back from the reply.
  EXPECT_EQ(Probe(echo_, "127.0.0.7", 10, 0, 0x28).buffer[21], 0x28);
}

TEST_P(EchoServiceTest, SilentHostTimesOutWithoutTouchingTheData) {
  ps::testing::DropEchoRequestsTo("127.0.0.9");
  const Outcome o = Probe(echo_, "127.0.0.9");
  EXPECT_EQ(o.replies, 0u);
  EXPECT_EQ(Le32(o.buffer, 4), IP_REQ_TIMED_OUT);
  EXPECT_TRUE(UntouchedFrom(o.buffer, 28));
  // The whole time-out is waited, and not much more (a hang would show here).
  EXPECT_GE(o.elapsed_ms, 10.0);
  EXPECT_LT(o.elapsed_ms, 1000.0);
}

TEST_P(EchoServiceTest, IcmpErrorIsNoReply) {
  ps::testing::RejectEchoRequestsTo("127.0.0.10", "host-unreachable");
  const Outcome o = Probe(echo_, "127.0.0.10", 2000);
  EXPECT_EQ(o.replies, 0u);
  EXPECT_EQ(Le32(o.buffer, 4), IP_DEST_HOST_UNREACHABLE);
  EXPECT_TRUE(UntouchedFrom(o.buffer, 28));
  EXPECT_LT(o.elapsed_ms, 2000.0);  // the error ends the wait
}

TEST_P(EchoServiceTest, BroadcastAndZeroAreNeverSent) {
  for (const char* dotted : {"255.255.255.255", "0.0.0.0"}) {
    const Outcome o = Probe(echo_, dotted);
    EXPECT_EQ(o.replies, 0u) << dotted;
    EXPECT_TRUE(UntouchedFrom(o.buffer, 28)) << dotted;
  }
  EXPECT_EQ(ps::testing::EchoRequestsSent(), 0u);
}

TEST_P(EchoServiceTest, InvalidHandlesAndShortBuffersSendNothing) {
  Buffer buffer;
  buffer.fill(kUntouched);
  EXPECT_EQ(
      echo_.IcmpSendEcho(12345, Addr("127.0.0.7"), kRequest, 37, nullptr, buffer.data(), 288, 10),
      0u);
  const IcmpHandle handle = echo_.IcmpCreateFile();
  ASSERT_NE(handle, 0);
  EXPECT_EQ(echo_.IcmpSendEcho(handle, Addr("127.0.0.7"), kRequest, 37, nullptr, buffer.data(),
                               28 + 37, 10),
            0u);
  EXPECT_TRUE(echo_.IcmpCloseHandle(handle));
  EXPECT_FALSE(echo_.IcmpCloseHandle(handle));
  EXPECT_EQ(
      echo_.IcmpSendEcho(handle, Addr("127.0.0.7"), kRequest, 37, nullptr, buffer.data(), 288, 10),
      0u);
  EXPECT_TRUE(UntouchedFrom(buffer, 0));
  EXPECT_EQ(ps::testing::EchoRequestsSent(), 0u);
}

// With the kernel's echo off, only the test responder answers.
class ResponderTest : public EchoServiceTest {
 protected:
  void SetUp() override {
    EchoServiceTest::SetUp();
    if (IsSkipped()) return;
    echo_off_.emplace("net/ipv4/icmp_echo_ignore_all", "1");
    ASSERT_TRUE(responder_.ok());
  }
  std::optional<ScopedSysctl> echo_off_;
  IcmpResponder responder_;
};

TEST_P(ResponderTest, OwnRequestIsNeverTakenForAReply) {
  const Outcome o = Probe(echo_, "127.0.0.30");
  EXPECT_EQ(o.replies, 0u);
  EXPECT_TRUE(UntouchedFrom(o.buffer, 28));
}

TEST_P(ResponderTest, ReplyAfterThreeMillisecondsCounts) {
  responder_.Answer("127.0.0.31", {3, std::nullopt, ""});
  const Outcome o = ProbeUntilAnswered(echo_, "127.0.0.31");
  ASSERT_EQ(o.replies, 1u);
  EXPECT_GE(Le32(o.buffer, 8), 3u);
  EXPECT_LT(Le32(o.buffer, 8), 10u);
  EXPECT_EQ(o.buffer[20], 64);  // the responder's TTL
  EXPECT_EQ(std::string(o.buffer.begin() + 28, o.buffer.begin() + 65), kRequest);
}

// Holds the calling thread up, from a signal handler, for `stall_ms` starting
// `after_ms` from now: as a busy machine would in the middle of a wait.
class ThreadStall {
 public:
  ThreadStall(long after_ms, long stall_ms) {
    stall_ns_ = stall_ms * 1000000;
    struct sigaction action {};
    action.sa_handler = [](int) {
      timespec left{0, stall_ns_};
      while (nanosleep(&left, &left) != 0) {
      }
    };
    sigaction(SIGUSR1, &action, &previous_);
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = SIGUSR1;
    event._sigev_un._tid = gettid();  // sigev_notify_thread_id
    EXPECT_EQ(timer_create(CLOCK_MONOTONIC, &event, &timer_), 0);
    itimerspec when{};
    when.it_value.tv_nsec = after_ms * 1000000;
    timer_settime(timer_, 0, &when, nullptr);
  }
  ~ThreadStall() {
    timer_delete(timer_);
    sigaction(SIGUSR1, &previous_, nullptr);
  }

 private:
  static inline long stall_ns_ = 0;
  timer_t timer_{};
  struct sigaction previous_ {};
};

TEST_P(ResponderTest, RepliesAreJudgedByWhenTheyCameNotWhenTheyWereRead) {
  responder_.Answer("127.0.0.34", {3, std::nullopt, ""});
  responder_.Answer("127.0.0.37", {15, std::nullopt, ""});
  // Held up from 1 ms to 21 ms: the 3 ms reply is read after the deadline and
  // still counts. On a busy machine the stall can come before the send or hold
  // up the responder instead; a few tries tell that from a fault.
  Outcome o{};
  for (int attempt = 0; attempt < 5 && (o.replies == 0 || Le32(o.buffer, 8) >= 10u);
       ++attempt) {
    ThreadStall stall(1, 20);
    o = Probe(echo_, "127.0.0.34");
  }
  ASSERT_EQ(o.replies, 1u);
  EXPECT_LT(Le32(o.buffer, 8), 10u);  // RoundTripTime: when it came
  // Held up from 5 ms to 25 ms: the 15 ms reply is queued by then, but late.
  {
    ThreadStall stall(5, 20);
    o = Probe(echo_, "127.0.0.37");
  }
  EXPECT_EQ(o.replies, 0u);
  EXPECT_TRUE(UntouchedFrom(o.buffer, 28));
  EXPECT_TRUE(responder_.WaitForReplies(responder_.requests_seen(), 500));
}

TEST_P(ResponderTest, LateReplyCountsNeitherForItsProbeNorTheNext) {
  responder_.Answer("127.0.0.32", {15, std::nullopt, ""});
  // Fresh handles, as the probe makes them, and then one handle reused, so
  // that the late reply reaches the very socket that waits.
  for (bool reuse : {false, true}) {
    const IcmpHandle shared = reuse ? echo_.IcmpCreateFile() : 0;
    const int before = responder_.replies_sent();
    const Outcome first = Probe(echo_, "127.0.0.32", 10, shared);
    const Outcome second = Probe(echo_, "127.0.0.32", 10, shared);
    EXPECT_EQ(first.replies, 0u) << "reuse " << reuse;
    EXPECT_EQ(second.replies, 0u) << "reuse " << reuse;
    EXPECT_TRUE(UntouchedFrom(first.buffer, 28));
    EXPECT_TRUE(UntouchedFrom(second.buffer, 28));
    // The first reply really arrived while the second probe waited.
    EXPECT_TRUE(responder_.WaitForReplies(before + 2, 500));
    if (reuse) {
      EXPECT_TRUE(echo_.IcmpCloseHandle(shared));
    }
  }
}

TEST_P(ResponderTest, ReplyDataIsPassedOnAsItCame) {
  const std::string data = "FAILED, said the host";
  responder_.Answer("127.0.0.33", {0, data, ""});
  const Outcome o = ProbeUntilAnswered(echo_, "127.0.0.33");
  ASSERT_EQ(o.replies, 1u);
  EXPECT_EQ(Le16(o.buffer, 12), data.size());
  EXPECT_EQ(std::string(o.buffer.begin() + 28, o.buffer.begin() + 28 + data.size()), data);
  EXPECT_TRUE(UntouchedFrom(o.buffer, 28 + data.size()));
}

// The kernel drops ICMP with a wrong checksum, but only after a raw socket
// got its copy: neither kind may take a damaged reply or error for an answer.
TEST_P(ResponderTest, AnswersWithAWrongChecksumDecideNothing) {
  struct Case {
    const char* address;
    bool unreachable, bad_checksum;
    DWORD replies, status;
  };
  const Case cases[] = {
      {"127.0.0.40", false, false, 1, IP_SUCCESS},
      {"127.0.0.41", false, true, 0, IP_REQ_TIMED_OUT},
      {"127.0.0.42", true, false, 0, IP_DEST_HOST_UNREACHABLE},
      {"127.0.0.43", true, true, 0, IP_REQ_TIMED_OUT},
  };
  for (const Case& c : cases) {
    responder_.Answer(c.address, {0, std::nullopt, "", c.unreachable, c.bad_checksum});
    const int before = responder_.replies_sent();
    // A long wait, so that only a fault can miss the good ones.
    const Outcome o = Probe(echo_, c.address, 200);
    EXPECT_EQ(o.replies, c.replies) << c.address;
    EXPECT_EQ(Le32(o.buffer, 4), c.status) << c.address;
    if (c.replies == 0) {
      EXPECT_TRUE(UntouchedFrom(o.buffer, 28)) << c.address;
    }
    EXPECT_TRUE(responder_.WaitForReplies(before + 1, 500)) << c.address;
  }
}

TEST_P(ResponderTest, ReplyFromAnotherAddressIsIgnored) {
  // Right identifier and sequence, wrong source.
  responder_.Answer("127.0.0.35", {0, std::nullopt, "127.0.0.36"});
  const Outcome o = Probe(echo_, "127.0.0.35");
  EXPECT_EQ(o.replies, 0u);
  EXPECT_TRUE(UntouchedFrom(o.buffer, 28));
  EXPECT_EQ(responder_.replies_sent(), 1);
}

INSTANTIATE_TEST_SUITE_P(BothSocketKinds, EchoServiceTest,
                         ::testing::Values(Kind::kDatagram, Kind::kRaw), [](const auto& info) {
                           return info.param == Kind::kDatagram ? "Datagram" : "Raw";
                         });
INSTANTIATE_TEST_SUITE_P(BothSocketKinds, ResponderTest,
                         ::testing::Values(Kind::kDatagram, Kind::kRaw), [](const auto& info) {
                           return info.param == Kind::kDatagram ? "Datagram" : "Raw";
                         });

bool DropNetRaw() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  const unsigned bit = 1u << CAP_NET_RAW;  // below 32: first word
  data[0].effective &= ~bit;
  data[0].permitted &= ~bit;
  data[0].inheritable &= ~bit;
  return syscall(SYS_capset, &header, data) == 0;
}

TEST(EchoServiceUnavailableTest, MissingHandleAndAReasonNamingTheFix) {
  PS_REQUIRE_PRIVATE_NETWORK();
  ScopedSysctl nobody("net/ipv4/ping_group_range", "1 0");
  int pipefd[2];
  ASSERT_EQ(pipe(pipefd), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipefd[0]);
    int code = 2;
    if (DropNetRaw()) {
      LinuxEchoService echo;
      code = echo.IcmpCreateFile() == 0 ? 0 : 1;
      const std::string text = ToUtf8(echo.LastErrorText());
      (void)!write(pipefd[1], text.data(), text.size());
    }
    _exit(code);
  }
  close(pipefd[1]);
  std::string text;
  char buf[512];
  ssize_t n;
  while ((n = read(pipefd[0], buf, sizeof(buf))) > 0) text.append(buf, static_cast<size_t>(n));
  close(pipefd[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_NE(WEXITSTATUS(status), 2) << "could not drop CAP_NET_RAW";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "a handle opened without any permission";
  EXPECT_NE(text.find("net.ipv4.ping_group_range"), std::string::npos) << text;
  EXPECT_NE(text.find("CAP_NET_RAW"), std::string::npos) << text;
  // The fix names this very program, ready to paste.
  EXPECT_NE(text.find("setcap cap_net_raw+ep /"), std::string::npos) << text;
  // And the group range that outlives a restart.
  EXPECT_NE(text.find("sudo tee /etc/sysctl.d/"), std::string::npos) << text;

  // And once a create succeeds the reason is gone.
  LinuxEchoService echo;
  const IcmpHandle handle = echo.IcmpCreateFile();
  ASSERT_NE(handle, 0);
  EXPECT_EQ(echo.KindOf(handle), Kind::kRaw);
  EXPECT_TRUE(echo.LastErrorText().empty());
  echo.IcmpCloseHandle(handle);
}

class ResolverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PS_REQUIRE_PRIVATE_NETWORK();
    ps::testing::ResetFirewall();
    ASSERT_TRUE(
        ps::testing::BindHostsFile("127.0.0.1 localhost\n"
                                   "127.0.0.20 alpha.example.test alpha\n"
                                   "127.0.0.21\tbravo\n"
                                   "127.0.0.23 caf\xC3\xA9.lan\n"                // café
                                   "127.0.0.24 \xE2\x82\xACuro-na\xC3\xAFve\n"  // €uro-naïve
                                   "127.0.0.25 \xE6\x97\xA5\xE6\x9C\xAC.lan\n"   // 日本
                                   "127.0.0.26 a\xF0\x9F\x98\x80" "b\n"        // one emoji
                                   "127.0.0.27 bad\xFF\xC3.lan\n"              // not UTF-8
                                   "127.0.0.28 l\xE9gacy\xE2\x82\n"));        // Latin-1
  }
  void TearDown() override { ps::testing::UnbindHostsFile(); }

  const char* NameOf(LinuxSocketLayer& layer, const char* dotted, int len = 4,
                     int type = AF_INET_) {
    const IPAddr a = Addr(dotted);
    const HOSTENT* entry = layer.gethostbyaddr(reinterpret_cast<const char*>(&a), len, type);
    return entry == nullptr ? nullptr : entry->h_name;
  }
};

TEST_F(ResolverTest, OfficialNamesOnceStarted) {
  LinuxSocketLayer layer;
  EXPECT_EQ(NameOf(layer, "127.0.0.20"), nullptr) << "answered before WSAStartup";
  WSADATA data{};
  ASSERT_EQ(layer.WSAStartup(0x0101, &data), 0);
  EXPECT_EQ(data.wVersion, 0x0101);
  // As the single-byte interface answers: code-page bytes, '?' for what the
  // code page cannot hold; a name that is not UTF-8 is taken as code-page
  // bytes already.
  const std::pair<const char*, const char*> names[] = {
      {"127.0.0.20", "alpha.example.test"},
      {"127.0.0.21", "bravo"},
      {"127.0.0.23", "caf\xE9.lan"},
      {"127.0.0.24", "\x80uro-na\xEFve"},
      {"127.0.0.25", "??.lan"},
      {"127.0.0.26", "a?b"},
      {"127.0.0.27", "bad\xFF\xC3.lan"},
      {"127.0.0.28", "l\xE9gacy\xE2\x82"},
  };
  for (const auto& [dotted, name] : names) {
    const char* got = NameOf(layer, dotted);
    ASSERT_NE(got, nullptr) << dotted;
    EXPECT_EQ(std::string(got), name) << dotted;
  }
  EXPECT_EQ(NameOf(layer, "127.0.0.22"), nullptr);
  EXPECT_EQ(NameOf(layer, "127.0.0.20", 16), nullptr);
  EXPECT_EQ(NameOf(layer, "127.0.0.20", 4, 23), nullptr);
  // The unknown address may have asked DNS; nothing left the namespace.
  EXPECT_EQ(ps::testing::PacketsLeavingLoopback(), 0u);
}

TEST(LinuxClockTest, ReadsUtc) {
  LinuxClock clock;
  SYSTEMTIME t{};
  const std::time_t now = std::time(nullptr);
  clock.GetSystemTime(&t);
  std::tm utc{};
  gmtime_r(&now, &utc);
  EXPECT_EQ(t.wYear, utc.tm_year + 1900);
  EXPECT_EQ(t.wMonth, utc.tm_mon + 1);
  EXPECT_EQ(t.wDay, utc.tm_mday);
  EXPECT_EQ(t.wDayOfWeek, utc.tm_wday);
  EXPECT_EQ(t.wHour, utc.tm_hour);
  EXPECT_LT(t.wMilliseconds, 1000);
}

}  // namespace
}  // namespace ps::platform

// The TCP sweep over a real raw socket while an on-path attacker in the far
// namespace answers every SYN it sees to a silent block with forgeries: the
// wrong acknowledgement, the wrong port, the wrong source, to our other
// address or port, and the right answer too late. None is credited; one true
// answer, sent the same way, is.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include "platform/clock/monotonic_clock.h"
#include "platform/inet/linux_sweep.h"
#include "platform/inet/linux_tcp.h"
#include "platform/inet/tcp_segment.h"
#include "sweep/tcp_sweep.h"
#include "testsupport/private_network.h"
#include "testsupport/veth_lab.h"

namespace ps::sweep {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kSilentBlock = 0x0A4D0300;  // 10.77.3.0/24
constexpr std::uint32_t kTrueHost = kSilentBlock | 200;
const IpAddress kOurs = IpAddress::V4(0x0A630001);   // 10.99.0.1
const IpAddress kOther = IpAddress::V4(0x0A620001);  // 10.98.0.1, ours too

// Sniffs SYNs on the far veth (before its firewall drops them) and answers
// each with forgeries; the host kTrueHost gets a true answer as well.
class Forger {
 public:
  explicit Forger(pid_t far_pid) : thread_([this, far_pid] { Run(far_pid); }) {}
  ~Forger() {
    stop_ = true;
    thread_.join();
  }
  int syns_seen() const { return syns_; }

 private:
  struct Syn {
    IpAddress from, to;
    std::uint16_t from_port, to_port;
    std::uint32_t sequence;
  };

  // One answer from `source`:`port` to `to`:`to_port`.
  void Queue(Clock::time_point at, IpAddress source, std::uint16_t port, IpAddress to,
             std::uint16_t to_port, std::uint8_t flags, std::uint32_t ack) {
    platform::TcpProbe p;
    p.source = source;
    p.destination = to;
    p.port = to_port;
    p.flags = flags;
    p.sequence = 0x11223344;
    p.acknowledgement = ack;
    std::vector<std::uint8_t> packet(platform::kMaxTcpProbeSize);
    packet.resize(platform::BuildTcpProbe(p, port, true, packet.data()));
    queue_.emplace(at, std::move(packet));
  }

  void Answer(const Syn& s, Clock::time_point now) {
    const IpAddress next = IpAddress::V4(s.to.v4() + 1);
    const std::uint32_t ack = s.sequence + 1;
    using platform::kTcpAck;
    using platform::kTcpRst;
    using platform::kTcpSyn;
    if (s.to.v4() == kTrueHost) {
      Queue(now, s.to, s.to_port, s.from, s.from_port, kTcpSyn | kTcpAck, ack);
      return;
    }
    Queue(now, s.to, s.to_port, s.from, s.from_port, kTcpSyn | kTcpAck, ack + 1);      // wrong ack
    Queue(now, s.to, s.to_port + 1, s.from, s.from_port, kTcpSyn | kTcpAck, ack);      // wrong port
    Queue(now, next, s.to_port, s.from, s.from_port, kTcpRst | kTcpAck, ack);          // wrong source
    Queue(now, s.to, s.to_port, kOther, s.from_port, kTcpSyn | kTcpAck, ack);          // other address
    Queue(now, s.to, s.to_port, s.from, s.from_port + 1, kTcpRst | kTcpAck, ack);      // other port
    Queue(now + std::chrono::milliseconds(400), s.to, s.to_port, s.from, s.from_port,  // late
          kTcpSyn | kTcpAck, ack);
  }

  void Run(pid_t far_pid) {
    const std::string ns = "/proc/" + std::to_string(far_pid) + "/ns/net";
    const int ns_fd = open(ns.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_TRUE(ns_fd >= 0 && setns(ns_fd, CLONE_NEWNET) == 0);
    close(ns_fd);
    const int sniff = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IP));
    const int send = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    ASSERT_GE(sniff, 0);
    ASSERT_GE(send, 0);
    const int buffer = 8 << 20;  // a burst of probes waits here while forgeries go out
    setsockopt(sniff, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof(buffer));
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    link.sll_protocol = htons(ETH_P_IP);
    link.sll_ifindex = static_cast<int>(if_nametoindex("psv1"));
    ASSERT_EQ(bind(sniff, reinterpret_cast<sockaddr*>(&link), sizeof(link)), 0);
    while (!stop_) {
      pollfd pfd{sniff, POLLIN, 0};
      if (poll(&pfd, 1, 5) > 0) Read(sniff);
      const Clock::time_point now = Clock::now();
      while (!queue_.empty() && queue_.begin()->first <= now) {
        const std::vector<std::uint8_t>& packet = queue_.begin()->second;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        std::memcpy(&to.sin_addr, packet.data() + 16, 4);
        sendto(send, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
        queue_.erase(queue_.begin());
      }
    }
    close(sniff);
    close(send);
  }

  void Read(int sniff) {
    std::uint8_t buf[256];
    for (ssize_t n; (n = recv(sniff, buf, sizeof(buf), MSG_DONTWAIT)) > 0;) {
      platform::TcpAnswer seg;
      if (!platform::ParseIpv4Tcp(buf, static_cast<std::size_t>(n), true, &seg)) continue;
      if (seg.flags != platform::kTcpSyn || (seg.to.v4() & 0xFFFFFF00) != kSilentBlock) continue;
      ++syns_;
      Answer(Syn{seg.from, seg.to, seg.from_port, seg.to_port, seg.sequence}, Clock::now());
    }
  }

  std::atomic<bool> stop_{false};
  std::atomic<int> syns_{0};
  std::multimap<Clock::time_point, std::vector<std::uint8_t>> queue_;
  std::thread thread_;
};

TEST(TcpForgeryNetnsTest, ForgedAnswersAreNeverCredited) {
  PS_REQUIRE_PRIVATE_NETWORK();
  testing::VethLab lab("10.77.0.0/16", "");
  ASSERT_EQ(lab.error(), "");
  ASSERT_EQ(lab.Far("nft add rule inet lab in ip daddr 10.77.3.0/24 drop && "
                    "ip route add 10.98.0.1 via 10.99.0.1"), 0);
  ASSERT_EQ(testing::Sh("ip addr add 10.98.0.1/32 dev psv0"), 0);
  platform::LinuxTcpOpener opener;
  auto opened = opener.Open(IpAddress::Family::kV4, platform::TcpProbeSocket::Kind::kRaw);
  ASSERT_TRUE(opened.ok()) << opened.status().ToString();
  const std::unique_ptr<platform::TcpProbeSocket> socket = std::move(opened).value();
  std::vector<IpAddress> targets;
  for (std::uint32_t i = 1; i < 255; ++i) targets.push_back(IpAddress::V4(kSilentBlock | i));
  SweepOptions options;
  options.timeout_ns = 300'000'000;
  options.retries = 1;
  options.rate = 5000;
  SweepSummary s;
  HostResults results;
  int syns = 0;
  {
    Forger forger(lab.far_pid());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // sniffing
    TcpSweep sweep(&platform::SystemMonotonicClock(), socket.get(), nullptr, targets, {},
                   {{platform::kTcpSyn, 443}}, options);
    s = sweep.Run(nullptr);
    results = sweep.results();
    syns = forger.syns_seen();
  }
  EXPECT_TRUE(s.socket_status.ok()) << s.socket_status.ToString();
  EXPECT_GE(syns, 254);  // the forger saw the probes (and the retries, on a quiet machine)
  EXPECT_EQ(s.answered, 1u);
  for (const HostResult& r : results) {
    SCOPED_TRACE(r.address.ToString());
    EXPECT_EQ(r.outcome, r.address.v4() == kTrueHost ? Outcome::kAnswered : Outcome::kSilent);
  }
  // What passed the socket's filter was looked at and refused: four
  // forgeries for each probe the forger saw, and late answers.
  EXPECT_GE(s.ignored, 4u * 200);
}

// The raw socket's source port is held by a socket of its own for as long as
// it is open: no local program can bind it, over either family, so a SYN-ACK
// to it meets no socket and the kernel resets it.
TEST(TcpSourcePortNetnsTest, NoLocalSocketGetsTheSourcePort) {
  PS_REQUIRE_PRIVATE_NETWORK();
  platform::LinuxTcpOpener opener;
  for (const auto family : {IpAddress::Family::kV4, IpAddress::Family::kV6}) {
    auto opened = opener.Open(family, platform::TcpProbeSocket::Kind::kRaw);
    ASSERT_TRUE(opened.ok()) << opened.status().ToString();
    const std::uint16_t port = opened.value()->source_port();
    ASSERT_NE(port, 0);
    for (const int af : {AF_INET, AF_INET6}) {
      const int fd = socket(af, SOCK_STREAM, 0);
      ASSERT_GE(fd, 0);
      const int on = 1;
      setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
      sockaddr_storage any{};
      const socklen_t size = platform::ToSockaddr(
          af == AF_INET ? IpAddress::V4(0) : IpAddress::V6({}), port, &any);
      EXPECT_NE(bind(fd, reinterpret_cast<sockaddr*>(&any), size), 0) << port << " af " << af;
      EXPECT_EQ(errno, EADDRINUSE);
      close(fd);
    }
  }
}

}  // namespace
}  // namespace ps::sweep

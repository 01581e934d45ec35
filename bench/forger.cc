#include "bench/forger.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "platform/inet/checksum.h"
#include "platform/clock/monotonic_clock.h"
#include "platform/inet/linux_sweep.h"
#include "sweep/engine.h"
#include "sweep/targets.h"

namespace {

struct Sniffed {
  std::uint32_t destination;  // network order
  std::uint8_t icmp[8 + 16];  // header and cookie data
};

// In the far namespace: sniff requests, then send `count` forgeries to us.
std::uint64_t Forge(std::uint64_t count) {
  const int sniffer = socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IP));
  sockaddr_ll where{};
  where.sll_family = AF_PACKET;
  where.sll_protocol = htons(ETH_P_IP);
  where.sll_ifindex = static_cast<int>(if_nametoindex("psv1"));
  if (sniffer < 0 || bind(sniffer, reinterpret_cast<sockaddr*>(&where), sizeof(where)) != 0) return 0;
  std::vector<Sniffed> seen;
  std::uint8_t buf[2048];
  while (seen.size() < 4096) {
    pollfd p{sniffer, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) break;
    const ssize_t n = recv(sniffer, buf, sizeof(buf), 0);
    if (n < 20 + 8 + 16 || buf[9] != IPPROTO_ICMP) continue;
    const std::size_t ihl = (buf[0] & 0x0F) * 4u;
    if (buf[ihl] != 8) continue;
    Sniffed s;
    std::memcpy(&s.destination, buf + 16, 4);
    std::memcpy(s.icmp, buf + ihl, sizeof(s.icmp));
    seen.push_back(s);
  }
  close(sniffer);
  if (seen.size() < 2) return 0;
  const int raw = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);  // we write the IP header
  if (raw < 0) return 0;
  constexpr std::size_t kBatch = 512;
  constexpr std::size_t kSize = 20 + sizeof(Sniffed::icmp);
  std::vector<std::uint8_t> packets(kBatch * kSize);
  std::vector<mmsghdr> msgs(kBatch);
  std::vector<iovec> iovs(kBatch);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  inet_pton(AF_INET, "10.99.0.1", &to.sin_addr);
  std::uint64_t sent = 0;
  for (std::uint64_t i = 0; sent < count;) {
    std::size_t n = 0;
    for (; n < kBatch && sent + n < count; ++n, ++i) {
      const Sniffed& s = seen[i % seen.size()];
      // A source in the silent half, never the address the cookie was made for.
      std::uint32_t source = htonl(0x0A4D8000u | static_cast<std::uint32_t>((i * 7919) % 32768));
      if (source == s.destination) source ^= htonl(1);
      std::uint8_t* p = packets.data() + n * kSize;
      std::memset(p, 0, 20);
      p[0] = 0x45;
      p[2] = static_cast<std::uint8_t>(kSize >> 8);
      p[3] = static_cast<std::uint8_t>(kSize);
      p[8] = 64;
      p[9] = IPPROTO_ICMP;
      std::memcpy(p + 12, &source, 4);
      std::memcpy(p + 16, &to.sin_addr, 4);
      std::memcpy(p + 20, s.icmp, sizeof(s.icmp));
      p[20] = 0;  // echo reply
      p[22] = p[23] = 0;
      const std::uint16_t sum = ps::platform::InternetChecksum(p + 20, sizeof(s.icmp));
      p[22] = static_cast<std::uint8_t>(sum >> 8);
      p[23] = static_cast<std::uint8_t>(sum);
      iovs[n] = iovec{p, kSize};
      msgs[n] = mmsghdr{};
      msgs[n].msg_hdr.msg_name = &to;
      msgs[n].msg_hdr.msg_namelen = sizeof(to);
      msgs[n].msg_hdr.msg_iov = &iovs[n];
      msgs[n].msg_hdr.msg_iovlen = 1;
    }
    const int r = sendmmsg(raw, msgs.data(), static_cast<unsigned>(n), 0);
    if (r <= 0) break;
    sent += static_cast<std::uint64_t>(r);
  }
  close(raw);
  return sent;
}

}  // namespace

ForgeryResult SweepUnderForgery(const ps::testing::VethLab& lab, std::uint64_t forgeries) {
  ForgeryResult result;
  int report[2];
  if (pipe(report) != 0) return result;
  const pid_t child = fork();
  if (child == 0) {
    const std::string ns = "/proc/" + std::to_string(lab.far_pid()) + "/ns/net";
    const int fd = open(ns.c_str(), O_RDONLY);
    std::uint64_t sent = 0;
    if (fd >= 0 && setns(fd, CLONE_NEWNET) == 0) sent = Forge(forgeries);
    (void)!write(report[1], &sent, sizeof(sent));
    _exit(0);
  }
  usleep(100000);  // the sniffer is listening
  ps::sweep::TargetList list(nullptr);
  (void)list.Add("10.77.0.0/16");
  const ps::sweep::TargetAddresses targets = list.Expand().value();
  ps::platform::LinuxIcmpOpener opener;
  auto opened = opener.Open(ps::IpAddress::Family::kV4, ps::platform::IcmpSocket::Kind::kDatagram);
  if (opened) {
    const auto socket = std::move(opened).value();
    // Slow enough that the flood lands while the sweep runs.
    ps::sweep::SweepOptions options;
    options.rate = 20000;
    options.timeout_ns = 3'000'000'000;
    options.retries = 0;
    ps::sweep::Sweep sweep(&ps::platform::SystemMonotonicClock(), socket.get(), nullptr, std::move(targets), {}, options);
    const ps::sweep::SweepSummary s = sweep.Run(nullptr);
    result.answered = s.answered;
    result.ignored = s.ignored;
    for (const auto& r : sweep.results()) {
      if (r.outcome == ps::sweep::Outcome::kAnswered && r.address.v4() >= 0x0A4D8000u)
        ++result.false_hosts;
    }
  }
  waitpid(child, nullptr, 0);
  (void)!read(report[0], &result.forged_sent, sizeof(result.forged_sent));
  close(report[0]);
  close(report[1]);
  return result;
}

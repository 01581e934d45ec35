// A /24 of 254 answering hosts in a private network namespace, each named by
// one source (even hosts by multicast DNS, odd ones by NetBIOS) through our
// own fast responders: pingsweep-cli with names and with -n, side by side in
// rounds; medians, names found, and the difference the names cost.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_stats.h"
#include "core/ip_address.h"
#include "names/dns_wire.h"
#include "names/test_packets.h"
#include "testsupport/peer_namespace.h"
#include "testsupport/private_network.h"

namespace {

using Clock = std::chrono::steady_clock;

int Bound(std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof(one));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) std::perror("bind");
  return fd;
}

// Answers from the address the query was sent to.
void Answer(int fd, const sockaddr_in& to, in_addr from, const std::vector<std::uint8_t>& payload) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  iovec iov{const_cast<std::uint8_t*>(payload.data()), payload.size()};
  msghdr msg{};
  msg.msg_name = const_cast<sockaddr_in*>(&to);
  msg.msg_namelen = sizeof(to);
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof(control);
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = IPPROTO_IP;
  c->cmsg_type = IP_PKTINFO;
  c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
  in_pktinfo info{};
  info.ipi_spec_dst = from;
  std::memcpy(CMSG_DATA(c), &info, sizeof(info));
  sendmsg(fd, &msg, 0);
}

// Even hosts answer multicast DNS, odd ones NetBIOS; unicast queries only.
void Respond(const std::atomic<bool>& stop) {
  pollfd fds[2] = {{Bound(5353), POLLIN, 0}, {Bound(137), POLLIN, 0}};
  std::uint8_t buffer[1500];
  while (!stop.load()) {
    if (poll(fds, 2, 50) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      sockaddr_in from{};
      alignas(cmsghdr) char control[256];
      iovec iov{buffer, sizeof(buffer)};
      msghdr msg{};
      msg.msg_name = &from;
      msg.msg_namelen = sizeof(from);
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = control;
      msg.msg_controllen = sizeof(control);
      const ssize_t n = recvmsg(fds[i].fd, &msg, MSG_DONTWAIT);
      cmsghdr* c = CMSG_FIRSTHDR(&msg);
      if (n < 12 || c == nullptr || c->cmsg_type != IP_PKTINFO) continue;
      in_pktinfo info;
      std::memcpy(&info, CMSG_DATA(c), sizeof(info));
      const std::uint32_t host = ntohl(info.ipi_addr.s_addr);
      if ((host >> 28) == 14) continue;  // a group query
      const auto id = static_cast<std::uint16_t>(buffer[0] << 8 | buffer[1]);
      const std::string last = std::to_string(host & 0xFF);
      if (i == 0 && host % 2 == 0) {
        const auto q = ps::names::ParseMessage(std::span(buffer, static_cast<std::size_t>(n)));
        if (!q || q->questions.empty()) continue;
        Answer(fds[i].fd, from, info.ipi_addr,
               ps::names::testing::DnsResponse(id, q->questions, {{q->questions[0].name, "h" + last + ".local"}}));
      } else if (i == 1 && host % 2 == 1) {
        Answer(fds[i].fd, from, info.ipi_addr, ps::names::testing::NodeStatusResponse(id, {{"HOST" + last}}, {}));
      }
    }
  }
  close(fds[0].fd);
  close(fds[1].fd);
}

struct Figure {
  std::vector<double> seconds, named;
};

void Run(const std::string& args, Figure* f) {
  const auto start = Clock::now();
  const std::string out = ps::testing::ShOutput(PINGSWEEP_CLI " -o csv -t 500 " + args + " 2>/dev/null");
  f->seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  long named = 0;
  for (std::size_t at = 0; (at = out.find(",mdns,", at)) != std::string::npos; ++at) ++named;
  for (std::size_t at = 0; (at = out.find(",netbios,", at)) != std::string::npos; ++at) ++named;
  f->named.push_back(static_cast<double>(named));
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const std::string reason = ps::testing::EnterPrivateNetwork();
  if (!reason.empty()) {
    std::fprintf(stderr, "bench_names needs a private network namespace: %s\n", reason.c_str());
    return 1;
  }
  ps::testing::PeerNamespace peer;
  if (!peer.ok() || !ps::testing::AddVethPair(peer, "nb0", "nb1")) return 1;
  ps::testing::Sh("ip addr add 10.81.1.254/23 dev nb0");
  peer.Sh("ip link set lo up && ip addr add 10.81.1.253/23 dev nb1 && ip route add local 10.81.0.0/24 dev lo");
  std::atomic<bool> stop{false};
  std::thread responder([&] { peer.RunInside([&] { Respond(stop); }); });
  usleep(200'000);
  Figure names, numeric;
  for (int r = 0; r < rounds; ++r) {
    Run("--probe icmp 10.81.0.1-254", &names);
    Run("--probe icmp -n 10.81.0.1-254", &numeric);
  }
  stop = true;
  responder.join();
  using ps::bench::Median;
  std::printf("A /24 of 254 answering hosts, each named by mDNS or NetBIOS (%d rounds):\n", rounds);
  std::printf("  with names  median %.3f s   named %3.0f of 254\n", Median(names.seconds), Median(names.named));
  std::printf("  -n          median %.3f s\n", Median(numeric.seconds));
  std::printf("  names cost  %.3f s (goal: at most 1.2 s)\n", Median(names.seconds) - Median(numeric.seconds));
  return 0;
}

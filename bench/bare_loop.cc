// The floor of a sweep on this machine: a bare loop that sends with sendmmsg,
// receives with recvmmsg and checks nothing beyond "an echo reply (an ARP
// reply, a TCP segment) from an address of the block". No cookie, no deadline per probe, no
// pacing, no retries, no time stamps, no output but one line. The benchmarks
// run it beside pingsweep-cli in the same lab; run it only inside a private
// network namespace.
//
//   bare_loop icmp  raw|dgram FIRST COUNT TIMEOUT_MS      (IPv4)
//   bare_loop icmp6 raw|dgram FIRST COUNT TIMEOUT_MS      (IPv6)
//   bare_loop arp   IFACE SOURCE FIRST COUNT TIMEOUT_MS   (packet socket)
//   bare_loop syn   PORT FIRST COUNT TIMEOUT_MS           (raw TCP, IPv4: a SYN
//                                                          each; any segment back counts)
//
// Probes COUNT addresses from FIRST (the last 32 bits counting up), once
// each, and stops when every one answered or TIMEOUT_MS after the last send.
// Prints "found N in T s".
//
// "dgram+stamps" (or "raw+stamps") adds the kernel's part of what a sweep
// keeps and this loop otherwise skips: a receive stamp (SO_TIMESTAMPNS) and
// the TTL or hop limit with every reply, and 16 bytes of data (a cookie's
// room) in every request and so in every reply. The loop still reads none of it.
#include <arpa/inet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/icmp6.h>
#include <netinet/ip_icmp.h>
#include <netinet/tcp.h>
#include <netpacket/packet.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

constexpr unsigned kBatch = 256;
constexpr unsigned kPacket = 128;

double Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

std::uint16_t Checksum(const void* data, std::size_t n) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  std::uint32_t sum = 0;
  for (; n > 1; n -= 2, p += 2) sum += static_cast<std::uint32_t>(p[0] << 8 | p[1]);
  if (n) sum += static_cast<std::uint32_t>(p[0] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return htons(static_cast<std::uint16_t>(~sum));
}

// What differs between the three kinds of loop: the socket, how request i is
// written (into `packet`, its destination into `to`), and which target index a
// received packet answers (or -1).
struct Family {
  int fd = -1;
  socklen_t to_size = 0;
  std::size_t request_size = 0;
  void (*build)(const Family&, std::uint32_t i, std::uint8_t* packet, sockaddr_storage* to);
  long (*answer)(const Family&, const std::uint8_t* p, std::size_t n, const sockaddr_storage& from);
  bool raw = false;
  bool stamps = false;  // "+stamps": receive stamps, TTL, 16 bytes of data
  std::uint32_t first4 = 0;  // IPv4 and ARP: host order
  in6_addr first6{};
  int ifindex = 0;
  std::uint8_t mac[6] = {};
  std::uint32_t source = 0;  // ARP and SYN: host order
  std::uint16_t port = 0;    // SYN: the destination port
  std::uint32_t count = 0;
};

std::uint32_t Low32(const in6_addr& a) {
  std::uint32_t v;
  std::memcpy(&v, a.s6_addr + 12, 4);
  return ntohl(v);
}

void BuildIcmp(const Family& f, std::uint32_t i, std::uint8_t* p, sockaddr_storage* to) {
  icmphdr h{};
  h.type = ICMP_ECHO;
  h.un.echo.id = htons(0x4242);
  h.un.echo.sequence = htons(static_cast<std::uint16_t>(i));
  h.checksum = Checksum(&h, sizeof(h));
  std::memcpy(p, &h, sizeof(h));
  auto* sin = reinterpret_cast<sockaddr_in*>(to);
  sin->sin_family = AF_INET;
  sin->sin_addr.s_addr = htonl(f.first4 + i);
}

long AnswerIcmp(const Family& f, const std::uint8_t* p, std::size_t n, const sockaddr_storage& from) {
  if (f.raw) {
    const std::size_t hl = (p[0] & 15u) * 4;
    if (n < hl + 8) return -1;
    p += hl;
  }
  if (p[0] != ICMP_ECHOREPLY) return -1;
  const std::uint32_t a = ntohl(reinterpret_cast<const sockaddr_in&>(from).sin_addr.s_addr) - f.first4;
  return a < f.count ? static_cast<long>(a) : -1;
}

void BuildIcmp6(const Family& f, std::uint32_t i, std::uint8_t* p, sockaddr_storage* to) {
  icmp6_hdr h{};
  h.icmp6_type = ICMP6_ECHO_REQUEST;
  h.icmp6_id = htons(0x4242);
  h.icmp6_seq = htons(static_cast<std::uint16_t>(i));
  std::memcpy(p, &h, 8);  // the kernel writes the checksum
  auto* sin6 = reinterpret_cast<sockaddr_in6*>(to);
  sin6->sin6_family = AF_INET6;
  sin6->sin6_addr = f.first6;
  const std::uint32_t low = htonl(Low32(f.first6) + i);
  std::memcpy(sin6->sin6_addr.s6_addr + 12, &low, 4);
}

long AnswerIcmp6(const Family& f, const std::uint8_t* p, std::size_t n, const sockaddr_storage& from) {
  if (n < 8 || p[0] != ICMP6_ECHO_REPLY) return -1;
  const std::uint32_t a =
      Low32(reinterpret_cast<const sockaddr_in6&>(from).sin6_addr) - Low32(f.first6);
  return a < f.count ? static_cast<long>(a) : -1;
}

void BuildArp(const Family& f, std::uint32_t i, std::uint8_t* p, sockaddr_storage* to) {
  const std::uint8_t head[8] = {0, 1, 8, 0, 6, 4, 0, 1};  // Ethernet, IPv4, request
  std::memcpy(p, head, 8);
  std::memcpy(p + 8, f.mac, 6);
  const std::uint32_t spa = htonl(f.source), tpa = htonl(f.first4 + i);
  std::memcpy(p + 14, &spa, 4);
  std::memset(p + 18, 0, 6);
  std::memcpy(p + 24, &tpa, 4);
  auto* ll = reinterpret_cast<sockaddr_ll*>(to);
  ll->sll_family = AF_PACKET;
  ll->sll_protocol = htons(ETH_P_ARP);
  ll->sll_ifindex = f.ifindex;
  ll->sll_halen = 6;
  std::memset(ll->sll_addr, 0xFF, 6);
}

long AnswerArp(const Family& f, const std::uint8_t* p, std::size_t n, const sockaddr_storage&) {
  if (n < 28 || p[7] != 2) return -1;  // a reply
  std::uint32_t spa;
  std::memcpy(&spa, p + 14, 4);
  const std::uint32_t a = ntohl(spa) - f.first4;
  return a < f.count ? static_cast<long>(a) : -1;
}

// A SYN from the socket's port 40001 (no socket holds it here: the kernel
// resets the SYN-ACK), the checksum over the pseudo-header of `source`.
void BuildSyn(const Family& f, std::uint32_t i, std::uint8_t* p, sockaddr_storage* to) {
  struct {
    std::uint32_t source, destination;
    std::uint8_t zero, protocol;
    std::uint16_t length;
    tcphdr tcp;
  } s{};
  s.source = htonl(f.source);
  s.destination = htonl(f.first4 + i);
  s.protocol = IPPROTO_TCP;
  s.length = htons(sizeof(tcphdr));
  s.tcp.source = htons(40001);
  s.tcp.dest = htons(f.port);
  s.tcp.seq = htonl(0x5a5a0000 + i);
  s.tcp.doff = 5;
  s.tcp.syn = 1;
  s.tcp.window = htons(1024);
  s.tcp.check = Checksum(&s, sizeof(s));
  std::memcpy(p, &s.tcp, sizeof(tcphdr));
  auto* sin = reinterpret_cast<sockaddr_in*>(to);
  sin->sin_family = AF_INET;
  sin->sin_addr.s_addr = s.destination;
}

long AnswerSyn(const Family& f, const std::uint8_t*, std::size_t, const sockaddr_storage& from) {
  const std::uint32_t a = ntohl(reinterpret_cast<const sockaddr_in&>(from).sin_addr.s_addr) - f.first4;
  return a < f.count ? static_cast<long>(a) : -1;
}

// The address routing sends from to `first` (host order).
std::uint32_t SourceFor(std::uint32_t first) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(9);
  to.sin_addr.s_addr = htonl(first);
  sockaddr_in local{};
  socklen_t size = sizeof(local);
  const bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0 &&
                  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) == 0;
  if (fd >= 0) close(fd);
  return ok ? ntohl(local.sin_addr.s_addr) : 0;
}

bool OpenSyn(char** argv, Family* f) {
  f->fd = socket(AF_INET, SOCK_RAW, IPPROTO_TCP);
  f->port = static_cast<std::uint16_t>(std::atoi(argv[2]));
  f->first4 = ntohl(inet_addr(argv[3]));
  f->count = static_cast<std::uint32_t>(std::strtoul(argv[4], nullptr, 10));
  f->source = SourceFor(f->first4);
  f->to_size = sizeof(sockaddr_in);
  f->request_size = sizeof(tcphdr);
  f->build = BuildSyn;
  f->answer = AnswerSyn;
  return f->fd >= 0 && f->source != 0;
}

void Buffers(int fd) {
  const int receive = 32 << 20, send = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &receive, sizeof(receive));
  setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &send, sizeof(send));
}

bool Open(int argc, char** argv, Family* f) {
  if (std::strcmp(argv[1], "syn") == 0) {
    if (argc != 6 || !OpenSyn(argv, f)) return false;
    Buffers(f->fd);
    return true;
  }
  const bool arp = std::strcmp(argv[1], "arp") == 0;
  const bool v6 = std::strcmp(argv[1], "icmp6") == 0;
  if (argc != (arp ? 7 : 6)) return false;
  f->count = static_cast<std::uint32_t>(std::strtoul(argv[arp ? 5 : 4], nullptr, 10));
  if (arp) {
    f->fd = socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_ARP));
    f->ifindex = static_cast<int>(if_nametoindex(argv[2]));
    ifreq ifr{};
    std::snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", argv[2]);
    if (f->fd < 0 || ioctl(f->fd, SIOCGIFHWADDR, &ifr) != 0) return false;
    std::memcpy(f->mac, ifr.ifr_hwaddr.sa_data, 6);
    const int on = 1;
    setsockopt(f->fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &on, sizeof(on));
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_ARP);
    at.sll_ifindex = f->ifindex;
    if (bind(f->fd, reinterpret_cast<sockaddr*>(&at), sizeof(at)) != 0) return false;
    f->source = ntohl(inet_addr(argv[3]));
    f->first4 = ntohl(inet_addr(argv[4]));
    f->to_size = sizeof(sockaddr_ll);
    f->request_size = 28;
    f->build = BuildArp;
    f->answer = AnswerArp;
  } else {
    const std::string_view kind = argv[2];
    f->stamps = kind.ends_with("+stamps");
    f->raw = kind.starts_with("raw");
    const int type = f->raw ? SOCK_RAW : SOCK_DGRAM;
    f->fd = v6 ? socket(AF_INET6, type, IPPROTO_ICMPV6) : socket(AF_INET, type, IPPROTO_ICMP);
    if (f->fd < 0) return false;
    if (v6 && inet_pton(AF_INET6, argv[3], &f->first6) != 1) return false;
    if (!v6) f->first4 = ntohl(inet_addr(argv[3]));
    f->to_size = v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    f->request_size = f->stamps ? 8 + 16 : 8;  // zeros: the checksum holds
    f->build = v6 ? BuildIcmp6 : BuildIcmp;
    f->answer = v6 ? AnswerIcmp6 : AnswerIcmp;
  }
  Buffers(f->fd);
  if (f->stamps) {
    const int on = 1;
    setsockopt(f->fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on));
    if (v6) {
      setsockopt(f->fd, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &on, sizeof(on));
    } else {
      setsockopt(f->fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof(on));
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Family f;
  if (argc < 2 || !Open(argc, argv, &f)) {
    std::fprintf(stderr,
                 "usage: bare_loop icmp|icmp6 raw|dgram FIRST COUNT TIMEOUT_MS\n"
                 "       bare_loop arp IFACE SOURCE FIRST COUNT TIMEOUT_MS\n"
                 "       bare_loop syn PORT FIRST COUNT TIMEOUT_MS\n");
    return 2;
  }
  const double timeout = std::atof(argv[argc - 1]) / 1000.0;
  std::vector<std::uint8_t> seen(f.count);
  static std::uint8_t out_buf[kBatch][kPacket], in_buf[kBatch][kPacket];
  static sockaddr_storage to[kBatch], from[kBatch];
  static iovec out_iov[kBatch], in_iov[kBatch];
  static mmsghdr out[kBatch], in[kBatch];
  alignas(cmsghdr) static char control[kBatch][128];
  for (unsigned i = 0; i < kBatch; ++i) {
    in_iov[i] = iovec{in_buf[i], kPacket};
    in[i].msg_hdr.msg_iov = &in_iov[i];
    in[i].msg_hdr.msg_iovlen = 1;
    in[i].msg_hdr.msg_name = &from[i];
  }
  std::uint32_t found = 0, next = 0;
  const double start = Now();
  double deadline = 0;
  for (;;) {
    if (next < f.count) {
      unsigned k = 0;
      for (; k < kBatch && next < f.count; ++k, ++next) {
        f.build(f, next, out_buf[k], &to[k]);
        out_iov[k] = iovec{out_buf[k], f.request_size};
        out[k] = mmsghdr{};
        out[k].msg_hdr.msg_iov = &out_iov[k];
        out[k].msg_hdr.msg_iovlen = 1;
        out[k].msg_hdr.msg_name = &to[k];
        out[k].msg_hdr.msg_namelen = f.to_size;
      }
      for (unsigned sent = 0; sent < k;) {
        const int r = sendmmsg(f.fd, out + sent, k - sent, 0);
        if (r <= 0) break;
        sent += static_cast<unsigned>(r);
      }
      if (next >= f.count) deadline = Now() + timeout;
    }
    for (;;) {
      for (unsigned i = 0; i < kBatch; ++i) {
        in[i].msg_hdr.msg_namelen = sizeof(from[i]);
        in[i].msg_hdr.msg_control = f.stamps ? control[i] : nullptr;
        in[i].msg_hdr.msg_controllen = f.stamps ? sizeof(control[i]) : 0;
      }
      const int r = recvmmsg(f.fd, in, kBatch, MSG_DONTWAIT, nullptr);
      if (r <= 0) break;
      for (int i = 0; i < r; ++i) {
        const long a = f.answer(f, in_buf[i], in[i].msg_len, from[i]);
        if (a >= 0 && !seen[static_cast<std::size_t>(a)]) {
          seen[static_cast<std::size_t>(a)] = 1;
          ++found;
        }
      }
    }
    if (next >= f.count) {
      if (found >= f.count || Now() >= deadline) break;
      pollfd pf{f.fd, POLLIN, 0};
      poll(&pf, 1, static_cast<int>((deadline - Now()) * 1000) + 1);
    }
  }
  std::printf("found %u in %.3f s\n", found, Now() - start);
  return 0;
}

#include "platform/netapi/linux_echo_receive.h"

#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/inet/checksum.h"
#include "platform/netapi/echo_reply.h"

namespace ps::platform::linux_echo {
namespace {

constexpr std::size_t kIcmpHeaderSize = 8;
constexpr std::size_t kIpHeaderMinSize = 20;
// Room for the largest IP packet a reply can come in.
constexpr std::size_t kPacketBufferSize = 65536;
// Reads that fail other than by an empty queue before the drain gives up.
constexpr int kMaxSpuriousReads = 4;

std::int64_t Ns(const timespec& ts) {
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::int64_t ClockNs(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return Ns(ts);
}

std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

// The first control message of `level` and `type` with at least `min_size`
// bytes of data, or null.
const cmsghdr* FindControl(msghdr& msg, int level, int type, std::size_t min_size) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level == level && c->cmsg_type == type && c->cmsg_len >= CMSG_LEN(min_size)) {
      return c;
    }
  }
  return nullptr;
}

DWORD StatusForIcmpError(int type, int code) {
  switch (type) {
    case ICMP_DEST_UNREACH:
      switch (code) {
        case ICMP_NET_UNREACH:
          return IP_DEST_NET_UNREACHABLE;
        case ICMP_PROT_UNREACH:
          return IP_DEST_PROT_UNREACHABLE;
        case ICMP_PORT_UNREACH:
          return IP_DEST_PORT_UNREACHABLE;
        case ICMP_FRAG_NEEDED:
          return IP_PACKET_TOO_BIG;
        case ICMP_SR_FAILED:
          return IP_BAD_ROUTE;
        default:
          return IP_DEST_HOST_UNREACHABLE;
      }
    case ICMP_TIME_EXCEEDED:
      return code == ICMP_EXC_FRAGTIME ? IP_TTL_EXPIRED_REASSEM : IP_TTL_EXPIRED_TRANSIT;
    case ICMP_PARAMETERPROB:
      return IP_PARAM_PROBLEM;
    case ICMP_SOURCE_QUENCH:
      return IP_SOURCE_QUENCH;
    default:
      return IP_GENERAL_FAILURE;
  }
}

// An echo reply to this very request: fill the buffer as the service does.
Match DeliverReply(const Probe& probe, std::int64_t arrival_ns, const std::uint8_t* payload,
                   std::size_t size, std::uint8_t ttl, std::uint8_t tos, std::uint8_t flags) {
  EchoReplyHeader h;
  h.Address = probe.destination;
  // A step of the real-time clock could put the arrival before the send.
  h.RoundTripTime =
      static_cast<DWORD>(std::max<std::int64_t>(arrival_ns - probe.start_ns, 0) / 1000000);
  if (kEchoReplyHeaderSize + size > probe.reply_size || size > 0xFFFF) {
    h.Status = IP_BUF_TOO_SMALL;
    EncodeEchoReplyHeader(h, probe.reply_buffer);
    return Match::kError;
  }
  h.Status = IP_SUCCESS;
  h.DataSize = static_cast<WORD>(size);
  h.Data = kEchoReplyHeaderSize;
  h.Options = {ttl, tos, flags, 0, kEchoReplyHeaderSize};  // reply options are not passed on
  EncodeEchoReplyHeader(h, probe.reply_buffer);
  if (size > 0)
    std::memcpy(static_cast<std::uint8_t*>(probe.reply_buffer) + kEchoReplyHeaderSize, payload,
                size);
  return Match::kReply;
}

// A packet read from a raw socket: IP header, then ICMP.
Match ExamineRawPacket(const Probe& probe, std::int64_t arrival_ns, const std::uint8_t* pkt,
                       std::size_t n) {
  if (n < kIpHeaderMinSize) return Match::kNone;
  const std::size_t ihl = static_cast<std::size_t>(pkt[0] & 0x0F) * 4;
  if ((pkt[0] >> 4) != 4 || ihl < kIpHeaderMinSize || n < ihl + kIcmpHeaderSize ||
      pkt[9] != IPPROTO_ICMP) {
    return Match::kNone;
  }
  const std::uint8_t* icmp = pkt + ihl;
  // A raw socket gets its copy before the kernel checks the ICMP checksum (a
  // datagram socket only after): a damaged reply or error decides nothing.
  if (InternetChecksum(icmp, n - ihl) != 0) return Match::kNone;
  IPAddr source;
  std::memcpy(&source, pkt + 12, 4);
  const int type = icmp[0];
  if (type == ICMP_ECHOREPLY) {
    if (source != probe.destination || Get16(icmp + 4) != probe.identifier ||
        Get16(icmp + 6) != probe.sequence) {
      return Match::kNone;
    }
    const std::uint8_t flags = (Get16(pkt + 6) & 0x4000) ? IP_FLAG_DF : 0;
    return DeliverReply(probe, arrival_ns, icmp + kIcmpHeaderSize, n - ihl - kIcmpHeaderSize,
                        pkt[8], pkt[1], flags);
  }
  if (type != ICMP_DEST_UNREACH && type != ICMP_TIME_EXCEEDED && type != ICMP_PARAMETERPROB &&
      type != ICMP_SOURCE_QUENCH) {
    return Match::kNone;  // our own request, other traffic
  }
  // An error quotes the IP header and first 8 bytes of the request it is about.
  const std::uint8_t* inner = icmp + kIcmpHeaderSize;
  const std::size_t rest = n - ihl - kIcmpHeaderSize;
  if (rest < kIpHeaderMinSize) return Match::kNone;
  const std::size_t inner_ihl = static_cast<std::size_t>(inner[0] & 0x0F) * 4;
  if (inner_ihl < kIpHeaderMinSize || rest < inner_ihl + kIcmpHeaderSize ||
      inner[9] != IPPROTO_ICMP) {
    return Match::kNone;
  }
  IPAddr inner_destination;
  std::memcpy(&inner_destination, inner + 16, 4);
  const std::uint8_t* request = inner + inner_ihl;
  if (inner_destination != probe.destination || request[0] != ICMP_ECHO ||
      Get16(request + 4) != probe.identifier || Get16(request + 6) != probe.sequence) {
    return Match::kNone;
  }
  EncodeEchoReplyHeader(FailureHeader(StatusForIcmpError(type, icmp[1]), source),
                        probe.reply_buffer);
  return Match::kError;
}

// A packet read from a datagram socket: ICMP only; TTL and TOS in control data.
Match ExamineDatagram(const Probe& probe, std::int64_t arrival_ns, const std::uint8_t* icmp,
                      std::size_t n, const sockaddr_in& from, msghdr& msg) {
  if (n < kIcmpHeaderSize || icmp[0] != ICMP_ECHOREPLY) return Match::kNone;
  if (from.sin_addr.s_addr != probe.destination || Get16(icmp + 6) != probe.sequence) {
    return Match::kNone;
  }
  std::uint8_t ttl = 0, tos = 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != IPPROTO_IP) continue;
    if (c->cmsg_type == IP_TTL && c->cmsg_len >= CMSG_LEN(sizeof(int))) {
      int v;
      std::memcpy(&v, CMSG_DATA(c), sizeof(v));
      ttl = static_cast<std::uint8_t>(v);
    } else if (c->cmsg_type == IP_TOS && c->cmsg_len >= CMSG_LEN(1)) {
      tos = *CMSG_DATA(c);
    }
  }
  return DeliverReply(probe, arrival_ns, icmp + kIcmpHeaderSize, n - kIcmpHeaderSize, ttl, tos, 0);
}

// An ICMP error queued on a datagram socket (IP_RECVERR): the payload is the
// ICMP header of the request it is about.
Match ExamineQueuedError(const Probe& probe, const std::uint8_t* request, std::size_t n,
                         const sockaddr_in& to, msghdr& msg) {
  if (n < kIcmpHeaderSize || request[0] != ICMP_ECHO || Get16(request + 6) != probe.sequence ||
      to.sin_addr.s_addr != probe.destination) {
    return Match::kNone;
  }
  const cmsghdr* c = FindControl(msg, IPPROTO_IP, IP_RECVERR, sizeof(sock_extended_err));
  if (c == nullptr) return Match::kNone;
  sock_extended_err err;
  std::memcpy(&err, CMSG_DATA(c), sizeof(err));
  if (err.ee_origin != SO_EE_ORIGIN_ICMP) return Match::kNone;
  IPAddr reporter = 0;
  if (c->cmsg_len >= CMSG_LEN(sizeof(err) + sizeof(sockaddr_in))) {
    sockaddr_in offender;
    std::memcpy(&offender, CMSG_DATA(c) + sizeof(err), sizeof(offender));
    reporter = offender.sin_addr.s_addr;
  }
  EncodeEchoReplyHeader(FailureHeader(StatusForIcmpError(err.ee_type, err.ee_code), reporter),
                        probe.reply_buffer);
  return Match::kError;
}

// When a packet reached the socket, on the monotonic clock: the kernel's
// receive time stamp (real-time clock) taken back by its age, so that a packet
// read late is judged by when it came, not by when this thread got to it.
// Without a stamp: now.
std::int64_t ArrivalNs(msghdr& msg) {
  const std::int64_t now = MonotonicNs();
  const cmsghdr* c = FindControl(msg, SOL_SOCKET, SCM_TIMESTAMPNS, sizeof(timespec));
  if (c == nullptr) return now;
  timespec stamp;
  std::memcpy(&stamp, CMSG_DATA(c), sizeof(stamp));
  // A step of the real-time clock cannot make the age negative.
  const std::int64_t age = ClockNs(CLOCK_REALTIME) - Ns(stamp);
  return age > 0 ? now - age : now;
}

// A receive of one packet into `iov`, with its peer and control messages.
msghdr MessageFor(sockaddr_in* peer, iovec* iov, char* control, std::size_t control_size) {
  msghdr msg{};
  msg.msg_name = peer;
  msg.msg_namelen = sizeof(*peer);
  msg.msg_iov = iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = control_size;
  return msg;
}

// This thread's buffer for one received packet.
std::uint8_t* PacketBuffer() {
  thread_local std::uint8_t packet[kPacketBufferSize];
  return packet;
}

// Reads the socket's ordinary queue: replies (and, on raw sockets, errors).
Match DrainReceived(int fd, LinuxEchoService::SocketKind kind, const Probe& probe) {
  std::uint8_t* packet = PacketBuffer();
  alignas(cmsghdr) char control[512];
  for (int spurious = 0; spurious < kMaxSpuriousReads;) {
    sockaddr_in from{};
    iovec iov{packet, kPacketBufferSize};
    msghdr msg = MessageFor(&from, &iov, control, sizeof(control));
    const ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      // EINTR, or a pending socket error that this read has now cleared.
      ++spurious;
      continue;
    }
    const std::int64_t arrival = ArrivalNs(msg);
    if (arrival >= probe.deadline_ns) continue;
    const std::size_t size = static_cast<std::size_t>(n);
    const Match m = kind == LinuxEchoService::SocketKind::kRaw
                        ? ExamineRawPacket(probe, arrival, packet, size)
                        : ExamineDatagram(probe, arrival, packet, size, from, msg);
    if (m != Match::kNone) return m;
  }
  return Match::kNone;
}

// Reads a datagram socket's error queue (IP_RECVERR).
Match DrainErrorQueue(int fd, const Probe& probe) {
  std::uint8_t* packet = PacketBuffer();
  alignas(cmsghdr) char control[512];
  for (;;) {
    sockaddr_in to{};
    iovec iov{packet, kPacketBufferSize};
    msghdr msg = MessageFor(&to, &iov, control, sizeof(control));
    const ssize_t n = recvmsg(fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Match::kNone;
    }
    if (ArrivalNs(msg) >= probe.deadline_ns) continue;
    const Match m = ExamineQueuedError(probe, packet, static_cast<std::size_t>(n), to, msg);
    if (m != Match::kNone) return m;
  }
}

}  // namespace

std::int64_t MonotonicNs() { return ClockNs(CLOCK_MONOTONIC); }

Match Drain(int fd, LinuxEchoService::SocketKind kind, const Probe& probe) {
  const Match m = DrainReceived(fd, kind, probe);
  if (m != Match::kNone || kind != LinuxEchoService::SocketKind::kDatagram) return m;
  return DrainErrorQueue(fd, probe);
}

}  // namespace ps::platform::linux_echo

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/error.h"
#include "platform/net/linux_net_services.h"

namespace ps::platform {
namespace {

constexpr std::size_t kIcmpHeaderSize = 8;
constexpr int kDefaultTtl = 128;
// How long before the deadline the wait stops sleeping: timer wake-ups can be
// this late (virtual machines, timer slack).
constexpr std::int64_t kSpinNs = 200000;
// Room for the largest IP packet a reply can come in.
constexpr std::size_t kPacketBufferSize = 65536;

// Each request gets a sequence number no earlier request of this process used
// (for 65536 requests), so a late reply can never pass for a later one.
std::atomic<std::uint16_t> g_next_sequence{1};

std::int64_t Ns(const timespec& ts) {
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::int64_t ClockNs(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return Ns(ts);
}

std::int64_t MonotonicNs() { return ClockNs(CLOCK_MONOTONIC); }

std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

void PutLe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void PutLe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

// The 28-byte reply header in the 32-bit layout.
struct ReplyHeader {
  IPAddr address = 0;
  DWORD status = 0;
  DWORD round_trip_ms = 0;
  WORD data_size = 0;
  DWORD data = 0;
  std::uint8_t ttl = 0, tos = 0, flags = 0;
  DWORD options_data = 0;
};

void WriteHeader(void* buffer, const ReplyHeader& h) {
  auto* p = static_cast<std::uint8_t*>(buffer);
  std::memcpy(p, &h.address, 4);  // already in network order
  PutLe32(p + 4, h.status);
  PutLe32(p + 8, h.round_trip_ms);
  PutLe16(p + 12, h.data_size);
  PutLe16(p + 14, 0);
  PutLe32(p + 16, h.data);
  p[20] = h.ttl;
  p[21] = h.tos;
  p[22] = h.flags;
  p[23] = 0;  // OptionsSize: reply options are not passed on
  PutLe32(p + 24, h.options_data);
}

void WriteStatusOnly(void* buffer, DWORD status, IPAddr address = 0) {
  ReplyHeader h;
  h.address = address;
  h.status = status;
  WriteHeader(buffer, h);
}

DWORD StatusForSendError(int err) {
  switch (err) {
    case ENETUNREACH:
      return IP_DEST_NET_UNREACHABLE;
    case EHOSTUNREACH:
      return IP_DEST_HOST_UNREACHABLE;
    case EACCES:
    case EPERM:
    case EINVAL:
      return IP_BAD_DESTINATION;
    case EMSGSIZE:
      return 11009;  // IP_PACKET_TOO_BIG
    default:
      return IP_GENERAL_FAILURE;
  }
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
          return 11009;  // IP_PACKET_TOO_BIG
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

// The program's own path, for the setcap line; a placeholder if unknown.
std::string ProgramPath() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string("<program>");
}

std::u16string UnavailableText(int datagram_errno, int raw_errno) {
  const bool denied = (datagram_errno == EACCES || datagram_errno == EPERM) &&
                      (raw_errno == EPERM || raw_errno == EACCES);
  std::string text = "ICMP echo requests cannot be sent";
  if (denied) {
    text += ": this user may open neither an ICMP datagram socket nor a raw socket.";
  } else {
    text += " (ICMP datagram socket: ";
    text += std::strerror(datagram_errno);
    text += "; raw socket: ";
    text += std::strerror(raw_errno);
    text += ").";
  }
  // One fix per line, each a command ready to paste.
  const std::string group = std::to_string(getegid());
  text +=
      "\n\nTo allow it, either let your group open ICMP datagram sockets (\"0 2147483647\" "
      "allows every group):\n    sudo sysctl -w net.ipv4.ping_group_range=\"" +
      group + " " + group +
      "\"\nor grant the program CAP_NET_RAW:\n    sudo setcap cap_net_raw+ep " + ProgramPath();
  return FromUtf8(text);
}

// What one receive produced.
enum class Match { kNone, kReply, kError };

struct Probe {
  IPAddr destination;
  std::uint16_t identifier;  // raw sockets only; the kernel owns it on datagram ones
  std::uint16_t sequence;
  std::int64_t start_ns;     // monotonic, just before the send
  std::int64_t deadline_ns;  // monotonic
  void* reply_buffer;
  DWORD reply_size;
};

// An echo reply to this very request: fill the buffer as the service does.
Match DeliverReply(const Probe& probe, std::int64_t arrival_ns, const std::uint8_t* payload,
                   std::size_t size, std::uint8_t ttl, std::uint8_t tos, std::uint8_t flags) {
  ReplyHeader h;
  h.address = probe.destination;
  // A step of the real-time clock could put the arrival before the send.
  h.round_trip_ms =
      static_cast<DWORD>(std::max<std::int64_t>(arrival_ns - probe.start_ns, 0) / 1000000);
  if (kEchoReplyHeaderSize + size > probe.reply_size || size > 0xFFFF) {
    h.status = IP_BUF_TOO_SMALL;
    WriteHeader(probe.reply_buffer, h);
    return Match::kError;
  }
  h.status = IP_SUCCESS;
  h.data_size = static_cast<WORD>(size);
  h.data = kEchoReplyHeaderSize;
  h.options_data = kEchoReplyHeaderSize;
  h.ttl = ttl;
  h.tos = tos;
  h.flags = flags;
  WriteHeader(probe.reply_buffer, h);
  if (size > 0)
    std::memcpy(static_cast<std::uint8_t*>(probe.reply_buffer) + kEchoReplyHeaderSize, payload,
                size);
  return Match::kReply;
}

// A packet read from a raw socket: IP header, then ICMP.
Match ExamineRawPacket(const Probe& probe, std::int64_t arrival_ns, const std::uint8_t* pkt,
                       std::size_t n) {
  if (n < 20) return Match::kNone;
  const std::size_t ihl = static_cast<std::size_t>(pkt[0] & 0x0F) * 4;
  if ((pkt[0] >> 4) != 4 || ihl < 20 || n < ihl + kIcmpHeaderSize || pkt[9] != IPPROTO_ICMP) {
    return Match::kNone;
  }
  IPAddr source;
  std::memcpy(&source, pkt + 12, 4);
  const std::uint8_t* icmp = pkt + ihl;
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
  if (rest < 20) return Match::kNone;
  const std::size_t inner_ihl = static_cast<std::size_t>(inner[0] & 0x0F) * 4;
  if (inner_ihl < 20 || rest < inner_ihl + kIcmpHeaderSize || inner[9] != IPPROTO_ICMP) {
    return Match::kNone;
  }
  IPAddr inner_destination;
  std::memcpy(&inner_destination, inner + 16, 4);
  const std::uint8_t* request = inner + inner_ihl;
  if (inner_destination != probe.destination || request[0] != ICMP_ECHO ||
      Get16(request + 4) != probe.identifier || Get16(request + 6) != probe.sequence) {
    return Match::kNone;
  }
  WriteStatusOnly(probe.reply_buffer, StatusForIcmpError(type, icmp[1]), source);
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
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR ||
        c->cmsg_len < CMSG_LEN(sizeof(sock_extended_err))) {
      continue;
    }
    sock_extended_err err;
    std::memcpy(&err, CMSG_DATA(c), sizeof(err));
    if (err.ee_origin != SO_EE_ORIGIN_ICMP) return Match::kNone;
    IPAddr reporter = 0;
    if (c->cmsg_len >= CMSG_LEN(sizeof(err) + sizeof(sockaddr_in))) {
      sockaddr_in offender;
      std::memcpy(&offender, CMSG_DATA(c) + sizeof(err), sizeof(offender));
      reporter = offender.sin_addr.s_addr;
    }
    WriteStatusOnly(probe.reply_buffer, StatusForIcmpError(err.ee_type, err.ee_code), reporter);
    return Match::kError;
  }
  return Match::kNone;
}

// When a packet reached the socket, on the monotonic clock: the kernel's
// receive time stamp (real-time clock) taken back by its age, so that a packet
// read late is judged by when it came, not by when this thread got to it.
// Without a stamp: now.
std::int64_t ArrivalNs(msghdr& msg) {
  const std::int64_t now = MonotonicNs();
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS ||
        c->cmsg_len < CMSG_LEN(sizeof(timespec))) {
      continue;
    }
    timespec stamp;
    std::memcpy(&stamp, CMSG_DATA(c), sizeof(stamp));
    // A step of the real-time clock cannot make the age negative.
    const std::int64_t age = ClockNs(CLOCK_REALTIME) - Ns(stamp);
    return age > 0 ? now - age : now;
  }
  return now;
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

// Reads everything queued on the socket; stops at the first packet that
// decides the probe. Packets that came after the deadline decide nothing.
Match Drain(int fd, LinuxEchoService::SocketKind kind, const Probe& probe) {
  thread_local std::uint8_t packet[kPacketBufferSize];
  alignas(cmsghdr) char control[512];
  for (int spurious = 0; spurious < 4;) {
    sockaddr_in from{};
    iovec iov{packet, sizeof(packet)};
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
  if (kind != LinuxEchoService::SocketKind::kDatagram) return Match::kNone;
  for (;;) {
    sockaddr_in to{};
    iovec iov{packet, sizeof(packet)};
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

bool SetIntOption(int fd, int level, int name, int value) {
  return setsockopt(fd, level, name, &value, sizeof(value)) == 0;
}

}  // namespace

std::uint16_t InternetChecksum(const std::uint8_t* data, std::size_t size) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < size; i += 2)
    sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
  if (size % 2) sum += static_cast<std::uint32_t>(data[size - 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

IcmpHandle LinuxEchoService::IcmpCreateFile() {
  SocketKind kind = SocketKind::kDatagram;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  const int datagram_errno = fd < 0 ? errno : 0;
  if (fd >= 0) {
    SetIntOption(fd, IPPROTO_IP, IP_RECVTTL, 1);
    SetIntOption(fd, IPPROTO_IP, IP_RECVTOS, 1);
    SetIntOption(fd, IPPROTO_IP, IP_RECVERR, 1);
  } else {
    kind = SocketKind::kRaw;
    fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd >= 0) {
      // Only replies and errors reach us: not our own requests on loopback,
      // nor the rest of the host's ICMP.
      icmp_filter filter{};
      filter.data = ~static_cast<std::uint32_t>(
          (1u << ICMP_ECHOREPLY) | (1u << ICMP_DEST_UNREACH) | (1u << ICMP_TIME_EXCEEDED) |
          (1u << ICMP_PARAMETERPROB) | (1u << ICMP_SOURCE_QUENCH));
      setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof(filter));
    }
  }
  // Receive times decide whether a reply came within the time-out.
  if (fd >= 0) SetIntOption(fd, SOL_SOCKET, SO_TIMESTAMPNS, 1);
  std::lock_guard<std::mutex> lock(mu_);
  if (fd < 0) {
    last_error_ = UnavailableText(datagram_errno, errno);
    return 0;
  }
  last_error_.clear();
  const IcmpHandle handle = next_handle_++;
  channels_[handle] = Channel{fd, kind};
  return handle;
}

bool LinuxEchoService::Lookup(IcmpHandle handle, Channel* channel) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = channels_.find(handle);
  if (it == channels_.end()) return false;
  *channel = it->second;
  return true;
}

LinuxEchoService::SocketKind LinuxEchoService::KindOf(IcmpHandle handle) {
  Channel channel;
  return Lookup(handle, &channel) ? channel.kind : SocketKind::kNone;
}

bool LinuxEchoService::IcmpCloseHandle(IcmpHandle IcmpHandle) {
  int fd;
  {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = channels_.find(IcmpHandle);
    if (it == channels_.end()) return false;
    fd = it->second.fd;
    channels_.erase(it);
  }
  close(fd);
  return true;
}

std::u16string LinuxEchoService::LastErrorText() {
  std::lock_guard<std::mutex> lock(mu_);
  return last_error_;
}

DWORD LinuxEchoService::IcmpSendEcho(IcmpHandle IcmpHandle, IPAddr DestinationAddress,
                                     const void* RequestData, WORD RequestSize,
                                     const IP_OPTION_INFORMATION* RequestOptions, void* ReplyBuffer,
                                     DWORD ReplySize, DWORD Timeout) {
  Channel channel;
  if (!Lookup(IcmpHandle, &channel)) return 0;
  if (ReplyBuffer == nullptr || (RequestData == nullptr && RequestSize > 0) ||
      ReplySize < kEchoReplyHeaderSize + RequestSize + kIcmpHeaderSize) {
    return 0;
  }
  // 0 and the broadcast address are no host: nothing is sent to them.
  if (DestinationAddress == 0 || DestinationAddress == kInaddrNone) {
    WriteStatusOnly(ReplyBuffer, IP_BAD_DESTINATION);
    return 0;
  }

  int ttl = kDefaultTtl, tos = 0;
  if (RequestOptions != nullptr) {
    ttl = RequestOptions->Ttl == 0 ? kDefaultTtl : RequestOptions->Ttl;
    tos = RequestOptions->Tos;
  }
  SetIntOption(channel.fd, IPPROTO_IP, IP_TTL, ttl);
  SetIntOption(channel.fd, IPPROTO_IP, IP_TOS, tos);

  Probe probe{};
  probe.destination = DestinationAddress;
  probe.identifier = static_cast<std::uint16_t>(getpid() & 0xFFFF);
  probe.sequence = g_next_sequence.fetch_add(1, std::memory_order_relaxed);
  probe.reply_buffer = ReplyBuffer;
  probe.reply_size = ReplySize;

  std::uint8_t request[kIcmpHeaderSize + 0xFFFF];
  const std::size_t request_size = kIcmpHeaderSize + RequestSize;
  request[0] = ICMP_ECHO;
  request[1] = 0;
  request[2] = request[3] = 0;
  request[4] = static_cast<std::uint8_t>(probe.identifier >> 8);
  request[5] = static_cast<std::uint8_t>(probe.identifier);
  request[6] = static_cast<std::uint8_t>(probe.sequence >> 8);
  request[7] = static_cast<std::uint8_t>(probe.sequence);
  if (RequestSize > 0) std::memcpy(request + kIcmpHeaderSize, RequestData, RequestSize);
  const std::uint16_t sum = InternetChecksum(request, request_size);
  request[2] = static_cast<std::uint8_t>(sum >> 8);
  request[3] = static_cast<std::uint8_t>(sum);

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = DestinationAddress;
  probe.start_ns = MonotonicNs();
  probe.deadline_ns = probe.start_ns + static_cast<std::int64_t>(Timeout) * 1000000;
  while (sendto(channel.fd, request, request_size, 0, reinterpret_cast<const sockaddr*>(&to),
                sizeof(to)) < 0) {
    if (errno == EINTR) continue;
    WriteStatusOnly(ReplyBuffer, StatusForSendError(errno));
    return 0;
  }

  // The wait should end at the deadline, not a timer wake-up later: sleep
  // until shortly before it, then keep checking without sleeping. What is
  // queued when the deadline has passed is read once more: this thread may have
  // been held up while a reply came in time.
  for (bool last = false; !last;) {
    const std::int64_t remaining = probe.deadline_ns - MonotonicNs();
    last = remaining <= 0;
    if (!last) {
      const std::int64_t sleep = remaining > kSpinNs ? remaining - kSpinNs : 0;
      pollfd pfd{channel.fd, POLLIN, 0};
      const timespec wait{static_cast<time_t>(sleep / 1000000000),
                          static_cast<long>(sleep % 1000000000)};
      const int ready = ppoll(&pfd, 1, &wait, nullptr);
      if (ready < 0 && errno != EINTR) break;
      if (ready <= 0) continue;
    }
    switch (Drain(channel.fd, channel.kind, probe)) {
      case Match::kReply:
        return 1;
      case Match::kError:
        return 0;
      case Match::kNone:
        break;
    }
  }
  WriteStatusOnly(ReplyBuffer, IP_REQ_TIMED_OUT);
  return 0;
}

}  // namespace ps::platform

// What the Linux ICMP and ICMPv6 sockets share: batch sends and receives,
// and the datagram socket's error queue. A family is described by a small
// traits type:
//   using Sockaddr = sockaddr_in;                  // or sockaddr_in6
//   static constexpr int kErrorLevel, kErrorType;  // IPPROTO_IP/IP_RECVERR, ...
//   static constexpr int kTtlType, kTosType;       // at kErrorLevel: IP_TTL/IP_TOS, ...
//   static constexpr std::uint8_t kErrorOrigin;    // SO_EE_ORIGIN_ICMP or _ICMP6
//   static constexpr std::uint8_t kEchoRequest;    // ICMP_ECHO or ICMP6_ECHO_REQUEST
//   static IpAddress Address(const Sockaddr&);
#pragma once

#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
// After time.h: it needs struct timespec.
#include <linux/errqueue.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "platform/link/linux_batch_io.h"
#include "platform/inet/sweep_io.h"

namespace ps::platform::icmp_io {

constexpr std::size_t kBatch = 256;
constexpr std::size_t kIcmpHeader = 8;
// A reply with its longest IP header and kMaxData bytes of data; an error
// quotes the request's headers and as much of its data as fits.
constexpr std::size_t kPacketBuffer = 60 + kIcmpHeader + IcmpMessage::kMaxData;
constexpr std::size_t kControlBuffer = 128;
// Room for a request's TTL and TOS (IPv6: hop limit and traffic class).
constexpr std::size_t kSendControl = 2 * CMSG_SPACE(sizeof(int));
// How long before a precise deadline a wait stops sleeping and polls: timer
// wake-ups can be this late (virtual machines, timer slack).
constexpr std::int64_t kSpinNs = 200000;
constexpr int kReceiveBuffer = 32 << 20;    // a /16 of replies at full speed
constexpr int kSendBuffer = 4 << 20;

inline std::uint16_t Get16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

inline void SetInt(int fd, int level, int name, int value) {
  setsockopt(fd, level, name, &value, sizeof(value));
}

inline void CopyData(IcmpMessage* m, const std::uint8_t* data, std::size_t size) {
  m->data_size = static_cast<std::uint16_t>(std::min(size, IcmpMessage::kMaxData));
  m->cut = m->cut || size > IcmpMessage::kMaxData;
  std::memcpy(m->data.data(), data, m->data_size);
}

// What each socket keeps: its descriptor (closed with it), its kind, the
// receive buffers for ReadQueued, and the identifier of a raw socket's
// requests (random-looking; the kernel owns it on datagram ones). Both kinds
// of receive come down to Read.
class SocketBase : public IcmpSocket {
 public:
  SocketBase(int fd, Kind kind) : fd_(fd), kind_(kind) {
    identifier_ = static_cast<std::uint16_t>((getpid() * 2654435761u) ^
                                             SystemMonotonicClock().NowNs());
  }
  ~SocketBase() override { close(fd_); }

  Kind kind() const override { return kind_; }
  int Receive(std::span<IcmpMessage> out, std::int64_t deadline_ns) override {
    return Read(out, deadline_ns, false);
  }
  int ReceivePrecisely(std::span<IcmpMessage> out, std::int64_t deadline_ns) override {
    return Read(out, deadline_ns, true);
  }

 protected:
  virtual int Read(std::span<IcmpMessage> out, std::int64_t deadline_ns, bool precise) = 0;

  int fd_;
  Kind kind_;
  // Left uninitialised: a socket opened for one probe touches little of them.
  std::unique_ptr<std::uint8_t[]> packets_{new std::uint8_t[kBatch * kPacketBuffer]};
  std::unique_ptr<char[]> controls_{new char[kBatch * kControlBuffer]};
  std::vector<std::uint8_t> send_store_;
  std::uint16_t identifier_;
};

// Large socket buffers: the forced sizes need CAP_NET_ADMIN; otherwise the
// most net.core.{r,w}mem_max allow.
inline void SetBuffers(int fd) {
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof(kReceiveBuffer)) != 0)
    SetInt(fd, SOL_SOCKET, SO_RCVBUF, kReceiveBuffer);
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &kSendBuffer, sizeof(kSendBuffer)) != 0)
    SetInt(fd, SOL_SOCKET, SO_SNDBUF, kSendBuffer);
}

// Asks for the request's TTL and TOS, when it sets them, in `control`
// (kSendControl bytes).
template <class Traits>
void SetSendOptions(const EchoRequest& r, msghdr* msg, char* control) {
  const std::pair<int, std::uint8_t> options[] = {{Traits::kTtlType, r.ttl},
                                                  {Traits::kTosType, r.tos}};
  std::size_t used = 0;
  for (const auto& [type, value] : options) {
    if (value == 0) continue;
    auto* c = reinterpret_cast<cmsghdr*>(control + used);
    c->cmsg_level = Traits::kErrorLevel;
    c->cmsg_type = type;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    const int v = value;
    std::memcpy(CMSG_DATA(c), &v, sizeof(v));
    used += CMSG_SPACE(sizeof(int));
  }
  msg->msg_control = used > 0 ? control : nullptr;
  msg->msg_controllen = used;
}

// Sends `requests` in batches of kBatch, their packets built in `store`;
// `handed_ns` as in IcmpSocket::Send (one stamp a batch).
// fill(request, packet, &to) writes the ICMP header and data (kIcmpHeader +
// request.size bytes) and the destination.
template <class Traits, class Fill>
IcmpSocket::SendResult SendRequests(int fd, std::span<const EchoRequest> requests,
                                    std::span<std::int64_t> handed_ns,
                                    std::vector<std::uint8_t>* store, Fill fill) {
  using Sockaddr = typename Traits::Sockaddr;
  IcmpSocket::SendResult result;
  while (static_cast<std::size_t>(result.sent) < requests.size()) {
    const std::size_t n = std::min(kBatch, requests.size() - result.sent);
    mmsghdr msgs[kBatch];
    iovec iovs[kBatch];
    Sockaddr to[kBatch];
    alignas(cmsghdr) char controls[kBatch][kSendControl];
    std::size_t total = 0;
    for (std::size_t i = 0; i < n; ++i) total += kIcmpHeader + requests[result.sent + i].size;
    store->resize(total);
    std::uint8_t* p = store->data();
    for (std::size_t i = 0; i < n; ++i) {
      const EchoRequest& r = requests[result.sent + i];
      const std::size_t size = kIcmpHeader + r.size;
      fill(r, p, &to[i]);
      iovs[i] = iovec{p, size};
      msgs[i] = mmsghdr{};
      msgs[i].msg_hdr.msg_name = &to[i];
      msgs[i].msg_hdr.msg_namelen = sizeof(to[i]);
      msgs[i].msg_hdr.msg_iov = &iovs[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
      SetSendOptions<Traits>(r, &msgs[i].msg_hdr, controls[i]);
      p += size;
    }
    const std::int64_t handed = handed_ns.empty() ? 0 : SystemMonotonicClock().NowNs();
    const std::size_t done = batch_io::SendAll(fd, msgs, n, &result.error);
    if (!handed_ns.empty())
      std::fill_n(handed_ns.begin() + result.sent, done, handed);
    result.sent += static_cast<int>(done);
    if (done < n) return result;
  }
  return result;
}

// Reads up to min(out.size(), kBatch) queued packets with one recvmmsg into
// `packets` (kBatch * kPacketBuffer bytes) and `controls` (kBatch *
// kControlBuffer). Each gets a cleared message with its receive stamp and TTL;
// parse(packet, size, whole, from, &message) fills in the rest and says
// whether to keep it (`whole`: not cut to the buffer). Returns how many were
// read, or -errno; *kept counts those kept, from out[0].
template <class Sockaddr, class Parse>
int ReadBatch(int fd, std::span<IcmpMessage> out, std::int64_t offset, std::uint8_t* packets,
              char* controls, Parse parse, int* kept) {
  *kept = 0;
  const std::size_t n = std::min(out.size(), kBatch);
  if (n == 0) return 0;
  mmsghdr msgs[kBatch];
  iovec iovs[kBatch];
  Sockaddr from[kBatch];
  for (std::size_t i = 0; i < n; ++i) {
    iovs[i] = iovec{packets + i * kPacketBuffer, kPacketBuffer};
    msgs[i] = mmsghdr{};
    msgs[i].msg_hdr.msg_name = &from[i];
    msgs[i].msg_hdr.msg_namelen = sizeof(from[i]);
    msgs[i].msg_hdr.msg_iov = &iovs[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
    msgs[i].msg_hdr.msg_control = controls + i * kControlBuffer;
    msgs[i].msg_hdr.msg_controllen = kControlBuffer;
  }
  const int r = recvmmsg(fd, msgs, static_cast<unsigned>(n), MSG_DONTWAIT, nullptr);
  if (r < 0) {
    // A pending error reported by an ICMP message is news, not a failure.
    const bool broken = errno == EBADF || errno == ENOTSOCK || errno == EFAULT ||
                        errno == EINVAL || errno == ENOMEM;
    return broken ? -errno : 0;
  }
  const std::int64_t now = SystemMonotonicClock().NowNs();
  for (int i = 0; i < r; ++i) {
    const std::uint8_t* pkt = packets + static_cast<std::size_t>(i) * kPacketBuffer;
    const std::size_t size = std::min<std::size_t>(msgs[i].msg_len, kPacketBuffer);
    IcmpMessage& m = out[static_cast<std::size_t>(*kept)];
    m.ClearHead();
    // The receive stamp, TTL and (IPv4) TOS, from the control data.
    m.received_ns = batch_io::ReceiveStamp(msgs[i].msg_hdr, offset, now, &m.ttl, &m.tos);
    const bool whole = (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) == 0;
    m.cut = !whole;
    if (parse(pkt, size, whole, from[i], &m)) ++*kept;
  }
  return r;
}

// ReadBatch until `out` is full or the queue is drained: a batch that
// dropped packets (another program's, on a raw socket) reads on, so that
// fewer kept than out.size() means nothing more is queued. Only a flood of
// other traffic, kMaxBatches of it, ends a read sooner: the sweep must get to
// send again. Returns how many were kept, or -errno when the first read failed.
template <class Sockaddr, class Parse>
int ReadQueued(int fd, std::span<IcmpMessage> out, std::int64_t offset, std::uint8_t* packets,
               char* controls, Parse parse) {
  constexpr int kMaxBatches = 8;
  int kept = 0;
  for (int batch = 0; batch < kMaxBatches && static_cast<std::size_t>(kept) < out.size(); ++batch) {
    const auto rest = out.subspan(static_cast<std::size_t>(kept));
    int batch_kept = 0;
    const int read = ReadBatch<Sockaddr>(fd, rest, offset, packets, controls, parse, &batch_kept);
    if (read < 0) return kept > 0 ? kept : read;  // a failure shows again on the next read
    kept += batch_kept;
    if (static_cast<std::size_t>(read) < std::min(rest.size(), kBatch)) break;  // drained
  }
  return kept;
}

// Errors about our requests queue separately on a datagram socket: each
// quotes the echo request sent, and says in a sock_extended_err control
// message what came back and (after it) who sent it.
template <class Traits>
int ReadErrorQueue(int fd, std::span<IcmpMessage> out, std::int64_t offset) {
  using Sockaddr = typename Traits::Sockaddr;
  int kept = 0;
  std::uint8_t buf[kPacketBuffer];
  alignas(cmsghdr) char control[512];
  while (static_cast<std::size_t>(kept) < out.size()) {
    Sockaddr to{};
    iovec iov{buf, sizeof(buf)};
    msghdr msg{};
    msg.msg_name = &to;
    msg.msg_namelen = sizeof(to);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    const ssize_t n = recvmsg(fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
    if (n < 0) break;
    const std::size_t size = static_cast<std::size_t>(n);
    if (size < kIcmpHeader || buf[0] != Traits::kEchoRequest) continue;
    IcmpMessage& m = out[static_cast<std::size_t>(kept)];
    m.ClearHead();
    m.received_ns = batch_io::ReceiveStamp(msg, offset, SystemMonotonicClock().NowNs());
    bool found = false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level != Traits::kErrorLevel || c->cmsg_type != Traits::kErrorType ||
          c->cmsg_len < CMSG_LEN(sizeof(sock_extended_err))) {
        continue;
      }
      sock_extended_err err;
      std::memcpy(&err, CMSG_DATA(c), sizeof(err));
      if (err.ee_origin != Traits::kErrorOrigin) break;
      m.type = err.ee_type;
      m.code = err.ee_code;
      if (c->cmsg_len >= CMSG_LEN(sizeof(err) + sizeof(Sockaddr))) {
        Sockaddr offender;
        std::memcpy(&offender, CMSG_DATA(c) + sizeof(err), sizeof(offender));
        m.from = Traits::Address(offender);
      }
      found = true;
    }
    if (!found) continue;
    m.kind = IcmpMessage::Kind::kError;
    m.about = Traits::Address(to);
    m.sequence = Get16(buf + 6);
    CopyData(&m, buf + kIcmpHeader, size - kIcmpHeader);
    ++kept;
  }
  return kept;
}

// WaitForInput that ends at the deadline itself: it sleeps until kSpinNs
// before it, then polls.
inline int WaitPrecisely(int fd, std::int64_t deadline_ns, short* revents) {
  for (;;) {
    const std::int64_t now = SystemMonotonicClock().NowNs();
    const bool last_stretch = deadline_ns - now <= kSpinNs;
    const int ready =
        batch_io::WaitForInput(fd, last_stretch ? now : deadline_ns - kSpinNs, revents);
    if (ready != 0 || (last_stretch && now >= deadline_ns)) return ready;
  }
}

// Waits for input until `deadline_ns` (`precise`: WaitPrecisely), then reads
// the error queue (datagram sockets) and the packets queued. Errors first:
// reading them clears the socket's pending error, which would otherwise fail
// the next plain read.
template <class Traits, class Parse>
int Receive(int fd, IcmpSocket::Kind kind, std::span<IcmpMessage> out, std::int64_t deadline_ns,
            bool precise, std::uint8_t* packets, char* controls, Parse parse) {
  if (out.empty()) return 0;
  short revents = 0;
  const int ready = precise ? WaitPrecisely(fd, deadline_ns, &revents)
                            : batch_io::WaitForInput(fd, deadline_ns, &revents);
  if (ready <= 0) return ready;
  const std::int64_t offset = RealtimeOffsetNs();
  int count = 0;
  if (kind == IcmpSocket::Kind::kDatagram && (revents & POLLERR))
    count = ReadErrorQueue<Traits>(fd, out, offset);
  if (revents & POLLIN) {
    const int read = ReadQueued<typename Traits::Sockaddr>(
        fd, out.subspan(static_cast<std::size_t>(count)), offset, packets, controls, parse);
    if (read < 0) return read;
    count += read;
  }
  return count;
}

}  // namespace ps::platform::icmp_io

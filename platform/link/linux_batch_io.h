// What the Linux batch sockets (ICMP and packet) share: a batch sent with
// sendmmsg, a wait for input until a monotonic deadline, and kernel receive
// time stamps carried over to the monotonic clock.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/clock/monotonic_clock.h"

namespace ps::platform::batch_io {

// Sends msgs[0..n) in as few calls as it can. Returns how many were sent; when
// fewer than n, *error is errno for the first one not sent (a signal stops too).
inline std::size_t SendAll(int fd, mmsghdr* msgs, std::size_t n, int* error) {
  std::size_t done = 0;
  while (done < n) {
    const int r = sendmmsg(fd, msgs + done, static_cast<unsigned>(n - done), 0);
    if (r < 0) {
      *error = errno;
      return done;
    }
    done += static_cast<std::size_t>(r);
  }
  return done;
}

// Waits until `fd` has input or the monotonic clock reaches `deadline_ns`.
// >0 with *revents set when ready; 0 on time-out or a signal; -errno on failure.
inline int WaitForInput(int fd, std::int64_t deadline_ns, short* revents) {
  pollfd pfd{fd, POLLIN, 0};
  const std::int64_t wait =
      std::max<std::int64_t>(deadline_ns - SystemMonotonicClock().NowNs(), 0);
  const timespec ts{static_cast<time_t>(wait / 1000000000), static_cast<long>(wait % 1000000000)};
  const int ready = ppoll(&pfd, 1, &ts, nullptr);
  if (ready < 0) return errno == EINTR ? 0 : -errno;
  *revents = pfd.revents;
  return ready;
}

// The kernel's receive stamp (SO_TIMESTAMPNS) of a message on the monotonic
// clock (`offset` from RealtimeOffsetNs()), never later than `now`, the
// monotonic time read once after the batch was read (a clock read a message
// costs more than the rest of its parsing); `now` when it carries none.
// *ttl, when given, gets the IP_TTL (IPv6: IPV6_HOPLIMIT) control message,
// *tos the IP_TOS one: one walk over the control data.
inline std::int64_t ReceiveStamp(msghdr& msg, std::int64_t offset, std::int64_t now,
                                 std::uint8_t* ttl = nullptr, std::uint8_t* tos = nullptr) {
  std::int64_t when = now;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS &&
        c->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
      timespec stamp;
      std::memcpy(&stamp, CMSG_DATA(c), sizeof(stamp));
      when = std::min(when,
                      static_cast<std::int64_t>(stamp.tv_sec) * 1000000000 + stamp.tv_nsec - offset);
    } else if (ttl != nullptr && c->cmsg_len >= CMSG_LEN(sizeof(int)) &&
               ((c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) ||
                (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_HOPLIMIT))) {
      int v;
      std::memcpy(&v, CMSG_DATA(c), sizeof(v));
      *ttl = static_cast<std::uint8_t>(v);
    } else if (tos != nullptr && c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TOS &&
               c->cmsg_len >= CMSG_LEN(1)) {
      *tos = *CMSG_DATA(c);
    }
  }
  return when;
}

// Reads up to `n` queued messages without waiting: how many, 0 when none is
// queued (or a signal came), or -errno.
inline int ReceiveQueued(int fd, mmsghdr* msgs, std::size_t n) {
  const int r = recvmmsg(fd, msgs, static_cast<unsigned>(n), MSG_DONTWAIT, nullptr);
  if (r >= 0) return r;
  return errno == EAGAIN || errno == EINTR ? 0 : -errno;
}

// A frame a packet socket read that is none of ours to use: our own outgoing
// one (kernels before 4.20 pass them) or one without an Ethernet source.
inline bool NotFromAPeer(const sockaddr_ll& from) {
  return from.sll_pkttype == PACKET_OUTGOING || from.sll_halen != 6;
}

// A non-blocking packet socket for `protocol` (host order) on `ifindex` that
// takes in only what `prepare(fd)` lets through: protocol 0 receives nothing
// until bound, so the filter it attaches (and any receive ring it sets up;
// false fails) is in place before the first frame. Our own
// outgoing frames are left out where the kernel can (Linux 4.20+), and the
// receive buffer is `buffer` bytes (as root past net.core.rmem_max). Returns
// the descriptor, or -errno.
template <class Prepare>
int OpenBoundPacketSocket(int ifindex, std::uint16_t protocol, Prepare prepare, int buffer) {
  const int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -errno;
  sockaddr_ll at{};
  at.sll_family = AF_PACKET;
  at.sll_protocol = htons(protocol);
  at.sll_ifindex = ifindex;
  if (!prepare(fd) || bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof(at)) != 0) {
    const int error = errno;
    close(fd);
    return -error;
  }
  const int one = 1;
  setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof(one));
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof(buffer)) != 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
  return fd;
}

}  // namespace ps::platform::batch_io

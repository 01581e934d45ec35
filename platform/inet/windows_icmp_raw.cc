// A raw IPv4 ICMP socket through Winsock: requests built here with a
// per-socket identifier, replies and errors read from whole IP packets.
#include "platform/inet/checksum.h"
#include "platform/inet/raw_icmp.h"
#include "platform/inet/windows_sweep.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace ps::platform {
namespace {

constexpr std::size_t kIcmpHeader = 8;
constexpr std::size_t kPacketBuffer = 576;  // an error with its quoted request fits
constexpr int kReceiveBuffer = 8 << 20;

int ErrnoOf(int wsa_error) {
  switch (wsa_error) {
    case WSAEACCES:
      return EACCES;
    case WSAENETUNREACH:
      return ENETUNREACH;
    case WSAEHOSTUNREACH:
      return EHOSTUNREACH;
    case WSAEAFNOSUPPORT:
      return EAFNOSUPPORT;
    case WSAEWOULDBLOCK:
      return EAGAIN;
    case WSAENOBUFS:
      return ENOBUFS;
    case WSAEINVAL:
      return EINVAL;
    default:
      return EIO;
  }
}

class WindowsRawIcmpSocket : public IcmpSocket {
 public:
  explicit WindowsRawIcmpSocket(SOCKET s) : socket_(s) {
    identifier_ = static_cast<std::uint16_t>(GetCurrentProcessId() * 2654435761u ^
                                             SystemMonotonicClock().NowNs());
  }
  ~WindowsRawIcmpSocket() override { closesocket(socket_); }

  Kind kind() const override { return Kind::kRaw; }

  SendResult Send(std::span<const EchoRequest> requests) override {
    SendResult result;
    std::uint8_t packet[kIcmpHeader + 0xFFFF];
    for (const EchoRequest& r : requests) {
      const std::size_t size = kIcmpHeader + r.size;
      packet[0] = 8;  // echo request
      packet[1] = 0;
      packet[2] = packet[3] = 0;
      packet[4] = static_cast<std::uint8_t>(identifier_ >> 8);
      packet[5] = static_cast<std::uint8_t>(identifier_);
      packet[6] = static_cast<std::uint8_t>(r.sequence >> 8);
      packet[7] = static_cast<std::uint8_t>(r.sequence);
      if (r.size > 0) std::memcpy(packet + kIcmpHeader, r.data, r.size);
      const std::uint16_t sum = InternetChecksum(packet, size);
      packet[2] = static_cast<std::uint8_t>(sum >> 8);
      packet[3] = static_cast<std::uint8_t>(sum);
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_addr.s_addr = htonl(r.destination.v4());
      if (sendto(socket_, reinterpret_cast<const char*>(packet), static_cast<int>(size), 0,
                 reinterpret_cast<const sockaddr*>(&to), sizeof(to)) == SOCKET_ERROR) {
        result.error = ErrnoOf(WSAGetLastError());
        return result;
      }
      ++result.sent;
    }
    return result;
  }

  int Receive(std::span<IcmpMessage> out, std::int64_t deadline_ns) override {
    if (out.empty()) return 0;
    const int ready = WaitUntil(deadline_ns);
    if (ready <= 0) return ready;
    const std::int64_t now = SystemMonotonicClock().NowNs();
    std::size_t kept = 0;
    std::uint8_t packet[kPacketBuffer];
    while (kept < out.size()) {
      const int n = recv(socket_, reinterpret_cast<char*>(packet), sizeof(packet), 0);
      if (n == SOCKET_ERROR) {
        const int e = WSAGetLastError();
        // WSAEMSGSIZE: cut to the buffer, still worth a look.
        if (e != WSAEMSGSIZE) break;
        Keep(packet, sizeof(packet), false, now, &out[kept], &kept);
        continue;
      }
      Keep(packet, static_cast<std::size_t>(n), true, now, &out[kept], &kept);
    }
    return static_cast<int>(kept);
  }

 private:
  void Keep(const std::uint8_t* packet, std::size_t size, bool whole, std::int64_t now,
            IcmpMessage* m, std::size_t* kept) const {
    *m = IcmpMessage{};
    if (!ParseRawIcmp4(packet, size, whole, identifier_, m)) return;
    m->received_ns = now;  // Winsock gives no receive stamp: the time it was read
    ++*kept;
  }

  // 1 when a packet is queued, 0 at the deadline, -errno on failure.
  int WaitUntil(std::int64_t deadline_ns) {
    for (;;) {
      const std::int64_t left = deadline_ns - SystemMonotonicClock().NowNs();
      WSAPOLLFD pfd{socket_, POLLRDNORM, 0};
      // WSAPoll counts whole milliseconds: round up, so that it never wakes early.
      const int ms = left <= 0 ? 0 : static_cast<int>((left + 999999) / 1000000);
      const int r = WSAPoll(&pfd, 1, ms);
      if (r == SOCKET_ERROR) return -ErrnoOf(WSAGetLastError());
      if (r > 0) return 1;
      if (left <= 0) return 0;
    }
  }

  SOCKET socket_;
  std::uint16_t identifier_;
};

}  // namespace

std::unique_ptr<IcmpSocket> OpenWindowsRawIcmpSocket(int* error) {
  if (!StartWindowsSockets()) {
    *error = EIO;
    return nullptr;
  }
  const SOCKET s = WSASocketW(AF_INET, SOCK_RAW, IPPROTO_ICMP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    const int e = WSAGetLastError();
    *error = e == WSAEACCES || e == WSAEPROTONOSUPPORT || e == WSAESOCKTNOSUPPORT ? EACCES
                                                                                   : ErrnoOf(e);
    return nullptr;
  }
  *error = 0;
  u_long nonblocking = 1;
  ioctlsocket(s, FIONBIO, &nonblocking);
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&kReceiveBuffer),
             sizeof(kReceiveBuffer));
  return std::make_unique<WindowsRawIcmpSocket>(s);
}

}  // namespace ps::platform

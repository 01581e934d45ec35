// TCP probes on Windows. Windows sends no TCP segment over a raw socket (it
// has refused to since XP SP2, administrators included), so the only kind is
// connect(): non-blocking Winsock attempts watched by select(), a bounded
// number in flight, each socket closed the moment its attempt ends or its
// deadline passes, with SO_LINGER 0 (a reset, no FIN exchange, nothing sent).
// select() rather than WSAPoll: before Windows 10 2004 WSAPoll never reported
// a refused connect.
#define FD_SETSIZE 1024
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <vector>

#include "platform/clock/monotonic_clock.h"
#include "platform/inet/windows_sweep.h"

namespace ps::platform {
namespace {

// One select() takes FD_SETSIZE sockets, in flight and watched alike.
constexpr std::size_t kMostInFlight = FD_SETSIZE;

// The errno value of a Winsock error (TcpAnswer::error is an errno).
int ErrnoOf(int wsa) {
  switch (wsa) {
    case WSAENETUNREACH: return ENETUNREACH;
    case WSAEHOSTUNREACH: return EHOSTUNREACH;
    case WSAECONNREFUSED: return ECONNREFUSED;
    case WSAETIMEDOUT: return ETIMEDOUT;
    case WSAEADDRNOTAVAIL: return EADDRNOTAVAIL;
    case WSAENOBUFS: return ENOBUFS;
    case WSAEMFILE: return EMFILE;
    case WSAEACCES: return EACCES;
    case WSAEAFNOSUPPORT: return EAFNOSUPPORT;
    case WSAENETDOWN: return ENETDOWN;
    case 0: return 0;
    default: return EIO;
  }
}

// Failures that say nothing about the destination: out of sockets, ports or
// buffers. The probe waits for attempts in flight to end.
bool Exhausted(int error) {
  return error == EMFILE || error == EADDRNOTAVAIL || error == ENOBUFS;
}

// How a finished attempt ended: 0 connected, else its errno.
int SocketError(SOCKET s) {
  int error = 0;
  int size = sizeof(error);
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0)
    error = WSAGetLastError();
  return ErrnoOf(error);
}

int SockaddrOf(const IpAddress& a, std::uint16_t port, sockaddr_storage* out) {
  std::memset(out, 0, sizeof(*out));
  if (a.is_v4()) {
    auto* sin = reinterpret_cast<sockaddr_in*>(out);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(port);
    sin->sin_addr.s_addr = htonl(a.v4());
    return sizeof(sockaddr_in);
  }
  auto* sin6 = reinterpret_cast<sockaddr_in6*>(out);
  sin6->sin6_family = AF_INET6;
  sin6->sin6_port = htons(port);
  std::memcpy(&sin6->sin6_addr, a.data(), 16);
  return sizeof(sockaddr_in6);
}

class WindowsConnectTcpSocket : public TcpProbeSocket {
 public:
  explicit WindowsConnectTcpSocket(IpAddress::Family family)
      : af_(family == IpAddress::Family::kV4 ? AF_INET : AF_INET6) {}
  ~WindowsConnectTcpSocket() override {
    for (const Attempt& a : open_) closesocket(a.socket);
  }

  Kind kind() const override { return Kind::kConnect; }
  std::uint16_t source_port() const override { return 0; }
  std::optional<IpAddress> Source(const IpAddress&) override { return std::nullopt; }
  std::size_t Room() const override { return open_.size() < bound_ ? bound_ - open_.size() : 0; }
  SendResult Send(std::span<const TcpProbe> probes) override;
  int Receive(std::span<TcpAnswer> out, std::int64_t deadline_ns) override;

 private:
  struct Attempt {
    SOCKET socket;
    TcpProbe probe;
  };

  int Start(const TcpProbe& p);  // 0, or errno when the probe could not go
  void CloseExpired(std::int64_t now);

  int af_;
  std::size_t bound_ = kMostInFlight;
  std::vector<Attempt> open_;      // in send order, so in deadline order
  std::deque<TcpAnswer> settled_;  // attempts that ended at once
};

int WindowsConnectTcpSocket::Start(const TcpProbe& p) {
  const SOCKET s = WSASocketW(af_, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return ErrnoOf(WSAGetLastError());
  u_long non_blocking = 1;
  const linger abort_on_close{1, 0};
  if (ioctlsocket(s, FIONBIO, &non_blocking) != 0 ||
      setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort_on_close),
                 sizeof(abort_on_close)) != 0) {
    const int error = ErrnoOf(WSAGetLastError());
    closesocket(s);
    return error;
  }
  sockaddr_storage to;
  const int size = SockaddrOf(p.destination, p.port, &to);
  const int started = connect(s, reinterpret_cast<sockaddr*>(&to), size);
  if (started == 0 || WSAGetLastError() != WSAEWOULDBLOCK) {
    const int error = started == 0 ? 0 : ErrnoOf(WSAGetLastError());
    closesocket(s);
    if (Exhausted(error)) return error;
    settled_.push_back(ConnectAnswer(p, error, SystemMonotonicClock().NowNs()));
    return 0;
  }
  open_.push_back({s, p});
  return 0;
}

TcpProbeSocket::SendResult WindowsConnectTcpSocket::Send(std::span<const TcpProbe> probes) {
  return SendWithinBound(
      probes, &bound_, [this] { return open_.size(); }, [this](const TcpProbe& p) { return Start(p); },
      Exhausted);
}

void WindowsConnectTcpSocket::CloseExpired(std::int64_t now) {
  const auto live = std::find_if(open_.begin(), open_.end(),
                                 [now](const Attempt& a) { return a.probe.deadline_ns > now; });
  for (auto a = open_.begin(); a != live; ++a) closesocket(a->socket);
  open_.erase(open_.begin(), live);
}

int WindowsConnectTcpSocket::Receive(std::span<TcpAnswer> out, std::int64_t deadline_ns) {
  std::size_t n = 0;
  while (n < out.size() && !settled_.empty()) {
    out[n++] = settled_.front();
    settled_.pop_front();
  }
  CloseExpired(SystemMonotonicClock().NowNs());
  if (n > 0 || out.empty()) return static_cast<int>(n);
  const std::int64_t wait = std::max<std::int64_t>(deadline_ns - SystemMonotonicClock().NowNs(), 0);
  if (open_.empty()) {
    // select() with no socket fails at once on Windows: sleep instead.
    Sleep(static_cast<DWORD>((wait + 999999) / 1000000));
    return 0;
  }
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  for (const Attempt& a : open_) {
    FD_SET(a.socket, &writable);
    FD_SET(a.socket, &failed);  // a refused or unreachable attempt shows here
  }
  timeval timeout{static_cast<long>(wait / 1000000000), static_cast<long>(wait % 1000000000 / 1000)};
  if (select(0, nullptr, &writable, &failed, &timeout) == SOCKET_ERROR)
    return -ErrnoOf(WSAGetLastError());
  const std::int64_t now = SystemMonotonicClock().NowNs();
  std::vector<Attempt> still;
  for (const Attempt& a : open_) {
    const bool done = FD_ISSET(a.socket, &writable) || FD_ISSET(a.socket, &failed);
    if (!done || n == out.size()) {
      still.push_back(a);
      continue;
    }
    out[n++] = ConnectAnswer(a.probe, SocketError(a.socket), now);
    closesocket(a.socket);
  }
  open_ = std::move(still);
  CloseExpired(now);
  return static_cast<int>(n);
}

}  // namespace

Result<std::unique_ptr<TcpProbeSocket>> WindowsTcpOpener::Open(IpAddress::Family family,
                                                              TcpProbeSocket::Kind kind) {
  if (kind == TcpProbeSocket::Kind::kRaw) {
    return Status::Failure("Windows sends no TCP segments over raw sockets", ENOTSUP);
  }
  if (!StartWindowsSockets()) return Status::Failure("Windows Sockets could not be started", EIO);
  return std::unique_ptr<TcpProbeSocket>(std::make_unique<WindowsConnectTcpSocket>(family));
}

}  // namespace ps::platform

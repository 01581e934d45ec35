// connect() probes for users without CAP_NET_RAW: non-blocking attempts
// watched by epoll, a bounded number in flight, each socket closed the moment
// its attempt ends or its deadline passes. Nothing is ever sent on one: a
// connected socket is closed with SO_LINGER 0, so it ends with a reset
// rather than a FIN exchange (no TIME_WAIT left here for each host found, no
// half-closed connection waiting on the far side's program).
#include <errno.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <vector>

#include "platform/clock/monotonic_clock.h"
#include "platform/inet/linux_tcp.h"

namespace ps::platform {
namespace {

constexpr std::size_t kMostInFlight = 16384;
constexpr rlim_t kSpareFiles = 128;  // for the rest of the program (resolver, output)
constexpr std::size_t kEvents = 256;

// Raises the soft limit of open files toward what the attempts need, within
// the hard limit, and says how many attempts may be in flight under it.
std::size_t InFlightBound() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 256;
  const rlim_t wanted = kMostInFlight + kSpareFiles;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  if (limit.rlim_cur == RLIM_INFINITY) return kMostInFlight;
  if (limit.rlim_cur < 2 * kSpareFiles) return std::max<std::size_t>(limit.rlim_cur / 2, 1);
  return std::min<std::size_t>(kMostInFlight, limit.rlim_cur - kSpareFiles);
}

// Failures that say nothing about the destination: out of descriptors,
// local ports or memory. The probe waits for attempts in flight to end.
bool Exhausted(int error) {
  return error == EMFILE || error == ENFILE || error == EADDRNOTAVAIL || error == EAGAIN ||
         error == ENOBUFS || error == ENOMEM;
}

class LinuxConnectTcpSocket : public TcpProbeSocket {
 public:
  LinuxConnectTcpSocket(IpAddress::Family family, int epoll_fd, std::size_t bound)
      : af_(family == IpAddress::Family::kV4 ? AF_INET : AF_INET6), epoll_(epoll_fd), bound_(bound) {}
  ~LinuxConnectTcpSocket() override {
    for (const Attempt& a : slots_)
      if (a.fd >= 0) close(a.fd);
    close(epoll_);
  }

  Kind kind() const override { return Kind::kConnect; }
  std::uint16_t source_port() const override { return 0; }
  std::optional<IpAddress> Source(const IpAddress&) override { return std::nullopt; }
  std::size_t Room() const override { return open_ < bound_ ? bound_ - open_ : 0; }
  SendResult Send(std::span<const TcpProbe> probes) override;
  int Receive(std::span<TcpAnswer> out, std::int64_t deadline_ns) override;

 private:
  struct Attempt {
    int fd = -1;
    std::uint32_t generation = 0;
    TcpProbe probe;
  };
  struct Due {
    std::int64_t deadline_ns;
    std::uint32_t slot;
    std::uint32_t generation;
  };

  int Start(const TcpProbe& p);  // 0, or errno when the probe could not go
  void Close(std::uint32_t slot);
  void CloseExpired(std::int64_t now);

  int af_;
  int epoll_;
  std::size_t bound_;
  std::size_t open_ = 0;
  std::vector<Attempt> slots_;
  std::vector<std::uint32_t> free_;
  std::deque<Due> due_;            // in send order, so in deadline order
  std::deque<TcpAnswer> settled_;  // attempts that ended at once
};

int LinuxConnectTcpSocket::Start(const TcpProbe& p) {
  const int fd = socket(af_, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  const linger abort_on_close{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof(abort_on_close));
  sockaddr_storage to{};
  const socklen_t size = ToSockaddr(p.destination, p.port, &to);
  const int started = connect(fd, reinterpret_cast<sockaddr*>(&to), size);
  if (started == 0 || errno != EINPROGRESS) {
    const int error = started == 0 ? 0 : errno;
    close(fd);
    if (Exhausted(error)) return error;
    settled_.push_back(ConnectAnswer(p, error, SystemMonotonicClock().NowNs()));
    return 0;
  }
  std::uint32_t slot;
  if (!free_.empty()) {
    slot = free_.back();
    free_.pop_back();
  } else {
    slot = static_cast<std::uint32_t>(slots_.size());
    slots_.emplace_back();
  }
  Attempt& a = slots_[slot];
  epoll_event event{};
  event.events = EPOLLOUT;
  event.data.u64 = static_cast<std::uint64_t>(a.generation) << 32 | slot;
  if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
    const int error = errno;
    close(fd);
    free_.push_back(slot);
    return error;
  }
  a.fd = fd;
  a.probe = p;
  ++open_;
  due_.push_back(Due{p.deadline_ns, slot, a.generation});
  return 0;
}

TcpProbeSocket::SendResult LinuxConnectTcpSocket::Send(std::span<const TcpProbe> probes) {
  return SendWithinBound(
      probes, &bound_, [this] { return open_; }, [this](const TcpProbe& p) { return Start(p); },
      Exhausted);
}

void LinuxConnectTcpSocket::Close(std::uint32_t slot) {
  Attempt& a = slots_[slot];
  close(a.fd);  // also leaves the epoll set
  a.fd = -1;
  ++a.generation;
  free_.push_back(slot);
  --open_;
}

void LinuxConnectTcpSocket::CloseExpired(std::int64_t now) {
  while (!due_.empty() && due_.front().deadline_ns <= now) {
    const Due d = due_.front();
    due_.pop_front();
    if (slots_[d.slot].fd >= 0 && slots_[d.slot].generation == d.generation) Close(d.slot);
  }
  // Entries of attempts that ended early need no wake-up.
  while (!due_.empty() && slots_[due_.front().slot].generation != due_.front().generation)
    due_.pop_front();
}

int LinuxConnectTcpSocket::Receive(std::span<TcpAnswer> out, std::int64_t deadline_ns) {
  std::size_t n = 0;
  while (n < out.size() && !settled_.empty()) {
    out[n++] = settled_.front();
    settled_.pop_front();
  }
  CloseExpired(SystemMonotonicClock().NowNs());
  if (n > 0 || out.empty()) return static_cast<int>(n);
  epoll_event events[kEvents];
  const std::int64_t wait =
      std::max<std::int64_t>(deadline_ns - SystemMonotonicClock().NowNs(), 0);
  const timespec timeout{static_cast<time_t>(wait / 1000000000), static_cast<long>(wait % 1000000000)};
  const int ready = epoll_pwait2(epoll_, events, static_cast<int>(std::min(out.size(), kEvents)),
                                 &timeout, nullptr);
  if (ready < 0) return errno == EINTR ? 0 : -errno;
  const std::int64_t now = SystemMonotonicClock().NowNs();
  for (int i = 0; i < ready; ++i) {
    const auto slot = static_cast<std::uint32_t>(events[i].data.u64);
    const auto generation = static_cast<std::uint32_t>(events[i].data.u64 >> 32);
    Attempt& a = slots_[slot];
    if (a.fd < 0 || a.generation != generation) continue;
    int error = 0;
    socklen_t size = sizeof(error);
    if (getsockopt(a.fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    out[n++] = ConnectAnswer(a.probe, error, now);
    Close(slot);
  }
  CloseExpired(now);
  return static_cast<int>(n);
}

}  // namespace

Result<std::unique_ptr<TcpProbeSocket>> OpenLinuxConnectTcp(IpAddress::Family family) {
  const int epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  if (epoll_fd < 0) return Status::Failure("cannot watch connection attempts (epoll)", errno);
  return std::unique_ptr<TcpProbeSocket>(
      std::make_unique<LinuxConnectTcpSocket>(family, epoll_fd, InFlightBound()));
}

}  // namespace ps::platform

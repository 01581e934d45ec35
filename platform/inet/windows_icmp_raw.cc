// A raw IPv4 ICMP socket through Winsock: requests built here with a
// per-socket identifier, replies and errors read from whole IP packets.
//
// Winsock gives no kernel receive time, so a reply read late would be stamped
// late: a reader thread waits on the socket and reads each packet as it
// comes, stamping it then, into a bounded queue that Receive empties. Receive
// also reads the socket itself before it looks at the queue, so that what
// arrived before the call is always handed over (the engine's "drained"
// contract), whether or not the reader has been scheduled yet.
#include "platform/inet/raw_icmp.h"
#include "platform/inet/windows_sweep.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
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
  // Takes `s` (non-blocking), `readable` (signalled by FD_READ) and `stop`.
  WindowsRawIcmpSocket(SOCKET s, WSAEVENT readable, HANDLE stop)
      : socket_(s), readable_(readable), stop_(stop), queue_(kRawIcmpQueued) {
    identifier_ = static_cast<std::uint16_t>(GetCurrentProcessId() * 2654435761u ^
                                             SystemMonotonicClock().NowNs());
  }
  // Stops the reader (waiting in any state) and closes what it was given.
  ~WindowsRawIcmpSocket() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    room_.notify_all();
    SetEvent(stop_);
    if (reader_.joinable()) reader_.join();
    CloseHandle(stop_);
    WSACloseEvent(readable_);
    closesocket(socket_);
  }

  // Throws std::system_error when no thread can be made.
  void StartReader() { reader_ = std::thread([this] { ReadLoop(); }); }

  Kind kind() const override { return Kind::kRaw; }
  // One sendto a request (Winsock has no batch send), each stamped.
  SendResult Send(std::span<const EchoRequest> requests,
                  std::span<std::int64_t> handed_ns) override;
  int Receive(std::span<IcmpMessage> out, std::int64_t deadline_ns) override;

 private:
  void ReadLoop();
  bool ReadQueued();
  void Keep(const std::uint8_t* packet, std::size_t size, bool whole);
  int Take(std::span<IcmpMessage> out);

  const SOCKET socket_;
  const WSAEVENT readable_;
  const HANDLE stop_;
  std::uint16_t identifier_;
  std::mutex mutex_;  // guards what follows, and reading the socket
  std::condition_variable queued_, room_;
  std::vector<IcmpMessage> queue_;  // a ring of count_ messages from head_
  std::size_t head_ = 0, count_ = 0;
  int failure_ = 0;  // errno of a failed read; the reader has ended
  bool stopping_ = false;
  std::thread reader_;
};

IcmpSocket::SendResult WindowsRawIcmpSocket::Send(std::span<const EchoRequest> requests,
                                                   std::span<std::int64_t> handed_ns) {
  SendResult result;
  std::uint8_t packet[kIcmpHeader + 0xFFFF];
  for (const EchoRequest& r : requests) {
    const std::size_t size = WriteEchoRequest4(r, identifier_, packet);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(r.destination.v4());
    if (!handed_ns.empty())
      handed_ns[static_cast<std::size_t>(result.sent)] = SystemMonotonicClock().NowNs();
    if (sendto(socket_, reinterpret_cast<const char*>(packet), static_cast<int>(size), 0,
               reinterpret_cast<const sockaddr*>(&to), sizeof(to)) == SOCKET_ERROR) {
      result.error = ErrnoOf(WSAGetLastError());
      return result;
    }
    ++result.sent;
  }
  return result;
}

int WindowsRawIcmpSocket::Receive(std::span<IcmpMessage> out, std::int64_t deadline_ns) {
  if (out.empty()) return 0;
  std::unique_lock lock(mutex_);
  ReadQueued();
  if (count_ == 0 && failure_ == 0) {
    const std::int64_t left = deadline_ns - SystemMonotonicClock().NowNs();
    if (left > 0) {
      queued_.wait_for(lock, std::chrono::nanoseconds(left),
                       [this] { return count_ > 0 || failure_ != 0; });
    }
    // Woken a little early (the wait counts coarser time), or the reader
    // not yet scheduled: what came is read here.
    ReadQueued();
  }
  if (count_ == 0 && failure_ != 0) return -failure_;
  return Take(out);
}

// Waits for packets (or the stop), reads them as they come; while the queue
// is full it waits for room, leaving packets in the socket's buffer.
void WindowsRawIcmpSocket::ReadLoop() {
  const HANDLE events[2] = {stop_, readable_};
  for (;;) {
    const DWORD woke = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    std::unique_lock lock(mutex_);
    if (stopping_) return;
    if (woke != WAIT_OBJECT_0 + 1) {
      failure_ = EIO;
      queued_.notify_all();
      return;
    }
    // Reset before reading: a packet that comes after the last read sets it
    // again (each read re-arms FD_READ).
    WSAResetEvent(readable_);
    const bool ok = ReadQueued();
    if (count_ > 0 || !ok) queued_.notify_all();
    if (!ok) return;
    room_.wait(lock, [this] { return stopping_ || count_ < queue_.size(); });
    if (stopping_) return;
  }
}

// Reads every packet queued on the socket while the queue has room, each
// stamped as it is read. False (failure_ set) when the socket failed.
// mutex_ held.
bool WindowsRawIcmpSocket::ReadQueued() {
  if (failure_ != 0) return false;
  std::uint8_t packet[kPacketBuffer];
  while (count_ < queue_.size()) {
    const int n = recv(socket_, reinterpret_cast<char*>(packet), sizeof(packet), 0);
    if (n != SOCKET_ERROR) {
      Keep(packet, static_cast<std::size_t>(n), true);
      continue;
    }
    switch (const int e = WSAGetLastError()) {
      case WSAEMSGSIZE:  // cut to the buffer, still worth a look
        Keep(packet, sizeof(packet), false);
        continue;
      case WSAEWOULDBLOCK:
        return true;
      case WSAECONNRESET:
      case WSAENETRESET:
      case WSAEINTR:
        continue;  // about one packet, not the socket
      default:
        failure_ = ErrnoOf(e);
        return false;
    }
  }
  return true;
}

// Queues the packet if it is ours. mutex_ held, the queue not full.
void WindowsRawIcmpSocket::Keep(const std::uint8_t* packet, std::size_t size, bool whole) {
  const std::int64_t now = SystemMonotonicClock().NowNs();
  IcmpMessage& m = queue_[(head_ + count_) % queue_.size()];
  m = IcmpMessage{};
  if (!ParseRawIcmp4(packet, size, whole, identifier_, &m)) return;
  m.received_ns = now;
  ++count_;
}

// Moves queued messages to `out`, oldest first. mutex_ held.
int WindowsRawIcmpSocket::Take(std::span<IcmpMessage> out) {
  const std::size_t n = std::min(out.size(), count_);
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = queue_[head_];
    head_ = (head_ + 1) % queue_.size();
  }
  const bool was_full = count_ == queue_.size();
  count_ -= n;
  if (was_full && n > 0) room_.notify_all();
  return static_cast<int>(n);
}

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
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&kReceiveBuffer),
             sizeof(kReceiveBuffer));
  // FD_READ on the event also makes the socket non-blocking.
  const WSAEVENT readable = WSACreateEvent();
  const HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (readable == WSA_INVALID_EVENT || stop == nullptr ||
      WSAEventSelect(s, readable, FD_READ) == SOCKET_ERROR) {
    *error = ENOBUFS;
    if (stop != nullptr) CloseHandle(stop);
    if (readable != WSA_INVALID_EVENT) WSACloseEvent(readable);
    closesocket(s);
    return nullptr;
  }
  auto socket = std::make_unique<WindowsRawIcmpSocket>(s, readable, stop);
  try {
    socket->StartReader();
  } catch (const std::system_error&) {
    *error = EAGAIN;
    return nullptr;  // the socket's destructor closes the three
  }
  *error = 0;
  return socket;
}

}  // namespace ps::platform

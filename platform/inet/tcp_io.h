// TCP discovery probes under the sweep engine: SYN and ACK segments that the
// engine numbers itself, sent and read over a raw socket (CAP_NET_RAW), or
// plain connect() attempts for users without it. The Linux implementations
// are in linux_tcp_raw.cc and linux_tcp_connect.cc; fakes in sweep_fakes.h.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "core/ip_address.h"
#include "core/status.h"

namespace ps::platform {

inline constexpr std::uint8_t kTcpFin = 0x01;
inline constexpr std::uint8_t kTcpSyn = 0x02;
inline constexpr std::uint8_t kTcpRst = 0x04;
inline constexpr std::uint8_t kTcpAck = 0x10;

// One probe. A raw socket sends one segment from `source` and its own port
// with these flags and numbers; a connect socket starts a connection attempt
// (flags and numbers unused) and abandons it at `deadline_ns`.
struct TcpProbe {
  IpAddress destination;
  IpAddress source;
  std::uint16_t port = 0;  // destination port
  std::uint8_t flags = kTcpSyn;
  std::uint32_t sequence = 0;
  std::uint32_t acknowledgement = 0;
  std::uint64_t tag = 0;         // connect: handed back with the outcome
  std::int64_t deadline_ns = 0;  // connect, on the monotonic clock
};

// What came back. Raw: a segment to the socket's port, as received. Connect:
// how an attempt ended, `from` and `from_port` its destination, `flags`
// kTcpSyn | kTcpAck when it connected, kTcpRst when refused, and `error` the
// errno of any other failure (no route, host unreachable).
struct TcpAnswer {
  IpAddress from;
  IpAddress to;
  std::uint16_t from_port = 0;
  std::uint16_t to_port = 0;
  std::uint8_t flags = 0;
  std::uint8_t ttl = 0;  // raw: of the packet (IPv6: hop limit); 0 when unknown
  std::uint32_t sequence = 0;
  std::uint32_t acknowledgement = 0;
  std::uint64_t tag = 0;
  int error = 0;
  std::int64_t received_ns = 0;  // on the monotonic clock
};

// The answer a connect() attempt's end gives: `error` 0 (connected) or the
// attempt's errno, at `now_ns`. Both backends report through it alike.
inline TcpAnswer ConnectAnswer(const TcpProbe& p, int error, std::int64_t now_ns) {
  TcpAnswer a;
  a.from = p.destination;
  a.from_port = p.port;
  a.tag = p.tag;
  a.received_ns = now_ns;
  if (error == 0) a.flags = kTcpSyn | kTcpAck;
  else if (error == ECONNREFUSED) a.flags = kTcpRst;
  else a.error = error;
  return a;
}

// A socket of one family that sends TCP probes and reads their answers.
// Not thread-safe.
class TcpProbeSocket {
 public:
  enum class Kind { kRaw, kConnect };
  struct SendResult {
    int sent = 0;   // probes handed to the kernel, from the first
    int error = 0;  // when fewer than asked: errno for the first one not sent
  };

  virtual ~TcpProbeSocket() = default;
  virtual Kind kind() const = 0;
  // Raw: the port its segments go from. It is held for the socket's life, so
  // no local socket gets it: an answer meets no socket here, and the kernel
  // resets it (no connection is left half open on the far side). Connect: 0.
  virtual std::uint16_t source_port() const = 0;
  // Raw: the address a segment to `destination` leaves from, as routing
  // chooses it; nullopt when there is no route.
  virtual std::optional<IpAddress> Source(const IpAddress& destination) = 0;
  // How many more probes Send() takes now (connect: attempts in flight are
  // bounded within the file-descriptor limit).
  virtual std::size_t Room() const = 0;
  // Sends the probes in order, in as few system calls as it can. Connect:
  // an attempt that fails at once (refused, no route) is answered, not a
  // send failure.
  virtual SendResult Send(std::span<const TcpProbe> probes) = 0;
  // Waits until an answer is queued or the monotonic clock reaches
  // `deadline_ns` (a signal also ends the wait), then reads up to out.size().
  // Returns how many; 0 on time-out; -errno on a failure. Raw: only segments
  // to source_port() whose checksum holds. Connect: attempts past their
  // deadline are closed here.
  virtual int Receive(std::span<TcpAnswer> out, std::int64_t deadline_ns) = 0;
};

// The Send of a connect() socket, whatever the system: `start(probe)` begins
// one attempt (0, or the errno of why none began) while fewer than *bound
// are in flight (`in_flight()`). When the system runs out of sockets or ports
// (`exhausted(errno)`) with attempts in flight, the bound holds at what it
// has (EAGAIN: the probe waits for them to end); other errors are the
// probe's.
template <class InFlight, class Start, class Exhausted>
TcpProbeSocket::SendResult SendWithinBound(std::span<const TcpProbe> probes, std::size_t* bound,
                                           InFlight in_flight, Start start, Exhausted exhausted) {
  TcpProbeSocket::SendResult result;
  for (const TcpProbe& p : probes) {
    if (in_flight() >= *bound) {
      result.error = EAGAIN;
      return result;
    }
    if (const int error = start(p); error != 0) {
      const std::size_t open = in_flight();
      const bool hold = exhausted(error) && open > 0;
      if (hold) *bound = open;
      result.error = hold ? EAGAIN : error;
      return result;
    }
    ++result.sent;
  }
  return result;
}

// Opens TCP probe sockets. Raw ones need CAP_NET_RAW; connect ones nothing.
class TcpOpener {
 public:
  virtual ~TcpOpener() = default;
  // The socket, or why not (its system_error() EPERM: not allowed).
  virtual Result<std::unique_ptr<TcpProbeSocket>> Open(IpAddress::Family family,
                                                       TcpProbeSocket::Kind kind) = 0;
};

}  // namespace ps::platform

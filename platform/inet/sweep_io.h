// The seam under the sweep engine and the window's echo service: what they
// ask of the operating system's IP layer, as small interfaces. The Linux
// implementations are in linux_icmp_socket.cc, linux_icmp6_socket.cc,
// linux_rtnetlink.cc and linux_sweep_services.cc (TCP probes: tcp_io.h);
// fakes for tests in sweep_fakes.h. Nothing above it calls the OS directly.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/ip_address.h"
#include "core/status.h"
#include "platform/clock/monotonic_clock.h"
#include "platform/link/packet_io.h"
#include "platform/link/privileges.h"
#include "platform/inet/tcp_io.h"

namespace ps::platform {

// One echo request: the socket fills in the type, identifier and checksum.
struct EchoRequest {
  IpAddress destination;
  std::uint16_t sequence = 0;
  const std::uint8_t* data = nullptr;
  std::uint16_t size = 0;
  int scope_id = 0;  // IPv6 link-local and multicast: the interface's index
  std::uint8_t ttl = 0;  // IPv6: hop limit; 0: the system's default
  std::uint8_t tos = 0;  // IPv6: traffic class
  // How long an answer is of use to the caller (0: not said). A backend that
  // holds each request until its answer or a time-out of its own (the
  // Windows echo service) waits no longer than this, a little slack aside.
  std::int64_t answer_wait_ns = 0;
};

// What an ICMP message received says, but for the request's data.
struct IcmpMessageHead {
  enum class Kind : std::uint8_t { kEchoReply, kError };

  Kind kind = Kind::kEchoReply;
  std::uint8_t type = 0;  // ICMP type and code as received (errors: the error's)
  std::uint8_t code = 0;
  std::uint8_t ttl = 0;   // of the packet received (IPv6: hop limit); 0 when unknown
  std::uint8_t tos = 0;   // of the packet received (IPv4); 0 when unknown
  bool dont_fragment = false;  // the packet's DF bit (IPv4 raw sockets; else false)
  IpAddress from;         // sender: the answering host, or the one reporting an error
  IpAddress about;        // the request's destination (replies: equal to `from`)
  int from_scope = 0;     // IPv6: the interface `from` is on when link-local; else 0
  std::uint16_t sequence = 0;  // of the request replied to / reported on
  std::int64_t received_ns = 0;  // kernel receive time, on the monotonic clock
  // Bytes of the request's data carried (at most IcmpMessage::kMaxData).
  std::uint16_t data_size = 0;
  // More data came than was kept: the packet was longer than kMaxData allows
  // (a raw socket could then not check its checksum either).
  bool cut = false;
};

// One ICMP message received: an echo reply, or an error about a request.
struct IcmpMessage : IcmpMessageHead {
  // Enough for every reply whose data a 288-byte echo record can hold.
  static constexpr std::size_t kMaxData = 512;
  // Only the first data_size bytes mean anything, so the rest is left as it
  // was: a sweep's 256 receive messages (148 KB) are not zeroed at start-up,
  // and a receive loop reuses a message without clearing all of it (at a
  // /16's pace that was a sweep's largest copy).
  std::array<std::uint8_t, kMaxData> data;

  IcmpMessage() {}  // user-provided: value-initialising one zeroes no data
  // Every field as in IcmpMessage{} but `data`.
  void ClearHead() { static_cast<IcmpMessageHead&>(*this) = IcmpMessageHead{}; }
};

// An ICMP (IPv4) or ICMPv6 socket. Not thread-safe.
class IcmpSocket {
 public:
  enum class Kind { kDatagram, kRaw };

  struct SendResult {
    int sent = 0;   // requests handed to the kernel, from the first
    int error = 0;  // when sent < requests.size(): errno for requests[sent]
  };

  virtual ~IcmpSocket() = default;
  virtual Kind kind() const = 0;
  // Sends the requests in order, in as few system calls as it can; blocks
  // while the socket's send buffer is full. `handed_ns`, when not empty, has
  // an entry a request: each request sent gets the monotonic time it was
  // handed to the system, read just before the call that carried it (a batch
  // handed over in one call, sendmmsg, shares the stamp read before it), so
  // that no answer can seem to come before it. A round trip counts from it.
  virtual SendResult Send(std::span<const EchoRequest> requests,
                          std::span<std::int64_t> handed_ns) = 0;
  SendResult Send(std::span<const EchoRequest> requests) { return Send(requests, {}); }
  // Waits until a message is queued or the monotonic clock reaches
  // `deadline_ns` (a signal also ends the wait), then reads what is queued, up
  // to out.size() messages. Returns how many; 0 on time-out; -errno on a
  // failure. Packets that are not ICMP replies or errors are dropped here,
  // and reading goes on past them: fewer than out.size() means nothing more
  // was queued (unless a flood of other traffic cut the read short).
  virtual int Receive(std::span<IcmpMessage> out, std::int64_t deadline_ns) = 0;
  // Receive, for a caller that decides at the deadline (a single probe's
  // time-out): a wait that finds nothing ends at `deadline_ns` itself, not a
  // timer wake-up later, at the cost of polling through the last stretch.
  virtual int ReceivePrecisely(std::span<IcmpMessage> out, std::int64_t deadline_ns) {
    return Receive(out, deadline_ns);
  }
};

// What a failure to open a socket or send a request means for the caller.
// The system's own number travels beside it (Status, SendResult::error).
enum class IcmpFailure {
  kNotAllowed,         // the user or program lacks the permission
  kBadDestination,     // no address a request may go to
  kNetUnreachable,
  kHostUnreachable,
  kTooBig,
  kOther,
};
// The meaning of a system error number an ICMP socket gave (each backend
// defines it).
IcmpFailure ClassifyIcmpFailure(int system_error);

// What decides whether this process may open an ICMP socket.
struct IcmpPermissionFacts {
  std::string ping_group_range;  // as in net.ipv4.ping_group_range; "" if unreadable
  unsigned group_id = 0;         // effective group
  std::string group_name;        // "" if unknown
  bool cap_net_raw = false;      // in the effective set
  std::string program_path;      // this program's executable; "" if unknown
  // Whose rules govern the sockets: Linux's (the group range for datagram
  // sockets, CAP_NET_RAW for raw ones) or Windows's (the echo service for
  // anyone, raw sockets for an administrator; cap_net_raw then says whether
  // the process is one).
  enum class Rules { kLinux, kWindows };
  Rules rules = Rules::kLinux;
};

// Opens ICMP sockets of a chosen kind.
class IcmpOpener {
 public:
  virtual ~IcmpOpener() = default;
  virtual IcmpPermissionFacts PermissionFacts() = 0;
  // The socket, or the system's reason (ClassifyIcmpFailure tells "not allowed").
  virtual Result<std::unique_ptr<IcmpSocket>> Open(IpAddress::Family family,
                                                   IcmpSocket::Kind kind) = 0;
  // Why its ICMPv6 sockets cannot gather every answer to one echo request
  // to a multicast group (link-local discovery), or "" when they can.
  virtual std::string MulticastEchoRefusal() { return ""; }
};

// States of a neighbour entry, as bits (the kernel's NUD_* values).
inline constexpr std::uint16_t kNeighbourIncomplete = 0x01;
inline constexpr std::uint16_t kNeighbourReachable = 0x02;
inline constexpr std::uint16_t kNeighbourStale = 0x04;
inline constexpr std::uint16_t kNeighbourDelay = 0x08;
inline constexpr std::uint16_t kNeighbourProbe = 0x10;
inline constexpr std::uint16_t kNeighbourFailed = 0x20;
inline constexpr std::uint16_t kNeighbourNoArp = 0x40;
inline constexpr std::uint16_t kNeighbourPermanent = 0x80;

// One entry of the kernel's neighbour (ARP / NDP) table.
struct Neighbour {
  IpAddress address;
  std::array<std::uint8_t, 6> mac{};
  bool has_mac = false;
  std::uint16_t state = 0;  // kNeighbour* bits
  int ifindex = 0;
  std::uint32_t updated_ms = 0;  // since the entry last changed state
  std::uint32_t users = 0;       // references beyond the table's own
};

// The table's fill across the whole machine (every namespace shares it).
struct NeighbourUsage {
  int entries = 0;
  int limit = 1024;  // the hard limit, gc_thresh3
};

class NeighbourTable {
 public:
  virtual ~NeighbourTable() = default;
  // This network namespace's entries of a family, or why they cannot be read.
  virtual Result<std::vector<Neighbour>> Dump(IpAddress::Family family) = 0;
  // Entries in use and the limit; nullopt when unknown.
  virtual std::optional<NeighbourUsage> Usage(IpAddress::Family family) = 0;
  // Seconds a confirmed entry stays pinned at most (1.5 x base_reachable_time).
  virtual double PinnedSeconds(IpAddress::Family family) = 0;
};

// A directly connected subnet of an interface that is up (IPv4, or IPv6 but
// link-local).
struct ConnectedSubnet {
  IpAddress network;  // masked
  int prefix = 0;
  IpAddress local;    // this machine's address on it
  std::string interface;
  bool loopback = false;
};

// An interface that is up, not loopback, and carries multicast.
struct MulticastLink {
  std::string name;
  int index = 0;
};

class InterfaceTable {
 public:
  virtual ~InterfaceTable() = default;
  virtual std::vector<ConnectedSubnet> ConnectedSubnets() = 0;
  // In index order; empty when none (or unreadable).
  virtual std::vector<MulticastLink> MulticastLinks() { return {}; }
};

// Names through the system's resolver (nsswitch order). Thread-safe.
class Resolver {
 public:
  virtual ~Resolver() = default;
  // Every address of `name`, IPv4 and IPv6, in the resolver's order and
  // without duplicates (an IPv6 link-local one without its interface, which
  // the caller must not probe), or the resolver's reason for none.
  virtual Result<std::vector<IpAddress>> Resolve(const std::string& name) = 0;
  // The name of an address as the system gives it (UTF-8), or "".
  // `scope_id`: for an IPv6 link-local address, the index of the interface
  // it is on; else 0.
  virtual std::string ReverseName(const IpAddress& address, int scope_id) = 0;
};

class UdpOpener;    // udp_io.h
class HttpFetcher;  // platform/http/http_fetch.h

// The implementations a sweep runs over.
struct SweepPlatform {
  MonotonicClock* clock = nullptr;
  IcmpOpener* icmp = nullptr;
  NeighbourTable* neighbours = nullptr;
  InterfaceTable* interfaces = nullptr;
  Resolver* resolver = nullptr;
  PacketNetwork* packets = nullptr;   // null: no ARP
  Privileges* privileges = nullptr;   // null: capabilities are left alone
  TcpOpener* tcp = nullptr;           // null: no TCP probes
  UdpOpener* udp = nullptr;           // null: names from the resolver alone
  HttpFetcher* http = nullptr;        // null: no UPnP descriptions
};

// The process-wide real implementations (each backend defines it).
SweepPlatform SystemSweepPlatform();

// What this system's backend does differently or cannot do, as a section of
// pingsweep-cli's --help ("" when the help says it all already).
std::string SystemHelpSection();

}  // namespace ps::platform

// Fakes of the sweep seam for tests: a clock that moves only when told (or
// when a fake socket waits), a socket over a scripted network, a neighbour
// table that models the kernel's limit, fixed interfaces and names; TCP probe
// sockets over scripted hosts.
#pragma once

#include <cerrno>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/inet/sweep_io.h"
#include "platform/inet/tcp_io.h"

namespace ps::platform {

class FakeMonotonicClock : public MonotonicClock {
 public:
  std::int64_t NowNs() override { return now_ns; }
  std::int64_t now_ns = 1'000'000'000;
};

class FakeNeighbourTable;

// A network of scripted hosts. A request to a host that answers produces a
// reply (its data echoed) after the host's delay; Receive() moves the clock
// forward to the next arrival or to its deadline, whichever is first.
class FakeIcmpSocket : public IcmpSocket {
 public:
  struct Host {
    bool answers = true;
    std::int64_t delay_ns = 1'000'000;
    int ignore_first = 0;   // requests left unanswered before answering
    int duplicates = 0;     // extra copies of each reply
    std::uint8_t ttl = 64;
    std::uint8_t tos = 0;
    bool dont_fragment = false;
    std::optional<std::uint8_t> error_type;  // answer with this ICMP error instead
    std::uint8_t error_code = 0;
    int send_error = 0;     // errno for a send to it
  };
  struct Sent {
    IpAddress destination;
    std::uint16_t sequence;
    std::int64_t at_ns;
    std::vector<std::uint8_t> data;
    std::uint8_t ttl = 0;
    std::uint8_t tos = 0;
  };

  explicit FakeIcmpSocket(FakeMonotonicClock* clock, Kind kind = Kind::kDatagram)
      : clock_(clock), kind_(kind) {}

  void SetHost(const IpAddress& address, Host host) { hosts_[address] = host; }
  // Delivered at m.received_ns.
  void Inject(const IcmpMessage& m) { queue_.emplace(m.received_ns, m); }
  // Requests to on-link hosts take an entry in this table first.
  void set_neighbours(FakeNeighbourTable* table) { neighbours_ = table; }
  // Each request takes this long to hand over (the clock moves on after it
  // goes), as a send call does under Wine.
  void set_send_cost(std::int64_t ns) { send_cost_ns_ = ns; }

  const std::vector<Sent>& sent() const { return sent_; }

  Kind kind() const override { return kind_; }
  using IcmpSocket::Send;
  SendResult Send(std::span<const EchoRequest> requests,
                  std::span<std::int64_t> handed_ns) override;
  int Receive(std::span<IcmpMessage> out, std::int64_t deadline_ns) override;

 private:
  FakeMonotonicClock* clock_;
  Kind kind_;
  std::map<IpAddress, Host> hosts_;
  std::map<IpAddress, int> requests_seen_;
  std::multimap<std::int64_t, IcmpMessage> queue_;
  std::vector<Sent> sent_;
  FakeNeighbourTable* neighbours_ = nullptr;
  std::int64_t send_cost_ns_ = 0;
};

// The kernel's table in miniature: each new destination takes an entry that
// stays held for `pinned_ns`; when `limit` entries are held, a packet to a
// new destination is dropped (counted in dropped()).
class FakeNeighbourTable : public NeighbourTable {
 public:
  FakeNeighbourTable(FakeMonotonicClock* clock, int limit, std::int64_t pinned_ns)
      : clock_(clock), limit_(limit), pinned_ns_(pinned_ns) {}

  // False when the packet to `address` is dropped for lack of an entry.
  bool Admit(const IpAddress& address);
  int dropped() const { return dropped_; }
  int most_held() const { return most_held_; }
  int other_entries = 0;  // held by other namespaces

  Result<std::vector<Neighbour>> Dump(IpAddress::Family family) override;
  std::optional<NeighbourUsage> Usage(IpAddress::Family family) override;
  double PinnedSeconds(IpAddress::Family) override { return pinned_ns_ / 1e9; }

 private:
  int Held();

  FakeMonotonicClock* clock_;
  int limit_;
  std::int64_t pinned_ns_;
  std::map<IpAddress, std::int64_t> created_;
  int dropped_ = 0;
  int most_held_ = 0;
};

// Opens fake sockets over one clock; `allowed` says which kinds may be opened.
class FakeIcmpOpener : public IcmpOpener {
 public:
  Result<std::unique_ptr<IcmpSocket>> Open(IpAddress::Family family,
                                           IcmpSocket::Kind kind) override;
  IcmpPermissionFacts PermissionFacts() override { return facts; }

  bool datagram_allowed = true;
  bool raw_allowed = false;
  bool v6_available = true;  // false: IPv6 sockets fail as on a system without IPv6
  IcmpPermissionFacts facts;
  FakeMonotonicClock* clock = nullptr;
  std::map<IpAddress, FakeIcmpSocket::Host> hosts;  // given to every socket opened
  FakeIcmpSocket* last_opened = nullptr;
  int opened = 0;  // sockets opened so far
};

// Scripted hosts behind a TCP probe socket. Raw: a SYN to an open port gets
// a SYN-ACK, to a closed one a reset (unless the host is silent, or a filter
// before it drops SYNs); an ACK gets a reset; each after the host's delay,
// as a real stack numbers them. Connect: the same as outcomes by tag, and
// the room left under `room` attempts in flight (one ends with its answer
// or its deadline).
class FakeTcpSocket : public TcpProbeSocket {
 public:
  struct Host {
    bool answers = true;
    std::set<std::uint16_t> open;
    bool resets_closed = true;  // closed ports answer a SYN with a reset
    bool drops_syn = false;     // a filter that passes only ACKs
    std::int64_t delay_ns = 1'000'000;
    int ignore_first = 0;    // rounds (by sequence number) left unanswered
    int duplicates = 0;      // extra copies of each answer
    std::uint8_t ttl = 64;
    int connect_error = 0;   // connect: every attempt fails with this errno
  };
  struct Sent {
    TcpProbe probe;
    std::int64_t at_ns;
  };
  static constexpr std::uint16_t kSourcePort = 40000;

  FakeTcpSocket(FakeMonotonicClock* clock, Kind kind, IpAddress local,
                std::size_t room = static_cast<std::size_t>(-1))
      : clock_(clock), kind_(kind), local_(local), room_(room) {}

  void SetHost(const IpAddress& address, Host host) { hosts_[address] = std::move(host); }
  // Delivered at a.received_ns.
  void Inject(const TcpAnswer& a) { queue_.emplace(a.received_ns, a); }
  void set_unroutable(const IpAddress& address) { unroutable_.insert(address); }
  // Every destination probed is also appended here.
  void set_log(std::vector<IpAddress>* log) { log_ = log; }
  const std::vector<Sent>& sent() const { return sent_; }
  std::size_t most_in_flight() const { return most_in_flight_; }

  Kind kind() const override { return kind_; }
  std::uint16_t source_port() const override { return kind_ == Kind::kRaw ? kSourcePort : 0; }
  std::optional<IpAddress> Source(const IpAddress& destination) override;
  std::size_t Room() const override;
  SendResult Send(std::span<const TcpProbe> probes) override;
  int Receive(std::span<TcpAnswer> out, std::int64_t deadline_ns) override;

 private:
  // The host's answer to `p`, if it gives one.
  std::optional<TcpAnswer> AnswerTo(const TcpProbe& p, const Host& h) const;

  FakeMonotonicClock* clock_;
  Kind kind_;
  IpAddress local_;
  std::size_t room_;
  std::map<IpAddress, Host> hosts_;
  std::set<IpAddress> unroutable_;
  std::map<IpAddress, std::set<std::uint16_t>> rounds_seen_;
  std::multimap<std::int64_t, TcpAnswer> queue_;
  std::map<std::pair<std::uint64_t, std::uint16_t>, std::int64_t> in_flight_;  // (tag, port): deadline
  std::size_t most_in_flight_ = 0;
  std::vector<Sent> sent_;
  std::vector<IpAddress>* log_ = nullptr;
};

class FakeTcpOpener : public TcpOpener {
 public:
  Result<std::unique_ptr<TcpProbeSocket>> Open(IpAddress::Family family,
                                               TcpProbeSocket::Kind kind) override;

  bool raw_allowed = false;
  // Why a raw socket is refused: EPERM (no CAP_NET_RAW), or ENOTSUP with
  // `raw_refusal` (a system that has none, as Windows).
  int raw_error = EPERM;
  std::string raw_refusal;
  FakeMonotonicClock* clock = nullptr;
  std::map<IpAddress, FakeTcpSocket::Host> hosts;  // given to every socket opened
  std::vector<TcpProbeSocket::Kind> opened;
  std::vector<IpAddress> probed;  // by every socket opened, in order
};

class FakeInterfaceTable : public InterfaceTable {
 public:
  std::vector<ConnectedSubnet> ConnectedSubnets() override { return subnets; }
  std::vector<MulticastLink> MulticastLinks() override { return links; }
  std::vector<ConnectedSubnet> subnets;
  std::vector<MulticastLink> links;
};

class FakeResolver : public Resolver {
 public:
  Result<std::vector<IpAddress>> Resolve(const std::string& name) override;
  // From `scoped` when it has the address on that scope, else `reverse`.
  std::string ReverseName(const IpAddress& address, int scope_id) override;

  std::map<std::string, std::vector<IpAddress>> forward;
  std::map<IpAddress, std::string> reverse;
  std::map<std::pair<IpAddress, int>, std::string> scoped;
};

}  // namespace ps::platform

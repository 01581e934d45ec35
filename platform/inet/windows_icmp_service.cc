// The system's echo service behind the socket seam, for a process that may not
// open a raw socket: each request is one IcmpSendEcho2 (Icmp6SendEcho2) call
// with its own event and reply buffer, many outstanding at once; Receive
// collects the completed ones as replies or errors. A request that times out
// in the service gives no message: the engine keeps its own deadlines.
// Completions are found by a scan, which may come well after one (only 64
// events can be waited on at once): an answer's time comes from the round
// trip the service measured, not from when the scan found it.
#include "platform/inet/windows_sweep.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <icmpapi.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <vector>

namespace ps::platform {
namespace {

// How long the service waits for each reply when the caller did not say:
// past any deadline the engine keeps, short enough to end soon.
constexpr DWORD kServiceTimeoutMs = 4000;

// The service's wait for a request's reply: the caller's own wait and some
// slack (the service counts from its own send), never more than the
// default. Closing the socket waits out every request still held (Wine's
// IcmpCloseHandle cancels none), so a sweep with a short time-out would
// otherwise end seconds late.
DWORD ServiceWaitMs(std::int64_t answer_wait_ns) {
  if (answer_wait_ns <= 0) return kServiceTimeoutMs;
  const std::int64_t ms = answer_wait_ns / 1000000 + 100;
  return static_cast<DWORD>(std::min<std::int64_t>(ms, kServiceTimeoutMs));
}
constexpr DWORD kReplyRoom = 8 + 40 + 64;  // ICMP error, IP options, slack

// The ICMPv6 reply record (not in mingw-w64's headers): the source address as
// a packed 26-byte IPV6_ADDRESS_EX, the status and round-trip time; the data
// follows the record.
struct Icmp6Reply {
  IPV6_ADDRESS_EX Address;
  ULONG Status;
  unsigned int RoundTripTime;
};

// The ICMP type and code an echo service's status stands for.
bool ErrorOf(ULONG status, bool v6, std::uint8_t* type, std::uint8_t* code) {
  struct Row {
    ULONG status;
    std::uint8_t v4_type, v4_code, v6_type, v6_code;
  };
  static constexpr Row kRows[] = {
      {IP_DEST_NET_UNREACHABLE, 3, 0, 1, 0},  {IP_DEST_HOST_UNREACHABLE, 3, 1, 1, 3},
      {IP_DEST_PROT_UNREACHABLE, 3, 2, 4, 1}, {IP_DEST_PORT_UNREACHABLE, 3, 3, 1, 4},
      {IP_PACKET_TOO_BIG, 3, 4, 2, 0},        {IP_BAD_ROUTE, 3, 5, 1, 0},
      {IP_TTL_EXPIRED_TRANSIT, 11, 0, 3, 0},  {IP_TTL_EXPIRED_REASSEM, 11, 1, 3, 1},
      {IP_PARAM_PROBLEM, 12, 0, 4, 0},        {IP_SOURCE_QUENCH, 4, 0, 4, 0},
  };
  for (const Row& r : kRows) {
    if (r.status != status) continue;
    *type = v6 ? r.v6_type : r.v4_type;
    *code = v6 ? r.v6_code : r.v4_code;
    return true;
  }
  return false;
}

void CopyData(IcmpMessage* m, const void* data, std::size_t size) {
  m->data_size = static_cast<std::uint16_t>(std::min(size, IcmpMessage::kMaxData));
  if (data != nullptr) std::memcpy(m->data.data(), data, m->data_size);
}

// When the answer to a request handed over at `handed_ns` came: the service
// counts the round trip in whole milliseconds from its own send, a little
// after the hand-over, so the answer came before the end of that millisecond
// (or before the scan that found it, if sooner). Never earlier than it came.
std::int64_t ArrivalOf(std::int64_t handed_ns, ULONG round_trip_ms, std::int64_t found_ns) {
  const std::int64_t within = static_cast<std::int64_t>(round_trip_ms) * 1000000 + 999999;
  return std::min(found_ns, handed_ns + within);
}

IpAddress FromV6Words(const USHORT words[8]) {
  std::array<std::uint8_t, 16> bytes;
  std::memcpy(bytes.data(), words, 16);  // already in network order
  return IpAddress::V6(bytes);
}

class EchoServiceSocket : public IcmpSocket {
 public:
  EchoServiceSocket(HANDLE service, bool v6) : service_(service), v6_(v6) {}
  ~EchoServiceSocket() override;

  Kind kind() const override { return Kind::kDatagram; }
  SendResult Send(std::span<const EchoRequest> requests,
                  std::span<std::int64_t> handed_ns) override;
  int Receive(std::span<IcmpMessage> out, std::int64_t deadline_ns) override;

 private:
  struct Pending {
    HANDLE event = nullptr;
    IpAddress destination;
    std::uint16_t sequence = 0;
    std::int64_t handed_ns = 0;  // read just before the service had it
    DWORD wait_ms = kServiceTimeoutMs;  // the service's time-out for it
    std::vector<unsigned char> reply;
  };
  bool Read(const Pending& p, std::int64_t found_ns, IcmpMessage* m) const;
  int Wait(std::int64_t deadline_ns);

  HANDLE service_;
  bool v6_;
  std::deque<Pending> pending_;
};

EchoServiceSocket::~EchoServiceSocket() {
  // The service writes into a request's buffer and signals its event until
  // the request completes. Closing the handle cancels what is outstanding;
  // a request that still has not completed keeps its buffer and event for
  // the rest of the process.
  IcmpCloseHandle(service_);
  for (Pending& p : pending_) {
    if (WaitForSingleObject(p.event, p.wait_ms + 1000) != WAIT_OBJECT_0) {
      new std::vector<unsigned char>(std::move(p.reply));  // left to the service
      continue;
    }
    CloseHandle(p.event);
  }
}

IcmpSocket::SendResult EchoServiceSocket::Send(std::span<const EchoRequest> requests,
                                               std::span<std::int64_t> handed_ns) {
  SendResult result;
  for (const EchoRequest& r : requests) {
    Pending p;
    p.destination = r.destination;
    p.sequence = r.sequence;
    p.reply.resize((v6_ ? sizeof(Icmp6Reply) : sizeof(ICMP_ECHO_REPLY)) + r.size + kReplyRoom);
    p.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (p.event == nullptr) {
      result.error = ENOBUFS;
      return result;
    }
    DWORD rc;
    p.wait_ms = ServiceWaitMs(r.answer_wait_ns);
    p.handed_ns = SystemMonotonicClock().NowNs();
    if (v6_) {
      sockaddr_in6 from{}, to{};
      from.sin6_family = to.sin6_family = AF_INET6;
      std::memcpy(&to.sin6_addr, r.destination.data(), 16);
      to.sin6_scope_id = static_cast<ULONG>(r.scope_id);
      rc = Icmp6SendEcho2(service_, p.event, nullptr, nullptr, &from, &to,
                          const_cast<std::uint8_t*>(r.data), r.size, nullptr, p.reply.data(),
                          static_cast<DWORD>(p.reply.size()), p.wait_ms);
    } else {
      rc = IcmpSendEcho2(service_, p.event, nullptr, nullptr, htonl(r.destination.v4()),
                         const_cast<std::uint8_t*>(r.data), r.size, nullptr, p.reply.data(),
                         static_cast<DWORD>(p.reply.size()), p.wait_ms);
    }
    const DWORD error = GetLastError();
    if (rc == 0 && error != ERROR_IO_PENDING) {
      CloseHandle(p.event);
      result.error = error == ERROR_ACCESS_DENIED ? EACCES
                     : error == ERROR_NOT_SUPPORTED || error == ERROR_CALL_NOT_IMPLEMENTED
                         ? EAFNOSUPPORT
                         : EHOSTUNREACH;
      return result;
    }
    // Completed at once (rc != 0) or later: either way the event is set then.
    if (!handed_ns.empty()) handed_ns[static_cast<std::size_t>(result.sent)] = p.handed_ns;
    pending_.push_back(std::move(p));
    ++result.sent;
  }
  return result;
}

bool EchoServiceSocket::Read(const Pending& p, std::int64_t found_ns, IcmpMessage* m) const {
  *m = IcmpMessage{};
  m->about = p.destination;
  m->sequence = p.sequence;
  ULONG status, round_trip_ms;
  const void* data;
  std::size_t size;
  if (v6_) {
    Icmp6ParseReplies(const_cast<unsigned char*>(p.reply.data()), static_cast<DWORD>(p.reply.size()));
    const auto& r = *reinterpret_cast<const Icmp6Reply*>(p.reply.data());
    status = r.Status;
    round_trip_ms = r.RoundTripTime;
    m->from = FromV6Words(r.Address.sin6_addr);
    data = p.reply.data() + sizeof(Icmp6Reply);
    size = p.reply.size() - sizeof(Icmp6Reply);
  } else {
    IcmpParseReplies(const_cast<unsigned char*>(p.reply.data()), static_cast<DWORD>(p.reply.size()));
    const auto& r = *reinterpret_cast<const ICMP_ECHO_REPLY*>(p.reply.data());
    status = r.Status;
    round_trip_ms = r.RoundTripTime;
    m->from = IpAddress::V4(ntohl(r.Address));
    m->ttl = r.Options.Ttl;
    data = r.Data;
    size = r.DataSize;
  }
  m->received_ns = ArrivalOf(p.handed_ns, round_trip_ms, found_ns);
  if (status == IP_SUCCESS) {
    m->kind = IcmpMessage::Kind::kEchoReply;
    if (v6_) size = std::min<std::size_t>(size, IcmpMessage::kMaxData);
    CopyData(m, data, size);
    m->from = m->about;  // the service answers only for the destination
    return true;
  }
  m->kind = IcmpMessage::Kind::kError;
  return ErrorOf(status, v6_, &m->type, &m->code);  // time-outs: nothing
}

// Waits for the oldest outstanding requests (at most 64 at once: the
// system's limit) until one completes or the deadline passes.
int EchoServiceSocket::Wait(std::int64_t deadline_ns) {
  const std::int64_t left = deadline_ns - SystemMonotonicClock().NowNs();
  const DWORD ms = left <= 0 ? 0 : static_cast<DWORD>((left + 999999) / 1000000);
  if (pending_.empty()) {
    if (ms > 0) Sleep(ms);
    return 0;
  }
  HANDLE events[MAXIMUM_WAIT_OBJECTS];
  const DWORD n = static_cast<DWORD>(std::min<std::size_t>(pending_.size(), MAXIMUM_WAIT_OBJECTS));
  for (DWORD i = 0; i < n; ++i) events[i] = pending_[i].event;
  const DWORD r = WaitForMultipleObjects(n, events, FALSE, ms);
  return r < WAIT_OBJECT_0 + n ? 1 : 0;
}

int EchoServiceSocket::Receive(std::span<IcmpMessage> out, std::int64_t deadline_ns) {
  if (out.empty()) return 0;
  for (;;) {
    std::size_t kept = 0;
    const std::int64_t now = SystemMonotonicClock().NowNs();
    for (auto it = pending_.begin(); it != pending_.end() && kept < out.size();) {
      if (WaitForSingleObject(it->event, 0) != WAIT_OBJECT_0) {
        ++it;
        continue;
      }
      if (Read(*it, now, &out[kept])) ++kept;
      CloseHandle(it->event);
      it = pending_.erase(it);
    }
    if (kept > 0) return static_cast<int>(kept);
    if (SystemMonotonicClock().NowNs() >= deadline_ns) return 0;
    // Completions not among the 64 watched are found by the next scan.
    Wait(std::min(deadline_ns, SystemMonotonicClock().NowNs() + 50000000));
  }
}

}  // namespace

std::unique_ptr<IcmpSocket> OpenWindowsEchoServiceSocket(IpAddress::Family family, int* error) {
  const bool v6 = family == IpAddress::Family::kV6;
  const HANDLE service = v6 ? Icmp6CreateFile() : IcmpCreateFile();
  if (service == INVALID_HANDLE_VALUE || service == nullptr) {
    const DWORD e = GetLastError();
    *error = e == ERROR_ACCESS_DENIED ? EACCES : EAFNOSUPPORT;
    return nullptr;
  }
  *error = 0;
  return std::make_unique<EchoServiceSocket>(service, v6);
}

}  // namespace ps::platform

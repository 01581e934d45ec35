#include "platform/netapi/icmp_echo_service.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>

#include "core/error.h"
#include "platform/inet/icmp_access.h"
#include "platform/netapi/echo_reply.h"

namespace ps::platform {
namespace {

constexpr std::size_t kIcmpHeaderSize = 8;
constexpr std::uint8_t kDefaultTtl = 128;
constexpr std::size_t kMessagesPerRead = 8;
// Reads of what is still queued once the deadline has passed: a flood of
// strangers' packets must not hold the probe.
constexpr int kMaxLateReads = 8;

// ICMP types and codes (RFC 792) that an error about a request carries.
constexpr std::uint8_t kDestUnreachable = 3, kSourceQuench = 4, kTimeExceeded = 11,
                       kParameterProblem = 12;
constexpr std::uint8_t kNetUnreachable = 0, kProtocolUnreachable = 2, kPortUnreachable = 3,
                       kFragmentationNeeded = 4, kSourceRouteFailed = 5,
                       kReassemblyTimeExceeded = 1;

// Each request gets a sequence number no earlier request of this process used
// (for 65536 requests), so a late reply can never pass for a later one.
std::atomic<std::uint16_t> g_next_sequence{1};

IpAddress FromIpAddr(IPAddr address) {
  std::uint8_t b[4];
  std::memcpy(b, &address, 4);  // network order as it lies in memory
  return IpAddress::V4(static_cast<std::uint32_t>(b[0]) << 24 | b[1] << 16 | b[2] << 8 | b[3]);
}

IPAddr ToIpAddr(const IpAddress& address) {
  IPAddr out = 0;
  if (address.is_v4()) std::memcpy(&out, address.data(), 4);
  return out;
}

DWORD StatusForSendFailure(int system_error) {
  switch (ClassifyIcmpFailure(system_error)) {
    case IcmpFailure::kNetUnreachable:
      return IP_DEST_NET_UNREACHABLE;
    case IcmpFailure::kHostUnreachable:
      return IP_DEST_HOST_UNREACHABLE;
    case IcmpFailure::kNotAllowed:
    case IcmpFailure::kBadDestination:
      return IP_BAD_DESTINATION;
    case IcmpFailure::kTooBig:
      return IP_PACKET_TOO_BIG;
    case IcmpFailure::kOther:
      break;
  }
  return IP_GENERAL_FAILURE;
}

DWORD StatusForIcmpError(std::uint8_t type, std::uint8_t code) {
  switch (type) {
    case kDestUnreachable:
      switch (code) {
        case kNetUnreachable:
          return IP_DEST_NET_UNREACHABLE;
        case kProtocolUnreachable:
          return IP_DEST_PROT_UNREACHABLE;
        case kPortUnreachable:
          return IP_DEST_PORT_UNREACHABLE;
        case kFragmentationNeeded:
          return IP_PACKET_TOO_BIG;
        case kSourceRouteFailed:
          return IP_BAD_ROUTE;
        default:
          return IP_DEST_HOST_UNREACHABLE;
      }
    case kTimeExceeded:
      return code == kReassemblyTimeExceeded ? IP_TTL_EXPIRED_REASSEM : IP_TTL_EXPIRED_TRANSIT;
    case kParameterProblem:
      return IP_PARAM_PROBLEM;
    case kSourceQuench:
      return IP_SOURCE_QUENCH;
    default:
      return IP_GENERAL_FAILURE;
  }
}

void WriteFailure(void* reply_buffer, DWORD status, IPAddr reporter = 0) {
  EncodeEchoReplyHeader(FailureHeader(status, reporter), reply_buffer);
}

std::u16string UnavailableText(const IcmpSocketChoice& choice, const IcmpPermissionFacts& facts) {
  std::string text = "ICMP echo requests cannot be sent";
  if (IcmpPermissionDenied(choice)) {
    text += ": this user may open neither an ICMP datagram socket nor a raw socket.";
  } else {
    text += " (ICMP datagram socket: " + choice.datagram.message() +
            "; raw socket: " + choice.raw.message() + ").";
  }
  return FromUtf8(text + "\n\n" + IcmpPermissionFixes(facts));
}

}  // namespace

// One request awaiting its answer.
struct SocketEchoService::Probe {
  IPAddr destination;
  std::uint16_t sequence;
  std::int64_t start_ns;  // just before the send
  std::int64_t deadline_ns;
  void* reply_buffer;
  DWORD reply_size;

  // What `m` decides: nothing, or the result IcmpSendEcho returns, with the
  // reply buffer written.
  std::optional<DWORD> Decide(const IcmpMessage& m) const;
};

std::optional<DWORD> SocketEchoService::Probe::Decide(const IcmpMessage& m) const {
  if (m.received_ns >= deadline_ns || m.cut || m.sequence != sequence ||
      m.about != FromIpAddr(destination)) {
    return std::nullopt;
  }
  if (m.kind == IcmpMessage::Kind::kError) {
    WriteFailure(reply_buffer, StatusForIcmpError(m.type, m.code), ToIpAddr(m.from));
    return 0;
  }
  if (m.from != m.about) return std::nullopt;
  EchoReplyHeader h;
  h.Address = destination;
  h.RoundTripTime =
      static_cast<DWORD>(std::max<std::int64_t>(m.received_ns - start_ns, 0) / 1000000);
  if (kEchoReplyHeaderSize + m.data_size > reply_size) {
    h.Status = IP_BUF_TOO_SMALL;
    EncodeEchoReplyHeader(h, reply_buffer);
    return 0;
  }
  h.Status = IP_SUCCESS;
  h.DataSize = m.data_size;
  h.Data = kEchoReplyHeaderSize;
  // Reply IP options are not passed on.
  h.Options = {m.ttl, m.tos, m.dont_fragment ? IP_FLAG_DF : std::uint8_t{0}, 0,
               kEchoReplyHeaderSize};
  EncodeEchoReplyHeader(h, reply_buffer);
  if (m.data_size > 0) {
    std::memcpy(static_cast<std::uint8_t*>(reply_buffer) + kEchoReplyHeaderSize, m.data.data(),
                m.data_size);
  }
  return 1;
}

SocketEchoService::SocketEchoService(IcmpOpener& opener, MonotonicClock& clock)
    : opener_(opener), clock_(clock) {}

bool SocketEchoService::OpenSocket() {
  std::lock_guard<std::mutex> lock(mu_);
  if (shared_ == nullptr) shared_ = OpenChannelLocked();
  return shared_ != nullptr;
}

std::shared_ptr<SocketEchoService::Channel> SocketEchoService::OpenChannelLocked() {
  IcmpSocketChoice choice = OpenPreferredIcmpSocket(opener_, IpAddress::Family::kV4);
  if (!choice.socket) {
    last_error_ = UnavailableText(choice, opener_.PermissionFacts());
    return nullptr;
  }
  last_error_.clear();
  auto channel = std::make_shared<Channel>();
  channel->socket = std::move(choice.socket);
  return channel;
}

IcmpHandle SocketEchoService::IcmpCreateFile() {
  std::lock_guard<std::mutex> lock(mu_);
  std::shared_ptr<Channel> channel = shared_ != nullptr ? shared_ : OpenChannelLocked();
  if (channel == nullptr) return 0;
  last_error_.clear();
  const IcmpHandle handle = next_handle_++;
  handles_.emplace(handle, std::move(channel));
  return handle;
}

std::shared_ptr<SocketEchoService::Channel> SocketEchoService::ChannelOf(IcmpHandle handle) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = handles_.find(handle);
  return it != handles_.end() ? it->second : nullptr;
}

SocketEchoService::SocketKind SocketEchoService::KindOf(IcmpHandle handle) {
  const std::shared_ptr<Channel> channel = ChannelOf(handle);
  if (channel == nullptr) return SocketKind::kNone;
  return channel->socket->kind() == IcmpSocket::Kind::kRaw ? SocketKind::kRaw
                                                           : SocketKind::kDatagram;
}

bool SocketEchoService::IcmpCloseHandle(IcmpHandle IcmpHandle) {
  std::shared_ptr<Channel> closing;  // its socket closes outside the lock
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = handles_.find(IcmpHandle);
  if (it == handles_.end()) return false;
  closing = std::move(it->second);
  handles_.erase(it);
  return true;
}

std::u16string SocketEchoService::LastErrorText() {
  std::lock_guard<std::mutex> lock(mu_);
  return last_error_;
}

DWORD SocketEchoService::IcmpSendEcho(IcmpHandle IcmpHandle, IPAddr DestinationAddress,
                                      const void* RequestData, WORD RequestSize,
                                      const IP_OPTION_INFORMATION* RequestOptions,
                                      void* ReplyBuffer, DWORD ReplySize, DWORD Timeout) {
  const std::shared_ptr<Channel> channel = ChannelOf(IcmpHandle);
  if (channel == nullptr || ReplyBuffer == nullptr || (RequestData == nullptr && RequestSize > 0) ||
      ReplySize < kEchoReplyHeaderSize + RequestSize + kIcmpHeaderSize) {
    return 0;
  }
  // 0 and the broadcast address are no host: nothing is sent to them.
  if (DestinationAddress == 0 || DestinationAddress == kInaddrNone) {
    WriteFailure(ReplyBuffer, IP_BAD_DESTINATION);
    return 0;
  }
  EchoRequest request;
  request.destination = FromIpAddr(DestinationAddress);
  request.sequence = g_next_sequence.fetch_add(1, std::memory_order_relaxed);
  request.data = static_cast<const std::uint8_t*>(RequestData);
  request.size = RequestSize;
  // TTL 0 asks for the default.
  request.ttl =
      RequestOptions != nullptr && RequestOptions->Ttl != 0 ? RequestOptions->Ttl : kDefaultTtl;
  request.tos = RequestOptions != nullptr ? RequestOptions->Tos : 0;

  std::lock_guard<std::mutex> turn(channel->turn);
  IcmpSocket& socket = *channel->socket;
  const std::int64_t start = clock_.NowNs();
  const IcmpSocket::SendResult sent = socket.Send({&request, 1});
  if (sent.sent != 1) {
    WriteFailure(ReplyBuffer, StatusForSendFailure(sent.error));
    return 0;
  }
  // The wait runs from when the request has gone, so that a thread held up
  // before or in the send does not lose its wait; the round trip still counts
  // from before it.
  const Probe probe{DestinationAddress,
                    request.sequence,
                    start,
                    clock_.NowNs() + static_cast<std::int64_t>(Timeout) * 1000000,
                    ReplyBuffer,
                    ReplySize};
  return Await(socket, probe);
}

// Reads until the probe is decided or its deadline has passed. What is queued
// when the deadline has passed is still read: this thread may have been held
// up while a reply came in time.
DWORD SocketEchoService::Await(IcmpSocket& socket, const Probe& probe) {
  std::array<IcmpMessage, kMessagesPerRead> messages;
  for (int late_reads = 0; late_reads < kMaxLateReads;) {
    const int n = socket.ReceivePrecisely(messages, probe.deadline_ns);
    if (n < 0) break;  // a broken socket: nothing more will come
    for (int i = 0; i < n; ++i) {
      if (const auto result = probe.Decide(messages[static_cast<std::size_t>(i)])) return *result;
    }
    if (clock_.NowNs() >= probe.deadline_ns) {
      if (n == 0) break;
      ++late_reads;
    }
  }
  WriteFailure(probe.reply_buffer, IP_REQ_TIMED_OUT);
  return 0;
}

}  // namespace ps::platform

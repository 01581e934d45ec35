#include <arpa/inet.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/error.h"
#include "platform/inet/checksum.h"
#include "platform/netapi/echo_reply.h"
#include "platform/netapi/linux_echo_receive.h"
#include "platform/netapi/linux_net_services.h"

namespace ps::platform {
namespace {

using linux_echo::Match;
using linux_echo::MonotonicNs;
using linux_echo::Probe;

constexpr std::size_t kIcmpHeaderSize = 8;
constexpr int kDefaultTtl = 128;
// How long before the deadline the wait stops sleeping: timer wake-ups can be
// this late (virtual machines, timer slack).
constexpr std::int64_t kSpinNs = 200000;

// Each request gets a sequence number no earlier request of this process used
// (for 65536 requests), so a late reply can never pass for a later one.
std::atomic<std::uint16_t> g_next_sequence{1};

DWORD StatusForSendError(int err) {
  switch (err) {
    case ENETUNREACH:
      return IP_DEST_NET_UNREACHABLE;
    case EHOSTUNREACH:
      return IP_DEST_HOST_UNREACHABLE;
    case EACCES:
    case EPERM:
    case EINVAL:
      return IP_BAD_DESTINATION;
    case EMSGSIZE:
      return IP_PACKET_TOO_BIG;
    default:
      return IP_GENERAL_FAILURE;
  }
}

// The program's own path, for the setcap line, quoted for the shell when it
// needs to be; a placeholder if unknown.
std::string ProgramPath() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return "<program>";
  const std::string program(path, static_cast<std::size_t>(n));
  if (program.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                "0123456789/._+-") == std::string::npos) {
    return program;
  }
  std::string quoted = "'";
  for (char c : program) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::u16string UnavailableText(int datagram_errno, int raw_errno) {
  const bool denied = (datagram_errno == EACCES || datagram_errno == EPERM) &&
                      (raw_errno == EPERM || raw_errno == EACCES);
  std::string text = "ICMP echo requests cannot be sent";
  if (denied) {
    text += ": this user may open neither an ICMP datagram socket nor a raw socket.";
  } else {
    text += " (ICMP datagram socket: ";
    text += std::strerror(datagram_errno);
    text += "; raw socket: ";
    text += std::strerror(raw_errno);
    text += ").";
  }
  // One fix per line, each a command ready to paste: the group range kept
  // from one start-up to the next and applied now, or the capability.
  const std::string group = std::to_string(getegid());
  const std::string conf = "/etc/sysctl.d/60-pingsweep.conf";
  text +=
      "\n\nTo allow it, either let your group open ICMP datagram sockets (\"0 2147483647\" "
      "allows every group):\n    echo 'net.ipv4.ping_group_range = " +
      group + " " + group + "' | sudo tee " + conf + "\n    sudo sysctl -p " + conf +
      "\nor grant the program CAP_NET_RAW:\n    sudo setcap cap_net_raw+ep " + ProgramPath();
  return FromUtf8(text);
}

bool SetIntOption(int fd, int level, int name, int value) {
  return setsockopt(fd, level, name, &value, sizeof(value)) == 0;
}

void WriteFailure(void* reply_buffer, DWORD status) {
  EncodeEchoReplyHeader(FailureHeader(status), reply_buffer);
}

// The caller's TTL (0 = the default) and TOS for the next send on `fd`.
void ApplyRequestOptions(int fd, const IP_OPTION_INFORMATION* options) {
  int ttl = kDefaultTtl, tos = 0;
  if (options != nullptr) {
    ttl = options->Ttl == 0 ? kDefaultTtl : options->Ttl;
    tos = options->Tos;
  }
  SetIntOption(fd, IPPROTO_IP, IP_TTL, ttl);
  SetIntOption(fd, IPPROTO_IP, IP_TOS, tos);
}

// The ICMP echo request for `probe` carrying `data`, checksummed, into
// `request`; returns its size.
std::size_t BuildRequest(const Probe& probe, const void* data, WORD size, std::uint8_t* request) {
  request[0] = ICMP_ECHO;
  request[1] = 0;
  request[2] = request[3] = 0;
  request[4] = static_cast<std::uint8_t>(probe.identifier >> 8);
  request[5] = static_cast<std::uint8_t>(probe.identifier);
  request[6] = static_cast<std::uint8_t>(probe.sequence >> 8);
  request[7] = static_cast<std::uint8_t>(probe.sequence);
  if (size > 0) std::memcpy(request + kIcmpHeaderSize, data, size);
  const std::size_t request_size = kIcmpHeaderSize + size;
  const std::uint16_t sum = InternetChecksum(request, request_size);
  request[2] = static_cast<std::uint8_t>(sum >> 8);
  request[3] = static_cast<std::uint8_t>(sum);
  return request_size;
}

// Sends the request, retrying on EINTR; 0 or the status for the failure.
DWORD SendRequest(int fd, IPAddr destination, const std::uint8_t* request, std::size_t size) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = destination;
  while (sendto(fd, request, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) < 0) {
    if (errno != EINTR) return StatusForSendError(errno);
  }
  return IP_SUCCESS;
}

// Waits until the probe is decided or its deadline passes. The wait should end
// at the deadline, not a timer wake-up later: sleep until shortly before it,
// then keep checking without sleeping. What is queued when the deadline has
// passed is read once more: this thread may have been held up while a reply
// came in time.
Match AwaitAnswer(int fd, LinuxEchoService::SocketKind kind, const Probe& probe) {
  for (bool last = false; !last;) {
    const std::int64_t remaining = probe.deadline_ns - MonotonicNs();
    last = remaining <= 0;
    if (!last) {
      const std::int64_t sleep = remaining > kSpinNs ? remaining - kSpinNs : 0;
      pollfd pfd{fd, POLLIN, 0};
      const timespec wait{static_cast<time_t>(sleep / 1000000000),
                          static_cast<long>(sleep % 1000000000)};
      const int ready = ppoll(&pfd, 1, &wait, nullptr);
      if (ready < 0 && errno != EINTR) break;
      if (ready <= 0) continue;
    }
    const Match m = linux_echo::Drain(fd, kind, probe);
    if (m != Match::kNone) return m;
  }
  return Match::kNone;
}

}  // namespace

IcmpHandle LinuxEchoService::IcmpCreateFile() {
  SocketKind kind = SocketKind::kDatagram;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  const int datagram_errno = fd < 0 ? errno : 0;
  if (fd >= 0) {
    SetIntOption(fd, IPPROTO_IP, IP_RECVTTL, 1);
    SetIntOption(fd, IPPROTO_IP, IP_RECVTOS, 1);
    SetIntOption(fd, IPPROTO_IP, IP_RECVERR, 1);
  } else {
    kind = SocketKind::kRaw;
    fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd >= 0) {
      // Only replies and errors reach us: not our own requests on loopback,
      // nor the rest of the host's ICMP.
      icmp_filter filter{};
      filter.data = ~static_cast<std::uint32_t>(
          (1u << ICMP_ECHOREPLY) | (1u << ICMP_DEST_UNREACH) | (1u << ICMP_TIME_EXCEEDED) |
          (1u << ICMP_PARAMETERPROB) | (1u << ICMP_SOURCE_QUENCH));
      setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof(filter));
    }
  }
  // Receive times decide whether a reply came within the time-out.
  if (fd >= 0) SetIntOption(fd, SOL_SOCKET, SO_TIMESTAMPNS, 1);
  std::lock_guard<std::mutex> lock(mu_);
  if (fd < 0) {
    last_error_ = UnavailableText(datagram_errno, errno);
    return 0;
  }
  last_error_.clear();
  const IcmpHandle handle = next_handle_++;
  channels_[handle] = Channel{fd, kind};
  return handle;
}

bool LinuxEchoService::Lookup(IcmpHandle handle, Channel* channel) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = channels_.find(handle);
  if (it == channels_.end()) return false;
  *channel = it->second;
  return true;
}

LinuxEchoService::SocketKind LinuxEchoService::KindOf(IcmpHandle handle) {
  Channel channel;
  return Lookup(handle, &channel) ? channel.kind : SocketKind::kNone;
}

bool LinuxEchoService::IcmpCloseHandle(IcmpHandle IcmpHandle) {
  int fd;
  {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = channels_.find(IcmpHandle);
    if (it == channels_.end()) return false;
    fd = it->second.fd;
    channels_.erase(it);
  }
  close(fd);
  return true;
}

std::u16string LinuxEchoService::LastErrorText() {
  std::lock_guard<std::mutex> lock(mu_);
  return last_error_;
}

DWORD LinuxEchoService::IcmpSendEcho(IcmpHandle IcmpHandle, IPAddr DestinationAddress,
                                     const void* RequestData, WORD RequestSize,
                                     const IP_OPTION_INFORMATION* RequestOptions, void* ReplyBuffer,
                                     DWORD ReplySize, DWORD Timeout) {
  Channel channel;
  if (!Lookup(IcmpHandle, &channel)) return 0;
  if (ReplyBuffer == nullptr || (RequestData == nullptr && RequestSize > 0) ||
      ReplySize < kEchoReplyHeaderSize + RequestSize + kIcmpHeaderSize) {
    return 0;
  }
  // 0 and the broadcast address are no host: nothing is sent to them.
  if (DestinationAddress == 0 || DestinationAddress == kInaddrNone) {
    WriteFailure(ReplyBuffer, IP_BAD_DESTINATION);
    return 0;
  }
  ApplyRequestOptions(channel.fd, RequestOptions);

  Probe probe{};
  probe.destination = DestinationAddress;
  probe.identifier = static_cast<std::uint16_t>(getpid() & 0xFFFF);
  probe.sequence = g_next_sequence.fetch_add(1, std::memory_order_relaxed);
  probe.reply_buffer = ReplyBuffer;
  probe.reply_size = ReplySize;
  std::uint8_t request[kIcmpHeaderSize + 0xFFFF];
  const std::size_t request_size = BuildRequest(probe, RequestData, RequestSize, request);

  probe.start_ns = MonotonicNs();
  probe.deadline_ns = probe.start_ns + static_cast<std::int64_t>(Timeout) * 1000000;
  const DWORD send_status = SendRequest(channel.fd, DestinationAddress, request, request_size);
  if (send_status != IP_SUCCESS) {
    WriteFailure(ReplyBuffer, send_status);
    return 0;
  }
  switch (AwaitAnswer(channel.fd, channel.kind, probe)) {
    case Match::kReply:
      return 1;
    case Match::kError:
      return 0;
    case Match::kNone:
      break;
  }
  WriteFailure(ReplyBuffer, IP_REQ_TIMED_OUT);
  return 0;
}

}  // namespace ps::platform

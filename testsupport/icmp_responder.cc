#include "testsupport/icmp_responder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "platform/clock/monotonic_clock.h"
#include "platform/inet/checksum.h"

namespace ps::testing {
namespace {

std::int64_t NowNs() { return platform::SystemMonotonicClock().NowNs(); }

constexpr std::uint8_t kIcmpEchoReply = 0;
constexpr std::uint8_t kIcmpDestUnreachable = 3;
constexpr std::uint8_t kIcmpHostUnreachable = 1;
constexpr std::uint8_t kIcmpEchoRequest = 8;
constexpr std::size_t kIcmpHeaderSize = 8;
constexpr std::size_t kIpHeaderSize = 20;
constexpr std::uint8_t kReplyTtl = 64;

struct PendingReply {
  std::int64_t due_ns;
  std::vector<std::uint8_t> packet;  // full IP packet
  sockaddr_in to;
};

// How long poll may sleep: until the next reply is due, or for ever.
int PollTimeoutMs(const std::vector<PendingReply>& pending) {
  if (pending.empty()) return -1;
  std::int64_t next = pending.front().due_ns;
  for (const auto& p : pending) next = std::min(next, p.due_ns);
  const std::int64_t wait = next - NowNs();
  return wait <= 0 ? 0 : static_cast<int>((wait + 999999) / 1000000);
}

// Fills in the checksum of an ICMP message; a wrong one when `bad`.
void SetChecksum(std::vector<std::uint8_t>& icmp, bool bad) {
  icmp[2] = icmp[3] = 0;
  const std::uint16_t sum = platform::InternetChecksum(icmp.data(), icmp.size()) ^ (bad ? 1 : 0);
  icmp[2] = static_cast<std::uint8_t>(sum >> 8);
  icmp[3] = static_cast<std::uint8_t>(sum);
}

// The answer to the echo request in `packet` (IP header at the start, ICMP
// from `ihl`): its echo reply (identifier and sequence kept), carrying the
// behaviour's data or the request's own, or a "host unreachable" quoting it.
std::vector<std::uint8_t> AnswerMessage(const std::uint8_t* packet, std::size_t ihl,
                                        std::size_t n, const IcmpResponder::Behaviour& behaviour) {
  const std::uint8_t* request = packet + ihl;
  std::vector<std::uint8_t> icmp;
  if (behaviour.unreachable) {
    icmp = {kIcmpDestUnreachable, kIcmpHostUnreachable, 0, 0, 0, 0, 0, 0};
    icmp.insert(icmp.end(), packet, request + kIcmpHeaderSize);
  } else {
    icmp.assign(request, request + kIcmpHeaderSize);
    icmp[0] = kIcmpEchoReply;
    if (behaviour.data) {
      icmp.insert(icmp.end(), behaviour.data->begin(), behaviour.data->end());
    } else {
      icmp.insert(icmp.end(), request + kIcmpHeaderSize, packet + n);
    }
  }
  SetChecksum(icmp, behaviour.bad_checksum);
  return icmp;
}

// `icmp` in an IP packet from `source` to `destination` (network order).
std::vector<std::uint8_t> IpPacket(std::uint32_t source, std::uint32_t destination,
                                   const std::vector<std::uint8_t>& icmp) {
  std::vector<std::uint8_t> packet(kIpHeaderSize, 0);
  packet[0] = 0x45;  // version 4, 20-byte header
  packet[8] = kReplyTtl;
  packet[9] = IPPROTO_ICMP;
  std::memcpy(&packet[12], &source, 4);
  std::memcpy(&packet[16], &destination, 4);
  packet.insert(packet.end(), icmp.begin(), icmp.end());
  const std::size_t total = packet.size();
  packet[2] = static_cast<std::uint8_t>(total >> 8);
  packet[3] = static_cast<std::uint8_t>(total);
  return packet;
}

// Sends the replies whose time has come; returns how many.
int SendDue(int fd, std::vector<PendingReply>* pending) {
  const std::int64_t now = NowNs();
  int sent = 0;
  for (auto it = pending->begin(); it != pending->end();) {
    if (it->due_ns <= now) {
      sendto(fd, it->packet.data(), it->packet.size(), 0,
             reinterpret_cast<const sockaddr*>(&it->to), sizeof(it->to));
      ++sent;
      it = pending->erase(it);
    } else {
      ++it;
    }
  }
  return sent;
}

}  // namespace

IcmpResponder::IcmpResponder() {
  fd_ = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd_ < 0) return;
  const int on = 1;
  // We write the IP header ourselves, so the reply's source is the address asked.
  setsockopt(fd_, IPPROTO_IP, IP_HDRINCL, &on, sizeof(on));
  if (pipe2(wake_, O_CLOEXEC) != 0) {
    close(fd_);
    fd_ = -1;
    return;
  }
  thread_ = std::thread([this] { Run(); });
}

IcmpResponder::~IcmpResponder() {
  if (thread_.joinable()) {
    const char stop = 'x';
    (void)!write(wake_[1], &stop, 1);
    thread_.join();
  }
  for (int fd : {fd_, wake_[0], wake_[1]}) {
    if (fd >= 0) close(fd);
  }
}

void IcmpResponder::Answer(const std::string& address, Behaviour behaviour) {
  in_addr a{};
  inet_pton(AF_INET, address.c_str(), &a);
  std::lock_guard<std::mutex> lock(mu_);
  behaviours_[a.s_addr] = std::move(behaviour);
}

bool IcmpResponder::WaitForReplies(int count, int timeout_ms) const {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (replies_sent_.load() < count) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::optional<IcmpResponder::Behaviour> IcmpResponder::BehaviourFor(std::uint32_t address) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = behaviours_.find(address);
  if (it == behaviours_.end()) return std::nullopt;
  return it->second;
}

std::optional<IcmpResponder::Reply> IcmpResponder::ReplyTo(const std::uint8_t* packet,
                                                           std::size_t n) {
  if (n < kIpHeaderSize) return std::nullopt;
  const std::size_t ihl = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
  if (n < ihl + kIcmpHeaderSize || packet[ihl] != kIcmpEchoRequest) return std::nullopt;
  std::uint32_t asker, asked;
  std::memcpy(&asker, packet + 12, 4);
  std::memcpy(&asked, packet + 16, 4);
  const std::optional<Behaviour> behaviour = BehaviourFor(asked);
  if (!behaviour) return std::nullopt;
  ++requests_seen_;
  std::uint32_t source = asked;
  if (!behaviour->from.empty()) inet_pton(AF_INET, behaviour->from.c_str(), &source);
  Reply reply;
  reply.delay_ms = behaviour->delay_ms;
  reply.to = asker;
  reply.packet = IpPacket(source, asker, AnswerMessage(packet, ihl, n, *behaviour));
  return reply;
}

void IcmpResponder::Run() {
  std::vector<PendingReply> pending;
  std::vector<std::uint8_t> buf(65536);
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    poll(fds, 2, PollTimeoutMs(pending));
    if (fds[1].revents != 0) return;
    if (fds[0].revents & POLLIN) {
      const ssize_t n = recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
      if (n > 0) {
        if (std::optional<Reply> reply = ReplyTo(buf.data(), static_cast<std::size_t>(n))) {
          sockaddr_in to{};
          to.sin_family = AF_INET;
          to.sin_addr.s_addr = reply->to;
          pending.push_back(
              {NowNs() + std::int64_t{reply->delay_ms} * 1000000, std::move(reply->packet), to});
        }
      }
    }
    replies_sent_ += SendDue(fd_, &pending);
  }
}

}  // namespace ps::testing

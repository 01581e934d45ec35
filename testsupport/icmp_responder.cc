#include "testsupport/icmp_responder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "platform/net/linux_net_services.h"

namespace ps::testing {
namespace {

std::int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct PendingReply {
  std::int64_t due_ns;
  std::vector<std::uint8_t> packet;  // full IP packet
  sockaddr_in to;
};

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

void IcmpResponder::Run() {
  std::vector<PendingReply> pending;
  std::uint8_t buf[65536];
  for (;;) {
    int timeout_ms = -1;
    if (!pending.empty()) {
      std::int64_t next = pending.front().due_ns;
      for (const auto& p : pending) next = std::min(next, p.due_ns);
      const std::int64_t wait = next - NowNs();
      timeout_ms = wait <= 0 ? 0 : static_cast<int>((wait + 999999) / 1000000);
    }
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    poll(fds, 2, timeout_ms);
    if (fds[1].revents != 0) return;
    if (fds[0].revents & POLLIN) {
      const ssize_t n = recv(fd_, buf, sizeof(buf), MSG_DONTWAIT);
      const std::size_t ihl = n >= 20 ? static_cast<std::size_t>(buf[0] & 0x0F) * 4 : 0;
      if (n >= 20 && static_cast<std::size_t>(n) >= ihl + 8 && buf[ihl] == 8 /* echo request */) {
        std::uint32_t src, dst;
        std::memcpy(&src, buf + 12, 4);
        std::memcpy(&dst, buf + 16, 4);
        Behaviour behaviour;
        bool known;
        {
          std::lock_guard<std::mutex> lock(mu_);
          const auto it = behaviours_.find(dst);
          known = it != behaviours_.end();
          if (known) behaviour = it->second;
        }
        if (known) {
          ++requests_seen_;
          const std::uint8_t* request = buf + ihl;
          const std::size_t request_size = static_cast<std::size_t>(n) - ihl;
          std::vector<std::uint8_t> icmp(request, request + 8);
          if (behaviour.data) {
            icmp.insert(icmp.end(), behaviour.data->begin(), behaviour.data->end());
          } else {
            icmp.insert(icmp.end(), request + 8, request + request_size);
          }
          icmp[0] = 0;  // echo reply; identifier and sequence as asked
          icmp[2] = icmp[3] = 0;
          const std::uint16_t sum = platform::InternetChecksum(icmp.data(), icmp.size());
          icmp[2] = static_cast<std::uint8_t>(sum >> 8);
          icmp[3] = static_cast<std::uint8_t>(sum);
          std::vector<std::uint8_t> packet(20, 0);
          packet[0] = 0x45;
          packet[8] = 64;  // TTL
          packet[9] = IPPROTO_ICMP;
          std::uint32_t source = dst;
          if (!behaviour.from.empty()) inet_pton(AF_INET, behaviour.from.c_str(), &source);
          std::memcpy(&packet[12], &source, 4);
          std::memcpy(&packet[16], &src, 4);
          packet.insert(packet.end(), icmp.begin(), icmp.end());
          const std::size_t total = packet.size();
          packet[2] = static_cast<std::uint8_t>(total >> 8);
          packet[3] = static_cast<std::uint8_t>(total);
          sockaddr_in to{};
          to.sin_family = AF_INET;
          to.sin_addr.s_addr = src;
          pending.push_back(
              {NowNs() + std::int64_t{behaviour.delay_ms} * 1000000, std::move(packet), to});
        }
      }
    }
    const std::int64_t now = NowNs();
    for (auto it = pending.begin(); it != pending.end();) {
      if (it->due_ns <= now) {
        sendto(fd_, it->packet.data(), it->packet.size(), 0,
               reinterpret_cast<const sockaddr*>(&it->to), sizeof(it->to));
        ++replies_sent_;
        it = pending.erase(it);
      } else {
        ++it;
      }
    }
  }
}

}  // namespace ps::testing

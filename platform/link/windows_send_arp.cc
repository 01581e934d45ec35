#include "platform/link/windows_send_arp.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace ps::platform {
namespace {

constexpr std::size_t kArpSize = 28;

std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

void Put32(std::uint32_t v, std::uint8_t* p) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// The reply `target` (at `mac`) would send to the asker.
IncomingFrame ReplyFrame(std::uint32_t target, const MacAddress& mac, std::uint32_t asker,
                         const MacAddress& asker_mac, std::int64_t now) {
  static constexpr std::uint8_t kHeader[8] = {0, 1, 0x08, 0, 6, 4, 0, 2};  // Ethernet/IPv4, reply
  IncomingFrame f;
  f.source = mac;
  f.to_us = true;
  f.received_ns = now;
  f.size = kArpSize;
  std::uint8_t* d = f.data.data();
  std::memcpy(d, kHeader, 8);
  std::memcpy(d + 8, mac.octets.data(), 6);
  Put32(target, d + 14);
  std::memcpy(d + 18, asker_mac.octets.data(), 6);
  Put32(asker, d + 24);
  return f;
}

}  // namespace

SendArpSocket::SendArpSocket(Resolve resolve, MonotonicClock* clock, int workers)
    : resolve_(std::move(resolve)), clock_(clock), idle_(workers) {
  for (int i = 0; i < workers; ++i) workers_.emplace_back([this] { Work(); });
}

SendArpSocket::~SendArpSocket() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    jobs_.clear();
  }
  work_ready_.notify_all();
  for (std::thread& t : workers_) t.join();
}

void SendArpSocket::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    work_ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (stopping_) return;
    const Job job = jobs_.front();
    jobs_.pop_front();
    --idle_;
    lock.unlock();
    MacAddress mac;
    const bool found = resolve_(job.target, job.source, &mac);
    const std::int64_t now = clock_->NowNs();
    lock.lock();
    ++idle_;
    busy_.erase(job.target);
    if (found) {
      answers_.push_back(ReplyFrame(job.target, mac, job.source, job.source_mac, now));
      answer_ready_.notify_all();
    }
  }
}

PacketSocket::SendResult SendArpSocket::Send(std::span<const OutgoingFrame> frames) {
  SendResult result;
  std::lock_guard lock(mutex_);
  for (const OutgoingFrame& f : frames) {
    const bool request = f.data != nullptr && f.size >= kArpSize && f.data[6] == 0 && f.data[7] == 1;
    if (request && busy_.count(Get32(f.data + 24)) == 0) {
      if (static_cast<std::size_t>(idle_) <= jobs_.size()) {
        result.error = EAGAIN;
        break;
      }
      Job job{Get32(f.data + 24), Get32(f.data + 14), {}};
      std::memcpy(job.source_mac.octets.data(), f.data + 8, 6);
      busy_.insert(job.target);
      jobs_.push_back(job);
      work_ready_.notify_one();
    }
    ++result.sent;
  }
  return result;
}

Result<std::size_t> SendArpSocket::Receive(std::span<IncomingFrame> out, std::int64_t deadline_ns) {
  std::unique_lock lock(mutex_);
  const std::int64_t wait = std::max<std::int64_t>(deadline_ns - clock_->NowNs(), 0);
  answer_ready_.wait_for(lock, std::chrono::nanoseconds(wait), [this] { return !answers_.empty(); });
  std::size_t n = 0;
  while (n < out.size() && !answers_.empty()) {
    out[n++] = answers_.front();
    answers_.pop_front();
  }
  return n;
}

}  // namespace ps::platform

// A first-in first-out queue of host indices, kept as runs of consecutive
// ones. A sweep queues every target in order when it starts: one entry an
// index, a /16's queue was 512 allocations and 64 fresh pages; as runs it is
// one entry. Retries and the like, queued one at a time, cost as before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>

namespace ps::sweep {

class IndexQueue {
 public:
  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }
  // Not empty().
  std::uint32_t front() const { return runs_.front().first; }
  void pop_front() {
    Run& run = runs_.front();
    if (run.first == run.last) {
      runs_.pop_front();
    } else {
      ++run.first;
    }
    --size_;
  }
  void push_back(std::uint32_t index) {
    if (!runs_.empty() && runs_.back().last != kLast && runs_.back().last + 1 == index) {
      ++runs_.back().last;
    } else {
      runs_.push_back({index, index});
    }
    ++size_;
  }
  void push_front(std::uint32_t index) {
    if (!runs_.empty() && runs_.front().first != 0 && runs_.front().first - 1 == index) {
      --runs_.front().first;
    } else {
      runs_.push_front({index, index});
    }
    ++size_;
  }

 private:
  static constexpr std::uint32_t kLast = std::numeric_limits<std::uint32_t>::max();
  struct Run {
    std::uint32_t first;
    std::uint32_t last;  // inclusive
  };
  std::deque<Run> runs_;
  std::size_t size_ = 0;
};

}  // namespace ps::sweep

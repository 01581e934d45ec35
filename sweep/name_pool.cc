#include "sweep/name_pool.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

namespace ps::sweep {

struct NamePool::State {
  platform::Resolver* resolver;
  mutable std::mutex mu;
  std::condition_variable work;
  std::condition_variable done;
  std::deque<IpAddress> queue;
  std::unordered_map<IpAddress, std::optional<std::string>, IpAddressHash> names;
  std::size_t unanswered = 0;
  int threads = 0;
  int idle = 0;
  bool stop = false;
};

namespace {

void Work(std::shared_ptr<NamePool::State> s) {
  std::unique_lock<std::mutex> lock(s->mu);
  for (;;) {
    ++s->idle;
    s->work.wait(lock, [&] { return s->stop || !s->queue.empty(); });
    --s->idle;
    if (s->stop) return;
    const IpAddress address = s->queue.front();
    s->queue.pop_front();
    lock.unlock();
    std::string name = s->resolver->ReverseName(address);
    lock.lock();
    if (s->stop) return;
    s->names[address] = std::move(name);
    --s->unanswered;
    s->done.notify_all();
  }
}

}  // namespace

NamePool::NamePool(platform::Resolver* resolver, int threads)
    : state_(std::make_shared<State>()), max_threads_(threads < 1 ? 1 : threads) {
  state_->resolver = resolver;
}

NamePool::~NamePool() {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->stop = true;
  state_->work.notify_all();
}

void NamePool::Request(const IpAddress& address) {
  std::lock_guard<std::mutex> lock(state_->mu);
  if (!state_->names.emplace(address, std::nullopt).second) return;
  ++state_->unanswered;
  state_->queue.push_back(address);
  // Threads start as the work needs them; each holds the state, so a lookup
  // stuck in the resolver outlives the pool harmlessly.
  if (state_->idle == 0 && state_->threads < max_threads_) {
    ++state_->threads;
    std::thread(Work, state_).detach();
  }
  state_->work.notify_one();
}

bool NamePool::WaitAll(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(state_->mu);
  return state_->done.wait_until(lock, deadline, [&] { return state_->unanswered == 0; });
}

std::string NamePool::Name(const IpAddress& address) const {
  std::lock_guard<std::mutex> lock(state_->mu);
  const auto it = state_->names.find(address);
  return it == state_->names.end() || !it->second ? std::string() : *it->second;
}

std::size_t NamePool::lookups() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->names.size();
}

}  // namespace ps::sweep

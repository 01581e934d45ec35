#include "sweep/name_pool.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

namespace ps::sweep {

namespace {

struct Scoped {
  IpAddress address;
  int scope_id = 0;
  bool operator==(const Scoped&) const = default;
};

struct ScopedHash {
  std::size_t operator()(const Scoped& s) const {
    return IpAddressHash()(s.address) * 31 + static_cast<std::size_t>(s.scope_id);
  }
};

}  // namespace

struct NamePool::State {
  platform::Resolver* resolver;
  mutable std::mutex mu;
  std::condition_variable work;
  std::condition_variable done;
  std::deque<Scoped> queue;
  std::unordered_map<Scoped, std::optional<std::string>, ScopedHash> names;
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
    const Scoped asked = s->queue.front();
    s->queue.pop_front();
    lock.unlock();
    std::string name = s->resolver->ReverseName(asked.address, asked.scope_id);
    lock.lock();
    if (s->stop) return;
    s->names[asked] = std::move(name);
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

void NamePool::Request(const IpAddress& address, int scope_id) {
  std::lock_guard<std::mutex> lock(state_->mu);
  const Scoped asked{address, scope_id};
  if (!state_->names.emplace(asked, std::nullopt).second) return;
  ++state_->unanswered;
  state_->queue.push_back(asked);
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

std::string NamePool::Name(const IpAddress& address, int scope_id) const {
  std::lock_guard<std::mutex> lock(state_->mu);
  const auto it = state_->names.find(Scoped{address, scope_id});
  return it == state_->names.end() || !it->second ? std::string() : *it->second;
}

std::size_t NamePool::lookups() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->names.size();
}

}  // namespace ps::sweep

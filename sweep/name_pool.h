// Reverse names for the hosts that answered, looked up by a bounded pool of
// threads so that a slow resolver never holds up the probes. Each address is
// looked up once per pool (the pool is the per-sweep cache); an IPv6
// link-local address once per interface (its scope), as each link's is
// another host.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "core/ip_address.h"
#include "platform/inet/sweep_io.h"

namespace ps::sweep {

class NamePool {
 public:
  // `resolver` must outlive every lookup started (see WaitAll).
  NamePool(platform::Resolver* resolver, int threads);
  // Does not wait: lookups still running finish on their own and are dropped.
  ~NamePool();
  NamePool(const NamePool&) = delete;
  NamePool& operator=(const NamePool&) = delete;

  // Queues a lookup unless the address was asked for already. Never blocks.
  // `scope_id`: a link-local address's interface index (see Resolver).
  void Request(const IpAddress& address, int scope_id = 0);
  // Waits until every requested name is known or `deadline` passes; true when
  // all are known.
  bool WaitAll(std::chrono::steady_clock::time_point deadline);
  // The name, or "" when it has none or is not known yet.
  std::string Name(const IpAddress& address, int scope_id = 0) const;
  std::size_t lookups() const;

  struct State;  // shared with the worker threads

 private:
  std::shared_ptr<State> state_;
  int max_threads_;
};

}  // namespace ps::sweep

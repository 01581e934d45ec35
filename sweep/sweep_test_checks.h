// Checks shared by the sweep tests over real sockets: what an answering and a
// silent host look like after a sweep with one retry.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "sweep/engine.h"

namespace ps::testing {

// One request answered by a host one router away, within the time-out.
inline void ExpectAnsweredOnce(const sweep::HostResult& r, std::int64_t timeout_ns) {
  ASSERT_EQ(r.outcome, sweep::Outcome::kAnswered);
  EXPECT_EQ(r.received, 1);
  EXPECT_EQ(r.ttl, 64);
  EXPECT_GT(r.rtt_min_ns, 0);
  EXPECT_LT(r.rtt_min_ns, timeout_ns);
}

// Silent after the first request and its one retry.
inline void ExpectSilentAfterRetry(const sweep::HostResult& r) {
  ASSERT_EQ(r.outcome, sweep::Outcome::kSilent);
  EXPECT_EQ(r.sent, 2);
}

}  // namespace ps::testing

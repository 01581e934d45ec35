// The token bucket on a table: what each step may send, and when the next may go.
#include "sweep/token_bucket.h"

#include <gtest/gtest.h>

#include <vector>

namespace ps::sweep {
namespace {

constexpr std::int64_t kMs = 1'000'000;

struct Step {
  std::int64_t at_ns;
  std::size_t available;  // Available(at_ns, limit)
  std::size_t take;       // then Take(take)
  std::int64_t next_at;   // then NextSendAt(at_ns)
  std::size_t limit = 256;
};

struct Case {
  const char* name;
  double rate;
  double burst_seconds;
  std::size_t max_burst;
  std::vector<Step> steps;  // Start(0) first
};

TEST(TokenBucketTest, SendsAtTheRateWithBoundedBursts) {
  const Case cases[] = {
      {"a full bucket, then the rate",
       1000,
       0.025,
       256,
       {{0, 25, 25, 1 * kMs},
        {1 * kMs, 1, 1, 2 * kMs},
        {10 * kMs, 9, 0, 10 * kMs},
        {10 * kMs, 9, 9, 11 * kMs}}},
      {"a pause refills no more than the bucket",
       1000,
       0.025,
       256,
       {{0, 25, 25, 1 * kMs}, {1000 * kMs, 25, 20, 1000 * kMs}, {1000 * kMs, 5, 5, 1001 * kMs}}},
      {"the caller's limit", 1000, 0.025, 256, {{0, 5, 5, 0, 5}, {0, 20, 20, 1 * kMs, 100}}},
      {"a bucket holds at least one send",
       10,
       0.005,
       256,
       {{0, 1, 1, 100 * kMs}, {50 * kMs, 0, 0, 100 * kMs}, {100 * kMs, 1, 1, 200 * kMs}}},
      {"and at most max_burst", 1e6, 0.025, 256, {{0, 256, 256, 1000}, {5 * kMs, 256, 0, 5 * kMs}}},
      {"a rate that is not a whole number of nanoseconds rounds the wait up",
       3,
       0.005,
       256,
       {{0, 1, 1, 333'333'334},
        {333'333'333, 0, 0, 333'333'334},
        {333'333'334, 1, 1, 666'666'668}}},
      {"a clock that steps back gives nothing until it passes the last refill",
       1000,
       0.005,
       256,
       {{10 * kMs, 5, 5, 11 * kMs}, {5 * kMs, 0, 0, 11 * kMs}, {11 * kMs, 1, 1, 12 * kMs}}},
      {"a clock that steps far forward fills the bucket once",
       1000,
       0.005,
       256,
       {{0, 5, 5, 1 * kMs}, {std::int64_t{1} << 62, 5, 5, (std::int64_t{1} << 62) + kMs}}},
      {"rate 0: as fast as the socket takes them",
       0,
       0.025,
       256,
       {{0, 256, 256, 0}, {0, 256, 256, 0}, {7, 40, 40, 7, 40}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TokenBucket bucket(c.rate, c.burst_seconds, c.max_burst);
    bucket.Start(0);
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      const Step& s = c.steps[i];
      SCOPED_TRACE(i);
      EXPECT_EQ(bucket.Available(s.at_ns, s.limit), s.available);
      bucket.Take(s.take);
      EXPECT_EQ(bucket.NextSendAt(s.at_ns), s.next_at);
    }
  }
}

}  // namespace
}  // namespace ps::sweep

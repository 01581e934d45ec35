#include "sweep/index_queue.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>

namespace ps::sweep {
namespace {

// Against std::deque, under random mixes of the queue's uses in a sweep:
// runs queued in order, retries at the back, unsent ones back at the front,
// at the ends of the index range too.
TEST(IndexQueueTest, GivesWhatADequeGives) {
  std::mt19937 random(5);
  for (int round = 0; round < 200; ++round) {
    IndexQueue queue;
    std::deque<std::uint32_t> model;
    const std::uint32_t base = round % 3 == 0 ? 0 : round % 3 == 1 ? 0xFFFFFF00u : 1000;
    for (int step = 0; step < 400; ++step) {
      const unsigned op = random() % 6;
      const std::uint32_t index = base + random() % 256;
      if (op < 2) {
        const std::uint32_t next = model.empty() ? index : model.back() + 1;
        queue.push_back(next);
        model.push_back(next);
      } else if (op == 2) {
        queue.push_back(index);
        model.push_back(index);
      } else if (op == 3) {
        const std::uint32_t before = model.empty() ? index : model.front() - 1;
        queue.push_front(before);
        model.push_front(before);
      } else if (!model.empty()) {
        ASSERT_EQ(queue.front(), model.front()) << round << " " << step;
        queue.pop_front();
        model.pop_front();
      }
      ASSERT_EQ(queue.size(), model.size());
      ASSERT_EQ(queue.empty(), model.empty());
      if (!model.empty()) ASSERT_EQ(queue.front(), model.front()) << round << " " << step;
    }
    while (!model.empty()) {
      ASSERT_EQ(queue.front(), model.front());
      queue.pop_front();
      model.pop_front();
    }
    EXPECT_TRUE(queue.empty());
  }
}

}  // namespace
}  // namespace ps::sweep

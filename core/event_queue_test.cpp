// QueueBudget's high-water mark: kept by the releases, not the reserves.
#include "core/event_queue.h"

#include <gtest/gtest.h>

TEST(QueueBudget, HighWaterIsTheMostReservedAtOnceWhetherOrNotReleasedSince) {
  QueueBudget budget(4, 1000);
  EXPECT_EQ(budget.highWater(), 0u);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(budget.reserve(10));
  // Not yet released: the mark is the count now.
  EXPECT_EQ(budget.highWater(), 3u);
  budget.release(2, 20);
  EXPECT_EQ(budget.highWater(), 3u);
  ASSERT_TRUE(budget.reserve(10));
  ASSERT_TRUE(budget.reserve(10));
  ASSERT_TRUE(budget.reserve(10));
  // Full: the refused reservation does not raise the mark past the limit.
  EXPECT_FALSE(budget.reserve(10));
  budget.release(4, 40);
  EXPECT_EQ(budget.records(), 0u);
  EXPECT_EQ(budget.highWater(), 4u);
  ASSERT_TRUE(budget.reserve(10));
  budget.release(1, 10);
  EXPECT_EQ(budget.highWater(), 4u);
}

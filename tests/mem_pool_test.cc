#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "base/mem_pool.h"

namespace {

using P = WL_MMemXPool;

struct PoolFixture : ::testing::Test {
  void SetUp() override { ASSERT_TRUE(pool.MemStart(28, 16, 15, 16)); }
  void TearDown() override {
    for (void* p : held) pool.MemFree(p);
  }
  void* Take(size_t n) {
    void* p = pool.MemAlloc(n);
    held.push_back(p);
    return p;
  }
  // The class whose region holds p, or -1 for the heap.
  int ClassOf(size_t n_before_used[5]) {
    for (int c = 0; c < 5; ++c) {
      if (pool.used(static_cast<P::Class>(c)) != n_before_used[c]) return c;
    }
    return -1;
  }
  P pool;
  std::vector<void*> held;
};

TEST_F(PoolFixture, ChoosesTheSmallestClassThatFits) {
  struct {
    size_t n;
    int cls;
  } cases[] = {{1, P::kSmall},       {12288, P::kSmall}, {12289, P::kMiddle},  {65536, P::kMiddle},
               {65537, P::kBig},     {262144, P::kBig},  {262145, P::kLarge},  {532480, P::kLarge},
               {532481, P::kHuge},   {1048576, P::kHuge}, {1048577, -1}};
  for (const auto& c : cases) {
    size_t before[5];
    for (int k = 0; k < 5; ++k) before[k] = pool.used(static_cast<P::Class>(k));
    const int64_t fallbacks = pool.heap_fallbacks();
    ASSERT_NE(Take(c.n), nullptr);
    EXPECT_EQ(ClassOf(before), c.cls) << c.n;
    EXPECT_EQ(pool.heap_fallbacks(), fallbacks + (c.cls < 0 ? 1 : 0)) << c.n;
  }
  EXPECT_EQ(pool.MemAlloc(0), nullptr);
}

TEST_F(PoolFixture, FullClassesOverflowThenFallBackToTheHeap) {
  for (int i = 0; i < 16; ++i) Take(100);
  EXPECT_EQ(pool.used(P::kSmall), 16u);
  Take(100);
  EXPECT_EQ(pool.used(P::kMiddle), 1u);
  for (int i = 0; i < 14; ++i) Take(100);
  EXPECT_EQ(pool.used(P::kMiddle), 15u);
  const int64_t fallbacks = pool.heap_fallbacks();
  // Small and middle are full: a small request does not go on to big.
  Take(100);
  EXPECT_EQ(pool.heap_fallbacks(), fallbacks + 1);
  EXPECT_EQ(pool.used(P::kBig), 0u);
  // Huge has two blocks and no overflow.
  Take(600000);
  Take(600000);
  Take(600000);
  EXPECT_EQ(pool.used(P::kHuge), 2u);
  EXPECT_EQ(pool.heap_fallbacks(), fallbacks + 2);
}

TEST_F(PoolFixture, FreeClearsExactlyItsBlock) {
  char* a = static_cast<char*>(pool.MemAlloc(5000));
  char* b = static_cast<char*>(pool.MemAlloc(5000));
  ASSERT_EQ(b - a, 12288);
  EXPECT_EQ(pool.used(P::kSmall), 2u);
  pool.MemFree(a + 1);  // inside the region but not a block start
  EXPECT_EQ(pool.bad_releases(), 1);
  EXPECT_EQ(pool.used(P::kSmall), 2u);
  pool.MemFree(a);
  EXPECT_EQ(pool.used(P::kSmall), 1u);
  EXPECT_EQ(pool.MemAlloc(10), a);  // the first free block again
  pool.MemFree(a);
  pool.MemFree(b);
  pool.MemFree(malloc(10));  // a heap pointer goes back to the heap
  pool.MemFree(nullptr);
  EXPECT_EQ(pool.used(P::kSmall), 0u);
}

TEST(MemPool, StartCountsAndStatusText) {
  P pool;
  char text[240];
  EXPECT_EQ(pool.MemStatusText(text, sizeof(text)), 1);
  EXPECT_STREQ(text, "0");
  void* p = pool.MemAlloc(100);  // inactive: the heap
  EXPECT_EQ(pool.pool_allocations(), 0);
  pool.MemFree(p);

  ASSERT_TRUE(pool.MemStart(28, 16, 15, 16));
  pool.MemStatusText(text, sizeof(text));
  EXPECT_STREQ(text, "[0:16 0:15 0:16 0:28 0:2 0-0-0]");
  // Counts outside their ranges keep the current ones.
  P fresh;
  ASSERT_TRUE(fresh.MemStart(2, 300, 3, 6));
  EXPECT_EQ(fresh.count(P::kSmall), 160u);
  EXPECT_EQ(fresh.count(P::kMiddle), 112u);
  EXPECT_EQ(fresh.count(P::kBig), 56u);
  EXPECT_EQ(fresh.count(P::kLarge), 28u);
  EXPECT_EQ(fresh.count(P::kHuge), 2u);
  void* q = pool.MemAlloc(20000);
  pool.MemStatusText(text, sizeof(text));
  EXPECT_STREQ(text, "[0:16 1:15 0:16 0:28 0:2 0-0-1]");
  pool.MemFree(q);
  pool.MemRelease();
  EXPECT_FALSE(pool.active());
  pool.MemStatusText(text, sizeof(text));
  EXPECT_STREQ(text, "0");
}

TEST(MemPool, ProcessAllocatorFallsBackToTheHeap) {
  void* p = PoolAlloc(100);
  ASSERT_NE(p, nullptr);
  PoolFree(p);
  P pool;
  ASSERT_TRUE(pool.MemStart(28, 16, 15, 16));
  SetProcessPool(&pool);
  void* q = PoolAlloc(532480);
  EXPECT_EQ(pool.used(P::kLarge), 1u);
  PoolFree(q);
  EXPECT_EQ(pool.used(P::kLarge), 0u);
  ClearProcessPool(&pool);
  void* r = PoolAlloc(100);
  EXPECT_EQ(pool.used(P::kSmall), 0u);
  PoolFree(r);
}

}  // namespace

// The fixed-block allocator for the server's large transient buffers.
//
// Five regions, each cut into equal blocks of one size class, are taken
// from the heap at start. A request takes the first free block of the
// smallest class that fits (or of the next class when that one is full);
// anything else comes from the heap, so callers never fail for lack of
// blocks.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/sync.h"

class WL_MMemXPool {
 public:
  enum Class { kSmall = 0, kMiddle, kBig, kLarge, kHuge, kClassCount };
  static constexpr uint64_t kBlockSize[kClassCount] = {12288, 65536, 262144, 532480, 1048576};

  WL_MMemXPool();
  virtual ~WL_MMemXPool();
  WL_MMemXPool(const WL_MMemXPool&) = delete;
  WL_MMemXPool& operator=(const WL_MMemXPool&) = delete;

  // Allocates the regions. A count outside its accepted range keeps the
  // current one. False (and nothing allocated) when memory runs out.
  bool MemStart(int large, int big, int middle, int small);
  // A block of at least n bytes, or nullptr for n = 0 or when the heap fails.
  void* MemAlloc(size_t n);
  // Gives back a pointer MemAlloc returned, from a region or from the heap.
  void MemFree(void* p);
  // Frees the regions and clears the counters; requests then go to the heap.
  void MemRelease();
  // "[used:count ... bad-fallback-allocations]", or "0" when inactive.
  int MemStatusText(char* buf, size_t size) const;
  // Lock check: whether every class lock can be taken at once (each is
  // released again).
  bool TryClassLocks();

  bool active() const { return active_.load(std::memory_order_acquire); }
  uint64_t count(Class c) const { return count_[c]; }
  uint64_t used(Class c) const;
  int64_t heap_fallbacks() const { return heap_fallbacks_.load(); }
  int64_t bad_releases() const { return bad_releases_.load(); }
  int64_t pool_allocations() const { return pool_allocations_.load(); }

 private:
  void* TakeBlock(Class c);

  std::atomic<bool> active_{false};
  std::atomic<int64_t> bad_releases_{0};
  std::atomic<int64_t> heap_fallbacks_{0};
  std::atomic<int64_t> pool_allocations_{0};
  uint64_t count_[kClassCount];
  std::unique_ptr<char[]> region_[kClassCount];
  char* start_[kClassCount] = {};
  char* end_[kClassCount] = {};
  std::unique_ptr<std::atomic<uint8_t>[]> used_[kClassCount];
  WL_Lock lock_[kClassCount];
};

// The process-wide block allocator: the server's pool once it has started,
// else the heap. Buffers from PoolAlloc go back through PoolFree.
void SetProcessPool(WL_MMemXPool* pool);
// Clears the process allocator when it is pool (a pool being destroyed).
void ClearProcessPool(WL_MMemXPool* pool);
void* PoolAlloc(size_t n);
void PoolFree(void* p);

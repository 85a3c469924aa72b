#include "base/mem_pool.h"

#include <cinttypes>
#include <cstdlib>
#include <new>

#include "base/format.h"

namespace {

constexpr uint64_t kInitialCount[WL_MMemXPool::kClassCount] = {160, 112, 56, 28, 2};

std::atomic<WL_MMemXPool*> g_process_pool{nullptr};

}  // namespace

WL_MMemXPool::WL_MMemXPool() {
  for (int c = 0; c < kClassCount; ++c) count_[c] = kInitialCount[c];
}

WL_MMemXPool::~WL_MMemXPool() { MemRelease(); }

bool WL_MMemXPool::MemStart(int large, int big, int middle, int small) {
  MemRelease();
  if (large >= 3 && large <= 256) count_[kLarge] = static_cast<uint64_t>(large);
  if (big >= 3 && big <= 256) count_[kBig] = static_cast<uint64_t>(big);
  if (middle >= 4 && middle <= 256) count_[kMiddle] = static_cast<uint64_t>(middle);
  if (small >= 9 && small <= 256) count_[kSmall] = static_cast<uint64_t>(small);
  count_[kHuge] = 2;
  for (int c = kHuge; c >= kSmall; --c) {
    region_[c].reset(new (std::nothrow) char[count_[c] * kBlockSize[c]]);
    if (!region_[c]) {
      MemRelease();
      return false;
    }
  }
  for (int c = kHuge; c >= kSmall; --c) {
    used_[c].reset(new (std::nothrow) std::atomic<uint8_t>[count_[c]]);
    if (!used_[c]) {
      MemRelease();
      return false;
    }
    for (uint64_t i = 0; i < count_[c]; ++i) used_[c][i].store(0, std::memory_order_relaxed);
    start_[c] = region_[c].get();
    end_[c] = start_[c] + count_[c] * kBlockSize[c];
  }
  active_.store(true, std::memory_order_release);
  return true;
}

void WL_MMemXPool::MemRelease() {
  active_.store(false, std::memory_order_release);
  for (int c = 0; c < kClassCount; ++c) {
    std::lock_guard<WL_Lock> g(lock_[c]);
    region_[c].reset();
    used_[c].reset();
    start_[c] = end_[c] = nullptr;
  }
  bad_releases_.store(0);
  heap_fallbacks_.store(0);
  pool_allocations_.store(0);
}

void* WL_MMemXPool::TakeBlock(Class c) {
  std::lock_guard<WL_Lock> g(lock_[c]);
  if (!used_[c]) return nullptr;
  for (uint64_t i = 0; i < count_[c]; ++i) {
    if (used_[c][i].load(std::memory_order_acquire) == 0) {
      used_[c][i].store(1, std::memory_order_relaxed);
      pool_allocations_.fetch_add(1, std::memory_order_relaxed);
      return start_[c] + i * kBlockSize[c];
    }
  }
  return nullptr;
}

void* WL_MMemXPool::MemAlloc(size_t n) {
  if (n == 0) return nullptr;
  if (!active()) return malloc(n);
  Class first = kClassCount;
  for (int c = 0; c < kClassCount; ++c) {
    if (n <= kBlockSize[c]) {
      first = static_cast<Class>(c);
      break;
    }
  }
  if (first != kClassCount) {
    if (void* p = TakeBlock(first)) return p;
    // Small, middle and big overflow into the next class; large and huge do
    // not.
    if (first <= kBig) {
      if (void* p = TakeBlock(static_cast<Class>(first + 1))) return p;
    }
  }
  heap_fallbacks_.fetch_add(1, std::memory_order_relaxed);
  return malloc(n);
}

void WL_MMemXPool::MemFree(void* p) {
  if (p == nullptr) return;
  char* q = static_cast<char*>(p);
  if (active()) {
    for (int c = 0; c < kClassCount; ++c) {
      if (q < start_[c] || q >= end_[c]) continue;
      const uint64_t offset = static_cast<uint64_t>(q - start_[c]);
      if (offset % kBlockSize[c] == 0) {
        used_[c][offset / kBlockSize[c]].store(0, std::memory_order_release);
      } else {
        bad_releases_.fetch_add(1, std::memory_order_relaxed);
      }
      return;
    }
  }
  free(p);
}

uint64_t WL_MMemXPool::used(Class c) const {
  uint64_t n = 0;
  if (!used_[c]) return 0;
  for (uint64_t i = 0; i < count_[c]; ++i) n += used_[c][i].load(std::memory_order_relaxed) ? 1 : 0;
  return n;
}

bool WL_MMemXPool::TryClassLocks() {
  for (WL_Lock& l : lock_) {
    if (!l.TryEnter()) return false;
    l.Leave();
  }
  return true;
}

int WL_MMemXPool::MemStatusText(char* buf, size_t size) const {
  if (size > 231) size = 231;
  if (!active()) return FormatText(buf, size, "0");
  return FormatText(buf, size, "[%d:%d %d:%d %d:%d %d:%d %d:%d %" PRId64 "-%" PRId64 "-%" PRId64 "]",
                    static_cast<int>(used(kSmall)), static_cast<int>(count_[kSmall]), static_cast<int>(used(kMiddle)),
                    static_cast<int>(count_[kMiddle]), static_cast<int>(used(kBig)), static_cast<int>(count_[kBig]),
                    static_cast<int>(used(kLarge)), static_cast<int>(count_[kLarge]), static_cast<int>(used(kHuge)),
                    static_cast<int>(count_[kHuge]), bad_releases_.load(), heap_fallbacks_.load(),
                    pool_allocations_.load());
}

void SetProcessPool(WL_MMemXPool* pool) { g_process_pool.store(pool, std::memory_order_release); }

void ClearProcessPool(WL_MMemXPool* pool) {
  WL_MMemXPool* expected = pool;
  g_process_pool.compare_exchange_strong(expected, nullptr);
}

void* PoolAlloc(size_t n) {
  WL_MMemXPool* pool = g_process_pool.load(std::memory_order_acquire);
  return pool != nullptr ? pool->MemAlloc(n) : (n == 0 ? nullptr : malloc(n));
}

void PoolFree(void* p) {
  WL_MMemXPool* pool = g_process_pool.load(std::memory_order_acquire);
  if (pool != nullptr) {
    pool->MemFree(p);
  } else {
    free(p);
  }
}

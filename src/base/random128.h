// The 128-bit generator shared between threads (the file map draws URL
// names from it). Every step and every read of the value take its lock.
#pragma once

#include <cstdint>

#include "platform/sync.h"

class WL_NRandom128 {
 public:
  WL_NRandom128();
  virtual ~WL_NRandom128() = default;

  // Folds two caller values into the state.
  void Reseed(uint32_t x, uint32_t y);
  // One step; then the value is read with Value.
  void Next();
  // One step and the new value, read under the same lock.
  void Draw(uint64_t* a, uint64_t* b);
  void Value(uint64_t* a, uint64_t* b);

 private:
  void NextLocked();

  bool toggle_ = false;
  uint16_t step_ = 1;
  uint16_t counter_ = 0;
  uint64_t a_ = 0;
  uint64_t b_ = 0;
  WL_Lock lock_;
};

// The per-owner 64-bit generator behind session ids and tokens.
//
// One owner thread uses it at a time, so it takes no lock. Its steps mix the
// tick counter into the state at every draw; the starting state comes from
// the kernel's random source where the owner seeds it (session slots), so the
// values cannot be derived from the start time.
#pragma once

#include <cstdint>

class WL_NoLockRandom64 {
 public:
  // Seeds from the time, the tick counter and the thread id.
  WL_NoLockRandom64();
  virtual ~WL_NoLockRandom64() = default;

  // Starts again from a caller-chosen 64-bit state (the kernel's random
  // bytes), then applies the same zero rules and step as construction.
  void Seed(uint64_t state);
  // One step; the random value is then State().
  void Next();
  // Draws one value: Next(), then the state.
  uint64_t Draw() {
    Next();
    return state_;
  }
  // Adds n to the state; a zero upper half is replaced from the tick.
  void Advance(uint64_t n);
  // Folds four caller values into the state.
  void Mix(uint32_t a, uint32_t b, uint32_t c, uint32_t d);
  uint64_t State() const { return state_; }

 private:
  uint32_t Lo() const { return static_cast<uint32_t>(state_); }
  uint32_t Hi() const { return static_cast<uint32_t>(state_ >> 32); }
  void SetLo(uint32_t v) { state_ = (state_ & 0xFFFFFFFF00000000ull) | v; }
  void SetHi(uint32_t v) { state_ = (state_ & 0xFFFFFFFFull) | (static_cast<uint64_t>(v) << 32); }
  uint8_t Byte(int i) const { return static_cast<uint8_t>(state_ >> (8 * i)); }
  void SetByte(int i, uint8_t v) {
    state_ = (state_ & ~(0xFFull << (8 * i))) | (static_cast<uint64_t>(v) << (8 * i));
  }

  bool toggle_ = false;
  uint16_t counter_ = 0;
  uint16_t step_ = 0;
  uint64_t state_ = 0;
};

#include "base/random128.h"

#include <bit>
#include <mutex>

#include "base/bits.h"
#include "platform/clock.h"

WL_NRandom128::WL_NRandom128() {
  toggle_ = false;
  step_ = 1;
  a_ = 0x3027321ac3e275ull ^ static_cast<uint64_t>(NowSeconds());
  b_ = 0x5044d201790bull;
  b_ = std::rotr(GetTickCount64() ^ b_, 7);
  a_ = std::rotl(a_, 3);
  if (a_ == 0) a_ = GetTickCount() % 120 + 7;
  if (b_ == 0) b_ = 3;
  counter_ = 0;
}

void WL_NRandom128::Reseed(uint32_t x, uint32_t y) {
  std::lock_guard<WL_Lock> g(lock_);
  counter_ = static_cast<uint16_t>(counter_ + 1);
  SetHighHalf(&b_, HighHalf(b_) + x);
  SetByteOf(&a_, 6, static_cast<uint8_t>(~ByteOf(a_, 6)));
  SetLowHalf(&a_, LowHalf(a_) ^ x);
  SetHighHalf(&a_, HighHalf(a_) + y);
  SetWordAt(&b_, 32, static_cast<uint16_t>(WordAt(b_, 32) ^ counter_));
  step_ = static_cast<uint16_t>((static_cast<uint64_t>(x) + y) % 700 + 1);
  a_ = std::rotl(a_, 13);
  b_ = std::rotr(b_, 12);
  if (a_ == 0) a_ = GetTickCount() % 120 + 7;
  if (b_ == 0) b_ = GetTickCount() % 200 + 11;
}

void WL_NRandom128::Next() {
  std::lock_guard<WL_Lock> g(lock_);
  NextLocked();
}

void WL_NRandom128::Draw(uint64_t* a, uint64_t* b) {
  std::lock_guard<WL_Lock> g(lock_);
  NextLocked();
  *a = a_;
  *b = b_;
}

void WL_NRandom128::Value(uint64_t* a, uint64_t* b) {
  std::lock_guard<WL_Lock> g(lock_);
  *a = a_;
  *b = b_;
}

void WL_NRandom128::NextLocked() {
  const uint64_t old_a = a_;
  const uint64_t old_b = b_;
  counter_ = static_cast<uint16_t>(counter_ + 1);
  SetLowHalf(&a_, LowHalf(a_) ^ GetTickCount());
  SetLowHalf(&b_, ~LowHalf(b_));
  b_ += GetTickCount();
  SetHighHalf(&a_, HighHalf(a_) + (toggle_ ? 3u : static_cast<uint32_t>(step_) + 181u));
  const uint16_t v = static_cast<uint16_t>(WordAt(b_, 48) + step_);
  SetWordAt(&b_, 48, v);
  if (toggle_) {
    SetWordAt(&a_, 16, static_cast<uint16_t>(WordAt(a_, 16) ^ counter_));
    SetByteOf(&b_, 7, ByteOf(a_, 0));
    SetByteOf(&a_, 0, static_cast<uint8_t>(~(v >> 8)));
  } else {
    SetWordAt(&b_, 48, static_cast<uint16_t>(WordAt(b_, 48) + counter_));
    SetByteOf(&b_, 4, static_cast<uint8_t>(ByteOf(b_, 4) + 1));
    SetByteOf(&a_, 6, static_cast<uint8_t>(ByteOf(a_, 6) + 1));
  }
  const bool t = toggle_;
  toggle_ = !toggle_;
  a_ = std::rotl(a_, t ? 11 : 5);
  SetHighHalf(&b_, std::rotl(HighHalf(b_), 3));
  SetLowHalf(&b_, std::rotr(LowHalf(b_), t ? 7 : 15));
  b_ = std::rotr(b_, t ? 1 : 2);
  if (a_ == 0) a_ = step_ + 7 + GetTickCount() % 120;
  if (b_ == 0) b_ = static_cast<uint64_t>(step_) + 3;
  if (a_ == old_a) a_ = std::rotl(a_ + 101, 31);
  if (b_ == old_b) b_ = std::rotl(b_ + 3017, 11);
  if (HighHalf(a_) == 0) SetHighHalf(&a_, toggle_ ? step_ : GetTickCount() % 3000 + 21);
  if (HighHalf(b_) == 0) SetHighHalf(&a_, toggle_ ? 11u : GetTickCount() % 1000 + 207);
  if (ByteOf(a_, 0) == 0 && ByteOf(a_, 1) < 16) SetByteOf(&a_, 0, static_cast<uint8_t>(step_ % 10 + 1));
  if (ByteOf(b_, 7) == 0 && ByteOf(b_, 6) < 16) SetByteOf(&b_, 7, static_cast<uint8_t>(GetTickCount() % 12 + 3));
  if (ByteOf(a_, 7) == 0 && ByteOf(a_, 6) < 12) SetByteOf(&a_, 7, static_cast<uint8_t>(GetTickCount() % 15 + 2));
  if (ByteOf(b_, 0) == 0 && ByteOf(b_, 1) < 12) SetByteOf(&b_, 0, static_cast<uint8_t>(GetTickCount() % 17 + 7));
}

#include "base/random64.h"

#include <bit>

#include "platform/clock.h"
#include "platform/thread.h"

namespace {
uint32_t Rotl32(uint32_t v, int k) { return std::rotl(v, k); }
uint32_t Rotr32(uint32_t v, int k) { return std::rotr(v, k); }
}  // namespace

WL_NoLockRandom64::WL_NoLockRandom64() {
  uint64_t s = std::rotl(static_cast<uint64_t>(NowSeconds()), 33);
  s ^= GetTickCount();
  s ^= static_cast<uint64_t>(CurrentThreadId()) << 32;
  Seed(s);
}

void WL_NoLockRandom64::Seed(uint64_t state) {
  toggle_ = false;
  state_ = state;
  if (Lo() == 0) SetLo(3);
  if (Hi() == 0) SetHi(1);
  step_ = static_cast<uint16_t>(Lo() % 600 + 3);
  counter_ = 0;
}

void WL_NoLockRandom64::Next() {
  const uint64_t old = state_;
  // Step 1: the low half moves on and its upper 16 bits are inverted.
  uint32_t lo = Lo() + (toggle_ ? 17u : static_cast<uint32_t>(step_) + 71u);
  lo = (lo & 0xFFFFu) | (static_cast<uint32_t>(static_cast<uint16_t>(~(lo >> 16))) << 16);
  SetLo(lo);
  // Step 2: the tick goes into the high half.
  SetHi((GetTickCount() ^ Hi()) + step_);
  // Step 3.
  uint64_t s = std::rotl(state_, toggle_ ? 23 : 5);
  counter_ = static_cast<uint16_t>(counter_ + 1);
  const uint16_t c = counter_;
  const uint32_t m = c % 10u;
  uint32_t slo = static_cast<uint32_t>(s);
  uint32_t shi = static_cast<uint32_t>(s >> 32);
  if (!toggle_) {
    const int k = static_cast<int>((m + 1) % 32);
    if (k != 0) slo = Rotl32(slo, k);
    shi = Rotr32(shi, 2);
    state_ = (static_cast<uint64_t>(shi) << 32) | slo;
    SetLo(Lo() ^ (static_cast<uint32_t>(c) << 16));
  } else {
    const int k = static_cast<int>((m + 2) % 32);
    if (k != 0) slo = Rotr32(slo, k);
    shi = Rotl32(shi, 3);
    state_ = (static_cast<uint64_t>(shi) << 32) | slo;
    const uint16_t top = static_cast<uint16_t>((state_ >> 48) + c % 100);
    state_ = (state_ & 0x0000FFFFFFFFFFFFull) | (static_cast<uint64_t>(top) << 48);
  }
  toggle_ = !toggle_;
  if (state_ == old) state_ = std::rotl(state_ + 1725, 5);
  if (Lo() == 0) SetLo(GetTickCount() % 100 + 2);
  if (Hi() == 0) SetHi(step_ % 50u + 1u + GetTickCount() % 28u);
  if (Byte(7) == 0 && Byte(6) < 16) SetByte(7, static_cast<uint8_t>(step_ % 20 + 1));
  if (Byte(0) == 0 && Byte(1) < 16) SetByte(0, static_cast<uint8_t>(GetTickCount() % 21 + 3));
}

void WL_NoLockRandom64::Advance(uint64_t n) {
  state_ += n;
  if (Hi() == 0) SetHi(GetTickCount() % 33 + 1);
}

void WL_NoLockRandom64::Mix(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  if (a != 0) SetLo(Lo() ^ a);
  if (b != 0) SetHi(Hi() + b);
  if (c >= 1 && c <= 63) state_ = std::rotl(state_, static_cast<int>(c));
  const int byte = static_cast<int>((d + 1) % 8);
  SetByte(byte, static_cast<uint8_t>(~Byte(byte)));
  if (Hi() == 0) SetHi(GetTickCount() % 10 + 1);
  step_ = static_cast<uint16_t>((a + b + d) % 500 + 1);
}

// Byte and half-word access to 64-bit generator states (bytes numbered from
// the least significant).
#pragma once

#include <cstdint>

inline uint8_t ByteOf(uint64_t v, int i) { return static_cast<uint8_t>(v >> (8 * i)); }
inline void SetByteOf(uint64_t* v, int i, uint8_t b) {
  *v = (*v & ~(0xFFull << (8 * i))) | (static_cast<uint64_t>(b) << (8 * i));
}
inline uint16_t WordAt(uint64_t v, int shift) { return static_cast<uint16_t>(v >> shift); }
inline void SetWordAt(uint64_t* v, int shift, uint16_t w) {
  *v = (*v & ~(0xFFFFull << shift)) | (static_cast<uint64_t>(w) << shift);
}
inline uint32_t LowHalf(uint64_t v) { return static_cast<uint32_t>(v); }
inline uint32_t HighHalf(uint64_t v) { return static_cast<uint32_t>(v >> 32); }
inline void SetLowHalf(uint64_t* v, uint32_t x) { *v = (*v & 0xFFFFFFFF00000000ull) | x; }
inline void SetHighHalf(uint64_t* v, uint32_t x) { *v = (*v & 0xFFFFFFFFull) | (static_cast<uint64_t>(x) << 32); }

#include "base/base64.h"

#include <cstring>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 254 for characters outside the alphabet, 255 for the pad; built at
// compile time, so two threads never race to build it.
struct DecodeTable {
  uint8_t v[256];
  constexpr DecodeTable() : v() {
    for (int i = 0; i < 256; ++i) v[i] = 254;
    for (int i = 0; i < 64; ++i) {
      const uint8_t c = static_cast<uint8_t>(kAlphabet[i]);
      v[c] = static_cast<uint8_t>(i);
      v[c + 128] = static_cast<uint8_t>(i);
    }
    v[61] = v[189] = 255;
  }
};
constexpr DecodeTable kDecode;

uint64_t RoundedCapacity(uint64_t n) { return (n / 4096) * 4096 + 4096; }

}  // namespace

void WL_Base64::ReserveText(uint64_t n) {
  if (text_capacity_ < n || !text_) {
    text_capacity_ = RoundedCapacity(n);
    text_.reset(new char[text_capacity_]);
  }
  memset(text_.get(), 0, text_capacity_);
  text_length_ = 0;
}

void WL_Base64::ReserveBinary(uint64_t n) {
  if (binary_capacity_ < n || !binary_) {
    binary_capacity_ = RoundedCapacity(n);
    binary_.reset(new uint8_t[binary_capacity_]);
  }
  memset(binary_.get(), 0, binary_capacity_);
  binary_length_ = 0;
}

void WL_Base64::EncodeText(const char* text) {
  if (text != nullptr) Encode(reinterpret_cast<const uint8_t*>(text), strlen(text));
}

void WL_Base64::Encode(const uint8_t* bytes, uint64_t n) {
  ReserveBinary(n);
  if (n > 0) memcpy(binary_.get(), bytes, n);
  binary_length_ = n;
  ReserveText(2 * n);
  char* out = text_.get();
  uint64_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const uint32_t g = (static_cast<uint32_t>(bytes[i]) << 16) | (static_cast<uint32_t>(bytes[i + 1]) << 8) | bytes[i + 2];
    out[text_length_++] = kAlphabet[(g >> 18) & 63];
    out[text_length_++] = kAlphabet[(g >> 12) & 63];
    out[text_length_++] = kAlphabet[(g >> 6) & 63];
    out[text_length_++] = kAlphabet[g & 63];
  }
  const uint64_t rest = n - i;
  if (rest > 0) {
    const uint32_t b0 = bytes[i];
    const uint32_t b1 = rest == 2 ? bytes[i + 1] : 0;
    const uint32_t g = (b0 << 16) | (b1 << 8);
    out[text_length_++] = kAlphabet[(g >> 18) & 63];
    out[text_length_++] = kAlphabet[(g >> 12) & 63];
    out[text_length_++] = rest == 2 ? kAlphabet[(g >> 6) & 63] : '=';
    out[text_length_++] = '=';
  }
}

void WL_Base64::DecodeText(const char* text) {
  if (text != nullptr) Decode(text, strlen(text));
}

void WL_Base64::Decode(const char* chars, uint64_t n) {
  ReserveText(n);
  for (uint64_t i = 0; i < n; ++i) {
    if (!IsSpace(chars[i])) text_[text_length_++] = chars[i];
  }
  ReserveBinary(n);
  const auto* t = reinterpret_cast<const uint8_t*>(text_.get());
  auto put = [this](uint8_t s0, uint8_t s1, uint8_t s2, uint8_t s3) {
    uint8_t* o = binary_.get() + binary_length_;
    o[0] = static_cast<uint8_t>((s0 << 2) | ((s1 >> 4) & 3));
    o[1] = static_cast<uint8_t>((s1 << 4) | ((s2 >> 2) & 15));
    o[2] = static_cast<uint8_t>((s2 << 6) | (s3 & 63));
  };
  uint64_t i = 0;
  for (; i + 4 <= text_length_; i += 4) {
    uint8_t s[4];
    for (int k = 0; k < 4; ++k) s[k] = kDecode.v[t[i + k]];
    if (s[2] == 255) s[2] = 0;
    if (s[3] == 255) s[3] = 0;
    put(s[0], s[1], s[2], s[3]);
    binary_length_ += 3;  // padding included, as the clients expect
  }
  const uint64_t rest = text_length_ - i;
  if (rest > 0) {
    uint8_t s[4] = {0, 0, 0, 0};
    for (uint64_t k = 0; k < rest; ++k) {
      s[k] = kDecode.v[t[i + k]];
      if (s[k] == 255) s[k] = 0;
    }
    put(s[0], s[1], s[2], s[3]);
    binary_length_ += rest;
  }
}

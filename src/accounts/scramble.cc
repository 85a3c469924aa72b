#include "accounts/scramble.h"

#include <bit>
#include <cstring>
#include <vector>

#include "base/bits.h"
#include "base/fixed_texts.h"
#include "base/text_scan.h"

namespace {

// The state every step of the scrambler depends on: from the keys and the
// length alone.
uint64_t KeyState(size_t n, const uint8_t* k1, size_t k1n, const uint8_t* k2, size_t k2n) {
  uint64_t h = 0;
  uint32_t c = 1975;
  uint32_t d = 2008;
  for (size_t j = 0; j < k1n; ++j) {
    SetByteOf(&h, static_cast<int>(j % 8), static_cast<uint8_t>(ByteOf(h, static_cast<int>(j % 8)) ^ k1[j]));
    if (j % 8 == 7) h = std::rotl(~h, 3);
    if (j % 2 == 0) {
      d += k1[j];
    } else {
      c += k1[j];
    }
  }
  h = std::rotl(~h, 5);
  SetLowHalf(&h, (LowHalf(h) ^ d) + c);
  SetHighHalf(&h, (HighHalf(h) ^ c) + d);
  h = std::rotl(h, static_cast<int>(n % 21) + 1);
  if (k2n > 0) {
    for (size_t j = 0; j < k2n; ++j) {
      SetByteOf(&h, static_cast<int>(j % 8), static_cast<uint8_t>(ByteOf(h, static_cast<int>(j % 8)) ^ k2[j]));
      if (j % 3 == 0) {
        SetHighHalf(&h, HighHalf(h) + k2[j]);
      } else {
        SetLowHalf(&h, LowHalf(h) + k2[j]);
      }
      if (j % 8 == 7) h = std::rotl(~h, 7);
    }
    h = std::rotl(~h, 5);
  }
  if (LowHalf(h) == 0) SetLowHalf(&h, 2008);
  if (HighHalf(h) == 0) SetHighHalf(&h, 12345678);
  return h;
}

// The magnitude of a 32-bit half read as signed, taken in 64 bits so that
// INT_MIN has one.
uint64_t Magnitude(uint32_t half) {
  const int64_t v = static_cast<int32_t>(half);
  return static_cast<uint64_t>(v < 0 ? -v : v);
}

void SwapPassOne(uint8_t* w, size_t n, uint64_t h) {
  size_t g = n < 32 ? n / 5 : n / 15;
  if (g <= 1) g = 2;
  if (g > 15) g = 15;
  for (size_t p = LowHalf(h) % g; p + g + 1 < n; p += g + 2) std::swap(w[p], w[p + g + 1]);
}

bool SwapBlocks(uint8_t* w, size_t n, size_t a, size_t s) {
  if (s >= n || n < 8 || a > n / 2) return true;
  if (a < 1) return false;
  for (size_t off = s; n - off > 2 * a; off += 2 * a) {
    for (size_t k = 0; k < a; ++k) std::swap(w[off + k], w[off + a + k]);
  }
  return true;
}

void SwapBlocksOne(uint8_t* w, size_t n, uint64_t h) {
  size_t b = n <= 32 ? n / 4 : n / 8;
  if (b == 0) b = 2;
  SwapBlocks(w, n, b, WordAt(h, 48) % b);
}

void SwapPassTwo(uint8_t* w, size_t n, uint64_t h) {
  size_t dd = n / 4;
  if (dd < 2) dd = 2;
  if (dd > 16) dd = 16;
  size_t f = WordAt(h, 16) % dd;
  if (f == 0) f = 2;
  if (f > 32) f = 32;
  const size_t half = n / 2;
  if (!(half > dd % 3 && half > f)) return;
  for (size_t p = dd % 3; p < half; p += f) std::swap(w[p], w[p + half]);
}

void BuildSwapTables(uint64_t h, uint8_t a[16], uint8_t b[16]) {
  uint8_t t[256];
  for (int i = 0; i < 256; ++i) t[i] = static_cast<uint8_t>(i);
  const uint32_t lo = LowHalf(h);
  const uint32_t hi = HighHalf(h);
  const uint32_t d = lo % 125;
  uint32_t e = hi % 31;
  if (e < 2) e = 2;
  const uint32_t big_e = e + 1 + d + (hi & 0xFFFFu) % 117;
  uint32_t x = big_e % 252;
  if (x == 0) x = 1;
  uint32_t y = x + 1;
  if (x == d) ++y;
  auto take = [&t](uint32_t first, uint32_t from, uint32_t last_from) {
    uint32_t idx = first;
    if (idx > 255 || t[idx] == 0) {
      idx = from;
      while (idx < 256 && t[idx] == 0) ++idx;
      if (idx >= 256) {
        idx = last_from;
        while (idx < 256 && t[idx] == 0) ++idx;
      }
    }
    const uint8_t v = idx < 256 ? t[idx] : 0;
    if (idx < 256) t[idx] = 0;
    return v;
  };
  for (int i = 0; i < 16; ++i) {
    a[i] = take(d + 1, (d + 1) / 3, 1);
    b[i] = take(y, y / 2, 0);
  }
}

void SwapTablePass(uint8_t* w, size_t n, uint64_t h) {
  uint8_t a[16];
  uint8_t b[16];
  BuildSwapTables(h, a, b);
  for (size_t i = 0; i < n; ++i) {
    bool done = false;
    for (int m = 0; m < 16 && !done; ++m) {
      if (w[i] == b[m]) {
        w[i] = a[m];
        done = true;
      }
    }
    for (int m = 0; m < 16 && !done; ++m) {
      if (w[i] == a[m]) {
        w[i] = b[m];
        done = true;
      }
    }
  }
}

void SwapBlocksTwo(uint8_t* w, size_t n, uint64_t h) {
  size_t block = n / 3;
  if (block == 0) block = 1;
  const size_t r = Magnitude(HighHalf(h)) % block;
  SwapBlocks(w, n, block, r > 0 ? r - 1 : 0);
}

size_t KeyStart(uint64_t h, size_t k1) {
  const size_t start = Magnitude(LowHalf(h)) % k1;
  return start < k1 ? start : 0;
}

bool Valid(const uint8_t* data, size_t n, const uint8_t* key1, size_t k1) {
  return data != nullptr && n >= 8 && key1 != nullptr && k1 >= 2;
}

}  // namespace

size_t HexToBytes(const char* text, size_t length, uint8_t* out) {
  if (text == nullptr || length % 2 != 0) return 0;
  for (size_t i = 0; i < length; ++i) {
    if (HexDigit(text[i]) < 0) return 0;
  }
  size_t count = 0;
  size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    uint32_t v = 0;
    for (size_t k = 0; k < 8; ++k) v = (v << 4) | static_cast<uint32_t>(HexDigit(text[i + k]));
    for (int k = 0; k < 4; ++k) out[count++] = static_cast<uint8_t>(v >> (8 * k));
  }
  for (; i + 2 <= length; i += 2) {
    out[count++] = static_cast<uint8_t>((HexDigit(text[i]) << 4) | HexDigit(text[i + 1]));
  }
  out[count] = 0;
  return count;
}

std::string BytesToHex(const uint8_t* data, size_t n) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const uint32_t v = static_cast<uint32_t>(data[i]) | (static_cast<uint32_t>(data[i + 1]) << 8) |
                       (static_cast<uint32_t>(data[i + 2]) << 16) | (static_cast<uint32_t>(data[i + 3]) << 24);
    for (int k = 7; k >= 0; --k) out.push_back(kHex[(v >> (4 * k)) & 15]);
  }
  for (; i < n; ++i) {
    out.push_back(kHex[data[i] >> 4]);
    out.push_back(kHex[data[i] & 15]);
  }
  return out;
}

bool UnscrambleText(uint8_t* data, size_t n, const uint8_t* key1, size_t k1, const uint8_t* key2, size_t k2,
                    size_t* out_count) {
  if (!Valid(data, n, key1, k1)) return false;
  const uint64_t h = KeyState(n, key1, k1, key2, k2);
  std::vector<uint8_t> w(data, data + n);
  SwapPassOne(w.data(), n, h);
  SwapBlocksOne(w.data(), n, h);
  SwapPassTwo(w.data(), n, h);
  SwapTablePass(w.data(), n, h);
  SwapBlocksTwo(w.data(), n, h);
  size_t start = KeyStart(h, k1);
  for (size_t i = 0; i < n; ++i) {
    w[i] = static_cast<uint8_t>(~(w[i] ^ ByteOf(h, static_cast<int>(i % 8))) ^ key1[start]);
    if (++start == k1) start = 0;
  }
  memcpy(data, w.data(), n);
  data[n] = 0;
  std::fill(w.begin(), w.end(), 0);
  if (out_count != nullptr) *out_count = n;
  return true;
}

bool ScrambleText(uint8_t* data, size_t n, const uint8_t* key1, size_t k1, const uint8_t* key2, size_t k2) {
  if (!Valid(data, n, key1, k1)) return false;
  const uint64_t h = KeyState(n, key1, k1, key2, k2);
  size_t start = KeyStart(h, k1);
  for (size_t i = 0; i < n; ++i) {
    data[i] = static_cast<uint8_t>(~(data[i] ^ key1[start]) ^ ByteOf(h, static_cast<int>(i % 8)));
    if (++start == k1) start = 0;
  }
  // The permutations undo themselves; run them in the opposite order.
  SwapBlocksTwo(data, n, h);
  SwapTablePass(data, n, h);
  SwapPassTwo(data, n, h);
  SwapBlocksOne(data, n, h);
  SwapPassOne(data, n, h);
  return true;
}

namespace {
const uint8_t* Key(std::string_view k) { return reinterpret_cast<const uint8_t*>(k.data()); }
}  // namespace

std::string ScramblePassword(std::string_view password) {
  if (password.empty() || password.size() > 128) return {};
  // Short passwords are padded with zero bytes to the scrambler's minimum;
  // the unscrambled text ends at the first zero.
  std::vector<uint8_t> bytes(password.begin(), password.end());
  if (bytes.size() < 8) bytes.resize(8, 0);
  if (!ScrambleText(bytes.data(), bytes.size(), Key(kScrambleKey1), kScrambleKey1.size(), Key(kScrambleKey2),
                    kScrambleKey2.size())) {
    return {};
  }
  return BytesToHex(bytes.data(), bytes.size());
}

std::string UnscramblePassword(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  if (text.size() < 8 || text.size() > 299) return {};
  std::vector<uint8_t> bytes(text.size() / 2 + 2, 0);
  const size_t n = HexToBytes(text.data(), text.size(), bytes.data());
  if (n == 0) return {};
  size_t count = 0;
  if (!UnscrambleText(bytes.data(), n, Key(kScrambleKey1), kScrambleKey1.size(), Key(kScrambleKey2),
                      kScrambleKey2.size(), &count) ||
      count == 0) {
    return {};
  }
  const size_t len = strnlen(reinterpret_cast<const char*>(bytes.data()), n);
  if (len < 1 || len > 128) return {};
  return std::string(reinterpret_cast<const char*>(bytes.data()), len);
}

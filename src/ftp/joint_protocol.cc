#include "ftp/joint_protocol.h"

#include <cinttypes>
#include <cstring>

#include "base/digest.h"
#include "base/file_util.h"
#include "base/fixed_texts.h"
#include "base/format.h"
#include "base/utf_str.h"

namespace {

inline uint64_t Rotl(uint64_t x, unsigned r) {
  r &= 63;
  return r == 0 ? x : (x << r) | (x >> (64 - r));
}
inline uint64_t Rotr(uint64_t x, unsigned r) { return Rotl(x, (64 - (r & 63)) & 63); }
inline uint64_t Hi(uint64_t x) { return x >> 32; }
inline uint64_t Lo(uint64_t x) { return x & 0xffffffffull; }

// Words are little-endian whatever the host's order is.
inline uint64_t LoadLe(const unsigned char* p, size_t n) {
  uint64_t w = 0;
  for (size_t i = 0; i < n; ++i) w |= static_cast<uint64_t>(p[i]) << (8 * i);
  return w;
}

// Checksum B's step: rotate left by 31, add 1 to the upper half (the carry
// out of the top falls away), invert the lowest 16 bits.
inline uint64_t MixB(uint64_t x) { return (Rotl(x, 31) + (1ull << 32)) ^ 0xffffull; }

struct StateA {
  uint64_t a = 0x6a2e07c1886012a5ull;
  uint64_t b = 0x368a02112ae5cc71ull;
  uint64_t c = 0x2d1933b6f13d4509ull;
  bool odd = true;

  void Step(uint64_t w) {
    a ^= w;
    c ^= (Hi(w) ^ 0x8d23165cull) & 0xffffffffull;
    c ^= Lo(w) << 32;
    a ^= 0x7a58471eull << 32;
    if (odd) {
      a = Rotl(a, 27);
      c = Rotr(c, static_cast<unsigned>(((Lo(c) >> 24) & 15) + 7));
      b = (c + b) ^ (0xffffull << 48);
    } else {
      c = Rotr(c, 15);
      a = Rotl(a, static_cast<unsigned>(((Hi(a) >> 24) & 15) + 17));
      b = Rotl(b, static_cast<unsigned>((b & 7) + 3));
      b += a;
      b = (b & ~0xffull) | ((b + 1) & 0xffull);
    }
    odd = !odd;
  }
};

}  // namespace

uint64_t JointChecksumB(const void* data, size_t n) {
  if (n == 0) return 1;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint64_t s = 0x02173857A01E556Bull;
  const size_t words = n / 8;
  for (size_t i = 0; i < words; ++i) s = MixB(s ^ LoadLe(p + 8 * i, 8));
  s ^= LoadLe(p + 8 * words, n % 8);
  s = MixB(s);
  return s == 0 ? 1 : s;
}

uint64_t JointChecksumA(const void* data, size_t n) {
  if (n == 0) return 0x6a2e07c1886012a5ull;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  StateA st;
  const size_t words = n / 8;
  for (size_t i = 0; i < words; ++i) st.Step(LoadLe(p + 8 * i, 8));
  if (n % 8 != 0) st.Step(LoadLe(p + 8 * words, n % 8));  // the rest, padded with zero bytes
  const uint64_t d = ~Rotl(st.b, 25);
  uint64_t a = st.a;
  a ^= (d & 0xffffull) << 48;
  a ^= (d >> 48) & 0xffffull;
  a ^= ((d >> 32) & 0xffffull) << 16;
  a ^= ((d >> 16) & 0xffffull) << 32;
  a = ~a;
  const uint64_t r = ((Hi(st.c) ^ Lo(a)) & 0xffffffffull) | (((Hi(a) ^ Lo(st.c)) & 0xffffffffull) << 32);
  return r == 0 ? 1 : r;
}

void JointSig(uint64_t client, uint64_t server, std::string_view text, char out[kJointSigLength + 1]) {
  char head[24];
  char tail[24];
  const int hn = FormatText(head, sizeof(head), "%" PRIx64, client);
  const int tn = FormatText(tail, sizeof(tail), "%" PRIx64, server);
  WL_Sha256 sha;
  char hex[65];
  if (hn < 0 || tn < 0 || !sha.Update(head, static_cast<size_t>(hn)) || !sha.Update(text.data(), text.size()) ||
      !sha.Update(tail, static_cast<size_t>(tn)) || !sha.FinishHex(hex)) {
    // No digest: a signature no line can match (hex digits only ever match
    // hex digits).
    memset(out, '-', kJointSigLength);
    out[kJointSigLength] = '\0';
    return;
  }
  memcpy(out, hex, kJointSigLength);
  out[0] = '2';
  out[kJointSigLength] = '\0';
}

bool JointSigMatches(uint64_t client, uint64_t server, std::string_view text, std::string_view sig) {
  if (sig.size() < kJointSigLength) return false;
  char want[kJointSigLength + 1];
  JointSig(client, server, text, want);
  // Every character is looked at, so the time taken does not tell how much
  // of a forged signature was right.
  unsigned diff = want[0] == '-' ? 1u : 0u;
  for (size_t i = 0; i < kJointSigLength; ++i) {
    diff |= static_cast<unsigned char>(want[i]) ^ static_cast<unsigned char>(sig[i]);
  }
  return diff == 0;
}

int FormatJointLine(uint64_t client, uint64_t server, std::string_view text, char* out, size_t cap) {
  char sig[kJointSigLength + 1];
  JointSig(client, server, text, sig);
  return FormatText(out, cap, "%.*s|%s\r\n", static_cast<int>(text.size()), text.data(), sig);
}

bool SplitJointLine(std::string_view line, JointLine* out) {
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  const size_t bar = line.find('|');
  if (bar == std::string_view::npos) return false;
  out->text = line.substr(0, bar);
  std::string_view sig = line.substr(bar + 1);
  while (!sig.empty() && (sig.front() == ' ' || sig.front() == '\t')) sig.remove_prefix(1);
  const size_t end = sig.find_first_of("\r\n");
  out->sig = end == std::string_view::npos ? sig : sig.substr(0, end);
  return true;
}

bool JointLineName(std::string_view text, std::string_view* name) {
  const size_t star = text.find('*');
  if (star == std::string_view::npos) return false;
  *name = text.substr(star + 1);
  return true;
}

bool IsSafeJointName(std::string_view name) {
  return name.size() <= 255 && IsSafeName(name) && IsValidUtf8(name.data(), name.size());
}

int64_t ClampFileTime(uint64_t seconds) {
  if (seconds > static_cast<uint64_t>(INT64_MAX)) return 0;  // a negative time
  return seconds > static_cast<uint64_t>(kLatestFileTime) ? kLatestFileTime : static_cast<int64_t>(seconds);
}

bool TailBlockHash(const void* block, size_t n, char out[65]) {
  WL_Sha256 sha;
  return sha.Update(kTailBlockPrefix.data(), kTailBlockPrefix.size()) && sha.Update(block, n) &&
         sha.Update(kTailBlockSuffix.data(), kTailBlockSuffix.size()) && sha.FinishHex(out);
}

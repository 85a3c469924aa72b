#include "ftp/login_hash.h"

#include <openssl/crypto.h>

#include <cinttypes>
#include <cstdio>

#include "base/digest.h"
#include "base/fixed_texts.h"

namespace {

std::string Hex64(uint64_t v, bool upper) {
  char b[24];
  snprintf(b, sizeof(b), upper ? "%" PRIX64 : "%" PRIx64, v);
  return b;
}

std::string Hex32(uint32_t v, bool upper) {
  char b[12];
  snprintf(b, sizeof(b), upper ? "%X" : "%x", v);
  return b;
}

std::string Sha256Of(const std::string& x) {
  char out[65];
  Sha256Hex(x.data(), x.size(), out);
  return out;
}

std::string Sha512Of(const std::string& x) {
  char out[129];
  Sha512Hex(x.data(), x.size(), out);
  return out;
}

}  // namespace

std::string LoginHash256(std::string_view s, uint32_t id, uint64_t t, uint64_t n) {
  std::string x;
  if (n != 0) {
    x = Hex64(n, false);
    x += kLogin256Sep;
  } else {
    x = kLogin256Prefix;
  }
  x += Hex32(id, true);
  x += s;
  x += Hex64(t, false);
  std::string y = Sha256Of(x);
  y += Hex64(t, true);
  y += kLogin256Sep2;
  y += Hex32(id, false);
  std::string h = Sha256Of(y);
  h.replace(0, 2, "=_");
  return h;
}

std::string LoginHash512(std::string_view s, uint32_t id, uint64_t t, uint64_t n) {
  std::string x;
  if (n != 0) {
    x = Hex64(n, false);
    x += kLogin512Sep;
    x += Hex32(id, true);
    x += s;
  } else {
    x = kLogin512Prefix;
    x += Hex32(id, true);
    x += s;
    x += kLogin512Sep6;
  }
  x += Hex64(t, false);
  std::string y = Sha512Of(x);
  y += Hex64(t, true);
  y += kLogin512Sep2;
  y += Hex32(id, false);
  y += kLogin512Suffix;
  std::string h = Sha512Of(y);
  h.replace(0, 2, "++");
  return h;
}

std::string EconnTokenHash(std::string_view r, uint64_t t, uint64_t n) {
  if (r.empty()) return "0";
  std::string x(r);
  x += kEconnSep;
  x += Hex64(t, false);
  x += n != 0 ? Hex64(n, false) : std::string("0");
  std::string h1 = Sha256Of(x);
  h1.replace(0, 2, kEconnHead);
  std::string y = h1;
  y += kEconnSep2;
  y += Hex64(t, false);
  unsigned char raw[32];
  Sha256Raw(y.data(), y.size(), raw);
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < 25; ++i) {
    out.push_back(kHex[raw[i] >> 4]);
    out.push_back(kHex[raw[i] & 15]);
  }
  return out;
}

std::string SessionKeyHash(std::string_view k, uint64_t t, uint32_t id) {
  std::string x = Hex64(t, false);
  x += kSessionKeySep;
  x += k;
  x += kSessionKeySep2;
  x += Hex32(id, false);
  return Sha256Of(x).substr(0, 36);
}

std::string SessionKeySecret(std::string_view password) {
  std::string x(password);
  x += kPasswordHashText;
  return Sha256Of(x);
}

bool SameSecret(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

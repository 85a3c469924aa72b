#include "base/digest.h"

#include <openssl/evp.h>

#include <cstring>

namespace {

bool HexDigest(const EVP_MD* md, const void* data, size_t length, char* out, size_t hex_len) {
  unsigned char raw[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (EVP_Digest(data, length, raw, &n, md, nullptr) != 1 || n * 2 != hex_len) return false;
  static const char kHex[] = "0123456789abcdef";
  for (unsigned int i = 0; i < n; ++i) {
    out[2 * i] = kHex[raw[i] >> 4];
    out[2 * i + 1] = kHex[raw[i] & 15];
  }
  out[hex_len] = '\0';
  return true;
}

}  // namespace

void Sha256Hex(const void* data, size_t length, char out[65]) {
  if (!HexDigest(EVP_sha256(), data, length, out, 64)) out[0] = '\0';
}

void Sha512Hex(const void* data, size_t length, char out[129]) {
  if (!HexDigest(EVP_sha512(), data, length, out, 128)) out[0] = '\0';
}

void Sha256Raw(const void* data, size_t length, unsigned char out[32]) {
  unsigned int n = 0;
  if (EVP_Digest(data, length, out, &n, EVP_sha256(), nullptr) != 1) memset(out, 0, 32);
}

int Md5Hex(const void* data, size_t length, char out[33]) {
  if (HexDigest(EVP_md5(), data, length, out, 32)) return 1;
  strcpy(out, "-");
  return 0;
}

WL_Sha256::WL_Sha256() {
  ctx_ = EVP_MD_CTX_new();
  ok_ = ctx_ != nullptr && EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) == 1;
}

WL_Sha256::~WL_Sha256() { EVP_MD_CTX_free(ctx_); }

bool WL_Sha256::Update(const void* data, size_t length) {
  if (ok_ && length > 0) ok_ = EVP_DigestUpdate(ctx_, data, length) == 1;
  return ok_;
}

bool WL_Sha256::FinishHex(char out[65]) {
  unsigned char raw[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  out[0] = '\0';
  if (!ok_ || EVP_DigestFinal_ex(ctx_, raw, &n) != 1 || n != 32) {
    ok_ = false;
    return false;
  }
  ok_ = false;  // a finished digest takes no more input
  static const char kHex[] = "0123456789abcdef";
  for (unsigned int i = 0; i < n; ++i) {
    out[2 * i] = kHex[raw[i] >> 4];
    out[2 * i + 1] = kHex[raw[i] & 15];
  }
  out[64] = '\0';
  return true;
}

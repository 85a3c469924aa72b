// Hex digests (OpenSSL's SHA-256 and MD5).
#pragma once

#include <cstddef>

// 64 lower-case hex characters into out (65 bytes).
void Sha256Hex(const void* data, size_t length, char out[65]);
// 128 lower-case hex characters into out (129 bytes).
void Sha512Hex(const void* data, size_t length, char out[129]);
// The raw SHA-256 digest (32 bytes).
void Sha256Raw(const void* data, size_t length, unsigned char out[32]);
// 32 lower-case hex characters into out (33 bytes). Returns 1; 0 with "-"
// when the digest could not be made.
int Md5Hex(const void* data, size_t length, char out[33]);

// A SHA-256 digest fed piece by piece (files, benchmark rounds).
class WL_Sha256 {
 public:
  WL_Sha256();
  ~WL_Sha256();
  WL_Sha256(const WL_Sha256&) = delete;
  WL_Sha256& operator=(const WL_Sha256&) = delete;
  // False when the digest could not be set up; Update and Finish then fail.
  bool ok() const { return ok_; }
  bool Update(const void* data, size_t length);
  // The digest as 64 lower-case hex characters (65 bytes). False on failure.
  bool FinishHex(char out[65]);

 private:
  struct evp_md_ctx_st* ctx_ = nullptr;
  bool ok_ = false;
};

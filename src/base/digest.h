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

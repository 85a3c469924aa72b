// The hashes of the hash-based logins, the econn token and the session key.
// Client and server build them from the same fields and fixed texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// 64 characters: "=_" and 62 hex digits.
std::string LoginHash256(std::string_view secret, uint32_t session_id, uint64_t token, uint64_t nonce);
// 128 characters: "++" and 126 hex digits.
std::string LoginHash512(std::string_view secret, uint32_t session_id, uint64_t token, uint64_t nonce);
// 50 hex characters, or "0" for an empty response code.
std::string EconnTokenHash(std::string_view response_code, uint64_t token, uint64_t nonce);
// 36 hex characters, from the account's key secret (see SessionKeySecret).
std::string SessionKeyHash(std::string_view key_secret, uint64_t token, uint32_t session_id);
// The key secret of an account: Sha256Hex of its clear password followed by
// the fixed password-hash text.
std::string SessionKeySecret(std::string_view password);
// Equality of two texts in time that depends only on their lengths.
bool SameSecret(std::string_view a, std::string_view b);

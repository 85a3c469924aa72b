// The arithmetic of command protection that client and server share: the
// key CINT derives and the signature NEXP announces for one command.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The password text of the key: the clear password, or, while the server
// asks for account hashes, Sha256Hex of the password and the fixed
// password-hash text.
std::string ProtectSecret(std::string_view password, bool use_account_sha);
// The protect key (128 lower-case hex characters and a terminator into out)
// from CINT's client value, the password text, the server's nonce and its
// random answer. False when the key text cannot be formed.
bool ProtectKey(uint64_t value, std::string_view secret, uint64_t nonce, uint64_t random, char out[129]);
// The signature of one protected command: its argument text, the key, the
// kind, and the value and nonce both ends hold at that moment. False when
// the text cannot be formed.
bool ProtectSignature(std::string_view arg, std::string_view key, uint32_t kind, uint64_t value, uint64_t nonce,
                      char out[129]);

// The password scrambler of the account file (SPass_Word) and of the mail
// password.
//
// UnscrambleText turns the bytes of a scrambled text back into the clear
// text with two key texts; ScrambleText is its exact inverse, for operators
// who write account files. Every step of the scrambler is either a
// permutation that undoes itself or a byte-wise mask, and the state that
// drives them depends only on the keys and the length, so the inverse runs
// the same steps backwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Reads hex text: each full group of 8 digits is one 32-bit number stored
// least significant byte first, the remaining 2, 4 or 6 digits are single
// bytes. out needs length / 2 + 1 bytes (a zero byte follows the result).
// Returns the byte count, or 0 for an odd length or a non-hex digit.
size_t HexToBytes(const char* text, size_t length, uint8_t* out);
// The inverse of HexToBytes.
std::string BytesToHex(const uint8_t* data, size_t n);

// Unscrambles n bytes in place (data needs n + 1 bytes; a zero byte is
// written after them). Requires n >= 8, k1 >= 2. Returns false otherwise.
bool UnscrambleText(uint8_t* data, size_t n, const uint8_t* key1, size_t k1, const uint8_t* key2, size_t k2,
                    size_t* out_count);
// Scrambles n bytes in place so that UnscrambleText with the same keys
// gives them back. Same requirements.
bool ScrambleText(uint8_t* data, size_t n, const uint8_t* key1, size_t k1, const uint8_t* key2, size_t k2);

// The SPass_Word text of a clear password (1 to 128 bytes) with the
// account keys; empty for a password outside that range.
std::string ScramblePassword(std::string_view password);
// The clear password of an SPass_Word text (trimmed, 8 to 299 hex digits),
// or empty when it does not decode to 1 to 128 characters.
std::string UnscramblePassword(std::string_view text);

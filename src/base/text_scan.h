// White-space trimming and "%d"-style number scanning, shared by the
// configuration readers (settings, accounts, resources) and the login
// parameters, so every reader accepts the same spellings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// v without the white space (isspace) at both ends.
std::string_view TrimWhite(std::string_view v);

// The trimmed text of a C string; an empty text for nullptr.
std::string TrimmedText(const char* v);

// Scans a decimal integer the way "%d" does: leading white space, an
// optional sign, then at least one digit; anything after the digits is
// ignored. Saturates at the 64-bit range instead of overflowing.
// Returns false (and leaves *out alone) when v is nullptr or nothing scans.
bool ScanDecimal(const char* v, int64_t* out);

// x limited to the 32-bit signed range.
int32_t SaturateInt32(int64_t x);

// A hexadecimal 64-bit number as "%I64x" reads it (leading blanks, an
// optional "0x"). False when no digit is found.
bool ParseHex64(const char* text, uint64_t* out);

// The value of one hexadecimal digit (either case), -1 for anything else.
int HexDigit(char c);

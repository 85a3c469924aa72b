// The parsers of command lines and command arguments. They read untrusted
// text, so they live in one place and are fuzzed together.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/text_scan.h"  // ParseHex64

// Trims white space at both ends of a received line in place. Returns the
// start of the trimmed text; *length gets its length.
char* TrimLine(char* line, size_t* length);
// Splits a trimmed line: the verb ends at the first white space (which
// becomes a terminator), the argument starts after the white space that
// follows ("" when none). The verb's first four characters are upper-cased.
void SplitVerb(char* line, char** verb, char** arg);

// "%d" with a failed parse counting as 0; saturating.
int ParseIntOrZero(const char* text);
// PORT's six numbers "%u,%u,%u,%u,%u,%u". Returns how many were read.
int ScanPortNumbers(const char* arg, uint64_t v[6]);
// EPRT's port: the text between the last two "|". Returns 1 with *port set,
// 0 when there is no second "|", -1 when it is not a number in 1024..65535.
int ParseEprtPort(std::string_view arg, uint16_t* port);
// REST's offset: a signed decimal; unreadable or negative gives 0.
int64_t ParseRestOffset(const char* arg);
// MFMT's "%04d%02d%02d%02d%02d%02d". Returns the number of fields read.
int ScanStamp(std::string_view t, int f[6]);
// MFMT's time after the out-of-range fields were replaced: seconds since
// 1970 (UTC), 0 for a date before 1970 or after the year 3000.
int64_t StampToSeconds(int f[6]);
// Conversions in the order given by kinds ('x' 64-bit hex, 'h' 32-bit
// hex, 'd' 32-bit decimal, 'l' 64-bit decimal; decimals saturate), stopping
// at the first that fails, as sscanf does.
// Returns how many were read.
int ScanFields(const char* text, const char* kinds, int64_t* out);

// CGET's and CPUT's "<offset>|<name>": 0 with *offset (a decimal number, 0
// or more) and *name (a safe name, pointing into arg) set; 1 no "|", 2 a
// name that is empty, unsafe, "." or "..", 3 an offset that is not a
// decimal number, 4 a negative offset.
int ParseOffsetAndName(const char* arg, int64_t* offset, std::string_view* name);
// A 15-byte frame header of the control connection: a text padded with
// blanks to 13 bytes, its 4th byte a blank or "-", then CR LF. 0 with
// *code set (and *count, the hexadecimal number after the first 4 bytes,
// when the code is 218); 1 a wrong layout, 2 no leading decimal code, 3 a
// 218 header without a readable count.
int ParseFrameHeader(const char head[15], int64_t* code, uint64_t* count);

// The request head of the HTTP stream service: one GET of a mapped URL
// "/<dir64>[_<code>]/fx_<unicode>_<hash>[.<ext>]" and an optional single
// byte range. A pure function of the head's bytes, so it can be tested and
// fuzzed on its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/format.h"

// Failure codes of ParseRequest (kept in the session's error code).
enum : uint16_t {
  kHeadTooShort = 2051,      // 12 bytes or less
  kHeadNoEnd = 2052,         // no CR LF CR LF
  kHeadCutTooShort = 2053,   // 12 bytes or less before the blank line
  kLineTooShort = 2054,      // request line shorter than 4 characters
  kNotGet = 2055,            // request line does not start with "GET "
  kNoSlash = 2056,           // target does not start with '/'
  kExtTooLong = 2057,        // extension longer than 7 characters
  kNoSecondPart = 2058,      // no '/' after the first part
  kEmptySecondPart = 2059,   // nothing after that '/'
  kBadUrlCode = 2060,        // not exactly 10 characters after the first '_'
  kBadDir64 = 2061,          // first part does not start with a hex number
  kNoFx = 2062,              // second part does not start with "fx_"
  kBadNumbers = 2063,        // no "<hex>_<hex>" after "fx_"
  kRangeList = 2070,         // a ',' in the range value
  kRangeNoDash = 2071,       // no '-' in the range value
  kRangeBadStart = 2072,     // start negative, not a number or too large
  kRangeEndBeforeStart = 2073,
  kRangeBadBlock = 2074,     // end - start + 1 does not fit
};

struct WL_HttpRequest {
  uint64_t dir64 = 0;
  uint64_t unicode = 0;
  uint64_t hash = 0;
  bool has_ext = false;      // the target had a '.'; ext may still be empty
  BoundedStr<8> ext;         // up to 7 characters
  BoundedStr<11> url_code;   // the 10 characters after '_' in the first part
  bool range = false;        // a "Range:" line was present
  int64_t range_start = 0;
  int64_t block_length = 0;  // 0: up to the end of the file
};

// Parses a request head of len bytes. Returns 0 on success, or a negative
// result with *code set to one of the codes above; *out is reset first.
int ParseRequest(const char* head, size_t len, WL_HttpRequest* out, uint16_t* code);

// Fuzz target: the HTTP request head parser. Properties: a success leaves a
// range that starts at 0 or later with a non-negative block, an extension
// of at most 7 characters and a URL code of exactly 10 or none; a failure
// names one of the parser's codes.
#include <cstdint>
#include <cstring>

#include "stream/http_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WL_HttpRequest req;
  uint16_t code = 0;
  const int r = ParseRequest(reinterpret_cast<const char*>(data), size, &req, &code);
  if (r == 0) {
    if (req.range_start < 0 || req.block_length < 0) __builtin_trap();
    if (req.ext.size() > 7) __builtin_trap();
    if (!req.url_code.empty() && req.url_code.size() != 10) __builtin_trap();
  } else if (r > 0 || code < kHeadTooShort || code > kRangeBadBlock) {
    __builtin_trap();
  }
  return 0;
}

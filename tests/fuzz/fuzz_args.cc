// Fuzz target: the argument parsers of PORT, EPRT, REST, MFMT, MKD's time
// prefix and PASA's parameters.
#include <cstdint>
#include <string>

#include "ftp/arg_parsers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const char* c = text.c_str();
  uint64_t v6[6];
  if (ScanPortNumbers(c, v6) > 6) __builtin_trap();
  uint16_t port = 0;
  if (ParseEprtPort(text, &port) == 1 && port < 1024) __builtin_trap();
  if (ParseRestOffset(c) < 0) __builtin_trap();
  int f[6] = {0, 0, 0, 0, 0, 0};
  const int fields = ScanStamp(text, f);
  if (fields < 0 || fields > 6) __builtin_trap();
  if (fields == 6 && StampToSeconds(f) < 0) __builtin_trap();
  uint64_t hex;
  ParseHex64(c, &hex);
  ParseIntOrZero(c);
  int64_t out[10];
  if (ScanFields(c, "xxxhddhddd", out) > 10) __builtin_trap();
  return 0;
}

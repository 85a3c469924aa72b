// Fuzz target: the argument parsers of PORT, EPRT, REST, MFMT, MKD's time
// prefix, PASA's parameters, CGET's and CPUT's argument and frame headers.
#include <cstdint>
#include <string>

#include "base/file_util.h"
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
  int64_t offset = -1;
  std::string_view name;
  if (ParseOffsetAndName(c, &offset, &name) == 0 &&
      (offset < 0 || !IsSafeName(name) || name.data() < c || name.data() + name.size() > c + text.size())) {
    __builtin_trap();
  }
  if (size >= 15) {
    int64_t code = 0;
    uint64_t count = 0;
    ParseFrameHeader(c, &code, &count);
  }
  return 0;
}

// Fuzz target: a received command line through trimming, the verb split and
// the verb table, as the session loop runs them.
#include <cstdint>
#include <cstring>
#include <vector>

#include "ftp/arg_parsers.h"
#include "ftp/command_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1680) return 0;  // the receive buffer's size
  std::vector<char> line(data, data + size);
  line.push_back('\0');
  size_t length = 0;
  char* trimmed = TrimLine(line.data(), &length);
  if (length != strlen(trimmed)) __builtin_trap();
  char* verb = nullptr;
  char* arg = nullptr;
  SplitVerb(trimmed, &verb, &arg);
  const uint32_t code = LookupVerb(verb, (size & 1) != 0);
  const size_t n = strlen(verb);
  if ((n < 3 || n > 4) != (code == kCodeBadVerbLength)) __builtin_trap();
  if (code > kCodeBadVerbLength || code == 10 || code == 103) __builtin_trap();
  if (arg < verb || arg > line.data() + line.size()) __builtin_trap();
  return 0;
}

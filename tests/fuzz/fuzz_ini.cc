// Fuzz target: the INI reader on arbitrary file contents, then a lookup and
// a change of every section and key it found.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/ini_rw.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/zelfo-fuzz-ini-" + std::to_string(getpid()) + ".ini";
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  fwrite(data, 1, size, f);
  fclose(f);
  WL_IniRW ini;
  ini.Open(path);
  std::string section;
  for (size_t i = 0; i < ini.LineCount(); ++i) {
    const std::string& t = ini.LineText(i);
    if (ini.LineKindAt(i) == WL_IniRW::kSection) {
      section = t.substr(1, t.size() - 2);
    } else if (ini.LineKindAt(i) == WL_IniRW::kKey && !section.empty()) {
      const std::string key = t.substr(0, t.find('='));
      const char* v = ini.GetValue(section.c_str(), key.c_str());
      (void)v;
    }
  }
  if (!section.empty()) ini.SetValue(section.c_str(), "fuzz_key", "value");
  ini.SetValue("new section", "k", nullptr);
  ini.Close();  // saves: the file is written back
  return 0;
}

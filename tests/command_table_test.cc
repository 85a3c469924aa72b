#include <gtest/gtest.h>

#include "ftp/command_table.h"

namespace {

struct VerbCase {
  const char* verb;
  bool no_cmdextend;
  uint32_t code;
};

TEST(LookupVerb, MapsEveryKindOfVerb) {
  const VerbCase cases[] = {
      {"USER", true, 0},    {"USIG", true, 1},    {"PASS", true, 2},    {"SITE", true, 7},
      {"CCC", true, 11},    {"CWD", true, 12},    {"XCWD", true, 12},   {"CWDX", true, 128},
      {"MKD", true, 17},    {"MKDX", true, 128},  {"CDUP", true, 30},   {"XCUP", true, 30},
      {"RMD", true, 42},    {"XRMD", true, 42},   {"PWD", true, 33},    {"QUIT", true, 24},
      {"EXIT", true, 24},   {"MKY1", true, 34},   {"MKEY", true, 34},   {"CDC", true, 128},
      {"CLST", true, 128},  {"CLST", false, 119}, {"CGET", true, 128},  {"CGET", false, 120},
      {"CPUT", false, 121}, {"MFMT", true, 122},  {"TFBS", true, 127},  {"TEMP", true, 126},
      {"ABOU", true, 125},  {"RNFR", true, 123},  {"RNTO", true, 124},  {"POWR", true, 98},
      {"DUMP", true, 118},  {"STIM", true, 44},   {"FEAT", true, 73},   {"NOOP", true, 23},
      {"user", true, 128},  {"ZZZZ", true, 128},  {"AB", true, 129},    {"ABCDE", true, 129},
      {"", true, 129},      {"HTTP", true, 71},   {"TEST", true, 102},  {"BKUP", true, 104},
  };
  for (const VerbCase& c : cases) {
    EXPECT_EQ(LookupVerb(c.verb, c.no_cmdextend), c.code) << c.verb << " no_cmdextend=" << c.no_cmdextend;
  }
}

TEST(LookupVerb, NoVerbYieldsCodes10Or103) {
  // Walk every verb of three or four upper-case letters and digits.
  const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  char v[5] = {};
  int known = 0;
  for (const char* a = alphabet; *a; ++a)
    for (const char* b = alphabet; *b; ++b)
      for (const char* c = alphabet; *c; ++c)
        for (int len4 = 0; len4 < 37; ++len4) {
          v[0] = *a, v[1] = *b, v[2] = *c;
          v[3] = len4 == 36 ? '\0' : alphabet[len4];
          uint32_t code = LookupVerb(v, false);
          EXPECT_NE(code, 10u);
          EXPECT_NE(code, 103u);
          if (code < 128) ++known;
        }
  EXPECT_EQ(known, 131);  // 126 codes, five of them with a second verb
}

}  // namespace

#include "ftp/command_table.h"

#include <cstring>

namespace {

struct VerbCode {
  char verb[5];
  uint32_t code;
};

// Every verb the server knows, with its code. Several verbs share a code;
// codes 10 and 103 have no verb.
constexpr VerbCode kVerbs[] = {
    {"USER", 0},   {"USIG", 1},   {"PASS", 2},   {"PAS6", 3},   {"PASA", 4},   {"SALT", 5},   {"SHUT", 6},
    {"SITE", 7},   {"AUTH", 8},   {"PBSZ", 9},   {"CCC", 11},   {"CWD", 12},   {"XCWD", 12},  {"PROT", 13},
    {"PORT", 14},  {"CKUP", 15},  {"MODE", 16},  {"MKD", 17},   {"PASV", 18},  {"EPRT", 19},  {"EPSV", 20},
    {"RETR", 21},  {"ABOR", 22},  {"NOOP", 23},  {"QUIT", 24},  {"EXIT", 24},  {"LIST", 25},  {"NLST", 26},
    {"MLSD", 27},  {"MLST", 28},  {"MDTM", 29},  {"CDUP", 30},  {"XCUP", 30},  {"TYPE", 31},  {"REST", 32},
    {"PWD", 33},   {"MKEY", 34},  {"MKY1", 34},  {"APPE", 35},  {"STOR", 36},  {"STOU", 37},  {"SYST", 38},
    {"ACCS", 39},  {"RNAM", 40},  {"DELE", 41},  {"RMD", 42},   {"XRMD", 42},  {"SLST", 43},  {"STIM", 44},
    {"OPTS", 45},  {"SIZE", 46},  {"SIZT", 47},  {"SHAK", 48},  {"VERS", 49},  {"Q256", 50},  {"F256", 51},
    {"GBBS", 52},  {"ABBS", 53},  {"DBBS", 54},  {"LMPF", 55},  {"GLMP", 56},  {"GIP6", 57},  {"UMAP", 58},
    {"RMAP", 59},  {"NMAL", 60},  {"CONN", 61},  {"CONS", 62},  {"RESP", 63},  {"CCHK", 64},  {"MODC", 65},
    {"DLOG", 66},  {"FSLS", 67},  {"HSLS", 68},  {"SNAP", 69},  {"MAPF", 70},  {"HTTP", 71},  {"SETT", 72},
    {"FEAT", 73},  {"INFO", 74},  {"INFM", 75},  {"HINF", 76},  {"KILL", 77},  {"ROOT", 78},  {"CIPW", 79},
    {"SNMF", 80},  {"XLST", 81},  {"XGET", 82},  {"XSET", 83},  {"VFLS", 84},  {"VHLS", 85},  {"VFCL", 86},
    {"VFUL", 87},  {"VBLS", 88},  {"MAPS", 89},  {"WNLS", 90},  {"WLLS", 91},  {"FDLS", 92},  {"FULS", 93},
    {"URND", 94},  {"RSPC", 95},  {"T256", 96},  {"TECC", 97},  {"POWR", 98},  {"JKEY", 99},  {"STOM", 100},
    {"RETM", 101}, {"TEST", 102}, {"BKUP", 104}, {"RCPY", 105}, {"ADIR", 106}, {"EDIR", 107}, {"LDIR", 108},
    {"LFIL", 109}, {"SAVS", 110}, {"XSEC", 111}, {"GHOT", 112}, {"AHOT", 113}, {"GTOP", 114}, {"ATOP", 115},
    {"CINT", 116}, {"NEXP", 117}, {"DUMP", 118}, {"CLST", 119}, {"CGET", 120}, {"CPUT", 121}, {"MFMT", 122},
    {"RNFR", 123}, {"RNTO", 124}, {"ABOU", 125}, {"TEMP", 126}, {"TFBS", 127},
};

bool IsExtendCode(uint32_t code) { return code == kCmdClst || code == kCmdCget || code == kCmdCput; }

}  // namespace

uint32_t LookupVerb(const char* verb, bool no_cmdextend) {
  const size_t n = strnlen(verb, 5);
  if (n < 3 || n > 4) return kCodeBadVerbLength;
  for (const VerbCode& v : kVerbs) {
    if (memcmp(v.verb, verb, n + 1) == 0) {
      if (no_cmdextend && IsExtendCode(v.code)) return kCodeUnknownVerb;
      return v.code;
    }
  }
  return kCodeUnknownVerb;
}

// The verb table: maps a command verb to the code the session loop
// dispatches on.
#pragma once

#include <cstdint>

constexpr uint32_t kCodeUnknownVerb = 128;  // 3 or 4 characters, not in the table
constexpr uint32_t kCodeBadVerbLength = 129;  // shorter than 3 or longer than 4

// Command codes the session loop names.
enum WL_CommandCode : uint32_t {
  kCmdUser = 0, kCmdPass = 2, kCmdPas6 = 3, kCmdPasa = 4, kCmdShut = 6, kCmdAuth = 8, kCmdPbsz = 9,
  kCmdCwd = 12, kCmdProt = 13, kCmdPort = 14, kCmdCkup = 15, kCmdMode = 16, kCmdMkd = 17, kCmdPasv = 18,
  kCmdEprt = 19, kCmdEpsv = 20, kCmdRetr = 21, kCmdAbor = 22, kCmdNoop = 23, kCmdQuit = 24, kCmdList = 25,
  kCmdNlst = 26, kCmdMlsd = 27, kCmdMlst = 28, kCmdMdtm = 29, kCmdCdup = 30, kCmdType = 31, kCmdRest = 32,
  kCmdPwd = 33, kCmdMkey = 34, kCmdAppe = 35, kCmdStor = 36, kCmdStou = 37, kCmdSyst = 38, kCmdAccs = 39,
  kCmdRnam = 40, kCmdDele = 41, kCmdRmd = 42, kCmdSlst = 43, kCmdOpts = 45, kCmdSize = 46, kCmdSizt = 47,
  kCmdShak = 48, kCmdVers = 49, kCmdF256 = 51, kCmdLmpf = 55, kCmdGlmp = 56, kCmdGip6 = 57, kCmdUmap = 58,
  kCmdRmap = 59, kCmdMapf = 70, kCmdHttp = 71, kCmdRoot = 78, kCmdSnmf = 80, kCmdMaps = 89, kCmdConn = 61, kCmdCons = 62, kCmdResp = 63, kCmdCchk = 64, kCmdModc = 65,
  kCmdSett = 72, kCmdFeat = 73, kCmdStom = 100, kCmdRetm = 101, kCmdRspc = 95, kCmdXsec = 111, kCmdClst = 119,
  kCmdCget = 120, kCmdCput = 121, kCmdMfmt = 122, kCmdRnfr = 123, kCmdRnto = 124, kCmdAbou = 125,
  kCmdTemp = 126, kCmdTfbs = 127, kCmdNmal = 60,
  kCmdGbbs = 52, kCmdAbbs = 53, kCmdDbbs = 54, kCmdFsls = 67, kCmdHsls = 68, kCmdHinf = 76, kCmdCipw = 79,
  kCmdVfls = 84, kCmdVhls = 85, kCmdVfcl = 86, kCmdVful = 87, kCmdVbls = 88, kCmdWnls = 90, kCmdWlls = 91,
  kCmdFdls = 92, kCmdFuls = 93,
  kCmdT256 = 96, kCmdTecc = 97, kCmdJkey = 99,
  kCmdSnap = 69, kCmdInfo = 74, kCmdInfm = 75, kCmdKill = 77, kCmdDump = 118,
  kCmdTest = 102, kCmdBkup = 104, kCmdRcpy = 105, kCmdAdir = 106, kCmdEdir = 107, kCmdLdir = 108,
  kCmdLfil = 109, kCmdSavs = 110, kCmdGhot = 112, kCmdAhot = 113, kCmdGtop = 114, kCmdAtop = 115,
};

// Returns the code of verb (already upper-cased by the caller; compared
// byte for byte). CLST, CGET and CPUT are known only while no_cmdextend is 0.
uint32_t LookupVerb(const char* verb, bool no_cmdextend);

// Command protection: one-time signatures on the commands that read, write
// or delete files, made with a key that only client and server can derive.
#pragma once

#include <cstdint>
#include <string_view>

class WL_ZelFtpSvr;
class WL_FtpSession;

// Kinds of protected commands.
enum WL_ProtectKind : uint32_t {
  kProtectRead = 1,     // RETR, RETM, CGET
  kProtectWrite = 2,    // STOR, APPE, STOU, STOM, CPUT
  kProtectChange = 3,   // DELE, MKD, RMD, RNAM, ADIR
  kProtectMap = 4,      // MAPF, MAPS, LMPF
  kProtectCopy = 5,     // RCPY
  kProtectPower = 10,   // SHUT
};

// Whether the session's protected commands need a signature.
bool ProtectRequired(const WL_ZelFtpSvr* svr, const WL_FtpSession& s);
// Checks the signature announced by NEXP against the command's argument
// text; a success uses the signature up.
bool ProtectCheck(WL_FtpSession& s, std::string_view arg, uint32_t kind);
// The refusal of a protected command: true when it may run; otherwise
// "550 command protect fail" was sent (or could not be: *ok false).
bool PassesProtect(WL_ZelFtpSvr* svr, WL_FtpSession& s, std::string_view arg, uint32_t kind, bool* ok);

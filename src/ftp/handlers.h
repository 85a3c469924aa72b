// Command handlers and the dispatch of a parsed command line.
#pragma once

#include <cstdint>

class WL_ZelFtpSvr;
class WL_FtpSession;

// Every command handler: true keeps the session, false ends it. Replies go
// through Reply/ReplyText, which set close_flag when a reply cannot be sent.
using WL_CommandHandler = bool (*)(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg);

// The handler of a command code that another component provides (login,
// paths, transfers, ...), or nullptr while the server has none for it.
WL_CommandHandler HandlerFor(uint32_t code);

// The handlers of each group of commands (nullptr for a code they do not
// serve).
WL_CommandHandler LoginHandlerFor(uint32_t code);     // USER, PASS, PAS6, PASA
WL_CommandHandler OperatorHandlerFor(uint32_t code);  // TEMP
WL_CommandHandler FileHandlerFor(uint32_t code);      // CWD, CDUP, MKD, RMD, DELE, RNAM, SIZE, ...
WL_CommandHandler ProtectHandlerFor(uint32_t code);   // CINT, NEXP
WL_CommandHandler DataHandlerFor(uint32_t code);      // PORT, EPRT, PASV, EPSV, CONN, CONS, MODC
WL_CommandHandler TransferHandlerFor(uint32_t code);  // RETR, STOR, APPE, STOU, REST
WL_CommandHandler ListHandlerFor(uint32_t code);      // LIST, NLST, MLSD, MLST, CLST, FEAT, OPTS
WL_CommandHandler TlsHandlerFor(uint32_t code);       // AUTH, PBSZ, PROT

// Runs the command in s.command_code with its argument. Returns false when
// the session must end.
bool DispatchCommand(WL_ZelFtpSvr* svr, WL_FtpSession& s, uint8_t family, const char* arg, int* pending);

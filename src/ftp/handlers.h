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
WL_CommandHandler OperatorHandlerFor(uint32_t code);  // TEMP, SHUT, CIPW, VFUL, the record lists, HINF
WL_CommandHandler BbsHandlerFor(uint32_t code);       // GBBS, ABBS, DBBS
WL_CommandHandler FileHandlerFor(uint32_t code);      // CWD, CDUP, MKD, RMD, DELE, RNAM, SIZE, ...
WL_CommandHandler ProtectHandlerFor(uint32_t code);   // CINT, NEXP
WL_CommandHandler DataHandlerFor(uint32_t code);      // PORT, EPRT, PASV, EPSV, CONN, CONS, MODC
WL_CommandHandler EconnHandlerFor(uint32_t code);     // RESP, RSPC
WL_CommandHandler TransferHandlerFor(uint32_t code);  // RETR, STOR, APPE, STOU, REST
WL_CommandHandler ListHandlerFor(uint32_t code);      // LIST, NLST, MLSD, MLST, CLST, FEAT, OPTS
WL_CommandHandler TlsHandlerFor(uint32_t code);       // AUTH, PBSZ, PROT
WL_CommandHandler MailHandlerFor(uint32_t code);      // NMAL
WL_CommandHandler MapHandlerFor(uint32_t code);       // MAPF, MAPS, LMPF, UMAP, RMAP, GLMP, GIP6, SNMF, HTTP, ROOT
WL_CommandHandler JointHandlerFor(uint32_t code);     // JKEY, STOM, RETM, TFBS
WL_CommandHandler HashHandlerFor(uint32_t code);      // F256, T256, TECC
WL_CommandHandler DiagnosticsHandlerFor(uint32_t code);  // INFO, INFM, DUMP, KILL, SNAP
WL_CommandHandler BackupHandlerFor(uint32_t code);    // SETT, TEST, BKUP, RCPY, ADIR, EDIR, SAVS, LDIR, LFIL, GHOT, AHOT, GTOP, ATOP
WL_CommandHandler FrameHandlerFor(uint32_t code);     // CGET, CPUT

// Runs the command in s.command_code with its argument. Returns false when
// the session must end.
bool DispatchCommand(WL_ZelFtpSvr* svr, WL_FtpSession& s, uint8_t family, const char* arg, int* pending);

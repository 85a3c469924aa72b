// The administrator's view into the running server: status texts of the
// session slots, the INFM status reply, the snapshot file and the lock and
// thread check. The commands INFO, INFM, DUMP, KILL and SNAP are built on
// them (diagnostics_commands.cc); TEST of backup mode calls LockCheck.
//
// Everything here only reads the other components. Their tables are read
// without their locks unless the component's own text operation takes one;
// every read stays inside the table and works on a copy of the entry, so a
// concurrent change can at worst show a moment-old value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/format.h"

class WL_ZelFtpSvr;

// The buffer of the INFM reply (the session's reply buffer).
using WL_InfmText = BoundedStr<4000>;

// One FTP session in detail (DUMP's single mode, SNAP): "200 ..." for a slot
// in use, else "450 out of range", "450 not ready" (no array for the
// family) or "450 session not active". Returns the text length, -1 when it
// does not fit in size.
int SessionDetailLine(WL_ZelFtpSvr* svr, int slot, bool is_ipv6, char* buf, size_t size);
// One FTP session as a "200-..." list line of at most 1000 characters
// (buf holds 1001 bytes). 0 (nothing written) for an index outside the
// array, an absent array or a free slot.
int SessionDumpLine(WL_ZelFtpSvr* svr, int slot, bool is_ipv6, char* buf);

// The whole INFM reply. Lines stop once the text passes 2000 characters;
// the closing "200 service start" line always follows. False when a line
// cannot be formatted (out is then not to be sent).
bool BuildInfmText(WL_ZelFtpSvr* svr, WL_InfmText* out);

// The snapshot file's name for a slot at a tick count and a time:
// "_Snap_<slot>_<tick hex>_<local time>.txt" with every blank, '/', ':',
// '?' and '|' of the time replaced by '_' ("_Snap_<slot>_<tick>_err.txt"
// when that does not fit).
std::string SnapshotFileName(uint32_t slot, uint32_t tick, int64_t now);
// Writes the snapshot of the whole server into path (created or replaced).
// False when the buffer cannot be had, the file cannot be opened, or any
// write or the close fails (what was written stays).
bool WriteSnapshot(WL_ZelFtpSvr* svr, const std::string& path);

// Lock and thread check codes.
enum : int32_t {
  kLockOk = 0,
  kLockAccount = 1001,
  kLockTotals = 1002,
  kLockPoolState = 2001,
  kLockPoolLog = 2002,
  kLockFileMap = 3001,
  kLockWeb = 4001,
  kLockEconnV4 = 5001,
  kLockEconnV6 = 5002,
  kLockMemPool = 6001,
  kThreadListener = 9001,
  kThreadIoDaemon = 9002,
  kThreadTimerDaemon = 9003,
  kThreadWebMain = 9004,
  kThreadPoolManager = 9005,
  kThreadEconn = 9006,
};
// Tries every lock of the server in a fixed order (each taken and released
// at once, never waited for), then checks the service threads. Returns the
// code of the first that fails, 0 when all pass. A lock held by the calling
// thread itself counts as free (the locks are re-entrant).
int32_t LockCheck(WL_ZelFtpSvr* svr);

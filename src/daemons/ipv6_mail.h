// The IPv6 address mail: once a minute the timer asks whether the host's
// global IPv6 address changed since the last mail (or a failed attempt is
// due again, or an administrator asked with NMAL); if so a short-lived mail
// thread reports the host's addresses and FTP ports through the SMTP client.
// The outcome is kept in config/zelmaildns.ini, so a restart neither resends
// an unchanged address nor forgets a failed attempt.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/sync.h"

class WL_ZelFtpSvr;

// Mail error codes of the compose step (besides the SMTP client's).
constexpr int32_t kMailNoAddress = -502;      // no IPv6 address at all
constexpr int32_t kMailNoGlobal = -505;       // none of them is global
constexpr int32_t kMailProbeNothing = -501;   // the probe found no source address
constexpr int32_t kMailProbeLocal = -504;     // the probe found loopback or link-local

// Results of one mail attempt (last_result).
constexpr int32_t kMailSent = 1;
constexpr int32_t kMailSendFailed = -100;
constexpr int32_t kMailNoBuffer = -1;
constexpr int32_t kMailNotComposed = 0;

// The server's state of the address mail.
struct WL_MailState {
  // The last mailed address (bytes 0-7 are ip0, 8-15 ip1, each read as a
  // little-endian number). Written by the mail thread, read by the timer
  // while no mail thread runs; the lock keeps the 16 bytes whole.
  uint8_t last_address[16] = {};
  mutable WL_Lock address_lock;
  std::atomic<int64_t> last_attempt{0};   // seconds since 1970
  std::atomic<int32_t> last_result{kMailSent};
  std::atomic<uint8_t> resend{0};         // set by NMAL
  std::atomic<uint64_t> sent_count{0};    // results above 0
  std::atomic<uint64_t> failed_count{0};  // results below 0
  std::atomic<uint64_t> idle_count{0};    // results equal to 0

  void GetAddress(uint8_t out[16]) const;
  void SetAddress(const uint8_t in[16]);
};

// "config/zelmaildns.ini" under the install directory.
std::string MailStatusPath(const std::string& install_dir);

// Whether the address mail is set up: Enable_Sendmail on, and a password,
// Server_addr, a subject, Mail_username and a non-zero Server_port.
bool MailConfigured(const WL_ZelFtpSvr& svr);

// The minute duty: the log check of the log threads, then, when configured
// and due, starts the mail thread. Returns whether a mail thread started.
bool MailTrigger(WL_ZelFtpSvr* svr, bool configured);

// Whether a mail is due; *out gets the new address when the host's address
// changed. now is the current time in seconds.
bool CheckIpv6Change(WL_ZelFtpSvr* svr, uint8_t out[16]);
bool CheckIpv6ChangeAt(WL_ZelFtpSvr* svr, int64_t now, uint8_t out[16]);

// Writes the report into buf (cap bytes, at least 6144). Returns the body
// length, or a negative value with the SMTP client's mail error code set.
int ComposeMailBody(WL_ZelFtpSvr* svr, char* buf, size_t cap);

// Writes the status file: time, result and the address. False when the
// file could not be written.
bool WriteMailStatus(const std::string& path, int64_t time, int32_t result, const uint8_t address[16]);
// Reads the status file into the server's mail state. False when the file
// is missing or its Mail_status key is not 1 (the state then stays as after
// a first start: result 1).
bool LoadMailStatus(WL_ZelFtpSvr* svr, const std::string& path);

// Stops a running mail thread: sets its stop request, shuts the SMTP socket
// down and waits until the thread has ended.
void StopMailThread(WL_ZelFtpSvr* svr);

// Replies, command receives and session log lines of a control session.
#pragma once

#include <cstdint>
#include <string_view>

class WL_ZelFtpSvr;
class WL_FtpSession;

// Time-out of every handler reply, in seconds.
constexpr int kReplyTimeout = 65;

// Sends length bytes on the control connection within timeout seconds.
// True when all went out; otherwise send_code tells why.
bool SendControl(WL_ZelFtpSvr* svr, WL_FtpSession& s, const char* text, int length, int timeout, bool log);
// Reads until cmd_buf holds a line feed (a short line such as "\r\n" too,
// so that it meets the length rules at once). False with security_code set
// on time-out, close, error or over-long input.
bool ReceiveLine(WL_ZelFtpSvr* svr, WL_FtpSession& s, int64_t timeout);
// Reads exactly length bytes from the control connection into buf.
bool ReceiveExact(WL_ZelFtpSvr* svr, WL_FtpSession& s, char* buf, int length, int64_t timeout);

// Formats a reply into reply_buf and sends it. A reply that cannot be
// formatted or sent sets close_flag and returns false.
bool Reply(WL_ZelFtpSvr* svr, WL_FtpSession& s, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// Sends a fixed reply text; same failure rule as Reply.
bool ReplyText(WL_ZelFtpSvr* svr, WL_FtpSession& s, std::string_view text);
// A refusal because a path does not exist or cannot be used: in the
// standard dialect its code becomes 550 (the text stays); the private
// dialect keeps the reply as given. Same failure rule as ReplyText.
bool ReplyMissing(WL_ZelFtpSvr* svr, WL_FtpSession& s, std::string_view text);
// Sends a refusal and counts it as a failed command. Same failure rule.
bool Refuse(WL_ZelFtpSvr* svr, WL_FtpSession& s, std::string_view text);

// The refusals most commands start with: not logged in ("550 login first"),
// then the proxy account ("550 unknown command") unless it is allowed; both
// counted. Returns 1 when the command may run, 0 when a refusal was sent, -1
// when it could not be sent (the session then ends).
int LoginGate(WL_ZelFtpSvr* svr, WL_FtpSession& s, bool proxy_allowed = false);
// The refusals of the administrator's commands: not logged in ("550 login
// first"), then anyone but the administrator ("550 unknown command"); both
// counted. Same results as LoginGate.
int AdminGate(WL_ZelFtpSvr* svr, WL_FtpSession& s);

// Writes "<prefix><formatted text>" to the session log.
void SessionLog(WL_ZelFtpSvr* svr, WL_FtpSession& s, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// Writes "<login line><formatted text>" to the bad-login log.
void FailLog(WL_ZelFtpSvr* svr, WL_FtpSession& s, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// Data connections: the commands that prepare one (PORT, EPRT, PASV, EPSV,
// CONN, CONS, MODC), opening it when a transfer needs it, and the send and
// receive primitives with their waits, time-outs and abort rule: any line
// arriving on the control connection ends a running send or receive.
#pragma once

#include <cstddef>
#include <cstddef>
#include <cstdint>

class WL_ZelFtpSvr;
class WL_FtpSession;

enum WL_DataMode : int32_t { kDataNone = 0, kDataEconn = 1, kDataPassive = 2, kDataActive = 3 };

// The unit of a transfer: one buffer of file data read, received or sent
// before the block time-out is checked again.
constexpr size_t kTransferBlock = 524288;

// How a receive ended when it did not fill the buffer.
enum class DataEnd {
  kNone,     // the buffer was filled
  kStream,   // the peer ended the data connection cleanly
  kAbort,    // a line arrived on the control connection
  kFailure,  // time-out, socket or TLS error, or the session is closing
};

bool DataReady(const WL_FtpSession& s);
bool OpenData(WL_ZelFtpSvr* svr, WL_FtpSession& s);
bool DataSend(WL_ZelFtpSvr* svr, WL_FtpSession& s, const char* buf, size_t length, int64_t timeout);
// Fills buf with length bytes, or stops early with *end telling why. With
// enough > 0 it also returns (true) once at least that many bytes are in
// and no more are waiting, so a writer can keep up with a fast sender.
bool DataRecv(WL_ZelFtpSvr* svr, WL_FtpSession& s, char* buf, size_t length, int64_t timeout, size_t* got,
              DataEnd* end, size_t enough = 0);
// Reads until a read brings a line feed.
bool DataRecvLine(WL_ZelFtpSvr* svr, WL_FtpSession& s, char* buf, size_t length, int64_t timeout, size_t* got);
// Sends an open file from its current position to the end through the data
// connection; *sent gets the bytes moved. False on a read error (*read_error
// set) or a send failure.
bool DataSendFile(WL_ZelFtpSvr* svr, WL_FtpSession& s, int file_fd, int64_t timeout, int64_t* sent, bool* read_error);

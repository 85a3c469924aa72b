// CGET and CPUT: a file moved over the control connection in frames, for
// clients that cannot open a data connection.
//
// Every frame starts with a 15-byte header: a text of at most 13 characters
// padded with blanks to 13, then "\r\n". "218-<hex count>" announces that
// many data bytes (1 to 524288); "228 0" ends the file; "500 0" ends a
// download after a read error; "218 0" tells a CPUT client to start; a
// refusal is "500 <code>". Any 5xx header from a CPUT client means it gave up.
#include <cinttypes>
#include <cstring>
#include <string>
#include <string_view>

#include "accounts/account.h"
#include "base/format.h"
#include "core/server.h"
#include "ftp/arg_parsers.h"
#include "ftp/command_protect.h"
#include "ftp/command_table.h"
#include "ftp/data_connection.h"
#include "ftp/handlers.h"
#include "ftp/session.h"
#include "ftp/session_io.h"
#include "ftp/virtual_path.h"
#include "platform/fs.h"

namespace {

constexpr int kHeaderSize = 15;
constexpr size_t kHeaderText = 13;
// The most data one frame carries.
constexpr size_t kFrameData = 524288;
static_assert(kFrameData + kHeaderSize + 1 <= kTransferBufferSize, "a frame fits the transfer buffer");

// Refusal codes, answered as the header "500 <code>".
enum : unsigned {
  kFrameLogin = 1,      // not logged in, proxy, wrong mode, normal root; CGET's security refusal
  kFrameEmpty = 2,      // empty argument; CPUT's security refusal
  kFrameProtect = 3,    // command protect failed
  kFrameNoBar = 5,      // no "|"
  kFrameBadName = 6,    // the name is empty, unsafe, "." or ".."
  kFrameBadOffset = 7,  // the offset is not a decimal number
  kFrameNegative = 8,   // the offset is negative
  kFrameNoDir = 10,     // no local current directory
  kFrameNoBuffer = 11,  // no transfer buffer
};

// Why a CPUT stopped; left in the session's security code, and the session
// ends.
enum : uint16_t {
  kStopBadCode = 7901,    // the frame code cannot be read
  kStopBadCount = 7902,   // a data frame's count cannot be read
  kStopNoHeader = 7903,   // the header did not arrive
  kStopUnknown = 7904,    // a frame code CPUT does not know
  kStopData = 7905,       // a count outside 1..524288, or its bytes did not arrive
  kStopWrite = 7906,      // the file could not be written (or finished)
  kStopBadHeader = 7909,  // the header's 4th byte or line end is wrong
};

// Writes the 15-byte header of text into out (16 bytes). False when the text
// is longer than 13 characters.
bool FormatHeader(char* out, std::string_view text) {
  if (text.size() > kHeaderText) return false;
  memset(out, ' ', kHeaderText);
  memcpy(out, text.data(), text.size());
  out[13] = '\r';
  out[14] = '\n';
  out[15] = '\0';
  return true;
}

// Sends the header "<code> <value>" with the transfer time-out; a header
// that cannot be sent ends the session.
bool SendHeader(WL_ZelFtpSvr* svr, WL_FtpSession& s, int code, unsigned value) {
  char text[kHeaderText + 1];
  char header[kHeaderSize + 1];
  if (FormatText(text, sizeof(text), "%d %u", code, value) < 0 || !FormatHeader(header, text) ||
      !SendControl(svr, s, header, kHeaderSize, static_cast<int>(svr->set.File_transfertimeout), true)) {
    s.close_flag.store(true);
    return false;
  }
  return true;
}

bool RefuseFrame(WL_ZelFtpSvr* svr, WL_FtpSession& s, unsigned code) { return SendHeader(svr, s, 500, code); }

// The checks CGET and CPUT share after the mode refusals: the argument,
// command protect, the local path, the transfer buffer. 0 when the command
// may go on with *local, *offset and *buf set; otherwise the refusal code.
unsigned Prepare(WL_ZelFtpSvr* svr, WL_FtpSession& s, const char* arg, uint32_t kind, uint16_t security_code,
                 unsigned security_refusal, std::string* local, int64_t* offset, char** buf) {
  if (*arg == '\0') return kFrameEmpty;
  if (ProtectRequired(svr, s) && !ProtectCheck(s, arg, kind)) return kFrameProtect;
  std::string_view name;
  switch (ParseOffsetAndName(arg, offset, &name)) {
    case 0: break;
    case 1: return kFrameNoBar;
    case 2: return kFrameBadName;
    case 4: return kFrameNegative;
    default: return kFrameBadOffset;
  }
  std::string cwd;
  if (!CurrentLocalDir(svr, s, &cwd)) return kFrameNoDir;
  *local = FoldSlashes(cwd + "/" + std::string(name));
  if (!ExtendSecurityCheck(svr, s, *local, security_code)) return security_refusal;
  *buf = s.TransferBuffer();
  if (*buf == nullptr) return kFrameNoBuffer;
  return 0;
}

// CGET "<offset>|<name>": sends a file of the current directory from offset
// as data frames, then "228 0" (or "500 0" after a read error).
bool HandleCget(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  if (!s.logged_in || s.account_index == WL_FtpAccount::kProxy ||
      (!s.backup_mode && s.current_path.view() == "/")) {
    ++s.failed_commands;
    return RefuseFrame(svr, s, kFrameLogin);
  }
  std::string local;
  int64_t offset = 0;
  char* buf = nullptr;
  if (const unsigned code = Prepare(svr, s, arg, kProtectRead, 4903, kFrameLogin, &local, &offset, &buf); code != 0) {
    return RefuseFrame(svr, s, code);
  }
  s.file.Close();
  FILE* f = OpenFile(local, "rb");
  if (f == nullptr) return RefuseFrame(svr, s, 12);
  s.file.Attach(f);
  if (OpenFileSize(f) < offset) {
    s.file.Close();
    return RefuseFrame(svr, s, 13);
  }
  if (!SeekTo(f, offset)) {
    s.file.Close();
    return RefuseFrame(svr, s, 14);
  }
  const int timeout = static_cast<int>(svr->set.File_transfertimeout);
  // Each frame is read behind room for its header, so header and bytes
  // leave in one send. File bytes never go to the log.
  char* const data = buf + kHeaderSize + 1;
  char* const head = buf + 1;
  for (;;) {
    if (s.close_flag.load()) return false;
    const size_t n = ReadBytes(f, data, kFrameData);
    if (n == 0) {
      const bool at_end = AtEnd(f);
      s.file.Close();
      if (!at_end) {
        svr->file_read_errors.fetch_add(1, std::memory_order_relaxed);
        return SendHeader(svr, s, 500, 0);
      }
      return SendHeader(svr, s, 228, 0);
    }
    char text[kHeaderText + 1];
    char header[kHeaderSize + 1];
    if (FormatText(text, sizeof(text), "218-%zx", n) < 0 || !FormatHeader(header, text)) return false;
    memcpy(head, header, kHeaderSize);
    if (!SendControl(svr, s, head, static_cast<int>(kHeaderSize + n), timeout, false)) {
      s.file.Close();
      return false;
    }
    s.bytes_sent += static_cast<int64_t>(n);
  }
}

// Reads CPUT's frames into the open file until the client ends or gives
// up. Returns 0 when the file is complete, 1 when the client gave up, or
// the code that stops the session.
uint16_t ReceiveFrames(WL_ZelFtpSvr* svr, WL_FtpSession& s, FILE* f, char* buf, int64_t* written) {
  const int64_t timeout = svr->set.File_transfertimeout;
  for (;;) {
    char head[kHeaderSize];
    if (!ReceiveExact(svr, s, head, kHeaderSize, timeout)) return kStopNoHeader;
    int64_t code = 0;
    uint64_t count = 0;
    switch (ParseFrameHeader(head, &code, &count)) {
      case 0: break;
      case 1: return kStopBadHeader;
      case 2: return kStopBadCode;
      default: return kStopBadCount;
    }
    if (code == 228) return 0;
    if (code >= 500 && code <= 599) return 1;
    if (code != 218) return kStopUnknown;
    if (count < 1 || count > kFrameData) return kStopData;
    if (!ReceiveExact(svr, s, buf, static_cast<int>(count), timeout)) return kStopData;
    s.bytes_received += static_cast<int64_t>(count);
    if (WriteFile(f, buf, count) != count) {
      svr->file_write_errors.fetch_add(1, std::memory_order_relaxed);
      return kStopWrite;
    }
    *written += static_cast<int64_t>(count);
  }
}

// CPUT "<offset>|<name>": receives a file of the current backup directory
// from offset. Nothing is answered after "218 0": a complete file keeps the
// session, a broken exchange ends it.
bool HandleCput(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  if (!s.logged_in || !s.backup_mode || s.account_index == WL_FtpAccount::kProxy) {
    ++s.failed_commands;
    return RefuseFrame(svr, s, kFrameLogin);
  }
  std::string local;
  int64_t offset = 0;
  char* buf = nullptr;
  if (const unsigned code = Prepare(svr, s, arg, kProtectWrite, 4904, kFrameEmpty, &local, &offset, &buf); code != 0) {
    return RefuseFrame(svr, s, code);
  }
  s.file.Close();
  FILE* f = OpenFile(local, offset > 0 ? "r+b" : "wb");
  if (f == nullptr) return RefuseFrame(svr, s, 15);
  s.file.Attach(f);
  if (offset > 0) {
    if (OpenFileSize(f) < offset) {
      s.file.Close();
      return RefuseFrame(svr, s, 12);
    }
    if (!SeekTo(f, offset)) {
      s.file.Close();
      return RefuseFrame(svr, s, 13);
    }
  }
  if (!SendHeader(svr, s, 218, 0)) return false;
  int64_t written = 0;
  uint16_t stop = ReceiveFrames(svr, s, f, buf, &written);
  // A complete file ends where the new bytes end: a shorter resend leaves
  // none of the older, longer file behind. A stopped or abandoned upload
  // keeps what arrived, for a later resume.
  if (stop == 0 && (!FlushFile(f) || (offset > 0 && !TruncateOpenFile(f, offset + written)))) {
    svr->file_write_errors.fetch_add(1, std::memory_order_relaxed);
    stop = kStopWrite;
  }
  s.file.Close();
  if (stop > 1) {
    s.security_code = stop;
    if (svr->set.Log_level > 0) SessionLog(svr, s, " <cput stopped> %" PRId64 " bytes written\r\n", written);
    s.close_flag.store(true);
    return false;
  }
  return true;
}

}  // namespace

WL_CommandHandler FrameHandlerFor(uint32_t code) {
  switch (code) {
    case kCmdCget: return HandleCget;
    case kCmdCput: return HandleCput;
    default: return nullptr;
  }
}

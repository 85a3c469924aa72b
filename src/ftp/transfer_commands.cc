// Single-file transfers: RETR, STOR, APPE, STOU and REST.
#include <cinttypes>
#include <cstdlib>
#include <string>

#include "accounts/account.h"
#include "base/local_path.h"
#include "core/server.h"
#include "ftp/arg_parsers.h"
#include "ftp/command_protect.h"
#include "ftp/command_table.h"
#include "ftp/data_connection.h"
#include "ftp/handlers.h"
#include "ftp/session.h"
#include "ftp/session_io.h"
#include "ftp/tls.h"
#include "ftp/virtual_path.h"
#include "platform/fs.h"

namespace {

// Downloads read and uploads receive one block at a time into the session's
// transfer buffer.
static_assert(kTransferBlock <= kTransferBufferSize, "a transfer block must fit the transfer buffer");

// The checks both directions share after their refusals: a prepared data
// connection and a safe local path. Returns 1 to go on, 0 when a refusal was
// sent, -1 when it could not be.
int ResolveTarget(WL_ZelFtpSvr* svr, WL_FtpSession& s, std::string_view arg, uint16_t security, std::string* local) {
  if (!DataReady(s)) return ReplyText(svr, s, "550 connect mode not ready\r\n") ? 0 : -1;
  if (arg.empty()) return ReplyText(svr, s, "550 bad parameters\r\n") ? 0 : -1;
  std::string_view a = arg;
  while (!a.empty() && (a.front() == ' ' || a.front() == '\t')) a.remove_prefix(1);
  if (a.substr(0, 2) == "./") a.remove_prefix(2);
  if (!IsSafeVirtualPath(a)) return ReplyText(svr, s, "550 unsafe filename\r\n") ? 0 : -1;
  if (!ResolveFilePath(svr, s, a, local) || !ExtendSecurityCheck(svr, s, *local, security) || local->empty() ||
      !IsSafeLocalPath(*local)) {
    return ReplyText(svr, s, "550 bad pathfile\r\n") ? 0 : -1;
  }
  return 1;
}

// After "150": the data connection and the transfer buffer. False when a
// 426 reply was sent instead (the handler then returns that reply's send
// result through *ok).
bool OpenForTransfer(WL_ZelFtpSvr* svr, WL_FtpSession& s, bool* ok) {
  *ok = true;
  if (!ReplyText(svr, s, "150 start connect and transfer\r\n")) {
    *ok = false;
    return false;
  }
  if (!OpenData(svr, s)) {
    *ok = ReplyText(svr, s, "426 data stream connect failed\r\n");
    return false;
  }
  if (s.data_private && !DataHandshake(svr, s)) {
    *ok = ReplyText(svr, s, "426 data stream ssl connect failed\r\n");
    return false;
  }
  if (s.TransferBuffer() == nullptr) {
    *ok = ReplyText(svr, s, "426 server error 11\r\n");
    return false;
  }
  return true;
}

bool DownloadLoop(WL_ZelFtpSvr* svr, WL_FtpSession& s, const std::string& local, int64_t* sent) {
  *sent = 0;
  s.file.Close();
  FILE* f = OpenFile(local, "rb");
  if (f == nullptr) return false;
  s.file.Attach(f);
  if (s.rest_offset > 0) {
    const int64_t size = OpenFileSize(f);
    if (size < s.rest_offset || !SeekTo(f, s.rest_offset)) return false;
  }
  bool read_error = false;
  bool ok;
  if (s.data_ssl == nullptr) {
    // Plain data: the kernel moves the file.
    ok = DataSendFile(svr, s, FileDescriptor(f), svr->set.File_transfertimeout, sent, &read_error);
  } else {
    char* buf = s.TransferBuffer();
    ok = true;
    while (ok && !s.close_flag.load()) {
      const size_t n = ReadBytes(f, buf, kTransferBlock);
      if (n == 0) {
        read_error = !AtEnd(f);
        ok = !read_error;
        break;
      }
      ok = DataSend(svr, s, buf, n, svr->set.File_transfertimeout);
      if (ok) *sent += static_cast<int64_t>(n);
    }
    ok = ok && !s.close_flag.load();
  }
  if (read_error) svr->file_read_errors.fetch_add(1, std::memory_order_relaxed);
  s.file.Close();
  return ok;
}

// The upload loop. The upload counts as done when the client ended the data
// connection cleanly or sent a command; any other end (time-out, reset,
// error) is a failure, though everything received is kept.
bool UploadLoop(WL_ZelFtpSvr* svr, WL_FtpSession& s, const std::string& local, bool append, int64_t* written) {
  *written = 0;
  s.file.Close();
  const int64_t offset = append ? 0 : s.rest_offset;
  FILE* f = nullptr;
  if (append) {
    f = OpenFile(local, "ab");
  } else if (offset > 0) {
    f = OpenFile(local, "r+b");
    if (f != nullptr && (OpenFileSize(f) < offset || !SeekTo(f, offset))) {
      CloseFile(f);
      return false;
    }
  } else {
    f = OpenFile(local, "wb");
  }
  if (f == nullptr) return false;
  s.file.Attach(f);
  char* buf = s.TransferBuffer();
  DataEnd end = DataEnd::kNone;
  while (!s.close_flag.load()) {
    size_t got = 0;
    // Write what has come once 64 KiB are in and the socket is drained, so
    // the disk write overlaps the sender instead of stalling its window.
    const bool full = DataRecv(svr, s, buf, kTransferBlock, svr->set.File_transfertimeout, &got, &end, 65536);
    if (got > 0) {
      if (WriteFile(f, buf, got) != got) {
        svr->file_write_errors.fetch_add(1, std::memory_order_relaxed);
        s.file.Close();
        return false;
      }
      *written += static_cast<int64_t>(got);
    }
    if (!full) break;
  }
  const bool clean = end == DataEnd::kStream || end == DataEnd::kAbort;
  bool ok = FlushFile(f) && clean;
  // A resumed upload that ended cleanly is the whole file: cut any older
  // bytes behind the new data. A failed one stays, for the next resume.
  if (ok && offset > 0 && !TruncateOpenFile(f, offset + *written)) ok = false;
  s.file.Close();
  return ok;
}

bool HandleRetr(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  s.skip_data_shutdown = 0;
  if (!s.logged_in) return Refuse(svr, s, "550 login first\r\n");
  if (s.account_index == WL_FtpAccount::kProxy) return Refuse(svr, s, "550 unknown command\r\n");
  svr->RecordPeer(WL_ZelFtpSvr::kRecDownload, s);
  bool ok;
  if (!PassesProtect(svr, s, arg, kProtectRead, &ok)) return ok;
  std::string local;
  const int target = ResolveTarget(svr, s, arg, 4901, &local);
  if (target <= 0) return target == 0;
  // Standard clients expect a missing file to be refused before "150"
  // (some probe for one on purpose).
  if (s.standard_replies && (PathKind(local) != kPathRegular || !CanRead(local))) {
    return ReplyText(svr, s, "550 file not exist\r\n");
  }
  if (!OpenForTransfer(svr, s, &ok)) return ok;
  int64_t sent = 0;
  if (!DownloadLoop(svr, s, local, &sent)) return ReplyText(svr, s, "426 file transfer failed\r\n");
  if (!Reply(svr, s, "226 file transfer done: %" PRId64 "\r\n", sent)) return false;
  s.skip_data_shutdown = 1;
  return true;
}

bool HandleStore(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  s.skip_data_shutdown = 0;
  if (!s.logged_in) return Refuse(svr, s, "550 login first\r\n");
  if (!s.backup_mode) return Refuse(svr, s, "550 must be in backup mode\r\n");
  if (s.account_index == WL_FtpAccount::kProxy) return Refuse(svr, s, "550 unknown command\r\n");
  svr->RecordPeer(WL_ZelFtpSvr::kRecUpload, s);
  bool ok;
  if (!PassesProtect(svr, s, arg, kProtectWrite, &ok)) return ok;
  std::string local;
  const char* name = s.command_code == kCmdStou ? s.stou_name : arg;
  const int target = ResolveTarget(svr, s, name, 4902, &local);
  if (target <= 0) return target == 0;
  if (!OpenForTransfer(svr, s, &ok)) return ok;
  int64_t written = 0;
  if (!UploadLoop(svr, s, local, s.command_code == kCmdAppe, &written)) {
    return ReplyText(svr, s, "426 file transfer failed\r\n");
  }
  if (!Reply(svr, s, "226 file transfer done: %" PRId64 "\r\n", written)) return false;
  s.skip_data_shutdown = 1;
  return true;
}

bool HandleRest(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  if (!s.logged_in) return Refuse(svr, s, "550 login first\r\n");
  if (s.account_index == WL_FtpAccount::kProxy) return Refuse(svr, s, "550 unknown command\r\n");
  s.rest_offset = ParseRestOffset(arg);
  return Reply(svr, s, "350 reset at %" PRId64 "\r\n", s.rest_offset);
}

}  // namespace

WL_CommandHandler TransferHandlerFor(uint32_t code) {
  switch (code) {
    case kCmdRetr:
      return HandleRetr;
    case kCmdStor:
    case kCmdAppe:
    case kCmdStou:
      return HandleStore;
    case kCmdRest:
      return HandleRest;
    default:
      return nullptr;
  }
}

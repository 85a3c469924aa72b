// Joint transfers: JKEY, STOM and RETM (also STOR and RETR with "*"), the
// joint line loops on the data connection, and TFBS on the control
// connection.
//
// One joint session mirrors one directory, the session's current one, over
// one data connection. Every line carries the signature of the joint key;
// names never leave the directory.
#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <string>
#include <string_view>

#include "accounts/account.h"
#include "base/file_util.h"
#include "base/local_path.h"
#include "core/server.h"
#include "ftp/arg_parsers.h"
#include "ftp/command_protect.h"
#include "ftp/command_table.h"
#include "ftp/data_connection.h"
#include "ftp/handlers.h"
#include "ftp/joint_protocol.h"
#include "ftp/session.h"
#include "ftp/session_io.h"
#include "ftp/tls.h"
#include "ftp/virtual_path.h"
#include "platform/clock.h"
#include "platform/fs.h"

namespace {

static_assert(kJointChunkOffset >= kJointMaxLine + 512,
              "a reply and a DATA line in front of a chunk must clear the command lines");
static_assert(kJointChunkOffset + kJointMaxChunk + 256 <= kTransferBufferSize,
              "chunk, its line and a closing DEOF line must fit the transfer buffer");

// How a joint session ends: above 0 by EXIT, 0 by a protocol error or a
// failed transfer, below 0 because the session is closing.
constexpr int kJointDone = 1;
constexpr int kJointFailed = 0;
constexpr int kJointClosing = -1;

// The sequence value of a reply: the client's value, one, a few tick
// milliseconds and the slot; a small result gets floor more.
uint32_t ReplySeq(const WL_FtpSession& s, uint32_t client_seq, uint32_t mod, uint32_t floor) {
  uint32_t v = client_seq + 1 + GetTickCount() % mod + s.slot_index;
  if (v < floor) v += floor;
  return v;
}

// The sequence value of a DATA (3, 170) or DEOF (1, 57) line after seq.
uint32_t StepSeq(uint32_t seq, uint32_t base, uint32_t mod) {
  uint32_t v = seq + base + GetTickCount() % mod;
  if (v < 10) v += 10;
  return v;
}

// A file's tail block at offset, with the result codes of the tail-block
// hash: the count, or -2 cannot open, -3 offset below 1 MiB or a file not
// above 2 MiB, -4 offset at or past the end, -5 the seek failed.
int TailBlockRead(const std::string& path, char* block, int64_t offset, int64_t* size) {
  *size = 0;
  if (offset < kTailBlockMinOffset) return -3;
  const int n = ReadSample(path, block, offset, size);
  return n == -1 ? -3 : n;
}

class JointSession {
 public:
  JointSession(WL_ZelFtpSvr* svr, WL_FtpSession& s, std::string dir, bool upload)
      : svr_(svr), s_(s), dir_(std::move(dir)), upload_(upload), buf_(s.TransferBuffer()) {}

  int Run() {
    for (;;) {
      size_t len = 0;
      int r = Collect(svr_->set.Joint_cmdtimeout, &len);
      if (r <= 0) return r;
      r = Command(len);
      if (r != kJointGoOn) return r;
    }
  }

 private:
  static constexpr int kJointGoOn = 2;

  // One parsed request: its text, fields and (for verbs that carry one) the
  // local path of its name.
  struct Request {
    int64_t f[4] = {0, 0, 0, 0};
    int fields = 0;
    std::string path;
  };

  bool Crc() const { return svr_->set.Ftp_jointcrc != 0; }

  // Collects one line at the start of the buffer, keeping what follows it.
  // Returns 1 with *len the line's length ("\r\n" included), else a result.
  int Collect(int64_t timeout, size_t* len) {
    for (;;) {
      if (have_ >= 2) {
        const void* cr = nullptr;
        for (size_t i = 0; i + 1 < have_; ++i) {
          if (buf_[i] == '\r' && buf_[i + 1] == '\n') {
            cr = buf_ + i;
            break;
          }
        }
        if (cr != nullptr) {
          *len = static_cast<size_t>(static_cast<const char*>(cr) - buf_) + 2;
          return 1;
        }
      }
      if (s_.close_flag.load()) return kJointClosing;
      if (have_ >= kJointMaxLine) return kJointFailed;
      size_t got = 0;
      const bool ok = DataRecvLine(svr_, s_, buf_ + have_, kJointMaxLine - have_, timeout, &got);
      have_ += got;
      if (!ok) return s_.close_flag.load() ? kJointClosing : kJointFailed;
    }
  }

  // Drops the first n bytes of the buffer.
  void Consume(size_t n) {
    memmove(buf_, buf_ + n, have_ - n);
    have_ -= n;
  }

  // Takes the line of len bytes apart and checks it: signature, fields
  // (kinds as ScanFields), and the name when with_name. The line stays in
  // the buffer. False for any violation.
  bool Parse(size_t len, const char* kinds, int min_fields, bool with_name, Request* rq) {
    JointLine jl;
    if (!SplitJointLine(std::string_view(buf_, len), &jl) || jl.text.size() < 6) return false;
    if (!JointSigMatches(s_.joint_client, s_.joint_server, jl.text, jl.sig)) return false;
    char text[kJointMaxLine + 1];
    memcpy(text, jl.text.data(), jl.text.size());
    text[jl.text.size()] = '\0';
    rq->fields = ScanFields(text + 5, kinds, rq->f);
    if (rq->fields < min_fields) return false;
    if (!with_name) return true;
    std::string_view name;
    if (!JointLineName(jl.text, &name) || !IsSafeJointName(name)) return false;
    std::string path = FoldSlashes(dir_ + "/" + std::string(name));
    if (!IsSafeLocalPath(path)) return false;
    rq->path = std::move(path);
    return true;
  }

  // Sends one signed line; text is formatted from fmt.
  bool SendLine(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    const int n = FormatTextV(text, sizeof(text), fmt, ap);
    va_end(ap);
    char line[640];
    const int len = n < 0 ? -1 : FormatJointLine(s_.joint_client, s_.joint_server, text, line, sizeof(line));
    return len > 0 && DataSend(svr_, s_, line, static_cast<size_t>(len), svr_->set.Joint_cmdtimeout);
  }

  // A failed send: the session may be closing.
  int SendFailed() const { return s_.close_flag.load() ? kJointClosing : kJointFailed; }

  int Command(size_t len) {
    if (len < 6) return kJointFailed;
    JointLine jl;
    if (!SplitJointLine(std::string_view(buf_, len), &jl) || jl.text.size() < 6) return kJointFailed;
    const std::string_view verb = jl.text.substr(0, 5);
    if (verb == "EXIT ") return kJointDone;  // needs no signature
    Request rq;
    int r = kJointFailed;
    if (verb == "FILE ") {
      if (!Parse(len, "xh", 2, true, &rq)) return kJointFailed;
      Consume(len);
      r = FileInfo(rq);
    } else if (verb == "MDIR ") {
      if (!Parse(len, "xhx", 2, true, &rq)) return kJointFailed;
      Consume(len);
      r = upload_ ? MakeDir(rq) : DirInfo(rq);
    } else if (verb == "TFBS ") {
      if (!Parse(len, "xhx", 3, true, &rq) || rq.fields != 3) return kJointFailed;
      Consume(len);
      r = TailHash(rq);
    } else if (!upload_ && verb == "READ ") {
      if (!Parse(len, "xhld", 3, true, &rq)) return kJointFailed;
      Consume(len);
      r = Read(rq);
    } else if (upload_ && verb == "OPEN ") {
      if (!Parse(len, "xhdd", 3, true, &rq)) return kJointFailed;
      if (have_ != len) return kJointFailed;  // nothing may follow OPEN before its reply
      Consume(len);
      r = Open(rq);
    } else if (upload_ && verb == "DELD ") {
      if (!Parse(len, "xhx", 2, true, &rq)) return kJointFailed;
      Consume(len);
      r = DeleteDir(rq);
    } else if (upload_ && verb == "DELF ") {
      if (!Parse(len, "xhx", 2, true, &rq)) return kJointFailed;
      Consume(len);
      r = DeleteFile(rq);
    }
    return r;
  }

  static uint64_t V(const Request& rq) { return static_cast<uint64_t>(rq.f[0]); }
  static uint32_t S(const Request& rq) { return static_cast<uint32_t>(rq.f[1]); }

  int FileInfo(const Request& rq) {
    uint64_t size = 0;
    int kind = kKindOther;
    int64_t mtime = 0;
    const bool regular = GetPathInfo(rq.path, &size, &kind, &mtime) && kind == kKindRegular;
    if (!regular) {
      size = 0;
      mtime = 0;
    }
    const bool ok = SendLine("200 %" PRIx64 " %x %d %" PRId64 " %" PRId64, V(rq), ReplySeq(s_, S(rq), 100, 5),
                             regular ? 1 : 0, static_cast<int64_t>(size), mtime);
    return ok ? kJointGoOn : SendFailed();
  }

  int DirInfo(const Request& rq) {
    const bool ok = SendLine("200 %" PRIx64 " %x %d", V(rq), ReplySeq(s_, S(rq), 100, 5), IsDirectory(rq.path) ? 1 : 0);
    return ok ? kJointGoOn : SendFailed();
  }

  int MakeDir(const Request& rq) {
    if (!IsDirectory(rq.path) && MakeDirectory(rq.path) && rq.fields >= 3) {
      const int64_t t = ClampFileTime(static_cast<uint64_t>(rq.f[2]));
      if (t > 0) SetFileTimes(rq.path, 0, t);  // a time that cannot be set changes nothing
    }
    const bool ok = SendLine("200 %" PRIx64 " %x %d", V(rq), ReplySeq(s_, S(rq), 100, 6), IsDirectory(rq.path) ? 1 : 0);
    return ok ? kJointGoOn : SendFailed();
  }

  int DeleteDir(const Request& rq) {
    if (IsDirectory(rq.path)) DeleteTree(rq.path);
    const bool ok = SendLine("200 %" PRIx64 " %x %d", V(rq), ReplySeq(s_, S(rq), 100, 6), IsDirectory(rq.path) ? 0 : 1);
    return ok ? kJointGoOn : SendFailed();
  }

  int DeleteFile(const Request& rq) {
    const bool gone = PathKind(rq.path) != kPathRegular || RemoveFile(rq.path);
    const bool ok = SendLine("200 %" PRIx64 " %x %d", V(rq), ReplySeq(s_, S(rq), 100, 6), gone ? 1 : 0);
    return ok ? kJointGoOn : SendFailed();
  }

  int TailHash(const Request& rq) {
    char block[kTailBlockSize];
    int64_t size = 0;
    const int n = TailBlockRead(rq.path, block, rq.f[2], &size);
    char hash[65] = "0";
    if (n >= 1 && n <= static_cast<int>(kTailBlockSize) && TailBlockHash(block, static_cast<size_t>(n), hash)) {
      hash[kJointSigLength] = '\0';
    } else {
      memcpy(hash, "0", 2);
    }
    const bool ok = SendLine("200 %" PRIx64 " %x %d *%s", V(rq), ReplySeq(s_, S(rq), 100, 5), n, hash);
    return ok ? kJointGoOn : SendFailed();
  }

  // READ: the file from an offset, as DATA lines with their chunks and a
  // closing DEOF line.
  int Read(const Request& rq) {
    const int mode = rq.fields >= 4 && Crc() ? static_cast<int>(rq.f[3]) : 0;
    s_.file.Close();
    FILE* f = OpenFile(rq.path, "rb");
    if (f != nullptr) s_.file.Attach(f);
    if (f != nullptr && rq.f[2] > 0 && !SeekTo(f, rq.f[2])) s_.file.Close();
    const uint32_t seq = ReplySeq(s_, S(rq), 120, 5);
    if (!s_.file.IsOpen()) {
      return SendLine("500 %" PRIx64 " %x 0", V(rq), seq) ? kJointGoOn : SendFailed();
    }
    // The reply leaves with the first chunk: one send for a small file.
    char reply[256];
    const int rl = Line(reply, sizeof(reply), "200 %" PRIx64 " %x 0", V(rq), seq);
    if (rl < 0) return kJointFailed;
    const int r = SendChunks(s_.file.stream(), mode > 0 && s_.login_option != 0 && Crc() ? mode : 0, seq,
                             std::string_view(reply, static_cast<size_t>(rl)));
    s_.file.Close();
    return r;
  }

  // Appends the signed line of text to out. Returns its length, -1 when it
  // does not fit.
  int Line(char* out, size_t cap, const char* fmt, ...) __attribute__((format(printf, 4, 5))) {
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    const int n = FormatTextV(text, sizeof(text), fmt, ap);
    va_end(ap);
    return n < 0 ? -1 : FormatJointLine(s_.joint_client, s_.joint_server, text, out, cap);
  }

  // Sends the file as DATA lines with their chunks and a DEOF line; lead
  // goes out in front of the first send.
  int SendChunks(FILE* f, int mode, uint32_t seq, std::string_view lead) {
    const size_t chunk = s_.mode_option != 0 ? kJointLargeChunk : kJointSmallChunk;
    char* data = buf_ + kJointChunkOffset;
    const int64_t timeout = svr_->set.File_transfertimeout;
    for (;;) {
      if (s_.close_flag.load()) return kJointClosing;
      const size_t n = ReadBytes(f, data, chunk);
      // A short read is the end of the file or a read error; either way the
      // DEOF line can leave with the last chunk.
      const bool last = n < chunk;
      const bool clean = !last || AtEnd(f);
      if (!clean) svr_->file_read_errors.fetch_add(1, std::memory_order_relaxed);
      char* start = data;
      size_t total = 0;
      if (n > 0) {
        const uint64_t c = mode > 0 ? JointChecksum(mode, data, n) : 0;
        seq = StepSeq(seq, 3, 170);
        char head[256];
        const int hl = Line(head, sizeof(head), "DATA %" PRIx64 " %x %d %" PRIx64, s_.Draw(), seq, static_cast<int>(n), c);
        if (hl < 0) return kJointFailed;
        start = data - hl;
        memcpy(start, head, static_cast<size_t>(hl));
        total = static_cast<size_t>(hl) + n;
      }
      if (!lead.empty()) {
        start -= lead.size();
        memcpy(start, lead.data(), lead.size());
        total += lead.size();
        lead = {};
      }
      if (last) {
        seq = StepSeq(seq, 1, 57);
        const int tl = Line(start + total, 256, "DEOF %" PRIx64 " %x 0 0 %u", s_.Draw(), seq, clean ? 1u : 0u);
        if (tl < 0) return kJointFailed;
        total += static_cast<size_t>(tl);
      }
      if (!DataSend(svr_, s_, start, total, timeout)) return SendFailed();
      if (last) return kJointGoOn;
    }
  }

  // OPEN: receives one file as DATA lines with their chunks up to DEOF.
  int Open(const Request& rq) {
    const bool append = rq.f[2] != 0;
    const int mode = rq.fields >= 4 ? static_cast<int>(rq.f[3]) : 0;
    s_.file.Close();
    FILE* f = OpenFile(rq.path, append ? "ab" : "wb");
    if (f != nullptr) s_.file.Attach(f);
    if (!SendLine("%03d %" PRIx64 " %x 0", f != nullptr ? 200 : 500, V(rq), ReplySeq(s_, S(rq), 120, 5))) {
      return SendFailed();
    }
    if (f == nullptr) return kJointGoOn;
    const int r = ReceiveChunks(f, mode, rq.path);
    s_.file.Close();
    return r;
  }

  int ReceiveChunks(FILE* f, int mode, const std::string& path) {
    const int64_t timeout = svr_->set.File_transfertimeout;
    char* data = buf_ + kJointChunkOffset;
    for (;;) {
      size_t len = 0;
      const int c = Collect(timeout, &len);
      if (c <= 0) return c;
      if (len < 50) return kJointFailed;
      JointLine jl;
      if (!SplitJointLine(std::string_view(buf_, len), &jl) || jl.text.size() < 6) return kJointFailed;
      const std::string_view verb = jl.text.substr(0, 5);
      Request rq;
      if (verb == "DATA ") {
        if (!Parse(len, "xhdx", 4, false, &rq)) return kJointFailed;
        if (rq.f[2] < 1 || rq.f[2] > static_cast<int64_t>(kJointMaxChunk)) return kJointFailed;
        const size_t want = static_cast<size_t>(rq.f[2]);
        Consume(len);
        const size_t take = have_ < want ? have_ : want;
        memcpy(data, buf_, take);
        Consume(take);
        if (take < want) {
          size_t got = 0;
          DataEnd end = DataEnd::kNone;
          if (!DataRecv(svr_, s_, data + take, want - take, timeout, &got, &end)) return SendFailed();
        }
        const uint64_t sum = static_cast<uint64_t>(rq.f[3]);
        if (sum != 0 && Crc() && mode > 0 && JointChecksum(mode, data, want) != sum) {
          svr_->joint_checksum_errors.fetch_add(1, std::memory_order_relaxed);
          return kJointFailed;
        }
        if (WriteFile(f, data, want) != want) {
          svr_->file_write_errors.fetch_add(1, std::memory_order_relaxed);
          return kJointFailed;
        }
      } else if (verb == "DEOF ") {
        if (!Parse(len, "xhxx", 4, false, &rq)) return kJointFailed;
        Consume(len);
        // A write the disk refuses late must not pass for a stored file.
        if (!FlushFile(f)) {
          svr_->file_write_errors.fetch_add(1, std::memory_order_relaxed);
          return kJointFailed;
        }
        s_.file.Close();
        const int64_t w = ClampFileTime(static_cast<uint64_t>(rq.f[2]));
        const int64_t t = ClampFileTime(static_cast<uint64_t>(rq.f[3]));
        if (w > 0) SetFileTimes(path, t, w);
        return kJointGoOn;
      } else {
        return kJointFailed;
      }
    }
  }

  WL_ZelFtpSvr* svr_;
  WL_FtpSession& s_;
  const std::string dir_;
  const bool upload_;
  char* buf_;
  size_t have_ = 0;  // bytes collected at the start of buf_
};

bool HandleJoint(WL_ZelFtpSvr* svr, WL_FtpSession& s, const char* arg, bool upload) {
  s.skip_data_shutdown = 0;
  if (!s.logged_in) return Refuse(svr, s, "550 login first\r\n");
  if (upload && !s.backup_mode) return Refuse(svr, s, "550 must be in backup mode\r\n");
  if (s.account_index == WL_FtpAccount::kProxy) return Refuse(svr, s, "550 unknown command\r\n");
  svr->RecordPeer(upload ? WL_ZelFtpSvr::kRecUpload : WL_ZelFtpSvr::kRecDownload, s);
  bool ok;
  if (!PassesProtect(svr, s, arg, upload ? kProtectWrite : kProtectRead, &ok)) return ok;
  if (s.joint_client == 0 && s.joint_server == 0) return ReplyText(svr, s, "550 parameter not ready\r\n");
  if (!DataReady(s)) return ReplyText(svr, s, "550 connect mode not ready\r\n");
  if (!ReplyText(svr, s, "150 start connect and transfer\r\n")) return false;
  if (!OpenData(svr, s)) return ReplyText(svr, s, "426 data stream connect failed\r\n");
  if (s.data_private && !DataHandshake(svr, s)) return ReplyText(svr, s, "426 data stream ssl connect failed\r\n");
  if (s.TransferBuffer() == nullptr) return ReplyText(svr, s, "426 server error 11\r\n");
  std::string dir;
  if (!CurrentLocalDir(svr, s, &dir)) return ReplyText(svr, s, "426 bad work dir found\r\n");
  if (!ExtendSecurityCheck(svr, s, dir, upload ? 4950 : 4951)) return ReplyText(svr, s, "426 security error\r\n");
  const int r = JointSession(svr, s, std::move(dir), upload).Run();
  s.file.Close();
  if (r < 0) return false;
  return Reply(svr, s, "%d joint transfer done\r\n", r > 0 ? 226 : 426);
}

bool HandleStom(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  return HandleJoint(svr, *svr->Session(slot, family), arg, true);
}

bool HandleRetm(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  return HandleJoint(svr, *svr->Session(slot, family), arg, false);
}

bool HandleJkey(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  int gate;
  if ((gate = LoginGate(svr, s)) <= 0) return gate == 0;
  int64_t f[2] = {0, 0};
  const int n = ScanFields(arg, "xd", f);
  if (n < 1 || f[0] == 0) return ReplyText(svr, s, "450 bad parameter\r\n");
  s.joint_client = static_cast<uint64_t>(f[0]);
  const int64_t mode = n >= 2 && svr->set.Ftp_jointcrc && f[1] >= 0 && f[1] <= 2 ? f[1] : 0;
  s.login_option = mode != 0 ? 1 : 0;
  s.joint_server = s.Draw();
  return Reply(svr, s, "%u %" PRIx64 "\r\n", s.login_option ? 201u : 200u, s.joint_server);
}

// TFBS on the control connection: "offset|path".
bool HandleTfbs(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  int gate;
  if ((gate = LoginGate(svr, s)) <= 0) return gate == 0;
  s.rest_offset = 0;
  const char* bar = strchr(arg, '|');
  if (bar == nullptr) return ReplyText(svr, s, "450 bad parameters\r\n");
  const std::string offset_text(arg, static_cast<size_t>(bar - arg));
  int64_t offset = 0;
  if (ScanFields(offset_text.c_str(), "l", &offset) < 1 || offset < kTailBlockMinOffset) {
    return ReplyText(svr, s, "450 out of range\r\n");
  }
  const char* path = bar + 1;
  while (*path == ' ' || *path == '\t') ++path;
  std::string local;
  if (!ResolveFilePath(svr, s, path, &local) || !IsSafeLocalPath(local)) {
    return ReplyText(svr, s, "450 bad parameters\r\n");
  }
  char block[kTailBlockSize];
  int64_t size = 0;
  const int n = TailBlockRead(local, block, offset, &size);
  if (n < 0) return ReplyText(svr, s, "550 failed to get file tail\r\n");
  if (n == 0 || n > static_cast<int>(kTailBlockSize) || offset >= size) return ReplyText(svr, s, "450 0\r\n");
  char hash[65];
  if (!TailBlockHash(block, static_cast<size_t>(n), hash)) return ReplyText(svr, s, "500 0 failed\r\n");
  return Reply(svr, s, "200  %d %" PRId64 " * %s\r\n", n, size, hash);
}

}  // namespace

WL_CommandHandler JointHandlerFor(uint32_t code) {
  switch (code) {
    case kCmdJkey:
      return HandleJkey;
    case kCmdStom:
      return HandleStom;
    case kCmdRetm:
      return HandleRetm;
    case kCmdTfbs:
      return HandleTfbs;
    default:
      return nullptr;
  }
}

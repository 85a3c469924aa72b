// The hash and benchmark commands: F256 (the SHA-256 of a file), T256 (a
// SHA-256 workload) and TECC (a checksum workload).
#include "ftp/hash_commands.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>

#include "accounts/account.h"
#include "base/digest.h"
#include "base/file_util.h"
#include "core/server.h"
#include "ftp/arg_parsers.h"
#include "ftp/command_table.h"
#include "ftp/data_connection.h"
#include "ftp/handlers.h"
#include "ftp/joint_protocol.h"
#include "ftp/session.h"
#include "ftp/session_io.h"
#include "ftp/virtual_path.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/socket.h"

namespace {

void Put32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// A long command gives up when the client sends anything on the control
// connection, or the connection fails.
bool ControlQuiet(const WL_FtpSession& s) {
  bool ready = false;
  return WaitReadable(s.ctrl_socket.Get(), &ready, 0) && !ready;
}

// A benchmark buffer, freed on every exit path.
struct BenchBuffer {
  unsigned char* p = static_cast<unsigned char*>(malloc(kBenchBufferSize));
  ~BenchBuffer() { free(p); }
};

bool HandleF256(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  int gate;
  if ((gate = LoginGate(svr, s)) <= 0) return gate == 0;
  if (svr->set.Filehash_adminonly && !s.is_admin) return Refuse(svr, s, "550 unknown command\r\n");
  if (*arg == '\0') return ReplyText(svr, s, "550 bad parameter\r\n");
  if (!IsSafeName(arg)) return ReplyText(svr, s, "550 bad filename\r\n");
  if (!s.backup_mode && s.current_path.view() == "/") return ReplyText(svr, s, "550 bad directory\r\n");
  std::string dir;
  if (!CurrentLocalDir(svr, s, &dir)) return ReplyText(svr, s, "550 bad local directory\r\n");
  char* buf = s.TransferBuffer();
  if (buf == nullptr) return ReplyText(svr, s, "550 server busy 1\r\n");
  s.file.Close();
  // Regular files only: OpenFile refuses a directory, a FIFO or a device.
  FILE* f = OpenFile(dir + "/" + arg, "rb");
  if (f == nullptr) return ReplyText(svr, s, "550 file not exist or failed to open\r\n");
  s.file.Attach(f);
  svr->file_hash_count.fetch_add(1, std::memory_order_relaxed);
  WL_Sha256 sha;
  bool ok = sha.ok();
  for (uint64_t reads = 0; ok; ++reads) {
    if ((reads + 1) % 17 == 0 && !ControlQuiet(s)) ok = false;  // before every 17th read
    if (!ok || s.close_flag.load()) break;
    const size_t n = ReadBytes(f, buf, kTransferBlock);
    if (n > 0) ok = sha.Update(buf, n);
    if (n < kTransferBlock) {
      // A short read is the end of the file or a read error; a digest of
      // part of a file is no digest of the file.
      if (!AtEnd(f)) {
        svr->file_read_errors.fetch_add(1, std::memory_order_relaxed);
        ok = false;
      }
      break;
    }
  }
  s.file.Close();
  if (s.close_flag.load()) return false;
  char hex[65];
  if (!ok || !sha.FinishHex(hex)) return ReplyText(svr, s, "450 unknown error\r\n");
  return Reply(svr, s, "200 %s\r\n", hex);
}

bool HandleT256(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  int gate;
  if ((gate = AdminGate(svr, s)) <= 0) return gate == 0;
  int64_t seed = 430;
  if (ScanFields(arg, "l", &seed) < 1) seed = 430;
  BenchBuffer b;
  if (b.p == nullptr) return ReplyText(svr, s, "500 benchmark failed\r\n");
  const uint32_t t0 = GetTickCount();
  char hex[65];
  const bool ok = T256Workload(static_cast<uint32_t>(seed), kT256Rounds, b.p,
                               [&s] { return !s.close_flag.load() && ControlQuiet(s); }, hex);
  const uint32_t elapsed = GetTickCount() - t0;
  if (s.close_flag.load()) return false;
  if (!ok) return ReplyText(svr, s, "500 benchmark failed\r\n");
  return Reply(svr, s, "200 %u %s\r\n", elapsed, hex);
}

bool HandleTecc(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  int gate;
  if ((gate = AdminGate(svr, s)) <= 0) return gate == 0;
  int64_t v[2] = {2, 0};
  const int n = ScanFields(arg, "ll", v);
  const uint32_t fill = n >= 1 ? static_cast<uint32_t>(v[0]) : 2u;
  const uint32_t version = n >= 2 ? static_cast<uint32_t>(v[1]) : 0u;
  BenchBuffer b;
  if (b.p == nullptr) return ReplyText(svr, s, "500 benchmark failed\r\n");
  const uint32_t t0 = GetTickCount();
  const uint64_t acc = TeccWorkload(static_cast<uint8_t>(fill), version, t0 % 2000, kTeccRounds, b.p,
                                    [&s] { return !s.close_flag.load(); });
  const uint32_t t1 = GetTickCount();
  if (s.close_flag.load()) return false;
  // A wrapped tick count gives no figure; an equal one counts as 1 ms.
  const uint32_t elapsed = t1 < t0 ? 0 : (t1 == t0 ? 1 : t1 - t0);
  if (elapsed == 0) return ReplyText(svr, s, "500 benchmark failed\r\n");
  return Reply(svr, s, "200 Crc rate : %u ms per GB :%" PRIx64 " ver=%u\r\n", elapsed, acc, version);
}

}  // namespace

bool T256Workload(uint32_t seed, int rounds, unsigned char* buf, const std::function<bool()>& go_on, char out[65]) {
  memset(buf, 0x54, kBenchBufferSize);
  Put32(buf, seed);
  Put32(buf + 4, ~seed);
  WL_Sha256 sha;
  if (!sha.ok()) return false;
  for (int k = 1; k <= rounds; ++k) {
    if ((k - 1) % 16 == 0 && !go_on()) return false;
    const uint32_t check = static_cast<uint32_t>((k - 1) % 16 + 1);
    unsigned char* at = buf + 409600 + 12 * static_cast<size_t>(k - 1);
    Put32(at, seed);
    Put32(at + 4, check * 255 + 128);
    if (!sha.Update(buf, kBenchBufferSize)) return false;
  }
  return sha.FinishHex(out);
}

uint64_t TeccWorkload(uint8_t fill, uint32_t version, uint32_t shift, int rounds, unsigned char* buf,
                      const std::function<bool()>& go_on) {
  memset(buf, fill, kBenchBufferSize);
  uint64_t acc = 0;
  for (int i = 0; i < rounds && go_on(); ++i) {
    const size_t at = static_cast<size_t>(i) + shift + 1;
    if (at < kBenchBufferSize) buf[at] = 0x4b;
    acc ^= version == 0 ? JointChecksumA(buf, kBenchBufferSize) : JointChecksumB(buf, kBenchBufferSize);
  }
  return acc;
}

WL_CommandHandler HashHandlerFor(uint32_t code) {
  switch (code) {
    case kCmdF256:
      return HandleF256;
    case kCmdT256:
      return HandleT256;
    case kCmdTecc:
      return HandleTecc;
    default:
      return nullptr;
  }
}

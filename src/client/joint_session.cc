#include "client/joint_session.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "base/format.h"
#include "client/ftp_client.h"
#include "client/output.h"
#include "ftp/joint_protocol.h"
#include "platform/fs.h"

namespace {

// Seconds a line or a chunk may take.
constexpr int kJointTimeout = 300;

WL_Outcome Broken(const std::string& what) { return WL_Outcome::Fail(kExitTransfer, "joint transfer: " + what); }

std::vector<std::string> SplitBlanks(const std::string& text) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < text.size()) {
    const size_t j = text.find(' ', i);
    if (j == std::string::npos) {
      out.push_back(text.substr(i));
      break;
    }
    if (j > i) out.push_back(text.substr(i, j - i));
    i = j + 1;
  }
  return out;
}

uint64_t Hex(const std::string& s) { return strtoull(s.c_str(), nullptr, 16); }

}  // namespace

WL_JointSession::WL_JointSession(WL_NetStream* data, uint64_t client, uint64_t server, int crc_mode)
    : data_(data), client_(client), server_(server), crc_mode_(crc_mode) {}

WL_Outcome WL_JointSession::SendRaw(const void* data, size_t n) {
  if (!data_->SendAll(data, n, kJointTimeout)) return Broken("the data connection failed while sending");
  return WL_Outcome::Done();
}

WL_Outcome WL_JointSession::Send(const std::string& text) {
  char line[kJointMaxLine];
  const int n = FormatJointLine(client_, server_, text, line, sizeof(line));
  if (n < 0) return Broken("line too long");
  return SendRaw(line, static_cast<size_t>(n));
}

WL_Outcome WL_JointSession::ReadLine(std::vector<std::string>* fields) {
  size_t end;
  while ((end = buf_.find("\r\n", pos_)) == std::string::npos) {
    if (buf_.size() - pos_ > kJointMaxLine) return Broken("line too long from the server");
    char block[65536];
    const long n = data_->RecvSome(block, sizeof(block), kJointTimeout);
    if (n <= 0) return Broken("the data connection closed early");
    buf_.erase(0, pos_);
    pos_ = 0;
    buf_.append(block, static_cast<size_t>(n));
  }
  const std::string_view line(buf_.data() + pos_, end + 2 - pos_);
  pos_ = end + 2;
  JointLine parts;
  if (!SplitJointLine(line, &parts) || !JointSigMatches(client_, server_, parts.text, parts.sig)) {
    return Broken("a server line is not signed with this session's key");
  }
  *fields = SplitBlanks(std::string(parts.text));
  if (fields->size() < 3) return Broken("short server line");
  return WL_Outcome::Done();
}

WL_Outcome WL_JointSession::ReadExact(char* out, size_t n) {
  const size_t have = buf_.size() - pos_;
  const size_t take = have < n ? have : n;
  memcpy(out, buf_.data() + pos_, take);
  pos_ += take;
  size_t got = take;
  while (got < n) {
    const long k = data_->RecvSome(out + got, n - got, kJointTimeout);
    if (k <= 0) return Broken("the data connection closed inside a chunk");
    got += static_cast<size_t>(k);
  }
  if (pos_ == buf_.size()) {
    buf_.clear();
    pos_ = 0;
  }
  return WL_Outcome::Done();
}

WL_Outcome WL_JointSession::Ask(const std::string& text, std::vector<std::string>* fields) {
  WL_Outcome r = Send(text);
  if (r.ok()) r = ReadLine(fields);
  if (!r.ok()) return r;
  // The server's sequence value goes back with the next request.
  seq_ = static_cast<uint32_t>(Hex((*fields)[2]));
  return WL_Outcome::Done();
}

WL_Outcome WL_JointSession::MakeDir(const std::string& name, int64_t mtime, bool* exists) {
  char head[80];
  FormatText(head, sizeof(head), "MDIR %" PRIx64 " %x %" PRIx64 "*", ClientRandom64(), seq_,
             static_cast<uint64_t>(mtime > 0 ? mtime : 0));
  std::vector<std::string> f;
  WL_Outcome r = Ask(head + name, &f);
  if (!r.ok()) return r;
  if (f[0] != "200" || f.size() < 4) return Broken("MDIR refused for " + name);
  *exists = f[3] == "1";
  return WL_Outcome::Done();
}

WL_Outcome WL_JointSession::Delete(const std::string& name, bool directory, bool* gone) {
  char head[80];
  FormatText(head, sizeof(head), "%s %" PRIx64 " %x 0*", directory ? "DELD" : "DELF", ClientRandom64(), seq_);
  std::vector<std::string> f;
  WL_Outcome r = Ask(head + name, &f);
  if (!r.ok()) return r;
  if (f[0] != "200" || f.size() < 4) return Broken("delete refused for " + name);
  *gone = f[3] == "1";
  return WL_Outcome::Done();
}

WL_Outcome WL_JointSession::Upload(const std::string& name, const std::string& local_path, int64_t mtime,
                                   WL_Progress* progress, uint64_t* bytes) {
  *bytes = 0;
  FILE* file = OpenFile(local_path, "rb");
  if (file == nullptr) return WL_Outcome::Fail(kExitTransfer, "cannot read " + local_path);
  char head[80];
  FormatText(head, sizeof(head), "OPEN %" PRIx64 " %x 0 %d*", ClientRandom64(), seq_, crc_mode_);
  std::vector<std::string> f;
  WL_Outcome r = Ask(head + name, &f);
  if (r.ok() && f[0] != "200") r = Broken("the server cannot write " + name);
  // One buffer holds a DATA line and its chunk, so both leave in one send.
  std::vector<char> out(kJointMaxLine + kJointMaxChunk);
  while (r.ok()) {
    const size_t n = ReadBytes(file, out.data() + kJointMaxLine, kJointMaxChunk);
    if (n == 0) {
      if (!AtEnd(file)) r = WL_Outcome::Fail(kExitTransfer, "read error in " + local_path);
      break;
    }
    const uint64_t sum = crc_mode_ > 0 ? JointChecksum(crc_mode_, out.data() + kJointMaxLine, n) : 0;
    char text[128];
    FormatText(text, sizeof(text), "DATA %" PRIx64 " %x %zu %" PRIx64, ClientRandom64(), seq_, n, sum);
    char line[256];
    const int len = FormatJointLine(client_, server_, text, line, sizeof(line));
    char* start = out.data() + kJointMaxLine - len;
    memcpy(start, line, static_cast<size_t>(len));
    r = SendRaw(start, static_cast<size_t>(len) + n);
    *bytes += n;
    if (progress != nullptr) progress->Add(n);
  }
  CloseFile(file);
  if (!r.ok()) return r;
  char deof[96];
  FormatText(deof, sizeof(deof), "DEOF %" PRIx64 " %x %" PRIx64 " 0", ClientRandom64(), seq_,
             static_cast<uint64_t>(mtime > 0 ? mtime : 0));
  return Send(deof);
}

WL_Outcome WL_JointSession::Download(const std::string& name, const std::string& local_path, int64_t mtime,
                                     WL_Progress* progress, uint64_t* bytes) {
  *bytes = 0;
  char head[80];
  FormatText(head, sizeof(head), "READ %" PRIx64 " %x 0 %d*", ClientRandom64(), seq_, crc_mode_);
  std::vector<std::string> f;
  WL_Outcome r = Ask(head + name, &f);
  if (!r.ok()) return r;
  if (f[0] != "200") return Broken("the server cannot read " + name);
  std::string temp;
  FILE* file = CreateTempBeside(local_path, &temp);
  if (file == nullptr) return WL_Outcome::Fail(kExitTransfer, "cannot write beside " + local_path);
  std::vector<char> chunk;
  bool complete = false;
  for (;;) {
    r = ReadLine(&f);
    if (!r.ok()) break;
    if (f[0] == "DEOF" && f.size() >= 6) {
      complete = f[5] == "1";
      break;
    }
    if (f[0] != "DATA" || f.size() < 5) {
      r = Broken("unexpected line in a download");
      break;
    }
    const uint64_t n = strtoull(f[3].c_str(), nullptr, 10);
    if (n > kJointMaxChunk) {
      r = Broken("chunk too large");
      break;
    }
    chunk.resize(n);
    r = ReadExact(chunk.data(), n);
    if (!r.ok()) break;
    const uint64_t sum = Hex(f[4]);
    if (sum != 0 && crc_mode_ > 0 && sum != JointChecksum(crc_mode_, chunk.data(), n)) {
      r = WL_Outcome::Fail(kExitTransfer, "checksum mismatch in " + name);
      break;
    }
    if (WriteFile(file, chunk.data(), n) != n) {
      r = WL_Outcome::Fail(kExitTransfer, "write error in " + local_path);
      break;
    }
    *bytes += n;
    if (progress != nullptr) progress->Add(n);
  }
  const bool closed = CloseFileChecked(file);
  if (r.ok() && !complete) r = WL_Outcome::Fail(kExitTransfer, "the server could not read all of " + name);
  if (r.ok() && !closed) r = WL_Outcome::Fail(kExitTransfer, "write error in " + local_path);
  if (r.ok() && !ReplaceFile(temp, local_path)) r = WL_Outcome::Fail(kExitTransfer, "cannot replace " + local_path);
  if (!r.ok()) {
    RemoveFile(temp);
    return r;
  }
  SetFileTimes(local_path, 0, mtime);
  return WL_Outcome::Done();
}

WL_Outcome WL_JointSession::Exit() {
  // EXIT carries no signature.
  static const char kExit[] = "EXIT done|\r\n";
  return SendRaw(kExit, sizeof(kExit) - 1);
}

// The client end of one joint session: the signed line protocol on a data
// connection opened with STOM (upload) or RETM (download).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/net_stream.h"
#include "client/outcome.h"

class WL_Progress;

class WL_JointSession {
 public:
  // client and server: the two values of JKEY. crc_mode: the checksum the
  // chunks carry (0 none, 1 or 2).
  WL_JointSession(WL_NetStream* data, uint64_t client, uint64_t server, int crc_mode);

  // MDIR (creates the directory in an upload session).
  WL_Outcome MakeDir(const std::string& name, int64_t mtime, bool* exists);
  // DELF or DELD (upload session).
  WL_Outcome Delete(const std::string& name, bool directory, bool* gone);
  // OPEN, the chunks and DEOF, with the file's time.
  WL_Outcome Upload(const std::string& name, const std::string& local_path, int64_t mtime, WL_Progress* progress,
                    uint64_t* bytes);
  // READ into a temporary file beside local_path that replaces it once the
  // whole file arrived; its time becomes mtime.
  WL_Outcome Download(const std::string& name, const std::string& local_path, int64_t mtime, WL_Progress* progress,
                      uint64_t* bytes);
  // EXIT: the server ends the session.
  WL_Outcome Exit();

 private:
  WL_Outcome Send(const std::string& text);
  WL_Outcome SendRaw(const void* data, size_t n);
  // The next server line, its signature checked, split at blanks.
  WL_Outcome ReadLine(std::vector<std::string>* fields);
  WL_Outcome Ask(const std::string& text, std::vector<std::string>* fields);
  WL_Outcome ReadExact(char* out, size_t n);

  WL_NetStream* data_;
  uint64_t client_;
  uint64_t server_;
  int crc_mode_;
  uint32_t seq_ = 0;
  std::string buf_;
  size_t pos_ = 0;
};

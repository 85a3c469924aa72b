// Owners that close or free what they hold on every exit path.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/fs.h"

// An open C stream, flushed and closed on destruction.
class WL_MFile {
 public:
  WL_MFile() = default;
  virtual ~WL_MFile() { Close(); }
  WL_MFile(const WL_MFile&) = delete;
  WL_MFile& operator=(const WL_MFile&) = delete;

  void Attach(FILE* f) {
    Close();
    stream_ = f;
  }
  FILE* stream() const { return stream_; }
  bool IsOpen() const { return stream_ != nullptr; }
  void Close() {
    if (stream_ != nullptr) {
      FlushFile(stream_);
      CloseFile(stream_);
      stream_ = nullptr;
    }
  }

  uint32_t word = 0;

 private:
  FILE* stream_ = nullptr;
};

// A heap block with its used and capacity counts, freed on destruction.
class WL_MemoryBuff {
 public:
  WL_MemoryBuff() = default;
  virtual ~WL_MemoryBuff() { Free(); }
  WL_MemoryBuff(const WL_MemoryBuff&) = delete;
  WL_MemoryBuff& operator=(const WL_MemoryBuff&) = delete;

  // Replaces the block by one of n bytes. False when memory runs out.
  bool Allocate(uint32_t n) {
    Free();
    data_ = static_cast<char*>(calloc(n, 1));
    if (data_ == nullptr) return false;
    capacity = n;
    return true;
  }
  void Free() {
    free(data_);
    data_ = nullptr;
    used = capacity = 0;
  }
  char* data() const { return data_; }

  uint32_t used = 0;
  uint32_t capacity = 0;

 private:
  char* data_ = nullptr;
};

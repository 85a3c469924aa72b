#include "base/multi_string.h"

#include <cstring>

#include "base/mem_pool.h"

WL_MultiString::~WL_MultiString() { Clear(); }

void WL_MultiString::Clear() {
  if (buffer_ != nullptr) PoolFree(buffer_);
  buffer_ = cursor_ = nullptr;
  capacity_ = length_ = 0;
  count_ = 0;
  fresh_ = true;
}

bool WL_MultiString::Append(const char* text) {
  if (text == nullptr) return false;
  const size_t n = strlen(text);
  if (reject_empty && n == 0) return false;
  if (buffer_ == nullptr) {
    buffer_ = static_cast<char*>(PoolAlloc(kFirstBlock));
    if (buffer_ == nullptr) return false;
    capacity_ = kFirstBlock - 2;
    length_ = 0;
    buffer_[0] = buffer_[1] = '\0';
    buffer_[kFirstBlock - 1] = '\0';
    cursor_ = buffer_;
    fresh_ = true;
  }
  if (capacity_ < length_ + n + 2) {
    if (capacity_ > kMaxCapacity) return false;
    const size_t size = ((n + 2 * capacity_) / 1024) * 1024 + 2048;
    char* grown = static_cast<char*>(PoolAlloc(size));
    if (grown == nullptr) return false;
    memcpy(grown, buffer_, length_);
    PoolFree(buffer_);
    buffer_ = grown;
    capacity_ = size - 2;
    buffer_[length_] = '\0';
    buffer_[size - 1] = '\0';
    cursor_ = buffer_;
    fresh_ = true;
    if (capacity_ < length_ + n + 2) return false;
  }
  memcpy(buffer_ + length_, text, n);
  buffer_[length_ + n] = '\0';
  buffer_[length_ + n + 1] = '\0';
  length_ += n + 1;
  ++count_;
  return true;
}

const char* WL_MultiString::Next() {
  if (buffer_ == nullptr || cursor_ == nullptr || cursor_ >= buffer_ + length_) return "";
  if (fresh_) {
    fresh_ = false;
    return cursor_;
  }
  cursor_ += strlen(cursor_) + 1;
  if (cursor_ >= buffer_ + length_) return "";
  return cursor_;
}

void WL_MultiString::Rewind() {
  cursor_ = buffer_;
  fresh_ = true;
}

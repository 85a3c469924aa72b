// A packed, growable list of zero-terminated strings, for directory walks:
// all names of a large directory live in one block instead of one
// allocation per name.
#pragma once

#include <cstddef>
#include <cstdint>

class WL_MultiString {
 public:
  static constexpr size_t kFirstBlock = 16384;
  static constexpr size_t kMaxCapacity = 134217727;

  WL_MultiString() = default;
  virtual ~WL_MultiString();
  WL_MultiString(const WL_MultiString&) = delete;
  WL_MultiString& operator=(const WL_MultiString&) = delete;

  // Appends a copy of text. False for an empty text while empties are
  // refused, past the capacity limit, or when memory runs out; the list
  // keeps its earlier strings.
  bool Append(const char* text);
  // The next string of the iteration; "" at the end. The first call (and
  // the first after the buffer grew) returns the first string.
  const char* Next();
  // Starts the iteration again from the first string.
  void Rewind();
  void Clear();

  int count() const { return count_; }
  size_t length() const { return length_; }
  size_t capacity() const { return capacity_; }
  bool reject_empty = true;

 private:
  char* buffer_ = nullptr;
  size_t capacity_ = 0;
  size_t length_ = 0;
  char* cursor_ = nullptr;
  bool fresh_ = true;
  int count_ = 0;
};

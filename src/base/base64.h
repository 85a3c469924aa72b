// Base64 (RFC 4648 alphabet, "=" padding, no line breaks) with owned input
// and output buffers. The SMTP client is its user.
#pragma once

#include <cstdint>
#include <memory>

class WL_Base64 {
 public:
  WL_Base64() = default;
  virtual ~WL_Base64() = default;

  void EncodeText(const char* text);
  void Encode(const uint8_t* bytes, uint64_t n);
  void DecodeText(const char* text);
  // White space (codes 7 to 13 and 32) is dropped. Characters outside the
  // alphabet are not rejected: only well-formed input decodes to meaning.
  void Decode(const char* chars, uint64_t n);

  const uint8_t* Binary() const { return binary_.get(); }
  const char* Text() const { return text_.get(); }
  uint64_t BinaryLength() const { return binary_length_; }
  uint64_t TextLength() const { return text_length_; }

  static bool IsSpace(char c) { return (c >= 7 && c <= 13) || c == 32; }

 private:
  void ReserveText(uint64_t n);
  void ReserveBinary(uint64_t n);

  std::unique_ptr<uint8_t[]> binary_;
  std::unique_ptr<char[]> text_;
  uint64_t binary_capacity_ = 0;
  uint64_t text_capacity_ = 0;
  uint64_t binary_length_ = 0;
  uint64_t text_length_ = 0;
};

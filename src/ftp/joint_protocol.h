// The joint line protocol as both ends speak it: the signature of a line,
// the two chunk checksums, the tail-block hash and the rules for the names
// a line may carry. Nothing here knows the server, so a client links the
// same code.
//
// A joint line is "<text>|<signature>\r\n". The signature is made with the
// joint key: the client's value from JKEY and the server's random answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Length of a line's signature; a received signature may be longer, only
// this many characters count.
constexpr size_t kJointSigLength = 60;
// Longest joint command line, "\r\n" included.
constexpr size_t kJointMaxLine = 2048;
// Largest chunk a DATA line may announce.
constexpr size_t kJointMaxChunk = 524288;
// Chunk sizes of a download: with the large-chunk login option, and without.
constexpr size_t kJointLargeChunk = 524288;
constexpr size_t kJointSmallChunk = 507904;
// Where a download reads its chunks in the transfer buffer: the DATA line is
// written just in front, so line and chunk leave in one send.
constexpr size_t kJointChunkOffset = 4096;
// A tail block: the bytes TFBS hashes at an offset of a large file.
constexpr size_t kTailBlockSize = 512;
constexpr int64_t kTailBlockMinOffset = 1048576;
constexpr int64_t kTailBlockMinFileSize = 2097153;

// The two chunk checksums (64 bits, never 0).
uint64_t JointChecksumA(const void* data, size_t n);
uint64_t JointChecksumB(const void* data, size_t n);
// Checksum mode 1 is A, any other non-zero mode B.
inline uint64_t JointChecksum(int mode, const void* data, size_t n) {
  return mode == 1 ? JointChecksumA(data, n) : JointChecksumB(data, n);
}

// The signature of a line's text: SHA-256 over the client value ("%x"), the
// text and the server value ("%x"), as lower-case hex cut to 60 characters,
// with the first character replaced by "2". out receives 61 bytes.
void JointSig(uint64_t client, uint64_t server, std::string_view text, char out[kJointSigLength + 1]);
// Whether a received signature signs text: at least 60 characters and the
// first 60 equal. The comparison takes the same time wherever the first
// difference lies.
bool JointSigMatches(uint64_t client, uint64_t server, std::string_view text, std::string_view sig);
// Writes "<text>|<signature>\r\n" into out (capacity cap). Returns the
// length, or -1 when it does not fit.
int FormatJointLine(uint64_t client, uint64_t server, std::string_view text, char* out, size_t cap);

// A received line taken apart. Leading white space is skipped; the text ends
// at the first "|", the signature starts after the white space that follows
// it and ends at the line's "\r\n". Returns false when there is no "|".
struct JointLine {
  std::string_view text;
  std::string_view sig;
};
bool SplitJointLine(std::string_view line, JointLine* out);
// The name after the first "*" of a line's text; false when there is none.
bool JointLineName(std::string_view text, std::string_view* name);
// A name a joint line may carry: one level of the joint directory (no "/",
// not "." or ".."), none of " * : < > ? \ | or a control character, valid
// UTF-8, at most 255 bytes.
bool IsSafeJointName(std::string_view name);

// Seconds since 1970 sent as hexadecimal, limited to what a file time can
// hold: 0 stays 0 (no time), anything beyond the end of year 9999 becomes
// that end. Negative values (a sign bit in the hex text) count as 0.
constexpr int64_t kLatestFileTime = 253402300799;  // 9999-12-31 23:59:59 UTC
int64_t ClampFileTime(uint64_t seconds);

// The tail-block hash: SHA-256 over the fixed prefix, the block and the
// fixed suffix, as 64 lower-case hex characters (out holds 65 bytes). False
// when the digest cannot be made.
bool TailBlockHash(const void* block, size_t n, char out[65]);

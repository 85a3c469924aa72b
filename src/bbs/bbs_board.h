// The bulletin board: two rings of six short messages in memory, one for
// administrator sessions and one for every other session. Nothing is saved;
// the board is empty after every start.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/sync.h"

class WL_BBSBoard {
 public:
  static constexpr int kSlots = 6;
  static constexpr size_t kSlotBytes = 120;  // 119 characters and a terminator
  static constexpr size_t kBufferBytes = 722;
  static constexpr size_t kMaxMessage = kSlotBytes - 1;
  // Room of the text BoardText writes.
  static constexpr size_t kTextRoom = 2000;

  WL_BBSBoard() = default;
  virtual ~WL_BBSBoard();
  WL_BBSBoard(const WL_BBSBoard&) = delete;
  WL_BBSBoard& operator=(const WL_BBSBoard&) = delete;

  // Start step: frees what a previous run left, allocates both rings zeroed
  // and marks the board ready. False (board not ready) when an allocation
  // fails.
  bool Prepare();
  // Stop step: clears ready, frees both rings, clears positions and marks.
  // Call only when no session uses the board any more.
  void Release();
  bool ready() const { return ready_.load(std::memory_order_acquire); }

  // Stores a message of 1 to 119 characters in the admin ring (admin true)
  // or the user ring, overwriting the oldest one when the ring is full.
  // False when the text is empty or too long, or the board has no buffer.
  bool Post(bool admin, std::string_view text);
  // Writes the board for GBBS into out (room bytes, at most kTextRoom used):
  // "200-<message>\r\n" for each admin message, oldest first,
  // "200-========\r\n", the same for the user ring, then "200 .\r\n".
  // Returns the length, 0 when the text cannot be formatted.
  int BoardText(char* out, size_t room);
  // Empties both rings and restarts them at slot 0.
  void Clear();

 private:
  struct Ring {
    WL_Lock lock;
    int32_t position = 0;
    uint8_t used[kSlots] = {};
    char* buffer = nullptr;
  };
  static bool PostTo(Ring& r, std::string_view text);
  static bool AppendRing(Ring& r, char* out, size_t room, size_t* len);
  static void ClearRing(Ring& r);
  static void FreeRing(Ring& r);

  std::atomic<bool> ready_{false};
  Ring admin_;
  Ring user_;
};

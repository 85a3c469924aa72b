#include "bbs/bbs_board.h"

#include <cstring>
#include <mutex>
#include <new>

#include "base/format.h"

namespace {

// A ring walk stops when fewer characters than this remain of the text.
constexpr size_t kLineReserve = 140;

}  // namespace

WL_BBSBoard::~WL_BBSBoard() { Release(); }

void WL_BBSBoard::FreeRing(Ring& r) {
  std::lock_guard<WL_Lock> hold(r.lock);
  delete[] r.buffer;
  r.buffer = nullptr;
  r.position = 0;
  memset(r.used, 0, sizeof(r.used));
}

bool WL_BBSBoard::Prepare() {
  ready_.store(false, std::memory_order_release);
  FreeRing(admin_);
  FreeRing(user_);
  char* a = new (std::nothrow) char[kBufferBytes]();
  char* u = new (std::nothrow) char[kBufferBytes]();
  {
    std::lock_guard<WL_Lock> hold(admin_.lock);
    admin_.buffer = a;
  }
  {
    std::lock_guard<WL_Lock> hold(user_.lock);
    user_.buffer = u;
  }
  if (a == nullptr || u == nullptr) return false;
  ready_.store(true, std::memory_order_release);
  return true;
}

void WL_BBSBoard::Release() {
  ready_.store(false, std::memory_order_release);
  FreeRing(admin_);
  FreeRing(user_);
}

bool WL_BBSBoard::PostTo(Ring& r, std::string_view text) {
  std::lock_guard<WL_Lock> hold(r.lock);
  if (r.buffer == nullptr) return false;
  char* slot = r.buffer + static_cast<size_t>(r.position) * kSlotBytes;
  memcpy(slot, text.data(), text.size());
  slot[text.size()] = '\0';
  r.used[r.position] = 1;
  r.position = r.position >= kSlots - 1 ? 0 : r.position + 1;
  return true;
}

bool WL_BBSBoard::Post(bool admin, std::string_view text) {
  if (text.empty() || text.size() > kMaxMessage || !ready()) return false;
  // A message is one line: the session loop never delivers a line end, and
  // a terminator inside would cut it short.
  if (text.find('\0') != std::string_view::npos) return false;
  return PostTo(admin ? admin_ : user_, text);
}

bool WL_BBSBoard::AppendRing(Ring& r, char* out, size_t room, size_t* len) {
  std::lock_guard<WL_Lock> hold(r.lock);
  if (r.buffer == nullptr) return true;
  // Oldest first: from the next slot to write round to the last written.
  for (int k = 0; k < kSlots; ++k) {
    if (room - *len < kLineReserve) break;
    const int i = (r.position + k) % kSlots;
    const char* text = r.buffer + static_cast<size_t>(i) * kSlotBytes;
    if (!r.used[i] || text[0] == '\0') continue;
    const int n = FormatText(out + *len, room - *len, "200-%s\r\n", text);
    if (n < 0) break;
    *len += static_cast<size_t>(n);
  }
  return true;
}

int WL_BBSBoard::BoardText(char* out, size_t room) {
  if (out == nullptr || room == 0) return 0;
  if (room > kTextRoom) room = kTextRoom;
  out[0] = '\0';
  size_t len = 0;
  AppendRing(admin_, out, room, &len);
  int n = FormatText(out + len, room - len, "200-========\r\n");
  if (n < 0) return 0;
  len += static_cast<size_t>(n);
  AppendRing(user_, out, room, &len);
  n = FormatText(out + len, room - len, "200 .\r\n");
  if (n < 0) return 0;
  return static_cast<int>(len + static_cast<size_t>(n));
}

void WL_BBSBoard::ClearRing(Ring& r) {
  std::lock_guard<WL_Lock> hold(r.lock);
  if (r.buffer == nullptr) return;
  for (int i = 0; i < kSlots; ++i) {
    r.used[i] = 0;
    r.buffer[static_cast<size_t>(i) * kSlotBytes] = '\0';
  }
  r.position = 0;
}

void WL_BBSBoard::Clear() {
  ClearRing(admin_);
  ClearRing(user_);
}

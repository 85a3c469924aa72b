#include "base/firewall.h"

#include <cstring>
#include <mutex>
#include <new>

#include "base/format.h"
#include "base/net_text.h"
#include "base/time_text.h"
#include "platform/clock.h"

int64_t WL_IPFireWall::Now() const { return clock != nullptr ? clock() : NowSeconds(); }

WL_IPFireWall::Table* WL_IPFireWall::TableFor(bool is_ipv4) {
  if (!active_) return nullptr;
  if (is_ipv4) return ipv4_enabled && v4_.entries ? &v4_ : nullptr;
  return ipv6_enabled && v6_.entries ? &v6_ : nullptr;
}

bool WL_IPFireWall::Matches(const WL_WallEntry& e, const uint8_t key[16], bool is_ipv4) const {
  if (!e.used) return false;
  const size_t n = (!is_ipv4 && prefix_block) ? 8 : 16;
  return memcmp(e.key, key, n) == 0;
}

bool WL_IPFireWall::StartWall() {
  Stop();
  if (table_size < 64) table_size = 72;
  if (table_size > 1024) table_size = 1024;
  if (record_seconds < 300) record_seconds = 720;
  if (record_seconds > 86400) record_seconds = 86400;
  if (max_tries < 6) max_tries = http_instance ? 12 : 10;
  if (max_tries > 72) max_tries = 72;
  if (scan_gap < 60) scan_gap = 72;
  if (scan_gap > 600) scan_gap = 300;
  const int64_t now = Now();
  for (Table* t : {&v4_, &v6_}) {
    std::lock_guard<WL_Lock> g(t->lock);
    t->last_scan = now;
  }
  if (ipv4_enabled) {
    std::lock_guard<WL_Lock> g(v4_.lock);
    v4_.entries.reset(new (std::nothrow) WL_WallEntry[table_size]);
    if (!v4_.entries) return false;
  }
  if (ipv6_enabled) {
    std::lock_guard<WL_Lock> g(v6_.lock);
    v6_.entries.reset(new (std::nothrow) WL_WallEntry[table_size]);
    if (!v6_.entries) return false;
  }
  active_ = true;
  return true;
}

void WL_IPFireWall::Stop() {
  active_ = false;
  for (Table* t : {&v4_, &v6_}) {
    std::lock_guard<WL_Lock> g(t->lock);
    t->entries.reset();
  }
}

bool WL_IPFireWall::CheckAddress(const uint8_t key[16], bool is_ipv4) {
  Table* t = TableFor(is_ipv4);
  if (t == nullptr) return true;
  std::lock_guard<WL_Lock> g(t->lock);
  if (!t->entries) return true;
  const int64_t now = Now();
  uint32_t live = 0;
  for (uint32_t i = 0; i < table_size; ++i) {
    const WL_WallEntry& e = t->entries[i];
    if (!e.used || now - e.time > record_seconds) continue;
    ++live;
    if (Matches(e, key, is_ipv4)) {
      if (static_cast<uint32_t>(e.tries) >= max_tries) return false;
      break;
    }
  }
  return live < table_size;
}

void WL_IPFireWall::RecordFailure(const uint8_t key[16], bool is_ipv4) {
  Table* t = TableFor(is_ipv4);
  if (t == nullptr || table_size == 0) return;
  std::lock_guard<WL_Lock> g(t->lock);
  if (!t->entries) return;
  const int64_t now = Now();
  for (uint32_t i = 0; i < table_size; ++i) {
    WL_WallEntry& e = t->entries[i];
    if (Matches(e, key, is_ipv4)) {
      e.time = now;
      if (static_cast<uint32_t>(e.tries) < max_tries) ++e.tries;
      return;
    }
  }
  for (uint32_t i = 0; i < table_size; ++i) {
    WL_WallEntry& e = t->entries[i];
    if (!e.used) {
      memcpy(e.key, key, 16);
      e.tries = 1;
      e.time = now;
      e.used = true;
      return;
    }
  }
}

bool WL_IPFireWall::RemoveAddress(const uint8_t key[16], bool is_ipv4) {
  Table* t = TableFor(is_ipv4);
  if (t == nullptr) return false;
  std::lock_guard<WL_Lock> g(t->lock);
  if (!t->entries) return false;
  for (uint32_t i = 0; i < table_size; ++i) {
    WL_WallEntry& e = t->entries[i];
    // IPv4 keys hold the address in their first bytes; the rest is zero.
    const bool match = is_ipv4 ? (e.used && memcmp(e.key, key, 8) == 0) : Matches(e, key, false);
    if (match) {
      e = WL_WallEntry();
      return true;
    }
  }
  return false;
}

void WL_IPFireWall::ClearAll() {
  for (Table* t : {&v4_, &v6_}) {
    std::lock_guard<WL_Lock> g(t->lock);
    if (!t->entries) continue;
    for (uint32_t i = 0; i < table_size; ++i) t->entries[i] = WL_WallEntry();
  }
}

uint32_t WL_IPFireWall::CountWhere(bool is_ipv4, bool blocked_only) {
  Table* t = TableFor(is_ipv4);
  if (t == nullptr) return 0;
  std::lock_guard<WL_Lock> g(t->lock);
  uint32_t n = 0;
  for (uint32_t i = 0; t->entries && i < table_size; ++i) {
    const WL_WallEntry& e = t->entries[i];
    if (e.used && (!blocked_only || static_cast<uint32_t>(e.tries) >= max_tries)) ++n;
  }
  return n;
}

uint32_t WL_IPFireWall::BlockedCount(bool is_ipv4) { return CountWhere(is_ipv4, true); }

uint32_t WL_IPFireWall::UsedCount(bool is_ipv4) { return CountWhere(is_ipv4, false); }

int WL_IPFireWall::ListLine(uint32_t index, bool is_ipv6, char* buf, size_t size) {
  Table* t = TableFor(!is_ipv6);
  if (t == nullptr || index >= table_size) return 0;
  char ip[48];
  char when[64];
  const char* type;
  {
    std::lock_guard<WL_Lock> g(t->lock);
    if (!t->entries) return 0;
    const WL_WallEntry& e = t->entries[index];
    if (!e.used) return 0;
    if (is_ipv6) {
      Ipv6ToText(e.key, ip, sizeof(ip));
    } else {
      uint32_t v;
      memcpy(&v, e.key, 4);
      Ipv4ToText(v, ip, sizeof(ip));
    }
    FormatLocalTime(e.time, when, sizeof(when));
    type = static_cast<uint32_t>(e.tries) < max_tries ? "Record" : "Blocked";
  }
  if (size > 1001) size = 1001;
  const int n = FormatText(buf, size, "200-%d ip=%s time=%s type=%s\r\n", static_cast<int>(index), ip, when, type);
  return n < 0 ? 0 : n;
}

void WL_IPFireWall::ExpireScan(bool is_ipv4) {
  Table* t = TableFor(is_ipv4);
  if (t == nullptr) return;
  std::lock_guard<WL_Lock> g(t->lock);
  if (!t->entries) return;
  const int64_t now = Now();
  if (!(now < t->last_scan || now - t->last_scan >= scan_gap)) return;
  t->last_scan = now;
  for (uint32_t i = 0; i < table_size; ++i) {
    WL_WallEntry& e = t->entries[i];
    if (!e.used) continue;
    if (now < e.time) {
      e.time = now;
    } else if (now - e.time >= record_seconds) {
      e.used = false;
    }
  }
}

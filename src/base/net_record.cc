#include "base/net_record.h"

#include <cinttypes>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "base/format.h"
#include "base/net_text.h"
#include "base/time_text.h"
#include "platform/clock.h"

namespace {

void AddressText(const WL_RecordEntry& e, char* out, size_t cap) {
  if (e.is_ipv6) {
    Ipv6ToText(e.addr, out, cap);
  } else {
    uint32_t v;
    memcpy(&v, e.addr, 4);
    Ipv4ToText(v, out, cap);
  }
}

}  // namespace

WL_NetRecord::~WL_NetRecord() { StopRecords(); }

int64_t WL_NetRecord::Now() const { return clock != nullptr ? clock() : NowSeconds(); }

bool WL_NetRecord::StartRecords(int32_t count) {
  StopRecords();
  if (count < 1) count = 16;
  std::lock_guard<WL_Lock> g(lock_);
  entries_.reset(new (std::nothrow) WL_RecordEntry[static_cast<size_t>(count)]);
  if (!entries_) return false;
  count_ = count;
  active_ = true;
  return true;
}

void WL_NetRecord::StopRecords() {
  std::lock_guard<WL_Lock> g(lock_);
  active_ = false;
  entries_.reset();
  count_ = 0;
}

void WL_NetRecord::AddIpv4(uint32_t host_order) {
  uint8_t key[16] = {};
  memcpy(key, &host_order, 4);
  Add(key, false);
}

void WL_NetRecord::AddIpv6(const uint8_t addr[16]) { Add(addr, true); }

void WL_NetRecord::Add(const uint8_t addr[16], bool is_ipv6) {
  if (!active_) return;
  const int64_t now = Now();
  std::lock_guard<WL_Lock> g(lock_);
  if (!entries_) return;
  int first_free = -1;
  int oldest = 0;
  int64_t oldest_time = now;
  const size_t n = is_ipv6 ? 16 : 4;
  for (int i = 0; i < count_; ++i) {
    WL_RecordEntry& e = entries_[i];
    if (e.used && now - e.time >= kExpireSeconds) {
      e.used = false;
      e.times = 0;
    }
    if (!e.used) {
      if (first_free < 0) first_free = i;
      continue;
    }
    if (e.is_ipv6 == is_ipv6 && memcmp(e.addr, addr, n) == 0) {
      e.time = now;
      e.type = 0;
      ++e.times;
      return;
    }
    if (e.time < oldest_time) {
      oldest_time = e.time;
      oldest = i;
    }
  }
  WL_RecordEntry& e = entries_[first_free >= 0 ? first_free : oldest];
  e = WL_RecordEntry();
  e.time = now;
  memcpy(e.addr, addr, n);
  e.is_ipv6 = is_ipv6;
  e.times = 1;
  e.used = true;
}

WL_RecordEntry WL_NetRecord::Entry(int32_t i) {
  std::lock_guard<WL_Lock> g(lock_);
  if (!entries_ || i < 0 || i >= count_) return {};
  return entries_[i];
}

int WL_NetRecord::RecordLine(int32_t index, char* buf, size_t size) {
  WL_RecordEntry e = Entry(index);
  if (!active_ || !e.used) return 0;
  char ip[48];
  AddressText(e, ip, sizeof(ip));
  char when[64];
  FormatLocalTime(e.time, when, sizeof(when));
  if (size > 1001) size = 1001;
  const int n = FormatText(buf, size, "200-%d type=%d ip=%s time=%s times=%" PRIu64 " \r\n", index, e.type, ip, when,
                           e.times);
  return n < 0 ? 0 : n;
}

int WL_NetRecord::SortedText(char* buf, size_t size, bool ftp_label, int line_limit) {
  if (!active_ || buf == nullptr || size == 0) return 0;
  buf[0] = '\0';
  const int64_t now = Now();
  std::lock_guard<WL_Lock> g(lock_);
  if (!entries_) return 0;
  std::vector<int> order;
  for (int i = 0; i < count_; ++i) order.push_back(i);
  for (size_t i = 0; i < order.size(); ++i) {
    for (size_t j = i + 1; j < order.size(); ++j) {
      const WL_RecordEntry& a = entries_[order[i]];
      const WL_RecordEntry& b = entries_[order[j]];
      if ((a.used && b.used && b.time > a.time) || (!a.used && b.used)) std::swap(order[i], order[j]);
    }
  }
  size_t len = 0;
  int lines = 0;
  for (int idx : order) {
    if (size - len <= 230 || lines >= line_limit) break;
    WL_RecordEntry& e = entries_[idx];
    if (!e.used) continue;
    if (now - e.time >= kExpireSeconds) {
      e.used = false;
      e.times = 0;
      continue;
    }
    char ip[48];
    AddressText(e, ip, sizeof(ip));
    char when[40];
    FormatClockDate(e.time, when, sizeof(when));
    const int n = FormatText(buf + len, size - len, "200-%s: %s time:%s [%" PRIu64 "]\r\n", ftp_label ? "Ftp" : "Http",
                             ip, when, e.times);
    if (n < 0) break;
    len += static_cast<size_t>(n);
    ++lines;
  }
  return static_cast<int>(len);
}

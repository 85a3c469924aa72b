// A small fixed table of recently seen client addresses with a hit count
// and the time of the last hit, one per kind of event (connections, logins,
// failed logins, transfers). A full table replaces its oldest entry; entries
// ten days old are dropped when a scan passes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/sync.h"

struct WL_RecordEntry {
  bool used = false;
  bool is_ipv6 = false;
  int32_t type = 0;
  uint8_t addr[16] = {};
  int64_t time = 0;
  uint64_t times = 0;
};

class WL_NetRecord {
 public:
  static constexpr int64_t kExpireSeconds = 864000;

  WL_NetRecord() = default;
  virtual ~WL_NetRecord();
  WL_NetRecord(const WL_NetRecord&) = delete;
  WL_NetRecord& operator=(const WL_NetRecord&) = delete;

  // (Re)creates the table; a count below 1 means 16.
  bool StartRecords(int32_t count);
  void StopRecords();
  void AddIpv4(uint32_t host_order);
  void AddIpv6(const uint8_t addr[16]);
  // One "200-%d type=%d ip=%s time=%s times=%I64u \r\n" line; 0 for a free
  // or invalid entry.
  int RecordLine(int32_t index, char* buf, size_t size);
  // Used entries newest first, at most line_limit lines.
  int SortedText(char* buf, size_t size, bool ftp_label, int line_limit);
  int DumpText(char* buf, size_t size, bool ftp_label) { return SortedText(buf, size, ftp_label, 16); }

  bool active() const { return active_; }
  int32_t count() const { return count_; }
  // A copy of entry i (tests and status commands).
  WL_RecordEntry Entry(int32_t i);
  // The clock of every decision; tests replace it.
  int64_t (*clock)() = nullptr;

 private:
  void Add(const uint8_t addr[16], bool is_ipv6);
  int64_t Now() const;

  bool active_ = false;
  int32_t count_ = 0;
  std::unique_ptr<WL_RecordEntry[]> entries_;
  WL_Lock lock_;
};

// The IP firewall: per family, a fixed table of peers that recently failed
// (logins, sessions without a login, bad HTTP requests). An address whose
// failure count reaches the limit is refused until its entry expires.
//
// Every operation takes the family's lock: the tables are small, and a
// lock-free reader could tear an entry that another session is claiming.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/sync.h"

struct WL_WallEntry {
  bool used = false;
  int32_t tries = 0;
  int64_t time = 0;
  uint8_t key[16] = {};
};

class WL_IPFireWall {
 public:
  // Configuration before StartWall (values at construction shown).
  bool ipv4_enabled = true;
  bool ipv6_enabled = true;
  bool http_instance = false;
  bool prefix_block = false;
  uint32_t max_tries = 8;
  uint32_t table_size = 160;
  int64_t record_seconds = 3600;
  int64_t scan_gap = 120;

  WL_IPFireWall() = default;
  virtual ~WL_IPFireWall() { Stop(); }
  WL_IPFireWall(const WL_IPFireWall&) = delete;
  WL_IPFireWall& operator=(const WL_IPFireWall&) = delete;

  // Validates the limits and allocates fresh tables. False when memory runs
  // out.
  bool StartWall();
  // Clears active and frees the tables (the owner's stop).
  void Stop();
  // The family flag is 1 for the IPv4 table, 0 for the IPv6 table.
  bool CheckAddress(const uint8_t key[16], bool is_ipv4);
  void RecordFailure(const uint8_t key[16], bool is_ipv4);
  bool RemoveAddress(const uint8_t key[16], bool is_ipv4);
  void ClearAll();
  // One "200-%d ip=%s time=%s type=%s\r\n" line for DUMP; 0 for a free or
  // invalid slot. is_ipv6 selects the table here.
  int ListLine(uint32_t index, bool is_ipv6, char* buf, size_t size);
  // Used entries of a family whose tries reached max tries, counted under
  // the family's lock (0 for an inactive firewall or a missing table).
  uint32_t BlockedCount(bool is_ipv4);
  // The entries in use of a family's table (is_ipv4 as above).
  uint32_t UsedCount(bool is_ipv4);
  // The periodic expiry pass of one family (is_ipv4 as above).
  void ExpireScan(bool is_ipv4);

  bool active() const { return active_; }
  // The clock of every decision; tests replace it to move time on.
  int64_t (*clock)() = nullptr;

 private:
  struct Table {
    std::unique_ptr<WL_WallEntry[]> entries;
    int64_t last_scan = 0;
    WL_Lock lock;
  };
  int64_t Now() const;
  uint32_t CountWhere(bool is_ipv4, bool blocked_only);
  Table* TableFor(bool is_ipv4);
  bool Matches(const WL_WallEntry& e, const uint8_t key[16], bool is_ipv4) const;

  bool active_ = false;
  Table v4_;
  Table v6_;
};

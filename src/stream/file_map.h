// The file map: a fixed table of files published for the HTTP stream service.
//
// An FTP client maps a file and receives an opaque URL made of three 64-bit
// numbers ("<dir64>/fx_<unicode>_<hash>.<ext>"); whoever presents that URL
// to the HTTP stream service gets the file. A normal map belongs to the
// address that made it and goes away a few minutes after it stops being
// served; a long map opens from any address and lives until its time-out or
// until it is removed. The URL names no path and its random halves come
// from the kernel, so it cannot be guessed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/holders.h"
#include "base/logs.h"
#include "platform/sync.h"

// AddItem failures.
enum : int {
  kMapNoTable = -100,
  kMapBadPath = -95,
  kMapNotFound = -99,
  kMapEmptyFile = -98,
  kMapLongExists = -10,
  kMapTooManyLong = -11,
  kMapFull = -1,
};

// The serving callback of the HTTP stream service: the index of an HTTP
// session that serves (slot, serial) over the family now, or a negative
// number when none does.
using WL_ServingCallback = int (*)(int last_session, int slot, uint32_t serial, bool is_ipv4, void* context);

struct WL_MapItem {
  uint8_t in_use = 0;
  uint8_t marked = 0;
  uint8_t is_ipv4 = 1;
  uint8_t long_map = 0;
  uint8_t ssl = 0;
  uint8_t subtitle = 0;  // a subtitle file lies beside the media file
  uint16_t slot_index = 0;
  uint16_t out_times = 0;
  uint16_t play_times = 0;
  int32_t last_session = -1;
  uint32_t serial = 0;
  int64_t last_access = 0;
  int64_t start_time = 0;
  int64_t file_size = 0;
  int64_t subtitle_size = 0;
  uint64_t hash = 0;
  uint64_t unicode = 0;
  uint64_t dir64 = 0;
  uint8_t client_addr[16] = {};
  char ext[7] = {};
  char subtitle_ext[8] = {};
  char mime[41] = {};
  char path[1280] = {};
};

// What OpenItem hands to the HTTP session.
struct WL_OpenedItem {
  std::string path;
  uint32_t serial = 0;
  int64_t file_size = 0;
  std::string mime;  // empty when the open gives no MIME type
};

class WL_MapFiles {
 public:
  static constexpr int64_t kBigFile = 37748736;
  static constexpr int64_t kMaxSubtitle = 67108864;

  WL_MapFiles();
  virtual ~WL_MapFiles();
  WL_MapFiles(const WL_MapFiles&) = delete;
  WL_MapFiles& operator=(const WL_MapFiles&) = delete;

  // Configuration before StartMap (values at construction shown).
  uint16_t table_size = 160;
  int32_t mime_level = 10;
  int64_t long_timeout = 129600;
  bool log_enabled = false;
  void SetLogTarget(WL_DaemonLog* target) { log_.SetTarget(target); }
  // The clock of every decision (seconds); tests replace it to move time on.
  int64_t (*clock)() = nullptr;

  // Allocates the table and seeds the serials. False when memory runs out.
  bool StartMap();
  // The server's stop: frees the table and writes the pending log lines.
  void StopMap();
  // Set as soon as the FTP listener has stopped: housekeeping does nothing.
  void SetStopping() { stopping_.store(true); }
  // The HTTP stream service registers itself at its start.
  void SetServingCallback(WL_ServingCallback cb, void* context);

  // Maps a regular file. client_addr is the address key of the mapping
  // client (normal maps only). With want_subtitle (normal maps of media
  // files) a subtitle beside the file is looked up; *subtitle_ext then
  // receives its extension or "". Returns the slot or a negative code.
  int AddItem(const std::string& path, bool is_ipv4, bool ssl, bool long_map, const uint8_t client_addr[16],
              uint64_t* dir64, uint64_t* unicode, uint64_t* hash, std::string* ext, bool want_subtitle = false,
              std::string* subtitle_ext = nullptr);
  // Opens the item of a URL for an HTTP session. ext is the URL's
  // extension (nullptr when the URL had none). Returns the slot or a
  // negative code: -101 slot outside the table, -10 free, -11 numbers
  // differ, -12 changed meanwhile, -13 other family, -14/-15 other IPv4/IPv6
  // client, -20 no extension, -21 empty extension.
  int OpenItem(uint64_t dir64, uint64_t unicode, uint64_t hash, const char* ext, int http_session, bool is_ipv4,
               const uint8_t client_addr[16], WL_OpenedItem* out);
  // Marks a normal map for removal when the three numbers still match.
  bool MarkItem(int slot, uint64_t dir64, uint64_t unicode, uint64_t hash);
  // Marks the normal map a URL names. Returns the slot or a negative code.
  int MarkByUrl(const char* text);
  // Removes every long map; returns how many.
  int RemoveAllLong();
  // Removes the first long map of exactly this path.
  bool RemoveLongByPath(const std::string& path);
  // The housekeeping pass; returns the number of items removed.
  int MapMaintenance();

  // The mapped URL of the first long map in use ("" when none).
  std::string FirstLongUrl();
  // "200 ..." status line of an item (DUMP); returns its length.
  int ItemText(int index, char* buf, size_t size);
  // The same line with "200-" (at most 1000 bytes); 0 for a free slot.
  int ItemListLine(int index, char* buf);
  // The MIME type of an extension at this map's level.
  bool MimeType(const char* ext, std::string* out) const;

  int32_t normal_count() const { return normal_count_.load(); }
  int32_t long_count() const { return long_count_.load(); }
  bool HasTable() const { return table_ != nullptr; }
  // A copy of slot i (tests and status commands); false outside the table.
  bool CopyItem(int i, WL_MapItem* out);
  // Status figures: the table size (0 without a table) and the items in use
  // played at least `plays` times, counted under the item lock.
  int TableCount();
  int CountPlayedAtLeast(uint16_t plays);
  // Lock check: whether the item lock can be taken at once (it is released
  // again).
  bool TryItemLock();

 private:
  enum RemovalKind { kRemoveLong, kRemoveLong2, kRemoveMarked, kRemoveExpired, kRemoveUnplayed, kRemoveTimedOut };
  int64_t Now() const;
  void ClearItem(WL_MapItem& it);
  // Clears slot i when it still holds the item (serial, kind) seen by the
  // caller; writes the removal line. Call under lock_. Returns whether it
  // removed the item.
  bool RemoveLocked(int i, uint32_t serial, uint8_t long_map, RemovalKind kind, std::string* log_text);
  // Removes every item in use that match accepts, at most limit (-1: no
  // limit), under the item lock. Returns how many.
  int RemoveWhere(RemovalKind kind, const std::function<bool(const WL_MapItem&)>& match, int limit = -1);
  int ExpireLong();
  int RemoveMarked();
  int RemoveUnplayed();
  int RemoveTimedOut();
  void Recount();
  void WriteLog(const std::string& text);
  int FormatItemLine(const WL_MapItem& it, int index, const char* head, char* buf, size_t size);

  uint8_t add_counter_ = 0;
  uint8_t idle_passes_ = 0;
  uint32_t counter_ = 0;
  std::atomic<int32_t> normal_count_{0};
  std::atomic<int32_t> long_count_{0};
  int64_t last_full_check_ = 0;
  int64_t last_long_check_ = 0;
  std::unique_ptr<WL_MapItem[]> table_;
  int table_count_ = 0;  // table size once started
  std::atomic<bool> stopping_{false};
  WL_Lock lock_;        // every change of an item
  WL_Lock log_lock_;    // the map log, written by sessions and the timer
  WL_MinMemLog log_;
  WL_ServingCallback serving_ = nullptr;
  void* serving_context_ = nullptr;
};

// The extension of a path as the map keeps it: after the last '.' behind
// the last '/', letters, digits and '_' only, 1 to 6 characters; "" else.
std::string MapExtension(const std::string& path);
// The mapped URL text of an item: "%x/fx_%x_%x.%s", or without ".%s".
std::string MappedUrl(uint64_t dir64, uint64_t unicode, uint64_t hash, const std::string& ext);

#include "stream/file_map.h"

#include <cinttypes>
#include <cstring>
#include <functional>
#include <mutex>

#include "base/format.h"
#include "base/text_scan.h"
#include "base/time_text.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/process.h"

namespace {

uint64_t RotateLeft(uint64_t v, int n) { return (v << n) | (v >> (64 - n)); }

// The MIME groups: a level knows its own group and every lower one.
struct MimeEntry {
  int level;
  const char* ext;
  const char* type;
};
constexpr MimeEntry kMimeTable[] = {
    {1, "md", "text/plain"},
    {1, "txt", "text/plain"},
    {1, "js", "text/javascript"},
    {2, "png", "image/png"},
    {2, "jpg", "image/jpeg"},
    {2, "jpeg", "image/jpeg"},
    {2, "bmp", "image/bmp"},
    {2, "webp", "image/webp"},
    {3, "pdf", "application/pdf"},
    {4, "ppt", "application/vnd.ms-powerpoint"},
    {4, "doc", "application/msword"},
    {4, "ics", "text/calendar"},
    {4, "xls", "application/vnd.ms-excel"},
    {4, "xlm", "text/xml"},
    {4, "htm", "text/html"},
    {4, "html", "text/html"},
    {4, "wps", "application/kswps"},
    {4, "dps", "application/ksdps"},
    {5, "mp3", "audio/mpeg"},
    {5, "mp4", "video/mp4"},
    {5, "aac", "audio/aac"},
    {5, "oga", "audio/ogg"},
    {5, "ogv", "video/ogg"},
    {5, "3gp", "video/3gpp"},
    {5, "wav", "audio/wav"},
    {5, "avi", "video/x-msvideo"},
    {5, "weba", "audio/webm"},
    {5, "webm", "video/webm"},
    {5, "mpeg", "video/mpeg"},
    {5, "flac", "audio/flac"},
    {10, "mobi", "application/x-mobipocket-ebook"},
    {10, "prc", "application/x-mobipocket-ebook"},
    {10, "epub", "application/epub+zip"},
    {10, "azw3", "application/x-mobi8-ebook"},
    {10, "azw", "application/vnd.amazon.ebook"},
};

// Media extensions that may have a subtitle file beside them.
constexpr const char* kMediaExtensions[] = {"ts",   "wm",   "rm",   "avi",  "mkv",  "mp4",  "mpg",  "mtv",  "vob",
                                            "mod",  "264",  "265",  "avc",  "wmv",  "3gp",  "iso",  "mpeg", "h264",
                                            "hevc", "x264", "h265", "x265", "webm", "divx", "rmvb", "3gpp", "mk3d",
                                            "mpeg4"};
constexpr const char* kSubtitleExtensions[] = {"srt", "ass", "ssa"};

bool IsMediaExtension(const std::string& ext) {
  for (const char* m : kMediaExtensions) {
    if (strcasecmp(ext.c_str(), m) == 0) return true;
  }
  return false;
}

// The path with its extension (after the last '.') replaced.
std::string WithExtension(const std::string& path, const char* ext) {
  const size_t dot = path.rfind('.');
  return path.substr(0, dot + 1) + ext;
}

// A 64-bit value from the kernel's random source; false when unavailable.
bool KernelValue(uint64_t* v) { return KernelRandom(v, sizeof(*v)); }

}  // namespace

std::string MapExtension(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t from = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot < from) return "";
  const std::string ext = path.substr(dot + 1);
  if (ext.empty() || ext.size() > 6) return "";
  for (char c : ext) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) return "";
  }
  return ext;
}

std::string MappedUrl(uint64_t dir64, uint64_t unicode, uint64_t hash, const std::string& ext) {
  BoundedStr<80> url;
  if (ext.empty()) {
    url.Format("%" PRIx64 "/fx_%" PRIx64 "_%" PRIx64, dir64, unicode, hash);
  } else {
    url.Format("%" PRIx64 "/fx_%" PRIx64 "_%" PRIx64 ".%s", dir64, unicode, hash, ext.c_str());
  }
  return std::string(url.view());
}

WL_MapFiles::WL_MapFiles() { counter_ = GetTickCount() % 10000 + 1; }

WL_MapFiles::~WL_MapFiles() { StopMap(); }

int64_t WL_MapFiles::Now() const { return clock != nullptr ? clock() : NowSeconds(); }

void WL_MapFiles::SetServingCallback(WL_ServingCallback cb, void* context) {
  std::lock_guard<WL_Lock> hold(lock_);
  serving_ = cb;
  serving_context_ = context;
}

bool WL_MapFiles::MimeType(const char* ext, std::string* out) const {
  out->clear();
  if (ext == nullptr || mime_level <= 0) return false;
  for (const MimeEntry& e : kMimeTable) {
    if (e.level <= mime_level && strcasecmp(ext, e.ext) == 0) {
      *out = e.type;
      return true;
    }
  }
  return false;
}

void WL_MapFiles::ClearItem(WL_MapItem& it) {
  it.in_use = 0;
  it.marked = 0;
  it.long_map = 0;
  it.ssl = 0;
  it.subtitle = 0;
  it.is_ipv4 = 1;
  it.path[0] = '\0';
  it.ext[0] = '\0';
  it.subtitle_ext[0] = '\0';
  it.mime[0] = '\0';
  it.file_size = 0;
  it.subtitle_size = 0;
  it.last_access = 0;
  it.start_time = 0;
  memset(it.client_addr, 0, sizeof(it.client_addr));
  it.last_session = -1;
}

bool WL_MapFiles::StartMap() {
  StopMap();
  stopping_.store(false);
  idle_passes_ = 0;
  normal_count_.store(0);
  long_count_.store(0);
  if (table_size < 64) table_size = 64;
  if (table_size > 1024) table_size = 1024;
  if (log_enabled) log_.Activate();
  std::unique_ptr<WL_MapItem[]> table(new (std::nothrow) WL_MapItem[table_size]);
  if (!table) return false;
  last_full_check_ = last_long_check_ = Now();
  uint32_t b = GetTickCount() % 5000 + 17121;
  for (uint32_t i = 0; i < table_size; ++i) {
    WL_MapItem& it = table[i];
    it.serial = b + 15 + 27 * i;
    b = b / 3 + it.serial / 3 + ((i % 10) + 1) * 11505;
    if (b > 200000) {
      b = b / 3;
    } else if (b < 1000) {
      b = b + 281 + 23 * i;
    }
    ClearItem(it);
    it.slot_index = static_cast<uint16_t>(i);
  }
  std::lock_guard<WL_Lock> hold(lock_);
  table_ = std::move(table);
  table_count_ = table_size;
  return true;
}

void WL_MapFiles::StopMap() {
  {
    std::lock_guard<WL_Lock> hold(lock_);
    table_.reset();
    table_count_ = 0;
  }
  std::lock_guard<WL_Lock> hold(log_lock_);
  log_.FlushToLog();
}

void WL_MapFiles::WriteLog(const std::string& text) {
  if (text.empty()) return;
  std::lock_guard<WL_Lock> hold(log_lock_);
  log_.AddLine(text.data(), static_cast<int>(text.size()), false);
}

int WL_MapFiles::AddItem(const std::string& path, bool is_ipv4, bool ssl, bool long_map, const uint8_t client_addr[16],
                         uint64_t* dir64, uint64_t* unicode, uint64_t* hash, std::string* ext, bool want_subtitle,
                         std::string* subtitle_ext) {
  if (subtitle_ext != nullptr) subtitle_ext->clear();
  if (!table_) return kMapNoTable;
  if (path.empty() || path.size() > 1279) return kMapBadPath;
  // Only regular files are published: a directory or a device has no
  // content to stream.
  uint64_t size = 0;
  if (!RegularFileSize(path, &size)) return kMapNotFound;
  if (size == 0) return kMapEmptyFile;

  if (long_map) {
    std::lock_guard<WL_Lock> hold(lock_);
    int longs = 0;
    for (int i = 0; i < table_count_; ++i) {
      const WL_MapItem& it = table_[i];
      if (!it.in_use || !it.long_map) continue;
      ++longs;
      if (it.file_size == static_cast<int64_t>(size) && path == it.path) return kMapLongExists;
    }
    if (longs >= table_count_ / 4 + 1) return kMapTooManyLong;
  }

  // The URL numbers. The random parts come from the kernel, so no URL can
  // be derived from the ones handed out before.
  uint64_t mix = 0, r1 = 0, r2 = 0;
  if (!KernelValue(&mix) || !KernelValue(&r1) || !KernelValue(&r2)) return kMapNoTable;
  const uint32_t tick = GetTickCount();
  uint64_t v;
  {
    std::lock_guard<WL_Lock> hold(lock_);
    v = (static_cast<uint64_t>(tick) << 32) | counter_;
    ++counter_;
  }
  if (is_ipv4) {
    const uint64_t w = ((v >> 16) + 1721) & 0xFFFF;
    v = (v & ~(0xFFFFull << 16)) | (w << 16);
  } else {
    const uint64_t w = (v + 5833) & 0xFFFF;
    v = (v & ~0xFFFFull) | w;
  }
  if (long_map) {
    uint64_t w = ~(v >> 32) & 0xFFFF;
    const uint64_t high = ((w >> 8) + 1) & 0xFF;
    w = (w & 0xFF) | (high << 8);
    v = (v & ~(0xFFFFull << 32)) | (w << 32);
  }
  int p = 2;
  for (unsigned char c : path) {
    v ^= static_cast<uint64_t>(c) << (8 * p);
    if (++p == 8) {
      v = RotateLeft(v, 3);
      v ^= 0xFF;
      p = 0;
    }
  }
  v ^= mix;
  if ((v & 0xFFFFFFFFull) == 0) v |= tick % 10000 + 3;
  if ((v >> 32) == 0) v |= static_cast<uint64_t>(tick % 5000 + 207) << 32;

  const std::string extension = MapExtension(path);
  std::string mime;
  if (!extension.empty()) MimeType(extension.c_str(), &mime);

  // A subtitle beside a media file (normal maps only, when asked).
  std::string sub_ext;
  uint64_t sub_size = 0;
  if (want_subtitle && !long_map && IsMediaExtension(extension)) {
    for (const char* candidate : kSubtitleExtensions) {
      uint64_t n = 0;
      if (RegularFileSize(WithExtension(path, candidate), &n) && n >= 1 && n <= static_cast<uint64_t>(kMaxSubtitle)) {
        sub_ext = candidate;
        sub_size = n;
        break;
      }
    }
  }

  std::string log_text;
  int slot = -1;
  {
    std::lock_guard<WL_Lock> hold(lock_);
    if (!table_) return kMapNoTable;
    for (int i = 0; i < table_count_; ++i) {
      if (!table_[i].in_use) {
        slot = i;
        break;
      }
    }
    if (slot >= 0) {
      WL_MapItem& it = table_[slot];
      it.serial += tick % 100 + 3;
      if (it.serial == 0) it.serial = tick % 200 + 17;
      const uint8_t n = add_counter_++;
      uint64_t d = r2;
      d = (d & 0x00FFFFFFFFFFFFFFull) | (static_cast<uint64_t>(n) << 56);
      if (n == 0 && ((d >> 48) & 0xFF) == 0) d |= 1ull << 48;
      d = (d & ~0xFFFFull) | static_cast<uint64_t>(((n % 10) + 1) * 2000 + slot);
      it.dir64 = d;
      it.unicode = r1;
      it.hash = v;
      memcpy(it.path, path.data(), path.size());
      it.path[path.size()] = '\0';
      it.file_size = static_cast<int64_t>(size);
      it.long_map = long_map ? 1 : 0;
      it.last_session = -1;
      it.start_time = it.last_access = Now();
      it.is_ipv4 = is_ipv4 ? 1 : 0;
      it.ssl = ssl ? 1 : 0;
      if (!long_map) memcpy(it.client_addr, client_addr, 16);
      it.marked = 0;
      it.out_times = 0;
      it.play_times = 0;
      snprintf(it.mime, sizeof(it.mime), "%s", mime.c_str());
      snprintf(it.ext, sizeof(it.ext), "%s", extension.c_str());
      it.subtitle = sub_ext.empty() ? 0 : 1;
      snprintf(it.subtitle_ext, sizeof(it.subtitle_ext), "%s", sub_ext.c_str());
      it.subtitle_size = static_cast<int64_t>(sub_size);
      if (long_map) {
        long_count_.fetch_add(1);
      } else {
        normal_count_.fetch_add(1);
      }
      it.in_use = 1;
      if (log_enabled) {
        char line[1680];
        const int len = FormatText(
            line, sizeof(line),
            "Map file: <add>  pos=%d serial=%u protocl=%s ssl=%d mode=%d file=%s dir64= %" PRIx64 " unicode=%" PRIx64
            " hash=%" PRIx64 " [%u] ext=%s mime=%s\r\n",
            slot, it.serial, it.is_ipv4 ? "Ipv4" : "Ipv6", it.ssl, it.long_map, it.path, it.dir64, it.unicode,
            it.hash, it.slot_index, it.ext[0] ? it.ext : "Null", it.mime[0] ? it.mime : "Null");
        if (len > 0) log_text.assign(line, static_cast<size_t>(len));
      }
      *dir64 = it.dir64;
      *unicode = it.unicode;
      *hash = it.hash;
      *ext = extension;
      if (subtitle_ext != nullptr) *subtitle_ext = sub_ext;
    }
  }
  if (slot < 0) {
    // A full table: drop the long maps so that the client's next try can
    // succeed.
    RemoveAllLong();
    return kMapFull;
  }
  WriteLog(log_text);
  return slot;
}

int WL_MapFiles::OpenItem(uint64_t dir64, uint64_t unicode, uint64_t hash, const char* ext, int http_session,
                          bool is_ipv4, const uint8_t client_addr[16], WL_OpenedItem* out) {
  const int slot = static_cast<int>((dir64 & 0xFFFF) % 2000);
  std::lock_guard<WL_Lock> hold(lock_);
  if (!table_ || slot >= table_count_) return -101;
  WL_MapItem& it = table_[slot];
  if (!it.in_use) return -10;
  if (it.dir64 != dir64 || it.unicode != unicode || it.hash != hash) return -11;
  if (!it.long_map) {
    if (it.is_ipv4 != (is_ipv4 ? 1 : 0)) return -13;
    if (is_ipv4 && memcmp(it.client_addr, client_addr, 4) != 0) return -14;
    if (!is_ipv4 && memcmp(it.client_addr, client_addr, 16) != 0) return -15;
  }
  bool give_mime = false;
  bool subtitle = false;
  if (it.ext[0] != '\0') {
    if (ext == nullptr) return -20;
    if (ext[0] == '\0') return -21;
    give_mime = strcmp(ext, it.ext) == 0;
  }
  if (it.subtitle && ext != nullptr && strcmp(ext, it.subtitle_ext) == 0) subtitle = true;
  out->serial = it.serial;
  out->mime.clear();
  if (subtitle) {
    out->path = WithExtension(it.path, it.subtitle_ext);
    out->file_size = it.subtitle_size;
  } else {
    out->path = it.path;
    out->file_size = it.file_size;
    if (give_mime && it.mime[0] != '\0') out->mime = it.mime;
  }
  it.last_access = Now();
  if (it.play_times < 60001) ++it.play_times;
  it.out_times = 0;
  it.last_session = http_session;
  return slot;
}

bool WL_MapFiles::MarkItem(int slot, uint64_t dir64, uint64_t unicode, uint64_t hash) {
  std::lock_guard<WL_Lock> hold(lock_);
  if (!table_ || slot < 0 || slot >= table_count_) return false;
  WL_MapItem& it = table_[slot];
  if (!it.in_use || it.long_map || it.dir64 != dir64 || it.unicode != unicode || it.hash != hash) return false;
  it.marked = 1;
  return true;
}

int WL_MapFiles::MarkByUrl(const char* text) {
  if (text == nullptr || text[0] == '\0') return -1;
  if (!table_) return -2;
  const std::string url(text);
  const size_t last = url.rfind('/');
  if (last == std::string::npos) return -3;
  if (url.compare(last + 1, 3, "fx_") != 0) return -4;
  if (last + 4 >= url.size()) return -5;
  // The directory number is the component before the last '/', so that a
  // URL in the form an HTTP client fetches it ("/1a2b/fx_..." or with the
  // scheme and host) names the same item as the bare form.
  const size_t prev = last == 0 ? std::string::npos : url.rfind('/', last - 1);
  const std::string dir_part = url.substr(prev == std::string::npos ? 0 : prev + 1, last - (prev == std::string::npos ? 0 : prev + 1));
  uint64_t dir64 = 0, unicode = 0, hash = 0;
  if (!ParseHex64(dir_part.c_str(), &dir64)) return -7;
  const std::string tail = url.substr(last + 4);
  const size_t under = tail.find('_');
  if (!ParseHex64(tail.c_str(), &unicode) || under == std::string::npos ||
      !ParseHex64(tail.c_str() + under + 1, &hash)) {
    return -8;
  }
  const int slot = static_cast<int>((dir64 & 0xFFFF) % 2000);
  std::lock_guard<WL_Lock> hold(lock_);
  if (!table_ || slot >= table_count_) return -10;
  WL_MapItem& it = table_[slot];
  if (!it.in_use) return -11;
  if (it.hash != hash) return -12;
  if (it.unicode != unicode) return -15;
  if (it.long_map || it.dir64 != dir64) return -20;
  const size_t dot = tail.rfind('.');
  const size_t item_ext_len = strlen(it.ext);
  if (dot == std::string::npos) {
    if (item_ext_len > 0) return -29;
  } else {
    const std::string e = tail.substr(dot + 1);
    if (e.size() > 7) {
      if (item_ext_len > 0) return -21;
    } else if (!e.empty()) {
      if (e.size() != item_ext_len) return -22;
      if (e != it.ext) return -23;
    }
  }
  it.marked = 1;
  return slot;
}

bool WL_MapFiles::RemoveLocked(int i, uint32_t serial, uint8_t long_map, RemovalKind kind, std::string* log_text) {
  if (!table_ || i < 0 || i >= table_count_) return false;
  WL_MapItem& it = table_[i];
  // The slot may have been freed and reused since the caller looked at it.
  if (!it.in_use || it.serial != serial || it.long_map != long_map) return false;
  if (log_enabled) {
    static constexpr const char* kTags[] = {"<remove long>", "<remove long 2>", "<remove marked>",
                                            "<delete>",      "<delete 2>",      "<remove timeout n>"};
    char line[1680];
    const int len = FormatText(line, sizeof(line),
                               "Map file: %s  pos=%d serial=%u protocl=%s ssl=%d mode=%d dir64= %" PRIx64
                               " unicode=%" PRIx64 " hash=%" PRIx64 " [%u] play times=%u\r\n",
                               kTags[kind], i, it.serial, it.is_ipv4 ? "Ipv4" : "Ipv6", it.ssl, it.long_map, it.dir64,
                               it.unicode, it.hash, it.slot_index, it.play_times);
    if (len > 0) log_text->append(line, static_cast<size_t>(len));
  }
  std::atomic<int32_t>& count = it.long_map ? long_count_ : normal_count_;
  ClearItem(it);
  int32_t c = count.load();
  while (c > 0 && !count.compare_exchange_weak(c, c - 1)) {
  }
  return true;
}

int WL_MapFiles::RemoveWhere(RemovalKind kind, const std::function<bool(const WL_MapItem&)>& match, int limit) {
  int removed = 0;
  std::string log_text;
  {
    std::lock_guard<WL_Lock> hold(lock_);
    for (int i = 0; i < table_count_ && (limit < 0 || removed < limit); ++i) {
      const WL_MapItem& it = table_[i];
      if (it.in_use && match(it) && RemoveLocked(i, it.serial, it.long_map, kind, &log_text)) ++removed;
    }
  }
  WriteLog(log_text);
  return removed;
}

int WL_MapFiles::RemoveAllLong() {
  return RemoveWhere(kRemoveLong, [](const WL_MapItem& it) { return it.long_map != 0; });
}

bool WL_MapFiles::RemoveLongByPath(const std::string& path) {
  return RemoveWhere(kRemoveLong2, [&](const WL_MapItem& it) { return it.long_map && path == it.path; }, 1) == 1;
}

int WL_MapFiles::ExpireLong() {
  if (long_timeout <= 0) return 0;
  const int64_t now = Now();
  return RemoveWhere(kRemoveExpired, [&](const WL_MapItem& it) {
    return it.long_map && (it.start_time > now + 100 || now - it.start_time >= long_timeout);
  });
}

int WL_MapFiles::RemoveMarked() {
  return RemoveWhere(kRemoveMarked,
                     [](const WL_MapItem& it) { return !it.long_map && it.marked && it.out_times > 0; });
}

int WL_MapFiles::RemoveUnplayed() {
  const int64_t now = Now();
  return RemoveWhere(kRemoveUnplayed, [&](const WL_MapItem& it) {
    return it.play_times == 0 && (it.start_time > now + 120 || now - it.start_time >= 60);
  });
}

int WL_MapFiles::RemoveTimedOut() {
  int removed = 0;
  for (int i = 0; i < table_count_; ++i) {
    int32_t last_session;
    uint32_t serial;
    uint16_t out_times;
    bool is_ipv4;
    {
      std::lock_guard<WL_Lock> hold(lock_);
      if (!table_ || i >= table_count_) break;
      const WL_MapItem& it = table_[i];
      if (!it.in_use || it.long_map) continue;
      const int64_t now = Now();
      const bool idle = it.last_access > now + 60 || it.last_access < now - 90;
      if (!it.marked && it.play_times == 0 && !idle) continue;
      last_session = it.last_session;
      serial = it.serial;
      out_times = it.out_times;
      is_ipv4 = it.is_ipv4 != 0;
    }
    // Does an HTTP session still stream it? The callback is asked without
    // the item lock; its answer is applied only to the same item.
    bool count_up = out_times > 0 && last_session < 0;
    int serving = -1;
    if (!count_up) {
      WL_ServingCallback cb;
      void* ctx;
      {
        std::lock_guard<WL_Lock> hold(lock_);
        cb = serving_;
        ctx = serving_context_;
      }
      serving = (cb != nullptr && !stopping_.load()) ? cb(last_session, i, serial, is_ipv4, ctx) : -1;
    }
    std::string log_text;
    {
      std::lock_guard<WL_Lock> hold(lock_);
      if (!table_ || i >= table_count_) break;
      WL_MapItem& it = table_[i];
      if (!it.in_use || it.long_map || it.serial != serial) continue;
      if (count_up) {
        if (it.out_times < 0xFFFF) ++it.out_times;
      } else if (serving >= 0) {
        if (serving != it.last_session) {
          it.last_session = serving;
          it.out_times = 0;
        }
      } else {
        it.last_session = -1;
        it.out_times = 1;
      }
      const bool big = it.file_size > kBigFile;
      const bool expired = it.marked ? it.out_times > (big ? 6 : 5) : it.out_times >= (big ? 20 : 12);
      if (expired && RemoveLocked(i, serial, 0, kRemoveTimedOut, &log_text)) ++removed;
    }
    WriteLog(log_text);
  }
  return removed;
}

void WL_MapFiles::Recount() {
  std::lock_guard<WL_Lock> hold(lock_);
  int32_t normal = 0, longs = 0;
  for (int i = 0; i < table_count_; ++i) {
    if (!table_[i].in_use) continue;
    if (table_[i].long_map) {
      ++longs;
    } else {
      ++normal;
    }
  }
  if (normal != normal_count_.load()) normal_count_.store(normal);
  if (longs != long_count_.load()) long_count_.store(longs);
}

int WL_MapFiles::MapMaintenance() {
  if (stopping_.load() || !table_) return 0;
  const int64_t now = Now();
  int removed = 0;
  if (now < last_long_check_ || now - last_long_check_ >= 61440) {
    last_long_check_ = now;
    removed += ExpireLong();
  }
  const int size = table_count_;
  const int used = long_count_.load() + normal_count_.load();
  if (now >= last_full_check_ && now - last_full_check_ < 15 && used < size * 3 / 4) return removed;
  last_full_check_ = now;
  if (used >= size * 3 / 4) {
    removed += ExpireLong();
    if (long_count_.load() >= size / 4) removed += RemoveAllLong();
    if (normal_count_.load() >= size / 2) removed += RemoveMarked();
    if (normal_count_.load() >= size * 2 / 3) removed += RemoveUnplayed();
  } else if (normal_count_.load() == 0) {
    if (++idle_passes_ > 10) {
      idle_passes_ = 0;
      Recount();
    }
  } else {
    idle_passes_ = 0;
  }
  removed += RemoveTimedOut();
  return removed;
}

std::string WL_MapFiles::FirstLongUrl() {
  std::lock_guard<WL_Lock> hold(lock_);
  for (int i = 0; i < table_count_; ++i) {
    const WL_MapItem& it = table_[i];
    if (it.in_use && it.long_map) return MappedUrl(it.dir64, it.unicode, it.hash, it.ext);
  }
  return "";
}

bool WL_MapFiles::CopyItem(int i, WL_MapItem* out) {
  std::lock_guard<WL_Lock> hold(lock_);
  if (!table_ || i < 0 || i >= table_count_) return false;
  *out = table_[i];
  return true;
}

int WL_MapFiles::TableCount() {
  std::lock_guard<WL_Lock> hold(lock_);
  return table_ ? table_count_ : 0;
}

int WL_MapFiles::CountPlayedAtLeast(uint16_t plays) {
  std::lock_guard<WL_Lock> hold(lock_);
  int n = 0;
  for (int i = 0; table_ && i < table_count_; ++i) {
    if (table_[i].in_use && table_[i].play_times >= plays) ++n;
  }
  return n;
}

bool WL_MapFiles::TryItemLock() {
  if (!lock_.TryEnter()) return false;
  lock_.Leave();
  return true;
}

int WL_MapFiles::FormatItemLine(const WL_MapItem& it, int index, const char* head, char* buf, size_t size) {
  char start[48], access[48];
  FormatLocalTime(it.start_time, start, sizeof(start));
  FormatLocalTime(it.last_access, access, sizeof(access));
  const std::string url = MappedUrl(it.dir64, it.unicode, it.hash, it.ext[0] ? it.ext : " ");
  return FormatText(buf, size,
                    "%s%d [max:%u] serial=%x ssl=%d ip=%d long map=%d start=%s type=%u sub=%d out-times:%u  "
                    "play-times:%u mark:%d last used=%d time=%s filesize=%" PRId64 " url=%s \r\n",
                    head, index, static_cast<unsigned>(table_count_), it.serial, it.ssl, it.is_ipv4 ? 4 : 6,
                    it.long_map, start, 0u, it.subtitle, it.out_times, it.play_times, it.marked, it.last_session,
                    access, it.file_size, url.c_str());
}

int WL_MapFiles::ItemText(int index, char* buf, size_t size) {
  std::lock_guard<WL_Lock> hold(lock_);
  if (!table_) return FormatText(buf, size, "200 map file not ready.\r\n");
  if (index < 0 || index >= table_count_) {
    return FormatText(buf, size, "200 out of range [max:%u]\r\n", static_cast<unsigned>(table_count_));
  }
  const WL_MapItem& it = table_[index];
  if (!it.in_use) {
    return FormatText(buf, size, "200 %d [max:%u] item not active\r\n", index, static_cast<unsigned>(table_count_));
  }
  return FormatItemLine(it, index, "200 ", buf, size);
}

int WL_MapFiles::ItemListLine(int index, char* buf) {
  std::lock_guard<WL_Lock> hold(lock_);
  if (!table_ || index < 0 || index >= table_count_ || !table_[index].in_use) return 0;
  const int n = FormatItemLine(table_[index], index, "200-", buf, 1001);
  return n < 0 ? 0 : n;
}

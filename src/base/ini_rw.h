// An INI file held in memory as its table of lines.
//
// Every line is kept (comments and blanks too) so a file written back keeps
// its layout. Section and key names compare without regard to case; only the
// first section of a name, and within it the first line of a key, is found.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class WL_IniRW {
 public:
  enum LineKind : int32_t { kOther = 0, kSection = 1, kKey = 2, kReadFailure = 3 };

  WL_IniRW() = default;
  virtual ~WL_IniRW() { Close(); }
  WL_IniRW(const WL_IniRW&) = delete;
  WL_IniRW& operator=(const WL_IniRW&) = delete;

  // Saves a dirty table first (auto-save), empties the table, stores path
  // and loads it. Returns true when the file was read; false for an empty
  // path or a file that cannot be read (the table is then empty but loaded).
  bool Open(const std::string& path);
  // 1 read, 0 empty path or file cannot be opened, -1 out of memory.
  int Load();
  // The value text of key in section, or nullptr. Valid until the table
  // changes.
  const char* GetValue(const char* section, const char* key) const;
  // Changes or adds key=value (adding the section when needed). A null
  // value writes "key=". Returns false when nothing is loaded or a name is
  // empty or too long.
  bool SetValue(const char* section, const char* key, const char* value);
  // Writes the table back with CR LF line ends into a temporary file beside
  // the file, then renames it over the file. True only when every write,
  // the flush to disk, the close and the rename succeeded; on failure the
  // old file stays untouched and the table stays dirty. False also for an
  // empty path.
  bool Save();
  // Saves when dirty, loaded and auto-save; then empties the table.
  void Close();

  static uint64_t LineHash(const char* text, size_t n);

  // Read-only view for tests and tools.
  size_t LineCount() const { return texts_.size(); }
  const std::string& LineText(size_t i) const { return texts_[i]; }
  int32_t LineKindAt(size_t i) const { return kinds_[i]; }
  bool IsDirty() const { return dirty_; }

 private:
  int FindSection(const std::string& header) const;
  int FindKeyAfter(int header, const char* key, size_t key_len, uint64_t key_hash) const;
  void AddLine(std::string text);
  void Clear();

  std::string path_;
  bool loaded_ = false;
  bool dirty_ = false;
  bool trim_ = true;
  bool leading_newline_ = false;
  std::vector<std::string> texts_;
  std::vector<int32_t> kinds_;
  std::vector<uint64_t> hashes_;
  bool auto_save_ = true;
};

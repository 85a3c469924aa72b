// The account table: 32 slots with fixed roles and the "Unknown" record,
// read once per start from config/myaccount.ini.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/format.h"

class WL_IniRW;

struct WL_AccountRecord {
  uint8_t last_login_ipv6 = 0;  // written by login under the account lock
  uint8_t in_use = 0;
  uint8_t share_allowed = 1;
  int32_t slot = 0;
  int32_t local_level = 0;
  int32_t outside_level = -1;
  int32_t upload = 0;
  int32_t speed_limit = 0;
  int32_t net_type = 0;
  int32_t no_web = 0;
  uint32_t name_hash = 0;
  int64_t last_login_time = 0;        // written by login under the account lock
  uint8_t last_login_addr[16] = {};  // written by login under the account lock
  std::string user_name;
  std::string password;
  std::string response_code;
  std::string backup_dir;  // empty: backup mode is not ready
  std::string role_name;
  // The position SAVS remembers for every session of the account (LDIR,
  // LFIL read it): at most 1000 and below 1000 bytes, empty when none;
  // read and written under the server's account lock.
  BoundedStr<1001> last_dir;
  BoundedStr<1000> last_file;

  bool BackupReady() const { return !backup_dir.empty(); }
};

class WL_FtpAccount {
 public:
  static constexpr int kSlots = 32;
  static constexpr int kAdmin = 0;
  static constexpr int kTemp = 2;
  static constexpr int kProxy = 7;

  WL_FtpAccount();
  virtual ~WL_FtpAccount() = default;

  // Loads every slot from the file; a missing file leaves every slot off.
  // False only for an empty path.
  bool LoadAccounts(const std::string& path);
  bool LoadAccountSlot(const WL_IniRW& ini, int slot, const char* section);
  // Sets and returns the scan bound: 1 + the highest slot in use, 0 for none.
  int CountAccountSlots();
  // Slots 0 to 31; the Unknown record for any other number.
  const WL_AccountRecord& GetAccount(int slot) const;
  WL_AccountRecord& MutableAccount(int slot);
  int scan_bound() const { return scan_bound_; }
  int InUseCount() const;

  static std::string SectionName(int slot);

 private:
  int scan_bound_ = kSlots;
  std::unique_ptr<WL_AccountRecord[]> table_;
};

// The 32-bit hash of a user name that narrows the login search.
uint32_t NameHash(const char* name, size_t n);
// A backup root: an absolute local path ("/..."), no "../", "/..", "//", no
// unsafe character.
bool IsSafeBackupDir(const std::string& dir);
// The access level a session gets: the local level for a local peer;
// otherwise the outside level when it is above 0, else the local level.
int32_t AccessLevelFor(const WL_AccountRecord& account, bool peer_local);

#include "accounts/account.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "accounts/scramble.h"
#include "base/ini_rw.h"
#include "base/local_path.h"
#include "base/text_scan.h"
#include "platform/fs.h"

namespace {

const char* const kRoleNames[8] = {"Admin", "Guest", "Temp", "Friend", "Child", "Parent", "Monitor", "Proxy"};
const char* const kSections[8] = {"User_admin", "User_guest",  "User_temp",    "User_friend",
                                  "User_child", "User_parent", "User_monitor", "User_proxy"};

// "%d": leading white space, a sign, digits. False when nothing scans.
bool ScanInt(const char* v, int32_t* out) {
  int64_t x;
  if (!ScanDecimal(v, &x)) return false;
  *out = SaturateInt32(x);
  return true;
}

int32_t IntOr(const WL_IniRW& ini, const char* sec, const char* key, int32_t def) {
  int32_t v;
  return ScanInt(ini.GetValue(sec, key), &v) ? v : def;
}

// A text of 1 to 128 characters after trimming, else empty.
std::string ShortText(const WL_IniRW& ini, const char* sec, const char* key) {
  std::string t = TrimmedText(ini.GetValue(sec, key));
  return t.size() > 128 ? std::string() : t;
}

}  // namespace

uint32_t NameHash(const char* name, size_t n) {
  uint32_t a = 0;
  for (size_t i = 0; i < n; ++i) {
    a ^= static_cast<uint32_t>(static_cast<uint8_t>(name[i])) << (8 * (i % 4));
    if (i % 4 == 3) a = ~a;
  }
  return a + static_cast<uint32_t>(n);
}

bool IsSafeBackupDir(const std::string& dir) { return IsSafeLocalPath(dir); }

int32_t AccessLevelFor(const WL_AccountRecord& account, bool peer_local) {
  if (peer_local) return account.local_level;
  return account.outside_level > 0 ? account.outside_level : account.local_level;
}

std::string WL_FtpAccount::SectionName(int slot) {
  if (slot >= 0 && slot < 8) return kSections[slot];
  return "User_user" + std::to_string(slot - 7);
}

WL_FtpAccount::WL_FtpAccount() : table_(new WL_AccountRecord[kSlots + 1]) {
  for (int i = 0; i <= kSlots; ++i) {
    table_[i].slot = i;
    table_[i].role_name = i < 8 ? kRoleNames[i] : (i < kSlots ? "User_" + std::to_string(i - 7) : "Unknown");
  }
}

const WL_AccountRecord& WL_FtpAccount::GetAccount(int slot) const {
  return table_[(slot >= 0 && slot < kSlots) ? slot : kSlots];
}

WL_AccountRecord& WL_FtpAccount::MutableAccount(int slot) { return table_[(slot >= 0 && slot < kSlots) ? slot : kSlots]; }

bool WL_FtpAccount::LoadAccounts(const std::string& path) {
  if (path.empty()) return false;
  WL_IniRW ini;
  ini.Open(path);
  for (int slot = 0; slot < kSlots; ++slot) LoadAccountSlot(ini, slot, SectionName(slot).c_str());
  return true;
}

bool WL_FtpAccount::LoadAccountSlot(const WL_IniRW& ini, int slot, const char* sec) {
  if (slot < 0 || slot >= kSlots || !table_) return false;
  WL_AccountRecord& r = table_[slot];
  const std::string role = r.role_name;
  r = WL_AccountRecord();
  r.slot = slot;
  r.role_name = role;
  int32_t active = 0;
  if (!ScanInt(ini.GetValue(sec, "Active_Mode"), &active) || active == 0) return true;

  r.local_level = IntOr(ini, sec, "Access_Level", 0);
  r.outside_level = IntOr(ini, sec, "Access_OutLevel", -1);
  r.share_allowed = IntOr(ini, sec, "Access_share", 1) != 0 ? 1 : 0;
  r.upload = IntOr(ini, sec, "Access_upload", 0);
  r.speed_limit = IntOr(ini, sec, "Access_speedlimit", 0);
  if (r.speed_limit > 104857599) r.speed_limit = 0;
  r.net_type = IntOr(ini, sec, "Access_nettype", 0);
  r.no_web = IntOr(ini, sec, "Access_NoWeb", 0);

  r.user_name = ShortText(ini, sec, "User_Name");
  for (const char* suffix : {".BACK", ".back"}) {
    const size_t at = r.user_name.find(suffix);
    if (at != std::string::npos) r.user_name.resize(at);
  }
  r.response_code = ShortText(ini, sec, "User_Respcode");
  r.name_hash = NameHash(r.user_name.data(), r.user_name.size());

  const std::string scrambled = TrimmedText(ini.GetValue(sec, "SPass_Word"));
  if (scrambled.size() >= 8 && scrambled.size() <= 299) r.password = UnscramblePassword(scrambled);
  if (r.password.empty()) r.password = ShortText(ini, sec, "Pass_Word");

  if (r.user_name.empty() || r.password.empty()) return true;
  r.in_use = 1;

  std::string dir = TrimmedText(ini.GetValue(sec, "Backup_dir"));
  if (dir.size() > 359) dir.clear();
  for (char& c : dir) {
    if (c == '\\') c = '/';
  }
  if (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (IsSafeBackupDir(dir) && IsDirectory(dir)) r.backup_dir = dir;
  return true;
}

int WL_FtpAccount::CountAccountSlots() {
  scan_bound_ = 0;
  for (int i = 0; i < kSlots; ++i) {
    if (table_[i].in_use) scan_bound_ = i + 1;
  }
  return scan_bound_;
}

int WL_FtpAccount::InUseCount() const {
  int n = 0;
  for (int i = 0; i < kSlots; ++i) n += table_[i].in_use ? 1 : 0;
  return n;
}

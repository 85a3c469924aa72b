#include "ftp/command_protect.h"

#include <bit>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "accounts/account.h"
#include "base/bits.h"
#include "base/digest.h"
#include "base/fixed_texts.h"
#include "base/format.h"
#include "core/server.h"
#include "ftp/arg_parsers.h"
#include "ftp/command_table.h"
#include "ftp/handlers.h"
#include "ftp/protect_hash.h"
#include "ftp/session.h"
#include "ftp/session_io.h"
#include "platform/clock.h"

namespace {

// A nonce from the time and the session's generator.
uint64_t FreshNonce(WL_FtpSession& s) {
  uint64_t t = static_cast<uint64_t>(NowSeconds());
  if (!s.is_ipv4) {
    t ^= s.Draw();
    SetByteOf(&t, 3, static_cast<uint8_t>(~ByteOf(t, 3)));
    t = std::rotl(t, static_cast<int>(s.slot_index % 11 + 3));
  } else {
    t += s.Draw();
    SetByteOf(&t, 5, static_cast<uint8_t>(~ByteOf(t, 5)));
    t = std::rotr(t, static_cast<int>(s.slot_index % 12 + 5));
  }
  uint8_t top = static_cast<uint8_t>(ByteOf(t, 7) % 100);
  uint8_t low = static_cast<uint8_t>(ByteOf(t, 0) % 100);
  SetByteOf(&t, 7, top == 0 ? 1 : top);
  SetByteOf(&t, 0, low == 0 ? 1 : low);
  return t;
}

bool HandleCint(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  if (*arg == '\0') return ReplyText(svr, s, "550 bad parameter found\r\n");
  if (s.protect_key[0] != '\0' || svr->set.Command_protect <= 0) {
    return ReplyText(svr, s, "450 command protect disabled or key already exist\r\n");
  }
  uint64_t v;
  if (!ParseHex64(arg, &v)) return ReplyText(svr, s, "550 bad parameter found\r\n");
  s.protect_counter = 0;
  s.protect_value = v;
  s.protect_nonce = FreshNonce(s);
  const uint64_t r = s.Draw();
  const WL_AccountRecord& a = svr->accounts.GetAccount(static_cast<int>(s.account_index));
  std::string secret = ProtectSecret(a.password, svr->set.Use_accountsha != 0);
  const bool formed = ProtectKey(v, secret, s.protect_nonce, r, s.protect_key);
  OPENSSL_cleanse(secret.data(), secret.size());
  if (!formed) return ReplyText(svr, s, "550 command protect failed unknown\r\n");
  s.protect_on = 1;
  s.protect_sig[0] = '\0';
  return Reply(svr, s, "200 %" PRIx64 " %" PRIx64 "\r\n", s.protect_nonce, r);
}

bool HandleNexp(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  if (*arg == '\0') return ReplyText(svr, s, "550 bad parameter found\r\n");
  if (svr->set.Command_protect <= 0 || s.protect_key[0] == '\0') return ReplyText(svr, s, "550 0 not ready\r\n");
  const char* star = strchr(arg, '*');
  if (star == nullptr || strlen(star + 1) != 128) return ReplyText(svr, s, "550 bad parameter found\r\n");
  memcpy(s.protect_sig, star + 1, 129);
  char* end = nullptr;
  const long kind = strtol(arg, &end, 10);
  bool ok = end != arg;
  uint64_t value = 0;
  if (ok) ok = ParseHex64(end, &value);
  if (!ok) {
    s.protect_sig[0] = '\0';
    return ReplyText(svr, s, "550 bad parameter found\r\n");
  }
  s.protect_kind = static_cast<uint32_t>(kind);
  s.protect_value = value;
  s.protect_nonce += s.protect_counter;
  s.protect_counter = s.protect_counter + 1 + static_cast<uint32_t>(s.Draw() % 180);
  if (s.protect_counter < 2) s.protect_counter += 1 + GetTickCount() % 100;
  return Reply(svr, s, "200 %u\r\n", s.protect_counter);
}

}  // namespace

bool ProtectRequired(const WL_ZelFtpSvr* svr, const WL_FtpSession& s) {
  const int32_t mode = svr->set.Command_protect;
  return mode >= 2 || (mode == 1 && s.protect_on >= 1);
}

bool ProtectCheck(WL_FtpSession& s, std::string_view arg, uint32_t kind) {
  if (s.protect_on < 1 || s.protect_key[0] == '\0' || s.protect_sig[0] == '\0' || kind != s.protect_kind) return false;
  char expect[129];
  if (!ProtectSignature(arg, s.protect_key, kind, s.protect_value, s.protect_nonce, expect)) return false;
  if (strlen(s.protect_sig) != 128 || CRYPTO_memcmp(expect, s.protect_sig, 128) != 0) return false;
  s.protect_sig[0] = '\0';
  ++s.protect_value;
  return true;
}

bool PassesProtect(WL_ZelFtpSvr* svr, WL_FtpSession& s, std::string_view arg, uint32_t kind, bool* ok) {
  *ok = true;
  if (!ProtectRequired(svr, s) || ProtectCheck(s, arg, kind)) return true;
  *ok = ReplyText(svr, s, "550 command protect fail\r\n");
  return false;
}

WL_CommandHandler ProtectHandlerFor(uint32_t code) {
  if (code == 116) return HandleCint;
  if (code == 117) return HandleNexp;
  return nullptr;
}

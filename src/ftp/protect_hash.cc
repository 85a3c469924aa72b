#include "ftp/protect_hash.h"

#include <cinttypes>

#include <openssl/crypto.h>

#include "base/digest.h"
#include "base/format.h"
#include "ftp/login_hash.h"

std::string ProtectSecret(std::string_view password, bool use_account_sha) {
  // The hashed form keeps the clear password out of the key text.
  return use_account_sha ? SessionKeySecret(password) : std::string(password);
}

bool ProtectKey(uint64_t value, std::string_view secret, uint64_t nonce, uint64_t random, char out[129]) {
  char text[512];
  const int n = FormatText(text, sizeof(text), "&;r~%" PRIx64 "+:+GtW_%.*s?_%" PRIX64 "^Lm_%" PRIx64, value,
                           static_cast<int>(secret.size()), secret.data(), nonce, random);
  if (n < 0) return false;
  Sha512Hex(text, static_cast<size_t>(n), out);
  OPENSSL_cleanse(text, sizeof(text));
  return true;
}

bool ProtectSignature(std::string_view arg, std::string_view key, uint32_t kind, uint64_t value, uint64_t nonce,
                      char out[129]) {
  char tail[128];
  const int n = FormatText(tail, sizeof(tail), "%d=%" PRIx64 "_**_%" PRIX64 "{k}", static_cast<int>(kind), value, nonce);
  if (n < 0) return false;
  std::string data = "RV%:";
  data.append(arg);
  data.append(key);
  data.append(tail, static_cast<size_t>(n));
  Sha512Hex(data.data(), data.size(), out);
  return true;
}

#include "client/password.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <openssl/crypto.h>

#include "platform/fs.h"

namespace {

void TrimLineEnd(std::string* s) {
  while (!s->empty() && (s->back() == '\n' || s->back() == '\r')) s->pop_back();
}

// A line from the terminal with echo off.
bool Prompt(std::string* out) {
  if (isatty(0) != 1) return false;
  fputs("Password: ", stderr);
  fflush(stderr);
  struct termios old_mode;
  const bool have_mode = tcgetattr(0, &old_mode) == 0;
  if (have_mode) {
    struct termios quiet = old_mode;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(0, TCSAFLUSH, &quiet);
  }
  char c;
  bool got = false;
  while (read(0, &c, 1) == 1) {
    got = true;
    if (c == '\n') break;
    out->push_back(c);
  }
  if (have_mode) tcsetattr(0, TCSAFLUSH, &old_mode);
  fputc('\n', stderr);
  return got;
}

}  // namespace

WL_Outcome ReadPassword(const std::string& password_file, std::string* out) {
  out->clear();
  if (!password_file.empty()) {
    FILE* f = OpenFile(password_file, "rb");
    if (f == nullptr) return WL_Outcome::Fail(kExitUsage, "cannot read the password file " + password_file);
    char line[1024];
    const bool got = ReadLine(f, line, sizeof(line));
    CloseFile(f);
    if (got) out->assign(line);
    OPENSSL_cleanse(line, sizeof(line));
    TrimLineEnd(out);
    if (out->empty()) return WL_Outcome::Fail(kExitUsage, "the password file " + password_file + " is empty");
    return WL_Outcome::Done();
  }
  if (char* env = getenv("ZELFO_PASSWORD"); env != nullptr && *env != '\0') {
    out->assign(env);
    // Wipe the value where /proc/PID/environ shows it.
    OPENSSL_cleanse(env, strlen(env));
    unsetenv("ZELFO_PASSWORD");
    return WL_Outcome::Done();
  }
  if (Prompt(out) && !out->empty()) return WL_Outcome::Done();
  return WL_Outcome::Fail(kExitUsage, "no password: set ZELFO_PASSWORD, use --password-file, or run on a terminal");
}

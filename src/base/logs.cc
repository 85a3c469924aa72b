#include "base/logs.h"

#include <cstring>

#include "base/time_text.h"
#include "platform/clock.h"
#include "platform/oslog.h"

namespace {
constexpr int kMaxLine = 98304 / 5;
}

bool WL_DaemonLog::Write(const char* bytes, size_t length) {
  if (bytes == nullptr || length == 0) return false;
  EchoToStderr(bytes, static_cast<int>(length));
  return true;
}

bool WL_MinMemLog::Activate() {
  active_ = target_ != nullptr;
  return active_;
}

bool WL_MinMemLog::AddLine(const char* text, int length, bool add_line_end) {
  if (!active_ || text == nullptr) return false;
  if (length < 1) length = static_cast<int>(strlen(text));
  if (length == 0) return true;
  if (length >= kMaxLine) return false;
  char line[kMaxLine + 64];
  int n = FormatLogStamp(NowSeconds(), line, 56);
  if (n < 0) n = 0;
  memcpy(line + n, text, static_cast<size_t>(length));
  n += length;
  if (add_line_end) {
    line[n++] = '\r';
    line[n++] = '\n';
  }
  return target_->Write(line, static_cast<size_t>(n));
}

void WL_MinMemLog::FlushToLog() {}

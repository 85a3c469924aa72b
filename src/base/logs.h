// The server's log writers.
//
// WL_DaemonLog is one log file; WL_MinMemLog is a per-owner front that adds
// the time prefix and hands lines to a WL_DaemonLog. Until a WL_DaemonLog has
// a file of its own, the lines it receives go to standard error, so an
// operator running the server in the foreground sees every line.
#pragma once

#include <cstddef>
#include <cstdint>

class WL_DaemonLog {
 public:
  // Takes bytes from any thread. Returns false for an empty or missing text.
  bool Write(const char* bytes, size_t length);
};

class WL_MinMemLog {
 public:
  void SetTarget(WL_DaemonLog* target) { target_ = target; }
  // True when a target is set.
  bool Activate();
  bool IsActive() const { return active_; }
  // Adds one line: the local time prefix, the text, and CR LF when asked.
  // A length below 1 means the text's own length. Returns false when not
  // active or the text is too long.
  bool AddLine(const char* text, int length, bool add_line_end);
  // Hands staged bytes to the target.
  void FlushToLog();

 private:
  WL_DaemonLog* target_ = nullptr;
  bool active_ = false;
};

// The timer daemon: a thread that wakes every 5 seconds and, counting its
// wake-ups, runs the periodic duties: the file map's housekeeping every 6th
// wake-up (30 s), the address mail's trigger with the log writers' check
// every 12th (60 s), and the backup check with the firewalls' expiry every
// 20th (100 s). The duties count wake-ups, not measured time.
//
// The daemon reads time only through a WL_TimerClock. The real one waits on
// the server's timer_wakeup for 5 seconds; the environment variable
// ZELFO_TIMER_WAKE_MS (1 to 5000) shortens that wait, so a test of the real
// binary sees the first backup check within a second instead of 100. Tests
// in the process give the server a clock of their own that lets wake-ups
// pass on demand and moves time by 5 seconds per wake-up.
#pragma once

#include <cstdint>

class WL_Semaphore;
class WL_ZelFtpSvr;

constexpr int64_t kTimerWakeMs = 5000;

class WL_TimerClock {
 public:
  virtual ~WL_TimerClock() = default;
  // Waits for the next wake-up, at most wake_ms, watching the semaphore the
  // stop sequence releases. True when the semaphore was released.
  virtual bool WaitWake(WL_Semaphore* wakeup, int64_t wake_ms) = 0;
  // Seconds since 1970.
  virtual int64_t Now() = 0;
};

// The real clock: the semaphore wait and the wall clock.
WL_TimerClock* RealTimerClock();

// The wake-up wait of the real clock: ZELFO_TIMER_WAKE_MS when it holds a
// number from 1 to 5000, else 5000.
int64_t TimerWakeMs();

// The duties a wake-up ran (TimerWake's result).
constexpr int kDutyMap = 1;
constexpr int kDutyMail = 2;
constexpr int kDutyBackup = 4;

// The daemon's own state: what it worked out at its start and its three
// wake-up counters (5000 per wake-up).
struct WL_TimerState {
  bool mail_configured = false;
  bool backup_configured = false;
  int64_t map_ms = 0;
  int64_t mail_ms = 0;
  int64_t backup_ms = 0;
};

// What the daemon works out once at its start: whether the mail and the
// backup are configured; loads the mail status file when the mail is.
void PrepareTimer(WL_ZelFtpSvr* svr, WL_TimerState* state);
// One wake-up: counts it and runs the duties that are due, with now as the
// current time. Returns the kDuty bits of the duties run.
int TimerWake(WL_ZelFtpSvr* svr, WL_TimerState* state, int64_t now);
// The 100-second duty: the backup decision, the timer log's hand-over and
// the expiry scans of the FTP and HTTP firewalls.
void BackupCheck(WL_ZelFtpSvr* svr, bool backup_configured, int64_t now);

// Starts the timer daemon thread on svr->timer_ctl (svr->timer_clock, or
// the real clock) and waits until it reports started or running. False
// when the thread cannot be created.
bool StartTimerDaemon(WL_ZelFtpSvr* svr);
// Sets the stop request and releases timer_wakeup until the thread has
// left.
void StopTimerDaemon(WL_ZelFtpSvr* svr);

#include "daemons/timer_daemon.h"

#include <string>

#include "core/server.h"
#include "daemons/auto_backup.h"
#include "daemons/ipv6_mail.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace {

constexpr size_t kTimerStack = 4194304;
constexpr int64_t kMapEveryMs = 30000;
constexpr int64_t kMailEveryMs = 60000;
constexpr int64_t kBackupEveryMs = 100000;

class RealClock : public WL_TimerClock {
 public:
  bool WaitWake(WL_Semaphore* wakeup, int64_t wake_ms) override {
    if (wakeup->Wait(wake_ms)) {
      SleepMs(5);
      return true;
    }
    return false;
  }
  int64_t Now() override { return NowSeconds(); }
};

void* TimerDaemonMain(void* arg) {
  auto* svr = static_cast<WL_ZelFtpSvr*>(arg);
  WL_ThreadControl& ctl = svr->timer_ctl;
  ctl.thread_id.store(CurrentThreadId());
  ctl.running.store(true, std::memory_order_release);
  ctl.started.store(true, std::memory_order_release);

  WL_TimerClock* clock = svr->timer_clock != nullptr ? svr->timer_clock : RealTimerClock();
  const int64_t wake_ms = TimerWakeMs();
  WL_TimerState state;
  PrepareTimer(svr, &state);
  while (!ctl.stop_requested.load(std::memory_order_acquire)) {
    clock->WaitWake(&svr->timer_wakeup, wake_ms);
    if (ctl.stop_requested.load(std::memory_order_acquire)) break;
    TimerWake(svr, &state, clock->Now());
  }
  ctl.running.store(false, std::memory_order_release);
  return nullptr;
}

}  // namespace

WL_TimerClock* RealTimerClock() {
  static RealClock clock;
  return &clock;
}

int64_t TimerWakeMs() {
  std::string text;
  if (!EnvironmentValue("ZELFO_TIMER_WAKE_MS", &text) || text.empty() || text.size() > 4) return kTimerWakeMs;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return kTimerWakeMs;
    v = v * 10 + (c - '0');
  }
  return (v >= 1 && v <= kTimerWakeMs) ? v : kTimerWakeMs;
}

void PrepareTimer(WL_ZelFtpSvr* svr, WL_TimerState* state) {
  state->mail_configured = MailConfigured(*svr);
  if (state->mail_configured) LoadMailStatus(svr, MailStatusPath(svr->install_dir));
  state->backup_configured = BackupConfigured(svr->set);
}

int TimerWake(WL_ZelFtpSvr* svr, WL_TimerState* state, int64_t now) {
  int ran = 0;
  state->map_ms += kTimerWakeMs;
  state->mail_ms += kTimerWakeMs;
  state->backup_ms += kTimerWakeMs;
  if (state->map_ms >= kMapEveryMs) {
    svr->filemap.MapMaintenance();
    state->map_ms = 0;
    ran |= kDutyMap;
  }
  if (state->mail_ms >= kMailEveryMs) {
    // The trigger also posts the once-a-minute check of the log writers.
    MailTrigger(svr, state->mail_configured);
    state->mail_ms = 0;
    ran |= kDutyMail;
  }
  if (state->backup_ms >= kBackupEveryMs) {
    BackupCheck(svr, state->backup_configured, now);
    state->backup_ms = 0;
    ran |= kDutyBackup;
  }
  return ran;
}

void BackupCheck(WL_ZelFtpSvr* svr, bool backup_configured, int64_t now) {
  // Keeping the host awake while the server runs is the service manager's
  // business on Linux; there is nothing to renew here.
  DecideBackup(svr, backup_configured, now);
  svr->timer_log.FlushToLog();
  // Each scan decides by itself whether its gap has passed; a firewall that
  // is off or has no table for a family skips it.
  svr->firewall.ExpireScan(true);
  svr->firewall.ExpireScan(false);
  svr->web.firewall.ExpireScan(true);
  svr->web.firewall.ExpireScan(false);
}

bool StartTimerDaemon(WL_ZelFtpSvr* svr) {
  WL_ThreadControl& ctl = svr->timer_ctl;
  ctl.Clear();
  ctl.owner = svr;
  if (!StartThread(TimerDaemonMain, svr, kTimerStack)) return false;
  SpinBackoff wait;
  while (!ctl.started.load(std::memory_order_acquire) && !ctl.running.load(std::memory_order_acquire)) wait.Pause();
  return true;
}

void StopTimerDaemon(WL_ZelFtpSvr* svr) {
  WL_ThreadControl& ctl = svr->timer_ctl;
  if (!ctl.running.load(std::memory_order_acquire)) return;
  ctl.stop_requested.store(true, std::memory_order_release);
  SpinBackoff wait;
  while (ctl.running.load(std::memory_order_acquire)) {
    svr->timer_wakeup.Release(1);
    wait.Pause();
  }
}

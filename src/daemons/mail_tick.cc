#include "daemons/mail_tick.h"

#include "core/server.h"
#include "daemons/ipv6_mail.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace {

constexpr size_t kTickStack = 4194304;
constexpr int kWakeMs = 5000;
constexpr int kWakesPerMinute = 12;

void* MailTickMain(void* arg) {
  auto* svr = static_cast<WL_ZelFtpSvr*>(arg);
  WL_ThreadControl& ctl = svr->mail_tick_ctl;
  ctl.thread_id.store(CurrentThreadId());
  ctl.running.store(true, std::memory_order_release);
  ctl.started.store(true, std::memory_order_release);

  const bool configured = MailConfigured(*svr);
  if (configured) LoadMailStatus(svr, MailStatusPath(svr->install_dir));

  int wakes = 0;
  while (!ctl.stop_requested.load(std::memory_order_acquire)) {
    if (svr->timer_wakeup.Wait(kWakeMs)) SleepMs(5);
    if (ctl.stop_requested.load(std::memory_order_acquire)) break;
    if (++wakes >= kWakesPerMinute) {
      wakes = 0;
      MailTrigger(svr, configured);
    }
  }
  ctl.running.store(false, std::memory_order_release);
  return nullptr;
}

}  // namespace

bool StartMailTick(WL_ZelFtpSvr* svr) {
  WL_ThreadControl& ctl = svr->mail_tick_ctl;
  ctl.Clear();
  ctl.owner = svr;
  if (!StartThread(MailTickMain, svr, kTickStack)) return false;
  SpinBackoff wait;
  while (!ctl.started.load(std::memory_order_acquire) && !ctl.running.load(std::memory_order_acquire)) wait.Pause();
  return true;
}

void StopMailTick(WL_ZelFtpSvr* svr) {
  WL_ThreadControl& ctl = svr->mail_tick_ctl;
  if (!ctl.running.load(std::memory_order_acquire)) return;
  ctl.stop_requested.store(true, std::memory_order_release);
  SpinBackoff wait;
  while (ctl.running.load(std::memory_order_acquire)) {
    svr->timer_wakeup.Release(1);
    wait.Pause();
  }
}

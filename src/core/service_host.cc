#include "core/service_host.h"

#include <mutex>

#include "core/server.h"
#include "platform/clock.h"
#include "platform/oslog.h"
#include "platform/power.h"
#include "platform/thread.h"

namespace {

constexpr size_t kPowerThreadStack = 8388608;
constexpr int kStopWaitSteps = 12;
constexpr int kStopWaitStepMs = 100;

}  // namespace

void WL_MyService::Attach(WL_ZelFtpSvr* server) {
  server->service_object = this;
  server->power_request = &WL_MyService::RequestPower;
  server_.store(server, std::memory_order_release);
}

bool WL_MyService::StopServer() {
  if (server_.load(std::memory_order_acquire) == nullptr) return false;
  {
    std::unique_lock<WL_Lock> hold(lock_);
    if (busy_ != 0 || power_in_progress_.load()) {
      hold.unlock();
      for (int i = 0; i < kStopWaitSteps && power_in_progress_.load(); ++i) SleepMs(kStopWaitStepMs);
      return false;
    }
    busy_ = 1;
  }
  // Whoever set busy owns the server from here on.
  WL_ZelFtpSvr* server = server_.exchange(nullptr, std::memory_order_acq_rel);
  if (server == nullptr) return false;
  const bool ok = server->Stop();
  delete server;
  return ok;
}

int WL_MyService::RequestPower(bool reboot, void* service) {
  if (service == nullptr) return 0;
  auto* self = static_cast<WL_MyService*>(service);
  std::lock_guard<WL_Lock> hold(self->lock_);
  if (self->busy_ != 0 || !self->started_.load(std::memory_order_acquire)) return -1;
  // Without the privilege nothing may stop: the server keeps running.
  if (!HasBootCapability()) {
    if (WL_ZelFtpSvr* server = self->server_.load(std::memory_order_acquire)) {
      server->ReportServiceEvent("power request refused: the process lacks CAP_SYS_BOOT", kEventError);
    }
    return -1;
  }
  self->busy_ = 1;
  self->power_mode_ = reboot ? 1 : 2;
  // Marked before the thread exists, so that a stop signal arriving before
  // the thread runs already waits for it instead of ending the process.
  self->power_in_progress_.store(true, std::memory_order_release);
  self->power_started_.store(true, std::memory_order_release);
  if (!StartThread(&WL_MyService::PowerThread, self, kPowerThreadStack)) {
    self->power_in_progress_.store(false, std::memory_order_release);
    self->power_started_.store(false, std::memory_order_release);
    self->busy_ = 0;
    self->power_mode_ = 0;
    return -1;
  }
  return 1;
}

void* WL_MyService::PowerThread(void* arg) {
  static_cast<WL_MyService*>(arg)->RunPower();
  return nullptr;
}

void WL_MyService::RunPower() {
  // Lets the session that asked send its reply before the server stops.
  SleepMs(100);
  bool reboot;
  {
    std::lock_guard<WL_Lock> hold(lock_);
    reboot = power_mode_ == 1;
  }
  if (WL_ZelFtpSvr* server = server_.exchange(nullptr, std::memory_order_acq_rel)) {
    server->Stop();
    delete server;
  }
  const bool ok = PowerHost(reboot);
  if (!ok) {
    Wl_OsLog log;
    log.Register();
    log.Report(reboot ? "failed to reboot the host" : "failed to power off the host", kEventError);
  }
  EndProcess(ok ? 0 : 1);
}

void WL_MyService::WaitForPowerThread() const {
  while (power_started_.load(std::memory_order_acquire)) SleepMs(kStopWaitStepMs);
}

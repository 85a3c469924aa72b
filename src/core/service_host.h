// The host side of the server's life: it serialises the two ways the server
// can go away, a stop signal and an operator's request to reboot or power
// off the host (SHUT), and carries out a power request on a thread of its
// own.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/sync.h"

class WL_ZelFtpSvr;

class WL_MyService {
 public:
  WL_MyService() = default;
  virtual ~WL_MyService() = default;
  WL_MyService(const WL_MyService&) = delete;
  WL_MyService& operator=(const WL_MyService&) = delete;

  // Takes ownership of the server and gives it the power hook. Call before
  // the server's Start.
  void Attach(WL_ZelFtpSvr* server);
  // The server's start has finished; power requests are taken from now on
  // (a request in the middle of the start sequence would stop a server
  // that is still being built).
  void MarkStarted() { started_.store(true, std::memory_order_release); }

  // Stops and destroys the server unless a stop or a power request is
  // already under way. Returns what the server's Stop returned, false when
  // there was no server or another request had begun (it then waits up to
  // 1.2 seconds while the power thread is stopping the server).
  bool StopServer();

  // The server's power hook. Returns 1 when the request was taken (the
  // power thread then stops the server and reboots or powers off), -1 when
  // it was refused: another stop or power request is under way, the server
  // has not finished starting, the process lacks CAP_SYS_BOOT, or the power
  // thread could not be started. 0 without a service object. A refusal
  // leaves the server running and a later stop free to run.
  static int RequestPower(bool reboot, void* service);

  // True once the power thread runs; it ends the process itself.
  bool power_started() const { return power_started_.load(std::memory_order_acquire); }
  // Blocks while the power thread runs; the power thread ends the process,
  // so this returns only when no power thread was started.
  void WaitForPowerThread() const;

 private:
  static void* PowerThread(void* arg);
  void RunPower();

  WL_Lock lock_;
  int32_t busy_ = 0;        // under lock_; never cleared once a request has begun
  int32_t power_mode_ = 0;  // under lock_; 1 reboot, 2 power off
  std::atomic<bool> power_started_{false};
  std::atomic<bool> power_in_progress_{false};
  std::atomic<bool> started_{false};
  std::atomic<WL_ZelFtpSvr*> server_{nullptr};
};

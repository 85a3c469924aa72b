// The throughput test stream of the HTTP stream service: SNMF arms it for
// one client, and that client's next fetch of the answered URL within 65
// seconds receives filler bytes instead of a file. Sessions of any thread
// arm and take it, so every access holds its lock.
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/sync.h"

class WL_TestStream {
 public:
  static constexpr int64_t kArmedSeconds = 65;

  // Arms the stream for a client (address key of 16 bytes); replaces any
  // earlier arming.
  void Arm(bool is_ipv4, const uint8_t addr[16], uint64_t unicode, uint64_t hash, int64_t now) {
    std::lock_guard<WL_Lock> hold(lock_);
    is_ipv4_ = is_ipv4;
    memcpy(addr_, addr, sizeof(addr_));
    unicode_ = unicode;
    hash_ = hash;
    arm_time_ = now;
    hit_time_ = 0;
    armed_ = true;
  }

  // A request for dir64 1 with an extension: true (and disarmed) when it is
  // the armed client's URL within the time; an arming older than that is
  // dropped.
  bool Take(uint64_t unicode, uint64_t hash, bool is_ipv4, const uint8_t addr[16], const char* ext, int64_t now) {
    std::lock_guard<WL_Lock> hold(lock_);
    if (!armed_) return false;
    if (now - arm_time_ > kArmedSeconds || now < arm_time_) {
      armed_ = false;
      return false;
    }
    const size_t addr_len = is_ipv4 ? 4 : 16;
    if (unicode != unicode_ || hash != hash_ || is_ipv4 != is_ipv4_ || memcmp(addr, addr_, addr_len) != 0 ||
        ext == nullptr || strcmp(ext, kExtension) != 0) {
      return false;
    }
    hit_time_ = now;
    armed_ = false;
    return true;
  }

  bool armed() {
    std::lock_guard<WL_Lock> hold(lock_);
    return armed_;
  }
  int64_t hit_time() {
    std::lock_guard<WL_Lock> hold(lock_);
    return hit_time_;
  }

  static constexpr const char* kExtension = "mem";

 private:
  WL_Lock lock_;
  bool armed_ = false;
  bool is_ipv4_ = true;
  int64_t arm_time_ = 0;
  int64_t hit_time_ = 0;
  uint8_t addr_[16] = {};
  uint64_t unicode_ = 0;
  uint64_t hash_ = 0;
};

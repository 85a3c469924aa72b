// The econn rendezvous service: a client opens a data connection by
// connecting to one fixed econn port and presenting the key its session
// derived with CONN or CONS; the service hands the socket to the session.
//
// This build has no econn listener yet: the service is "not running", so
// every wait entry is refused, no socket is ever handed over and the econn
// ports read 0. The sessions call it through the operations below.
#pragma once

#include <cstdint>

class WL_Semaphore;

class WL_EFtpCon {
 public:
  bool running() const { return running_; }
  // The econn port of a family (0 when not running or not enabled).
  uint16_t PortFor(bool ipv4) const;
  // Registers a wait entry for a slot. False when the service is not
  // running, the family is not enabled, the key is not 32 characters or the
  // slot is above 63.
  bool AddWaitSession(bool ipv4, const uint8_t peer[16], const char* key, uint32_t slot, bool tls,
                      uint8_t response_option, uint16_t client_value, WL_Semaphore* wake);
  void RemoveWaitSession(bool ipv4, uint32_t slot);
  bool IsWaitSessionUsed(bool ipv4, uint32_t slot) const;
  // Takes the connected socket of the slot's entry when its key matches.
  // Returns 1 with *fd set, 0 when nothing is connected yet, -1 on a key
  // mismatch (the entry's socket was closed).
  int TakeEconnSocket(bool ipv4, uint32_t slot, const char* key, int* fd);
  // Counts a semaphore wake-up of a waiting session.
  void CountWakeUp() { ++wake_ups_; }

 private:
  bool running_ = false;
  uint64_t wake_ups_ = 0;
};

#include "econn/econn_service.h"

#include <cstring>

uint16_t WL_EFtpCon::PortFor(bool) const { return 0; }

bool WL_EFtpCon::AddWaitSession(bool, const uint8_t*, const char* key, uint32_t slot, bool, uint8_t, uint16_t,
                                WL_Semaphore*) {
  if (!running_ || key == nullptr || strlen(key) != 32 || slot > 63) return false;
  return false;
}

void WL_EFtpCon::RemoveWaitSession(bool, uint32_t) {}

bool WL_EFtpCon::IsWaitSessionUsed(bool, uint32_t) const { return false; }

int WL_EFtpCon::TakeEconnSocket(bool, uint32_t, const char*, int* fd) {
  *fd = -1;
  return 0;
}

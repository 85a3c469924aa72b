#include "base/net_text.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "base/format.h"

int Ipv6ToText(const uint8_t a[16], char* out, size_t cap) {
  unsigned g[8];
  for (int i = 0; i < 8; ++i) g[i] = (static_cast<unsigned>(a[2 * i]) << 8) | a[2 * i + 1];
  return FormatText(out, cap, "%x:%x:%x:%x:%x:%x:%x:%x", g[0], g[1], g[2], g[3], g[4], g[5], g[6], g[7]);
}

int Ipv4ToText(uint32_t v, char* out, size_t cap) {
  return FormatText(out, cap, "%u.%u.%u.%u", (v >> 24) & 255u, (v >> 16) & 255u, (v >> 8) & 255u, v & 255u);
}

int ClassifyIpv6(const uint8_t a[16]) {
  static const uint8_t zero[16] = {};
  if (memcmp(a, zero, 15) == 0) {
    if (a[15] == 0) return -10;
    if (a[15] == 1) return 0;
  }
  if (a[0] == 0xfe && (a[1] & 0xc0) == 0x80) return -1;
  if (a[0] == 0xfe && (a[1] & 0xc0) == 0xc0) return -2;
  return 1;
}

bool IsLocalIpv4(uint32_t v) {
  if (v == 0) return true;
  const uint32_t a = v >> 24;
  const uint32_t b = (v >> 16) & 255u;
  return a == 10 || a == 127 || (a == 172 && b >= 16 && b <= 31) || (a == 192 && b == 168);
}

void AddressKeyOf(const struct sockaddr_storage& peer, uint8_t key[16]) {
  memset(key, 0, 16);
  if (peer.ss_family == AF_INET6) {
    memcpy(key, reinterpret_cast<const struct sockaddr_in6*>(&peer)->sin6_addr.s6_addr, 16);
  } else if (peer.ss_family == AF_INET) {
    const uint32_t host = ntohl(reinterpret_cast<const struct sockaddr_in*>(&peer)->sin_addr.s_addr);
    memcpy(key, &host, 4);
  }
}

int PeerAddressText(const struct sockaddr_storage& peer, char* out, size_t cap) {
  if (peer.ss_family == AF_INET6) {
    return Ipv6ToText(reinterpret_cast<const struct sockaddr_in6*>(&peer)->sin6_addr.s6_addr, out, cap);
  }
  return Ipv4ToText(ntohl(reinterpret_cast<const struct sockaddr_in*>(&peer)->sin_addr.s_addr), out, cap);
}

int AddressKeyText(const uint8_t key[16], bool is_ipv6, char* out, size_t cap) {
  if (is_ipv6) return Ipv6ToText(key, out, cap);
  uint32_t host;
  memcpy(&host, key, 4);
  return Ipv4ToText(host, out, cap);
}

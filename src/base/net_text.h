// Texts and classes of peer addresses.
#pragma once

#include <cstddef>
#include <cstdint>

struct sockaddr_storage;

// Eight "%x" groups in network order joined by ":", no zero compression.
// out must hold 40 bytes. Returns the length.
int Ipv6ToText(const uint8_t addr[16], char* out, size_t cap);
// "%u.%u.%u.%u" of a host-order IPv4 address. Returns the length.
int Ipv4ToText(uint32_t host_order, char* out, size_t cap);
// -10 for ::, 0 for ::1, -1 for fe80::/10, -2 for fec0::/10, 1 otherwise.
int ClassifyIpv6(const uint8_t addr[16]);
// The 16-byte address key of a peer (as accept returns it): an IPv4 address
// in host order in the first 4 bytes, the rest zero; an IPv6 address as its
// 16 bytes. Firewalls, records, the file map and the econn table key peers
// this way.
void AddressKeyOf(const struct sockaddr_storage& peer, uint8_t key[16]);
// An address key as text: "%u.%u.%u.%u" for IPv4, eight "%x" groups for
// IPv6. Returns the length (-1 when it does not fit).
int AddressKeyText(const uint8_t key[16], bool is_ipv6, char* out, size_t cap);
// The peer address as log lines print it: "%u.%u.%u.%u" or eight "%x"
// groups. Returns the length (-1 when it does not fit).
int PeerAddressText(const struct sockaddr_storage& peer, char* out, size_t cap);
// Whether an IPv4 peer (host order) counts as local: 0.0.0.0, 10/8, 127/8,
// 172.16/12, 192.168/16.
bool IsLocalIpv4(uint32_t host_order);

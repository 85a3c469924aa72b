// TCP sockets for the listeners, the control and the data connections.
//
// Every socket is non-blocking. Sends never raise SIGPIPE. IPv6 sockets are
// IPv6-only, so an IPv4 and an IPv6 listener share a port. Buffer sizes are
// left to the kernel.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

constexpr int kInvalidSocket = -1;

enum class IoStatus {
  kOk,          // count bytes moved (count > 0)
  kWouldBlock,  // nothing to do now; wait and retry
  kClosed,      // the peer closed (receive returned 0)
  kError,       // any other failure
};

struct IoResult {
  IoStatus status;
  size_t count;
};

// Opens a listening TCP socket on the wildcard address of the family
// (AF_INET or AF_INET6) and port: non-blocking, SO_REUSEADDR, SO_OOBINLINE,
// TCP_NODELAY, and IPV6_V6ONLY on AF_INET6. Returns the socket or
// kInvalidSocket.
int NetListen(int family, uint16_t port, int backlog);
// Accepts one connection from a listening socket. The new socket is made
// non-blocking with SO_OOBINLINE and TCP_NODELAY. Returns kInvalidSocket when
// nothing is pending or on failure.
int NetAccept(int listener, struct sockaddr_storage* peer);
// Makes a socket non-blocking. Returns false on failure.
bool SetNonBlocking(int fd);
// The local port a socket is bound to, or 0.
uint16_t NetLocalPort(int fd);

IoResult NetSend(int fd, const void* data, size_t n);
IoResult NetRecv(int fd, void* data, size_t n);

// One poll of the socket for reading (writing). A timeout of 0 or less polls
// once without waiting. Returns false when poll fails or the socket reports
// an error or hang-up (POLLERR, POLLHUP, POLLNVAL) without data to read;
// otherwise true, with *ready telling whether the socket is readable
// (writable).
bool WaitReadable(int fd, bool* ready, int timeout_ms);
bool WaitWritable(int fd, bool* ready, int timeout_ms);


// Shuts both directions down; wakes any thread waiting on the socket.
void NetShutdown(int fd);
void NetClose(int fd);

// A socket owned by one thread and woken by others.
//
// Only the owner sets, reads and closes it. Any other thread may call
// ShutdownByOther to wake the owner's waits. The lock makes the shutdown and
// the close exclusive, so a stopper can never shut down a descriptor number
// that the owner closed and the kernel already gave to another file.
class WL_OwnedSocket {
 public:
  int Get() const { return fd_.load(std::memory_order_acquire); }
  bool IsOpen() const { return Get() != kInvalidSocket; }
  void Set(int fd);
  // Owner: shuts down (unless skip_shutdown) and closes the socket, then
  // marks it invalid. Harmless when it is not open.
  void Close(bool skip_shutdown = false);
  // Any thread: shuts the socket down when it is open.
  void ShutdownByOther();

 private:
  std::mutex mu_;
  std::atomic<int> fd_{kInvalidSocket};
};

// Name resolution and connects for the outgoing sockets (mail, probes).
//
// ResolveHost: 10 both families found, 4 only IPv4, 6 only IPv6, 0 nothing,
// -1 no name, -2 resolver failure. The IPv4 address is in host order. A
// non-zero port is passed to the resolver as its service.
int ResolveHost(const char* name, uint32_t* v4, uint8_t v6[16], uint32_t port);
// Starts a connect on a non-blocking socket. True when it completed or is in
// progress. ConnectIpv4 refuses 255.255.255.255.
bool ConnectIpv4(int fd, uint32_t host_order, uint16_t port);
bool ConnectIpv6(int fd, const uint8_t addr[16], uint16_t port);
// Resolves name and connects fd to its IPv6 address (:: when the name has
// only an IPv4 one). Returns connect's result; -1 when nothing resolved.
int ConnectHost6(int fd, const char* name, uint16_t port);
// The source address the host would use towards name (an IPv6 address or
// host name) at port: a datagram socket is connected (no packet is sent)
// and its local address read. False when the socket, the connect or the
// read fails.
bool ProbeSourceIpv6(const char* name, uint16_t port, uint8_t out[16]);
// The host's own IPv6 addresses (at most 16, :: left out). error, when
// given, holds 128 bytes and receives the reason of a failure; scopes, when
// given, the scope ids. Returns the count.
int ListLocalIpv6(uint8_t out[][16], char* error, uint32_t* scopes);

// Data connections.

// Opens a listening socket of the family on the wildcard address and port
// (0: the kernel chooses), non-blocking, with TCP_NODELAY and SO_OOBINLINE,
// IPV6_V6ONLY on AF_INET6. No SO_REUSEADDR: a passive port must really be
// free. Returns the socket or kInvalidSocket.
int NetListenData(int family, uint16_t port, int backlog);
// Starts a non-blocking connect of a new socket of the peer's family to the
// peer address at port. Returns the socket, or kInvalidSocket with *stage 1
// (socket failed) or 2 (connect could not start).
int NetConnectTo(const struct sockaddr_storage& peer, uint16_t port, int* stage);
// The pending error of a socket (SO_ERROR); 0 when none.
int NetSocketError(int fd);
// The local address of a socket as 4 IPv4 bytes (network order); false for
// another family or on failure.
bool NetLocalIpv4(int fd, uint8_t out[4]);
// Whether a peer address (as accept returned it) is the same host as ref:
// the 4 IPv4 or the 16 IPv6 address bytes; ports are not compared.
bool SameHost(const struct sockaddr_storage& a, const struct sockaddr_storage& ref);

// One wait on the control socket (readable) and the data socket (readable
// or writable as asked). Returns -1 when poll fails, 0 on time-out, else 1
// with the flags set.
struct PairReady {
  bool ctrl_readable = false;
  bool ctrl_error = false;
  bool data_ready = false;
  bool data_error = false;
};
int WaitControlAndData(int ctrl, int data, bool data_write, int timeout_ms, PairReady* out);

// Sends up to count bytes of a file from its current offset (sendfile).
enum class FileSendStatus { kSent, kEndOfFile, kWouldBlock, kFileError, kSocketError };
struct FileSendResult {
  FileSendStatus status;
  size_t count;
};
FileSendResult NetSendFile(int socket_fd, int file_fd, size_t count);

// NetListen with the failing stage reported: *stage becomes 1 when the
// socket cannot be created, 2 when bind fails, 3 when listen fails (0 on
// success). Returns the socket or kInvalidSocket.
int NetListenStaged(int family, uint16_t port, int backlog, int* stage);
// Sends up to count bytes of a file from *offset (sendfile with an explicit
// offset, so the stream's own position does not matter) and advances
// *offset by what went out.
FileSendResult NetSendFileAt(int socket_fd, int file_fd, int64_t* offset, size_t count);

// Outgoing mail connections.

// A new TCP socket of the family (AF_INET or AF_INET6) for an outgoing
// connection: non-blocking, SO_OOBINLINE, SO_REUSEADDR, TCP_NODELAY.
// Returns the socket or kInvalidSocket.
int NetClientSocket(int family);
// True when text is an IPv4 or IPv6 address literal (no name lookup).
bool IsAddressLiteral(const char* text);
// The host's own non-zero IPv4 addresses (host order, at most max), from
// the interface list. Returns the count.
int ListLocalIpv4(uint32_t* out, int max);

// Waits for readability on up to kMaxReadableSet sockets (the listeners,
// the econn listener and its pending connections). ready[i] is set for each socket
// that is readable or reports an error or hang-up (a receive then tells
// which). Returns the number of ready sockets, 0 on time-out, -1 on failure
// or when n is out of range.
constexpr int kMaxReadableSet = 128;
int WaitReadableSet(const int* fds, bool* ready, int n, int timeout_ms);

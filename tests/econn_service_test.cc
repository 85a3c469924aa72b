// The econn service in process: handshake lines, the hand-over of the
// socket, refusals, the pending limit, both time-outs and a stop with
// entries pending. Clients are raw loopback sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "econn/econn_service.h"
#include "harness.h"
#include "platform/socket.h"
#include "platform/sync.h"

namespace {

const char kKey[] = "0123456789abcdef0123456789abcdef";
const char kOtherKey[] = "fedcba9876543210fedcba9876543210";

std::string Line(uint32_t slot, const std::string& key) {
  char b[64];
  snprintf(b, sizeof(b), "%08x %s\r\n", slot, key.c_str());
  return b;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

void Loopback4(uint8_t out[16], uint32_t host_order = 0x7F000001) {
  memset(out, 0, 16);
  memcpy(out, &host_order, 4);
}

void Loopback6(uint8_t out[16]) {
  memset(out, 0, 16);
  out[15] = 1;
}

// A blocking client socket connected to the econn port, optionally from a
// given IPv4 source address.
int Dial(bool v4, uint16_t port, uint32_t source = 0) {
  const int fd = socket(v4 ? AF_INET : AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  timeval tv{20, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  int rc;
  if (v4) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    if (source != 0) {
      a.sin_addr.s_addr = htonl(source);
      if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        close(fd);
        return -1;
      }
    }
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(0x7F000001);
    rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  } else {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = in6addr_loopback;
    rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  }
  if (rc != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& s) { return send(fd, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size()); }

std::string RecvN(int fd, size_t n) {
  std::string out;
  char b[256];
  while (out.size() < n) {
    const ssize_t r = recv(fd, b, std::min(sizeof(b), n - out.size()), 0);
    if (r <= 0) break;
    out.append(b, static_cast<size_t>(r));
  }
  return out;
}

// True when the peer closes without sending anything (waits up to the
// socket's receive time-out).
bool ClosedByServer(int fd) {
  char c;
  const ssize_t r = recv(fd, &c, 1, 0);
  return r == 0 || (r < 0 && errno == ECONNRESET);
}

class EconnServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const int port = zt::FreePort();
    ASSERT_GT(port, 1024);
    econn_.ipv4_port = econn_.ipv6_port = static_cast<uint16_t>(port);
    ASSERT_TRUE(econn_.StartEconn()) << econn_.start_error();
    ASSERT_TRUE(econn_.running());
  }
  void TearDown() override {
    econn_.StopEconn();
    for (int fd : fds_) close(fd);
  }
  int Keep(int fd) {
    if (fd >= 0) fds_.push_back(fd);
    return fd;
  }
  int Connect(bool v4, uint32_t source = 0) { return Keep(Dial(v4, econn_.PortFor(v4), source)); }

  WL_EFtpCon econn_;
  std::vector<int> fds_;
};

TEST(EconnLineTest, ParsesOnlyExactLines) {
  struct Case {
    const char* name;
    std::string line;
    bool ok;
    uint32_t slot;
  };
  const std::string k = kKey;
  const Case cases[] = {
      {"slot 10", "0000000a " + k + "\r\n", true, 10},
      {"upper-case digits", "0000003F " + k + "\r\n", true, 63},
      {"slot 64", "00000040 " + k + "\r\n", false, 0},
      {"all ones", "ffffffff " + k + "\r\n", false, 0},
      {"signed", "-0000001 " + k + "\r\n", false, 0},
      {"plus sign", "+0000001 " + k + "\r\n", false, 0},
      {"leading blank", " 0000001 " + k + "\r\n", false, 0},
      {"hex prefix", "0x000001 " + k + "\r\n", false, 0},
      {"not hex", "0000000g " + k + "\r\n", false, 0},
      {"tab separator", "00000001\t" + k + "\r\n", false, 0},
      {"two blanks at the end", "00000001 " + k + "  ", false, 0},
      {"LF CR", "00000001 " + k + "\n\r", false, 0},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(c.line.size(), 43u) << c.name;
    uint32_t slot = 99;
    EXPECT_EQ(WL_EFtpCon::ParseLine(c.line.data(), &slot), c.ok) << c.name;
    if (c.ok) {
      EXPECT_EQ(slot, c.slot) << c.name;
    }
  }
}

TEST(EconnLineTest, KeysMatchInAnyLetterCaseOnly) {
  std::string first = kKey, last = kKey;
  first[0] = '1';
  last[31] = 'e';
  EXPECT_TRUE(WL_EFtpCon::KeysMatch(kKey, kKey));
  EXPECT_TRUE(WL_EFtpCon::KeysMatch(kKey, Upper(kKey).c_str()));
  EXPECT_TRUE(WL_EFtpCon::KeysMatch("ABCDEFabcdef0123456789ABCDEFabcd", "abcdefABCDEF0123456789abcdefABCD"));
  EXPECT_FALSE(WL_EFtpCon::KeysMatch(kKey, first.c_str()));
  EXPECT_FALSE(WL_EFtpCon::KeysMatch(kKey, last.c_str()));
  EXPECT_FALSE(WL_EFtpCon::KeysMatch(kKey, kOtherKey));
  // Folding is for letters only: '@' (0x40) is not '`' (0x60).
  std::string at = kKey, grave = kKey;
  at[5] = '@';
  grave[5] = '`';
  EXPECT_FALSE(WL_EFtpCon::KeysMatch(at.c_str(), grave.c_str()));
}

TEST_F(EconnServiceTest, HandshakeHandsTheSocketOver) {
  struct Case {
    bool v4;
    bool tls;
    uint8_t reply;
    const char* expect;
  };
  const Case cases[] = {
      {true, false, 1, "200 00ab\r\n"},
      {true, true, 1, "234 00ab\r\n"},
      {false, false, 1, "200 00ab\r\n"},
      {false, true, 0, ""},
  };
  uint32_t slot = 10;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "v4=" << c.v4 << " tls=" << c.tls << " reply=" << int(c.reply));
    uint8_t peer[16];
    c.v4 ? Loopback4(peer) : Loopback6(peer);
    WL_Semaphore wake;
    ASSERT_TRUE(econn_.AddWaitSession(c.v4, peer, kKey, slot, c.tls, c.reply, 0xab, &wake));
    const int fd = Connect(c.v4);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, Line(slot, Upper(kKey))));
    if (*c.expect != '\0') {
      EXPECT_EQ(RecvN(fd, 10), c.expect);
    }
    ASSERT_TRUE(wake.Wait(20000));
    int taken = -1;
    ASSERT_EQ(econn_.TakeEconnSocket(c.v4, slot, kKey, &taken), 1);
    EXPECT_FALSE(econn_.IsWaitSessionUsed(c.v4, slot));
    // The handed-over socket is the client's connection.
    ASSERT_TRUE(SendAll(taken, "through the econn socket"));
    EXPECT_EQ(RecvN(fd, 24), "through the econn socket");
    NetClose(taken);
    EXPECT_TRUE(ClosedByServer(fd));
    ++slot;
  }
  EXPECT_EQ(econn_.accepted(true), 2u);
  EXPECT_EQ(econn_.accepted(false), 2u);
}

TEST_F(EconnServiceTest, BadLinesCloseOnlyTheirConnection) {
  uint8_t peer[16], other[16];
  Loopback4(peer);
  Loopback4(other, 0x7F000002);
  WL_Semaphore wake;
  ASSERT_TRUE(econn_.AddWaitSession(true, peer, kKey, 5, false, 1, 7, &wake));
  ASSERT_TRUE(econn_.AddWaitSession(true, other, kOtherKey, 6, false, 1, 8, nullptr));
  std::string no_crlf = Line(5, kKey);
  no_crlf.replace(41, 2, "  ");
  const std::string bad[] = {
      Line(5, kOtherKey),                           // wrong key
      "-0000001 " + std::string(kKey) + "\r\n",     // signed slot
      Line(64, kKey),                               // out of range
      no_crlf,                                      // bad line end
      Line(6, kOtherKey),                           // another address's entry
      Line(7, kKey),                                // a free entry
  };
  for (const std::string& line : bad) {
    SCOPED_TRACE(line);
    const int fd = Connect(true);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, line));
    EXPECT_TRUE(ClosedByServer(fd));
    EXPECT_TRUE(econn_.IsWaitSessionUsed(true, 5));
  }
  // No waiting entry for 127.0.0.3: refused at the door.
  const uint64_t denied = econn_.denied(true);
  const int stranger = Connect(true, 0x7F000003);
  ASSERT_GE(stranger, 0);
  EXPECT_TRUE(ClosedByServer(stranger));
  EXPECT_EQ(econn_.denied(true), denied + 1);
  // Both entries still wait and accept their own line from their own address.
  int fd = Connect(true);
  ASSERT_TRUE(SendAll(fd, Line(5, kKey)));
  EXPECT_EQ(RecvN(fd, 10), "200 0007\r\n");
  fd = Connect(true, 0x7F000002);
  ASSERT_TRUE(SendAll(fd, Line(6, kOtherKey)));
  EXPECT_EQ(RecvN(fd, 10), "200 0008\r\n");
  // A session whose key differs from the entry's gets nothing and the
  // socket is closed.
  int taken = -1;
  EXPECT_EQ(econn_.TakeEconnSocket(true, 6, kKey, &taken), -1);
  EXPECT_EQ(taken, -1);
  EXPECT_TRUE(ClosedByServer(fd));
  EXPECT_FALSE(econn_.IsWaitSessionUsed(true, 6));
}

TEST_F(EconnServiceTest, RefusesEntriesItCannotServe) {
  uint8_t peer[16];
  Loopback4(peer);
  EXPECT_FALSE(econn_.AddWaitSession(true, peer, kKey, 64, false, 1, 0, nullptr));
  EXPECT_FALSE(econn_.AddWaitSession(true, peer, "0123", 1, false, 1, 0, nullptr));
  EXPECT_FALSE(econn_.RemoveWaitSession(true, 1));
  EXPECT_FALSE(econn_.IsWaitSessionUsed(true, 0xFFFFFFFFu));
  int fd = 0;
  EXPECT_EQ(econn_.TakeEconnSocket(true, 0xFFFFFFFFu, kKey, &fd), 0);
}

TEST_F(EconnServiceTest, PendingLimitPerAddress) {
  uint8_t peer[16];
  Loopback4(peer);
  ASSERT_TRUE(econn_.AddWaitSession(true, peer, kKey, 3, false, 1, 1, nullptr));
  std::vector<int> held;
  for (int i = 0; i < 1 + WL_EFtpCon::kExtraPerAddress; ++i) held.push_back(Connect(true));
  const int extra = Connect(true);
  ASSERT_GE(extra, 0);
  EXPECT_TRUE(ClosedByServer(extra));
  EXPECT_EQ(econn_.denied(true), 1u);
  // The last one admitted is alive: it completes its handshake.
  ASSERT_TRUE(SendAll(held.back(), Line(3, kKey)));
  EXPECT_EQ(RecvN(held.back(), 10), "200 0001\r\n");
}

TEST_F(EconnServiceTest, TimeOutsFreeTheirEntries) {
  econn_.SetLimits(1, 1, 0);
  uint8_t peer[16];
  Loopback4(peer);
  ASSERT_TRUE(econn_.AddWaitSession(true, peer, kKey, 1, false, 1, 1, nullptr));
  ASSERT_TRUE(econn_.AddWaitSession(true, peer, kOtherKey, 2, false, 1, 2, nullptr));
  const int silent = Connect(true);
  const int untaken = Connect(true);
  ASSERT_TRUE(SendAll(untaken, Line(2, kOtherKey)));
  EXPECT_EQ(RecvN(untaken, 10), "200 0002\r\n");
  // The connection that never sends its line is closed, so is the one
  // whose session never took it; the second entry is freed with it.
  EXPECT_TRUE(ClosedByServer(silent));
  // Without pending connections the thread sleeps long between passes:
  // refused knocks from another address make it run.
  bool closed = false;
  for (int i = 0; i < 200 && !closed; ++i) {
    close(Dial(true, econn_.PortFor(true), 0x7F000004));
    pollfd p{untaken, POLLIN, 0};
    closed = poll(&p, 1, 100) == 1 && ClosedByServer(untaken);
  }
  EXPECT_TRUE(closed);
  EXPECT_FALSE(econn_.IsWaitSessionUsed(true, 2));
  // The timed-out pending entry counts no more: a full set of pending
  // connections is admitted again (its last one completes).
  econn_.SetLimits(300, 300, 11);
  std::vector<int> held;
  for (int i = 0; i < 1 + WL_EFtpCon::kExtraPerAddress; ++i) held.push_back(Connect(true));
  ASSERT_TRUE(SendAll(held.back(), Line(1, kKey)));
  EXPECT_EQ(RecvN(held.back(), 10), "200 0001\r\n");
}

TEST_F(EconnServiceTest, StopClosesWhatIsPendingAndRestarts) {
  uint8_t peer[16], peer6[16];
  Loopback4(peer);
  Loopback6(peer6);
  WL_Semaphore wake;
  ASSERT_TRUE(econn_.AddWaitSession(true, peer, kKey, 1, false, 1, 1, &wake));
  ASSERT_TRUE(econn_.AddWaitSession(false, peer6, kOtherKey, 2, true, 1, 2, nullptr));
  const int partial = Connect(true);
  ASSERT_TRUE(SendAll(partial, Line(1, kKey).substr(0, 20)));
  const int connected = Connect(false);
  ASSERT_TRUE(SendAll(connected, Line(2, kOtherKey)));
  EXPECT_EQ(RecvN(connected, 10), "234 0002\r\n");
  const uint16_t port = econn_.PortFor(true);

  econn_.StopEconn();
  EXPECT_FALSE(econn_.running());
  EXPECT_EQ(econn_.PortFor(true), 0);
  EXPECT_EQ(econn_.PortFor(false), 0);
  EXPECT_TRUE(ClosedByServer(partial));
  EXPECT_TRUE(ClosedByServer(connected));
  EXPECT_FALSE(econn_.IsWaitSessionUsed(true, 1));
  EXPECT_FALSE(econn_.IsWaitSessionUsed(false, 2));
  EXPECT_FALSE(econn_.AddWaitSession(true, peer, kKey, 1, false, 1, 1, &wake));
  EXPECT_LT(Dial(true, port), 0);  // the listener is gone

  ASSERT_TRUE(econn_.StartEconn());
  ASSERT_TRUE(econn_.AddWaitSession(true, peer, kKey, 1, false, 0, 1, &wake));
  const int again = Connect(true);
  ASSERT_TRUE(SendAll(again, Line(1, kKey)));
  ASSERT_TRUE(wake.Wait(20000));
  int taken = -1;
  ASSERT_EQ(econn_.TakeEconnSocket(true, 1, kKey, &taken), 1);
  NetClose(taken);
}

TEST(EconnStartTest, StartFailsOnABusyPortAndStopCleansUp) {
  const int port = zt::FreePort();
  const int busy = NetListen(AF_INET6, static_cast<uint16_t>(port), 1);
  ASSERT_GE(busy, 0);
  WL_EFtpCon econn;
  econn.ipv4_port = econn.ipv6_port = static_cast<uint16_t>(port);
  EXPECT_FALSE(econn.StartEconn());
  EXPECT_EQ(econn.start_error(), -32);
  EXPECT_FALSE(econn.running());
  econn.StopEconn();  // the IPv4 side that did start ends here
  const int v4 = Dial(true, static_cast<uint16_t>(port));
  EXPECT_LT(v4, 0);
  if (v4 >= 0) close(v4);
  NetClose(busy);
  econn.ipv4_enabled = econn.ipv6_enabled = false;
  EXPECT_FALSE(econn.StartEconn());
}

}  // namespace

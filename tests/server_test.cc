// Black-box tests: the real zelfosvr binary on loopback.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using zt::RawClient;
using zt::ServerProcess;
using zt::TempHome;

class ServerTest : public ::testing::Test {
 protected:
  void StartServer(const std::string& ftp_extra = "", const std::string& extend_extra = "Log_level=5\r\n",
                   const std::string& more = "") {
    port_ = zt::FreePort();
    ASSERT_NE(port_, 0);
    home_.WriteSettings(zt::BasicSettings(port_, ftp_extra, extend_extra, more));
    ASSERT_TRUE(server_.Start(home_));
    ASSERT_TRUE(server_.WaitForGreeting(port_)) << server_.Output();
  }
  RawClient Connect(const std::string& host = "127.0.0.1") {
    RawClient c;
    EXPECT_TRUE(c.Connect(host, port_));
    EXPECT_EQ(c.ReadLine(), "220 Welcome to zelfo server 4.30 |0\r\n");
    return c;
  }
  // A log file of the home, read after the stop wrote it out.
  std::string LogFile(const char* name) const {
    std::string text;
    zt::RunCommand("cat " + home_.config() + "/" + name + " 2>/dev/null", &text);
    return text;
  }
  void ExpectCleanStop() {
    double elapsed = 0;
    EXPECT_EQ(server_.Stop(10.0, &elapsed), 0) << server_.Output();
  }

  TempHome home_;
  ServerProcess server_;
  int port_ = 0;
};

TEST(ServerHost, StartWithoutConfigDirectoryFails) {
  TempHome home(false);
  ServerProcess p;
  ASSERT_TRUE(p.Start(home));
  EXPECT_EQ(p.WaitExit(10.0), 1);
  const std::string out = p.Output();
  EXPECT_NE(out.find("could not found sub directory of config"), std::string::npos) << out;
  EXPECT_NE(out.find("zelfo service stop done"), std::string::npos) << out;
}

TEST(ServerHost, OptionsAndUsage) {
  struct {
    std::vector<std::string> args;
    int code;
    const char* text;
  } cases[] = {
      {{"--bogus"}, 2, "usage: zelfosvr"},
      {{"--home"}, 2, "usage: zelfosvr"},
      {{"--version"}, 0, "zelfosvr 4.30"},
      {{"--help"}, 0, "--home DIR"},
  };
  for (const auto& c : cases) {
    ServerProcess p;
    ASSERT_TRUE(p.Launch(c.args));
    EXPECT_EQ(p.WaitExit(10.0), c.code) << c.args[0];
    EXPECT_NE(p.Output().find(c.text), std::string::npos) << p.Output();
  }
}

TEST(ServerHost, ListenFailureStopsTheStart) {
  TempHome home;
  // A second server on the ports of a running one cannot bind them.
  const int port = zt::FreePort();
  home.WriteSettings(zt::BasicSettings(port));
  ServerProcess first;
  ASSERT_TRUE(first.Start(home));
  ASSERT_TRUE(first.WaitForGreeting(port));
  // Same FTP port, own econn port: the FTP listeners are what fails.
  TempHome home2;
  home2.WriteSettings(zt::BasicSettings(port));
  ServerProcess second;
  ASSERT_TRUE(second.Start(home2));
  EXPECT_EQ(second.WaitExit(10.0), 1);
  const std::string out = second.Output();
  EXPECT_NE(out.find("Zelfo service: failed to listen on ftp service port"), std::string::npos) << out;
  EXPECT_NE(out.find("failed to start ftp listen"), std::string::npos) << out;
  EXPECT_NE(out.find("Zelfo service: success stopped!"), std::string::npos) << out;
  EXPECT_EQ(first.Stop(), 0);
}

TEST_F(ServerTest, StartAndStopSequences) {
  StartServer();
  ExpectCleanStop();
  const std::string out = server_.Output();
  const char* order[] = {
      "service start",
      "******Zelfo service start******",
      "Zelfo service: load config files ...",
      "Zelfo service: start memory pool ...",
      "Zelfo service: malloc user memory......",
      "Zelfo service: start thread pool ...",
      "Zelfo service: prepare ftp service port ...",
      "Zelfo service: start main listen thread ...",
      "Zelfo service: success start ...",
      "zelfo service start success done!",
      "Zelfo service: try to stop",
      "Zelfo service: success to stop main listen thread",
      "Zelfo service: success to free user memory",
      "Zelfo service: success to stop thread pool",
      "Zelfo service: success to stop memory pool",
      "Zelfo service: success stopped!",
      "zelfo service stop done",
  };
  size_t at = 0;
  for (const char* line : order) {
    size_t found = out.find(line, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << out;
    at = found;
  }
}

TEST_F(ServerTest, GreetingShowsTheShakeCode) {
  port_ = zt::FreePort();
  home_.WriteSettings(zt::BasicSettings(port_, "", "", "[Zelfo_option]\r\nFtp_shakecode=255\r\n"));
  ASSERT_TRUE(server_.Start(home_));
  RawClient c;
  for (int i = 0; i < 100 && !c.Connect("127.0.0.1", port_, 1.0); ++i) usleep(50000);
  EXPECT_EQ(c.ReadLine(), "220 Welcome to zelfo server 4.30 |ff\r\n");
  c.SendLine("SHAK");
  EXPECT_EQ(c.ReadLine(), "200 255 0\r\n");
  ExpectCleanStop();
}

TEST_F(ServerTest, RepliesBeforeLogin) {
  StartServer();
  RawClient c = Connect();
  struct {
    const char* line;
    const char* reply;  // exact text, or a pattern when it starts with "^"
  } cases[] = {
      {"NOOP", "200 Command OK\r\n"},
      {"noop", "200 Command OK\r\n"},
      {"SYST", "200 UNIX Type:L8\r\n"},
      {"TYPE I", "550 login first\r\n"},
      {"PWD", "550 login first\r\n"},
      {"CCHK", "550 login first\r\n"},
      {"RNFR a", "550 login first\r\n"},
      {"ABCD", "550 unkown command\r\n"},
      {"ABCDE", "550 fatal error of command attack\r\n"},
      {"AB", "550 fatal error of command attack\r\n"},
      {"SITE CHMOD 777 x", "550  unknown command\r\n"},
      {"CCC", "550  unknown command\r\n"},
      {"CLST", "550 unkown command\r\n"},  // only with command extensions on
      {"USER demo", "^331 User name ok,need password \\|[0-9a-f]+ [0-9a-f]+ 0 0 430 0 0 102 [0-9a-f]+ 0 0\r\n$"},
      {"ABOR", "226 Command OK\r\n"},
      {"VERS", "^200 430 1 [1-9][0-9]* 1172\r\n$"},  // the econn port
      {"SHAK 1f", "200 0 0\r\n"},
      {"ABOU", "^200 [^\r\n]+\r\n$"},
      {"XSEC", "^200 [0-9a-f]+ [0-9a-f]+\r\n$"},
      {"MKEY 12ab", "^220 [0-9a-f]+ [0-9a-f]+ [0-9a-f]+ 0 [0-9a-f]+ 0 \\|430\r\n$"},
      {"   NOOP   ", "200 Command OK\r\n"},
  };
  for (const auto& k : cases) {
    ASSERT_TRUE(c.SendLine(k.line));
    const std::string got = c.ReadLine();
    if (k.reply[0] == '^') {
      EXPECT_TRUE(std::regex_match(got, std::regex(k.reply))) << k.line << " -> " << got;
    } else {
      EXPECT_EQ(got, k.reply) << k.line;
    }
  }
  ASSERT_TRUE(c.SendLine("QUIT"));
  EXPECT_EQ(c.ReadLine(), "200 Command OK\r\n");
  EXPECT_TRUE(c.ClosedWithoutReply());
  ExpectCleanStop();
}

TEST_F(ServerTest, CommandExtensionsMakeClstAKnownVerb) {
  StartServer("No_cmdextend=0\r\n");
  RawClient c = Connect();
  // CLST is a known verb now, so its handler answers.
  c.SendLine("CLST");
  EXPECT_EQ(c.ReadLine(), "550 login first\r\n");
  ExpectCleanStop();
}

TEST_F(ServerTest, ReceiveRules) {
  StartServer();
  const std::string head = "NOOP ";
  struct {
    const char* name;
    std::string bytes;
    bool answered;
  } cases[] = {
      {"1578 bytes before the line feed", head + std::string(1578 - head.size() - 1, 'x') + "\r\n", true},
      {"1579 bytes before the line feed", head + std::string(1579 - head.size() - 1, 'x') + "\r\n", false},
      {"bare line feed", "\nNOOP\r\n", false},
      {"one character", "X\r\n", false},
      {"no line feed within the buffer", std::string(1700, 'y'), false},
  };
  for (const auto& k : cases) {
    RawClient c = Connect();
    ASSERT_TRUE(c.Send(k.bytes));
    if (k.answered) {
      EXPECT_EQ(c.ReadLine(), "200 Command OK\r\n") << k.name;
    } else {
      EXPECT_TRUE(c.ClosedWithoutReply()) << k.name;
    }
  }
  // Pipelined lines are all answered, in order, from one send.
  RawClient c = Connect();
  ASSERT_TRUE(c.Send("NOOP\r\nSYST\r\nTYPE I\r\nQUIT\r\n"));
  EXPECT_EQ(c.ReadLine(), "200 Command OK\r\n");
  EXPECT_EQ(c.ReadLine(), "200 UNIX Type:L8\r\n");
  EXPECT_EQ(c.ReadLine(), "550 login first\r\n");
  EXPECT_EQ(c.ReadLine(), "200 Command OK\r\n");
  ExpectCleanStop();
  const std::string out = LogFile("zellog.txt");
  EXPECT_NE(out.find("<exit 3> bad command length or attack"), std::string::npos);
  EXPECT_NE(out.find("<exit 4> bad command length"), std::string::npos);
  EXPECT_NE(out.find("<recv :20> NOOP"), std::string::npos) << "pending bytes of the pipelined NOOP";
  EXPECT_NE(out.find(" code:6204 "), std::string::npos) << "buffer full without a line feed";
}

TEST_F(ServerTest, ConnectionBeyondMaxUsersIsClosedAndCounted) {
  StartServer("Max_users=2\r\n");
  // WaitForGreeting's own connection may still be closing: wait for both
  // slots to be taken by live sessions.
  std::vector<RawClient> held;
  for (int i = 0; i < 50 && held.size() < 2; ++i) {
    RawClient c;
    ASSERT_TRUE(c.Connect("127.0.0.1", port_));
    if (c.ReadLine(2.0).rfind("220 ", 0) == 0) held.push_back(std::move(c));
  }
  ASSERT_EQ(held.size(), 2u);
  RawClient extra;
  ASSERT_TRUE(extra.Connect("127.0.0.1", port_));
  EXPECT_TRUE(extra.ClosedWithoutReply());
  held[0].SendLine("NOOP");
  EXPECT_EQ(held[0].ReadLine(), "200 Command OK\r\n");
  ExpectCleanStop();
  EXPECT_NE(LogFile("zellog.txt").find("<Ftp main> connect full , deny :127.0.0.1"), std::string::npos);
}

TEST_F(ServerTest, Ipv6AndFamilySwitch) {
  StartServer();
  RawClient c = Connect("::1");
  c.SendLine("NOOP");
  EXPECT_EQ(c.ReadLine(), "200 Command OK\r\n");
  ExpectCleanStop();
  const std::string log = LogFile("zellog.txt");
  EXPECT_NE(log.find("<Ftp main> new connect from :0:0:0:0:0:0:0:1"), std::string::npos);
  EXPECT_NE(log.find(" ipv6 "), std::string::npos);

  TempHome home;
  port_ = zt::FreePort();
  home.WriteSettings(zt::BasicSettings(port_, "Service_enablev6=0\r\n"));
  ServerProcess p;
  ASSERT_TRUE(p.Start(home));
  ASSERT_TRUE(p.WaitForGreeting(port_));
  RawClient v6;
  EXPECT_FALSE(v6.Connect("::1", port_, 1.0));
  EXPECT_EQ(p.Stop(), 0);
}

TEST_F(ServerTest, HttpRequestEndsTheSessionWithoutEffect) {
  const int implicit_port = zt::FreePort();
  StartServer("Implicit_mode=1\r\nService_implicitv4=" + std::to_string(implicit_port) + "\r\n");
  const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: test\r\n\r\n";
  RawClient c = Connect();
  ASSERT_TRUE(c.Send(request));
  EXPECT_EQ(c.ReadLine(), "550 unkown command\r\n");                  // GET
  EXPECT_EQ(c.ReadLine(), "550 fatal error of command attack\r\n");   // Host:
  EXPECT_EQ(c.ReadLine(), "550 fatal error of command attack\r\n");   // User-Agent:
  EXPECT_TRUE(c.ClosedWithoutReply()) << "the empty line ends the session";
  // On the implicit-TLS port the request is no TLS handshake.
  RawClient t;
  ASSERT_TRUE(t.Connect("127.0.0.1", implicit_port));
  ASSERT_TRUE(t.Send(request));
  EXPECT_TRUE(t.ClosedWithoutReply());
  ExpectCleanStop();
}

TEST_F(ServerTest, SigtermWithSixtySessionsStopsQuickly) {
  StartServer("Max_users=63\r\nMax_ipconnects=0\r\n", "Log_level=1\r\n");
  std::vector<RawClient> held;
  for (int i = 0; i < 400 && held.size() < 60; ++i) {
    RawClient c;
    ASSERT_TRUE(c.Connect(held.size() % 2 ? "::1" : "127.0.0.1", port_));
    // A connection refused for want of an idle worker is closed at once;
    // the pool grows behind it, so try again.
    if (c.ReadLine(2.0).rfind("220 ", 0) == 0) {
      held.push_back(std::move(c));
    } else {
      usleep(20000);
    }
  }
  ASSERT_EQ(held.size(), 60u);
  // The stop must finish inside the service stop deadline of 5 seconds.
  EXPECT_EQ(server_.Stop(5.0), 0) << server_.Output();
  for (RawClient& c : held) EXPECT_TRUE(c.ClosedWithoutReply(2.0));
  const std::string out = server_.Output();
  EXPECT_NE(out.find("Zelfo service: success to free user memory"), std::string::npos);
  EXPECT_NE(out.find("Zelfo service: success stopped!"), std::string::npos);
}

}  // namespace

namespace {

class ServerLogTest : public ServerTest {};

TEST_F(ServerLogTest, LogFileHoldsServiceAndSessionLines) {
  StartServer("", "Log_level=2\r\n");
  RawClient c = Connect();
  c.SendLine("NOOP");
  EXPECT_EQ(c.ReadLine(), "200 Command OK\r\n");
  c.SendLine("QUIT");
  c.ReadLine();
  EXPECT_TRUE(c.ClosedWithoutReply());
  ExpectCleanStop();
  const std::string log = LogFile("zellog.txt");
  const std::string stamp = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}  ";
  const char* lines[] = {
      "Zelfo service: load config files \\.\\.\\.\r\n",
      "Zelfo service: success start \\.\\.\\.\r\n",
      "Ftp <[0-9]+:[0-9a-f]+ ipv4 [0-9a-f]+ ssl:0> [0-9]+ code:0 0  <recv :0> NOOP\r\n",
      "Ftp <[0-9]+:[0-9a-f]+ ipv4 [0-9a-f]+ ssl:0> [0-9]+ code:0 0  <send> 200 Command OK\r\n",
      "Zelfo service: success stopped!\r\n",
  };
  for (const char* l : lines) EXPECT_TRUE(std::regex_search(log, std::regex(stamp + l))) << l << "\n" << log;
  // Session start and end lines need a level above 3.
  EXPECT_EQ(log.find("<ftp session start>"), std::string::npos);
}

TEST_F(ServerLogTest, LevelZeroWritesNothing) {
  StartServer("", "Log_level=0\r\n");
  RawClient c = Connect();
  c.SendLine("NOOP");
  c.ReadLine();
  ExpectCleanStop();
  EXPECT_EQ(LogFile("zellog.txt"), "");
  EXPECT_EQ(LogFile("zelfail.txt"), "");
}

TEST_F(ServerLogTest, SizeLimitEmptiesAnOldLogAndLogPathMovesTheFiles) {
  home_.WriteFile("config/zellog.txt", std::string(6000000, 'o'));
  StartServer("", "Log_level=1\r\nLog_maxsize=8388608\r\n");
  ExpectCleanStop();
  const std::string log = LogFile("zellog.txt");
  EXPECT_LT(log.size(), 10000u);
  EXPECT_NE(log.find("Zelfo service: success stopped!"), std::string::npos);

  // Log_path puts the files in that directory.
  zt::TempHome logs(false);
  TempHome home;
  const int port = zt::FreePort();
  home.WriteSettings(zt::BasicSettings(port, "", "Log_level=1\r\nLog_path=" + logs.dir() + "\r\n"));
  ServerProcess p;
  ASSERT_TRUE(p.Start(home));
  ASSERT_TRUE(p.WaitForGreeting(port));
  EXPECT_EQ(p.Stop(), 0);
  std::string moved;
  zt::RunCommand("cat " + logs.dir() + "/zellog.txt", &moved);
  EXPECT_NE(moved.find("Zelfo service: success stopped!"), std::string::npos);
}

}  // namespace

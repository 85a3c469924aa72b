// The IPv6 address mail: the status file, the retry rule, and the address
// found on real interfaces inside a network namespace of the test's own.
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "base/ini_rw.h"
#include "core/server.h"
#include "daemons/ipv6_mail.h"
#include "platform/fs.h"
#include "harness.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

const uint8_t kFd00_5[16] = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};

TEST(MailStatus, WrittenFileHoldsTheKeysAndLoadsBack) {
  zt::TempHome home;
  const std::string path = MailStatusPath(home.dir() + "/");
  EXPECT_EQ(path, home.dir() + "/config/zelmaildns.ini");
  ASSERT_TRUE(WriteMailStatus(path, 1700000000, -100, kFd00_5));
  // A new file: the keys of the last section each land under its header.
  EXPECT_EQ(ReadAll(path),
            "[Ini_head]\r\nInformation:=0\r\n[Mail_status]\r\nkey=1\r\n[Mail_dns]\r\ncode=0\r\n"
            "ip1=360287970189639680\r\nip0=253\r\nresult=-100\r\ntime=1700000000\r\n");
  // An existing file keeps its layout; the values change in place.
  ASSERT_TRUE(WriteMailStatus(path, 1700000600, 1, kFd00_5));
  EXPECT_NE(ReadAll(path).find("[Mail_dns]\r\ncode=0\r\nip1=360287970189639680\r\nip0=253\r\nresult=1\r\ntime=1700000600\r\n"),
            std::string::npos);

  auto svr = std::make_unique<WL_ZelFtpSvr>();
  ASSERT_TRUE(LoadMailStatus(svr.get(), path));
  uint8_t a[16];
  svr->mail.GetAddress(a);
  EXPECT_EQ(memcmp(a, kFd00_5, 16), 0);
  EXPECT_EQ(svr->mail.last_result.load(), 1);
  EXPECT_EQ(svr->mail.last_attempt.load(), 1700000600);
}

TEST(MailStatus, FileWithAnotherKeyIsIgnored) {
  zt::TempHome home;
  const std::string path = home.config() + "/zelmaildns.ini";
  home.WriteFile("config/zelmaildns.ini", "[Mail_status]\r\nkey=2\r\n[Mail_dns]\r\ntime=5\r\nresult=-100\r\nip0=253\r\n");
  auto svr = std::make_unique<WL_ZelFtpSvr>();
  svr->mail.last_result.store(-100);
  EXPECT_FALSE(LoadMailStatus(svr.get(), path));
  EXPECT_EQ(svr->mail.last_result.load(), 1);  // as on a first start
  EXPECT_EQ(svr->mail.last_attempt.load(), 0);
  EXPECT_FALSE(LoadMailStatus(svr.get(), home.config() + "/missing.ini"));
}

// A write that fails half-way (the file size limit stands in for a full
// disk) leaves the old status file whole and reports the failure.
TEST(MailStatus, FailedWriteKeepsTheOldFile) {
  zt::TempHome home;
  const std::string path = home.config() + "/zelmaildns.ini";
  ASSERT_TRUE(WriteMailStatus(path, 1700000000, 1, kFd00_5));
  const std::string before = ReadAll(path);
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {40, 40};
    setrlimit(RLIMIT_FSIZE, &lim);
    WL_IniRW ini;
    ini.Open(path);
    ini.SetValue("Mail_dns", "result", "-100");
    _exit(ini.Save() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "Save reported success for a cut file";
  EXPECT_EQ(ReadAll(path), before);
  int leftovers = 0;
  DirReader dir(home.config());
  DirEntry e;
  while (dir.Next(&e)) leftovers += e.name.rfind("zelmaildns.ini.", 0) == 0;
  EXPECT_EQ(leftovers, 0) << "a temporary file was left behind";
}

// When a mail is due without a change of address: after a failure every
// 6 minutes, after an attempt that composed nothing every 3 minutes, and
// never within a minute of the last attempt.
TEST(MailTrigger, RetryTimes) {
  auto svr = std::make_unique<WL_ZelFtpSvr>();
  const int64_t now = 1700000000;
  struct Case {
    int32_t result;
    int64_t ago;
    bool due;
  } cases[] = {
      {-100, 359, false}, {-100, 360, true}, {-1, 400, true},  {0, 179, false},
      {0, 180, true},     {-100, -30, true}, {1, 30, false},   {-100, 59, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::to_string(k.result) + " " + std::to_string(k.ago));
    svr->mail.last_result.store(k.result);
    svr->mail.last_attempt.store(now - k.ago);
    uint8_t out[16];
    EXPECT_EQ(CheckIpv6ChangeAt(svr.get(), now, out), k.due);
  }
}

// Runs fn in a child inside a new network namespace prepared by the shell
// commands; the child writes its findings to a pipe. Returns false (with
// *why) when namespaces are not available here.
bool InNamespace(const std::string& setup, const std::function<std::string()>& fn, std::string* out,
                 std::string* why) {
  int p[2];
  if (pipe(p) != 0) return false;
  const pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    std::string result;
    if (unshare(CLONE_NEWNET) != 0) {
      result = std::string("NONS ") + strerror(errno);
    } else if (system(setup.c_str()) != 0) {
      result = "NONS setup failed: " + setup;
    } else {
      result = fn();
    }
    (void)!write(p[1], result.data(), result.size());
    _exit(0);
  }
  close(p[1]);
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = read(p[0], buf, sizeof(buf))) > 0) text.append(buf, static_cast<size_t>(n));
  close(p[0]);
  int status;
  waitpid(pid, &status, 0);
  if (text.rfind("NONS", 0) == 0) {
    *why = text;
    return false;
  }
  *out = text;
  return true;
}

TEST(MailAddress, FoundOnRealInterfaces) {
  const std::string lo = "ip link set lo up";
  const std::string ula = lo + " && ip -6 addr add fd00::5/64 dev lo nodad";
  struct Case {
    const char* name;
    std::string setup;
    bool probe_enum;
    std::string want;  // "code address", compose result and address text
  } cases[] = {
      {"enumerated unique-local", ula, true, "0 fd00:0:0:0:0:0:0:5"},
      {"only loopback", lo, true, "-22 -505"},
      {"probed through a route", ula + " && ip -6 route add default dev lo", false, "0 fd00:0:0:0:0:0:0:5"},
      {"probe without a route", ula, false, "-3 -501"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::string got;
    std::string why;
    const bool ran = InNamespace(
        k.setup + " >/dev/null 2>&1",
        [&]() {
          auto svr = std::make_unique<WL_ZelFtpSvr>();
          svr->smtp.probe_enum = k.probe_enum;
          svr->set.Service_portv4 = 2121;
          svr->set.Service_portv6 = 2122;
          auto body = std::make_unique<char[]>(6144);
          const int n = ComposeMailBody(svr.get(), body.get(), 6144);
          if (n < 0) return std::to_string(n) + " " + std::to_string(svr->smtp.mail_error_code());
          std::string text(body.get(), static_cast<size_t>(n));
          // The address found is the one the change check reports, until it
          // has been mailed.
          uint8_t out[16] = {};
          uint8_t mailed[16];
          svr->mail.GetAddress(mailed);
          svr->mail.SetAddress(std::array<uint8_t, 16>{}.data());
          const bool changed = CheckIpv6ChangeAt(svr.get(), 1700000000, out);
          svr->mail.SetAddress(mailed);
          const bool again = CheckIpv6ChangeAt(svr.get(), 1700000000, out);
          return std::string("0 ") + svr->smtp.address_text.c_str() + "\n" + (changed ? "changed" : "same") +
                 (again ? " changed" : " same") + "\n" + text;
        },
        &got, &why);
    if (!ran) GTEST_SKIP() << "network namespaces are not available here: " << why;
    const std::string head = got.substr(0, got.find('\n'));
    EXPECT_EQ(head, k.want);
    if (head[0] != '0') continue;
    EXPECT_NE(got.find("\nchanged same\n"), std::string::npos) << got;
    EXPECT_NE(got.find("Ftp port [ipv4:ipv6]=2121:2122 (ok:ok)\r\n"), std::string::npos) << got;
    EXPECT_NE(got.find("Ipv6 [internet] :fd00:0:0:0:0:0:0:5\r\n"), std::string::npos) << got;
    EXPECT_NE(got.find("Ipv6 [local] :0:0:0:0:0:0:0:1\r\n"), std::string::npos) << got;
    EXPECT_NE(got.find("\r\nFor more information: https://zelfo.example/ipv6-mail\r\n********\r\n"), std::string::npos);
  }
}

}  // namespace

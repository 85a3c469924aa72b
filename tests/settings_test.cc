#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "core/settings.h"
#include "harness.h"

namespace {

struct SettingCase {
  const char* name;
  std::string ini;
  std::function<int64_t(const WL_Settings&)> get;
  int64_t expected;
};

int64_t Load(const std::string& ini, const std::function<int64_t(const WL_Settings&)>& get) {
  zt::TempHome home;
  home.WriteSettings(ini);
  WL_Settings s;
  EXPECT_TRUE(LoadSettings(home.config() + "/set.ini", home.dir() + "/", &s));
  return get(s);
}

#define FIELD(f) [](const WL_Settings& s) { return static_cast<int64_t>(s.f); }

TEST(Settings, ClampsDefaultsAndFallbacks) {
  const SettingCase cases[] = {
      {"max users 1", "[Zelfo_ftp]\nMax_users=1\n", FIELD(Max_users), 20},
      {"max users 64", "[Zelfo_ftp]\nMax_users=64\n", FIELD(Max_users), 63},
      {"max users -1 wraps", "[Zelfo_ftp]\nMax_users=-1\n", FIELD(Max_users), 63},
      {"max users default", "[Zelfo_ftp]\n", FIELD(Max_users), 32},
      {"max users not a number", "[Zelfo_ftp]\nMax_users=abc\n", FIELD(Max_users), 32},
      {"noop 100", "[Zelfo_option]\nNoop_timeout=100\n", FIELD(Noop_timeout), 600},
      {"noop 5000", "[Zelfo_option]\nNoop_timeout=5000\n", FIELD(Noop_timeout), 1200},
      {"noop missing", "[Zelfo_option]\n", FIELD(Noop_timeout), 610},
      {"noop leading blanks", "[Zelfo_option]\nNoop_timeout=   700\n", FIELD(Noop_timeout), 700},
      {"login timeout 30", "[Zelfo_option]\nLogin_timeout=30\n", FIELD(Login_timeout), 180},
      {"log size 4000000", "[Zelfo_extend]\nLog_maxsize=4000000\n", FIELD(Log_maxsize), 8388608},
      {"log size 1000", "[Zelfo_extend]\nLog_maxsize=1000\n", FIELD(Log_maxsize), 0},
      {"log size default", "", FIELD(Log_maxsize), 2147483648LL},
      {"implicit port derived", "[Zelfo_ftp]\nImplicit_mode=1\nService_portv4=990\n", FIELD(Service_implicitv4), 989},
      {"implicit off keeps 0", "[Zelfo_ftp]\nService_portv4=990\n", FIELD(Service_implicitv4), 0},
      {"ssl port equal to http", "[Zelfo_http]\nService_portv4=8080\nService_sslv4port=8080\n",
       FIELD(Service_sslv4port), 8081},
      {"log level 9", "[Zelfo_extend]\nLog_level=9\n", FIELD(Log_level), 5},
      {"log level old key 150", "[ZelSvrSet]\nLog_Level=150\n", FIELD(Log_level), 5},
      {"log level old key 3", "[ZelSvrSet]\nLog_Level=3\n", FIELD(Log_level), 3},
      {"log level new key wins", "[Zelfo_extend]\nLog_level=2\n[ZelSvrSet]\nLog_Level=4\n", FIELD(Log_level), 2},
      {"debug forces level 5", "[Zelfo_global]\nDebug_mode=1\n[Zelfo_extend]\nLog_level=1\n", FIELD(Log_level), 5},
      {"port 1", "[Zelfo_ftp]\nService_portv4=1\n", FIELD(Service_portv4), 21},
      {"port wraps", "[Zelfo_ftp]\nService_portv4=65557\n", FIELD(Service_portv4), 21},
      {"old port pair", "[ZelSvrSet]\nPort_Service=2100\nPort_Serviceipv6=2101\n", FIELD(Service_portv6), 2101},
      {"pair decided on the first key",
       "[Zelfo_ftp]\nService_portv4=2200\n[ZelSvrSet]\nPort_Serviceipv6=2101\n", FIELD(Service_portv6), 21},
      {"old enable pair", "[ZelSvrSet]\nIpv4_Enable=0\nIpv6_Enable=0\n", FIELD(Service_enablev6), 0},
      {"flag any non-zero", "[Zelfo_ftp]\nImplicit_mode=7\n", FIELD(Implicit_mode), 1},
      {"must tls without tls", "[Zelfo_ftp]\nService_ipv4tls=0\nLogin_v4musttls=1\n", FIELD(Login_v4musttls), 0},
      {"net type 3", "[Zelfo_ftp]\nNet_typev4=3\n", FIELD(Net_typev4), 0},
      {"data port 1000", "[Zelfo_ftp]\nBasic_dataport=1000\n", FIELD(Basic_dataport), 0},
      {"econn port 80", "[Zelfo_extend]\nEcon_portv4=80\n", FIELD(Econ_portv4), 2020},
      {"econn wait 5", "[Zelfo_extend]\nEconn_datawaittimeout=5\n", FIELD(Econn_datawaittimeout), 65},
      {"pool low 1", "[Zelfo_threadpool]\nPool_low=1\n", FIELD(Pool_low), 4},
      {"pool max 10", "[Zelfo_threadpool]\nPool_maxthread=10\n", FIELD(Pool_maxthread), 72},
      {"backup hour -3", "[Zelfo_backup]\nBackup_exectime=-3\n", FIELD(Backup_exectime), 0},
      {"backup hour 30", "[Zelfo_backup]\nBackup_exectime=30\n", FIELD(Backup_exectime), 6},
      {"backup old section", "[ZelTimerBackup]\nBackup_gaphours=30\n", FIELD(Backup_gaphours), 30},
      {"shake code negative", "[Zelfo_option]\nFtp_shakecode=-5\n", FIELD(Ftp_shakecode), 0},
      {"shake code old key", "[ZelSvrSet]\nCode_Shake=77\n", FIELD(Ftp_shakecode), 77},
      {"huge number saturates", "[Zelfo_option]\nFtp_shakecode=99999999999999999999999\n", FIELD(Ftp_shakecode),
       INT64_MAX},
      {"mail timer", "[ZelSvrMailSet]\nTimer_Seconds=2000000\n", FIELD(Timer_Seconds), 1382400},
      {"try times", "[Zelfo_Ipwall]\nMax_trytimes=2\n", FIELD(Max_trytimes), 8},
  };
  for (const SettingCase& c : cases) EXPECT_EQ(Load(c.ini, c.get), c.expected) << c.name;
}

TEST(Settings, TextsAndPaths) {
  zt::TempHome home;
  const std::string logs = home.dir() + "/logs";
  ASSERT_EQ(zt::RunCommand("mkdir -p " + logs, nullptr), 0);
  home.WriteSettings("[Zelfo_extend]\nLog_path= " + logs + "/ / \n"
                     "[Zelfo_backup]\nBackup_source_1=\\srv\\data\\\nBackup_dest_1=/srv/../etc\n"
                     "[ZelSvrMailSet]\nMail_subject=.\nEncode_string=x\nMail_from=  me@example.org  \n"
                     "[Tls_config]\nTls_privatekeypass=\nTLS_certificatefile=?InstallDir?/config//cert.pem\n"
                     "Tls_privatekeyfile=?InstallDir?config/../key.pem\n");
  WL_Settings s;
  ASSERT_TRUE(LoadSettings(home.config() + "/set.ini", home.dir() + "/", &s));
  EXPECT_EQ(s.Log_path, logs);
  EXPECT_EQ(s.Backup_source_1, "/srv/data");
  EXPECT_EQ(s.Backup_dest_1, "");
  EXPECT_EQ(s.Mail_subject, "_Zelfo_dnsmail_");
  EXPECT_EQ(s.Encode_string, "zelfo-encode-key-2");
  EXPECT_EQ(s.Mail_from, "me@example.org");
  EXPECT_EQ(s.Tls_privatekeypass, "k86420975");
  EXPECT_EQ(s.TLS_certificatefile, home.dir() + "/config/cert.pem");
  EXPECT_EQ(s.Tls_privatekeyfile, "");
}

TEST(Settings, TlsFallbackAndMissingLogDirectory) {
  zt::TempHome home;
  home.WriteSettings("[Zelfo_extend]\nLog_path=/no/such/dir\n"
                     "[ZelSvrSetStr]\nTLS_privatekeypass=secret\nTLS_certificatefile=relative/cert.pem\n");
  WL_Settings s;
  ASSERT_TRUE(LoadSettings(home.config() + "/set.ini", home.dir() + "/", &s));
  EXPECT_EQ(s.Log_path, "");
  EXPECT_EQ(s.Tls_privatekeypass, "secret");
  EXPECT_EQ(s.TLS_certificatefile, "relative/cert.pem");
  EXPECT_EQ(s.Tls_privatekeyfile, home.dir() + "/config/sslkey.pem");
}

TEST(Settings, MissingFileChangesNothing) {
  zt::TempHome home;
  WL_Settings s;
  EXPECT_FALSE(LoadSettings(home.config() + "/set.ini", home.dir() + "/", &s));
  EXPECT_FALSE(LoadSettings(home.config(), home.dir() + "/", &s));  // a directory
  // Construction defaults differ from the loader's defaults in places.
  EXPECT_EQ(s.Log_level, 0);
  EXPECT_EQ(s.Login_timeout, 305);
  EXPECT_EQ(s.Pool_maxthread, 112u);
  EXPECT_EQ(s.Http_portv4, 80);
  EXPECT_EQ(s.Encode_string, "zelfo-encode-key-2");
}

}  // namespace

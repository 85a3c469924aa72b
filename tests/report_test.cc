// The status report and zelfosvr --check-config, run as the real binary.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

std::string Num(int v) { return std::to_string(v); }

// Runs --check-config on home; stdout into *out, stderr into *err.
int CheckConfig(const zt::TempHome& home, std::string* out, std::string* err = nullptr) {
  const std::string err_path = home.dir() + "/check-stderr.txt";
  const int rc = zt::RunCommand(std::string(ZELFOSVR_PATH) + " --home " + home.dir() + " --check-config 2>" + err_path, out);
  if (err != nullptr) {
    std::ifstream f(err_path);
    std::stringstream ss;
    ss << f.rdbuf();
    *err = ss.str();
  }
  return rc;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t from = 0;
  while (from < text.size()) {
    size_t end = text.find("\r\n", from);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(from, end - from));
    from = end + 2;
  }
  return lines;
}

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// A home with one known configuration on free ports.
struct KnownHome {
  zt::TempHome home;
  int ftp = zt::FreePort();
  int implicit = zt::FreePort();
  int econn = zt::FreePort();
  int http = zt::FreePort();

  KnownHome() {
    home.WriteSettings(
        "[Zelfo_ftp]\r\nService_portv4=" + Num(ftp) + "\r\nService_portv6=" + Num(ftp) +
        "\r\nService_ipv6tls=0\r\nLogin_v4musttls=1\r\nNet_typev6=2\r\nImplicit_mode=1\r\nService_implicitv4=" +
        Num(implicit) +
        "\r\nBasic_dataport=3000\r\nUnsafe_limitrandomepasvportnum=5\r\nReply_style=2\r\nMax_ipconnects=5\r\n"
        "[Zelfo_extend]\r\nEcon_portv4=" +
        Num(econn) + "\r\nEcon_portv6=" + Num(econn) +
        "\r\nLog_level=3\r\nLog_maxsize=4000000\r\nUse_accountsha=1\r\n"
        "Econn_connecttimeout=100\r\nFtp_jointcrc=0\r\n"
        "[Zelfo_option]\r\nCommand_protect=2\r\nConnect_timeout=5\r\n"
        "[Zelfo_http]\r\nService_portv4=" +
        Num(http) + "\r\nService_portv6=" + Num(http) + "\r\nEnable_httpsv4=1\r\nService_sslv4port=" + Num(http) +
        "\r\nService_sslv6port=9443\r\n"
        "[Zelfo_filemap]\r\nMax_items=100\r\n"
        "[Zelfo_threadpool]\r\nPool_low=1\r\n"
        "[ZelSvrMailSet]\r\nServer_port=587\r\nMail_subject=.\r\n");
    home.WriteFile("config/myaccount.ini",
                   "[User_admin]\nActive_Mode=1\nAccess_Level=9\nUser_Name=root\nPass_Word=rootpw\n"
                   "[User_user2]\nActive_Mode=1\nAccess_Level=3\nAccess_nettype=1\nUser_Name=bob\nPass_Word=b\n"
                   "Backup_dir=" +
                       home.dir() + "\n");
    home.WriteFile("config/myshare.txt", "2*docs*" + home.dir() + "\n");
  }

  std::vector<std::string> Expected() const {
    const std::string d = home.dir();
    return {
        "",
        "Zelfo service report :",  // the time follows
        "Version:4.30  release:2026-10 build:1 inner code:1172",
        "Ftp service: ipv4=1 ipv6=1 ipv4 ssl=1 ipv6 ssl=0 ssl only ipv4=1 ipv6=0",
        "Ftp service: ipv4 service port=" + Num(ftp) + " ipv6 service port=" + Num(ftp) +
            " ipv4 net type=0 ipv6 net type=2 implicit mode =Enable [" + Num(implicit) + ":" + Num(ftp - 1) + "]",
        "Ftp service: joint crc=0 ftp extend list:0 no port mode=0 encrypt account mode=1 command protect=2 "
        "extend security=0",
        "Ftp service: reply style=2 max connects per ip=5",
        "Warning: unsafe limit pasv port range: 3000 [max:5]",
        "Web service: ipv4 service=1 ipv6 service=1 ipv4 ssl service=1 ipv6 ssl service=0",
        "Web service: ipv4 service port=" + Num(http) + " ipv6 service port=" + Num(http) +
            " ipv4 ssl service port=" + Num(http + 1) + " ipv6 ssl service port=9443",
        "Econn service: ipv4 service port=" + Num(econn) + " (1) ipv6 service port=" + Num(econn) +
            " (1) timeout=100:72 max same ip:16",
        "File map: max item:100 mime:10 timeout:300 480 129600",
        "Mail dns :0 title=_Zelfo_dnsmail_ mail port=587 ssl=1 ",
        "Memory pool: large:28 big:16 middle:15 small:16",
        "Thread pool: max 128 low 4 full 16",
        "Log : level 3 limit size 8388608 bytes",
        "Tcp parameters: login time out 180 file timeout 300 cmd timeout 610 joint cmd timeout 120 tcp connect "
        "timeout 48",
        "SSL cert file : " + d + "/config/sslcert.pem",
        "SSL key file : " + d + "/config/sslkey.pem",
        "Account mode: Encrypt active account:2 max pos:10",
        "Account : Admin level=9 net type=0 backup mode:0",
        "Account : User_2 level=3 net type=1 backup mode:1",
        "Ftp resource :leve 2 -> docs : " + d + " ",
        "-------End of report------",
        "",
    };
  }
};

void ExpectReport(const std::string& text, const std::vector<std::string>& want) {
  const std::vector<std::string> got = Lines(text);
  ASSERT_EQ(got.size(), want.size()) << text;
  for (size_t i = 0; i < want.size(); ++i) {
    if (i == 1) {
      EXPECT_EQ(got[i].rfind(want[i], 0), 0u) << got[i];
      EXPECT_GT(got[i].size(), want[i].size());
    } else {
      EXPECT_EQ(got[i], want[i]) << "line " << i;
    }
  }
  EXPECT_EQ(text.substr(text.size() - 4), "\r\n\r\n");
}

TEST(StatusReport, CheckConfigPrintsTheReportOfAKnownConfiguration) {
  KnownHome k;
  std::string out;
  std::string err;
  ASSERT_EQ(CheckConfig(k.home, &out, &err), 0) << err;
  ExpectReport(out, k.Expected());
  // The check writes nothing into the home.
  EXPECT_FALSE(std::filesystem::exists(k.home.config() + "/zelreport.txt"));
}

TEST(StatusReport, StartWritesTheSameReportUnlessSwitchedOff) {
  KnownHome k;
  zt::ServerProcess p;
  ASSERT_TRUE(p.Start(k.home));
  ASSERT_TRUE(p.WaitForGreeting(k.ftp)) << p.Output();
  EXPECT_EQ(p.Stop(), 0);
  ExpectReport(ReadAll(k.home.config() + "/zelreport.txt"), k.Expected());

  // Make_reportfile 0 leaves an old report as it was.
  zt::TempHome off;
  const int port = zt::FreePort();
  off.WriteSettings(zt::BasicSettings(port, "", "", "[Zelfo_option]\r\nMake_reportfile=0\r\n"));
  off.WriteFile("config/zelreport.txt", "old report\r\n");
  zt::ServerProcess q;
  ASSERT_TRUE(q.Start(off));
  ASSERT_TRUE(q.WaitForGreeting(port)) << q.Output();
  EXPECT_EQ(q.Stop(), 0);
  EXPECT_EQ(ReadAll(off.config() + "/zelreport.txt"), "old report\r\n");
}

TEST(StatusReport, ConditionalLines) {
  struct Case {
    const char* ftp_extra;
    const char* more;
    const char* line;
    bool present;
  } cases[] = {
      {"Service_portv6=21\r\n", "", "Information : found default service port 21 , it needs root or "
                                    "CAP_NET_BIND_SERVICE , suggest service port number is 2121", true},
      {"", "", "Information : found default service port 21", false},
      {"Basic_dataport=2048\r\nUnsafe_limitrandomepasvportnum=5\r\n", "", "Warning: unsafe limit pasv port range: 2048 [max:5]", true},
      {"Unsafe_limitrandomepasvportnum=5\r\n", "", "Warning: unsafe limit pasv port range", false},
      // "The next port up" applies only below the last port: no wrap to 0.
      {"", "[Zelfo_http]\r\nService_portv4=65535\r\nService_sslv4port=65535\r\n", " ipv4 ssl service port=65535 ", true},
      {"", "[Zelfo_http]\r\nService_portv4=8080\r\nService_sslv4port=8080\r\n", " ipv4 ssl service port=8081 ", true},
  };
  for (const Case& c : cases) {
    zt::TempHome home;
    // The port-21 case puts 21 only into the IPv6 key (the first section of
    // a name is the one read).
    std::string settings = zt::BasicSettings(zt::FreePort(), "", "", c.more);
    const size_t at = settings.find("Service_portv6=");
    if (std::string(c.ftp_extra).rfind("Service_portv6=", 0) == 0) {
      settings.replace(at, settings.find("\r\n", at) - at, "Service_portv6=21");
    } else {
      settings.insert(settings.find("\r\n", at) + 2, c.ftp_extra);
    }
    home.WriteSettings(settings);
    std::string out;
    CheckConfig(home, &out);
    EXPECT_EQ(out.find(c.line) != std::string::npos, c.present) << c.line << "\n" << out;
  }
}

TEST(StatusReport, CheckConfigRefusesABrokenHome) {
  struct Case {
    const char* name;
    const char* reason;
  } cases[] = {
      {"missing certificate", "the TLS certificate or key does not load"},
      {"account file is a directory", "cannot read the account file"},
      {"port taken", "port " /* the FTP port */},
      {"no config directory", "no config directory"},
  };
  for (const Case& c : cases) {
    zt::TempHome home;
    const int port = zt::FreePort();
    home.WriteSettings(zt::BasicSettings(port));
    home.WriteFile("config/myaccount.ini", "[User_admin]\nActive_Mode=1\nUser_Name=root\nPass_Word=r\n");
    int holder = -1;
    std::string reason = c.reason;
    const std::string name = c.name;
    if (name == "missing certificate") {
      std::filesystem::remove(home.config() + "/sslcert.pem");
    } else if (name == "account file is a directory") {
      std::filesystem::remove(home.config() + "/myaccount.ini");
      std::filesystem::create_directory(home.config() + "/myaccount.ini");
    } else if (name == "port taken") {
      holder = socket(AF_INET, SOCK_STREAM, 0);
      struct sockaddr_in a = {};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<uint16_t>(port));
      a.sin_addr.s_addr = htonl(INADDR_ANY);
      ASSERT_EQ(bind(holder, reinterpret_cast<struct sockaddr*>(&a), sizeof(a)), 0);
      ASSERT_EQ(listen(holder, 1), 0);
      reason = "FTP IPv4 port " + Num(port) + " cannot be opened";
    } else {
      std::filesystem::remove_all(home.config());
    }
    std::string out;
    std::string err;
    EXPECT_EQ(CheckConfig(home, &out, &err), 1) << name;
    EXPECT_NE(err.find(reason), std::string::npos) << name << ": " << err;
    if (holder >= 0) close(holder);
  }
}

}  // namespace

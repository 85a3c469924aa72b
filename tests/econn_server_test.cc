// The econn service inside the real server: a busy econn port is fatal to
// the start, and the stop sequence stops the service.
#include <string>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

TEST(EconnServer, BusyEconnPortStopsTheStartAndStopsCleanly) {
  // The second server shares the first one's settings: its econn port is
  // taken, and the econn step comes before the FTP listeners.
  zt::TempHome home;
  const int port = zt::FreePort();
  home.WriteSettings(zt::BasicSettings(port, "", "Log_level=5\r\n"));
  zt::ServerProcess first;
  ASSERT_TRUE(first.Start(home));
  ASSERT_TRUE(first.WaitForGreeting(port)) << first.Output();
  zt::ServerProcess second;
  ASSERT_TRUE(second.Start(home));
  EXPECT_EQ(second.WaitExit(10.0), 1);
  const std::string out = second.Output();
  EXPECT_NE(out.find("Zelfo service: start econn service ...\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Zelfo service: failed to start econn service\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("failed to start econn service"), std::string::npos) << out;
  EXPECT_EQ(out.find("Zelfo service: prepare ftp service port"), std::string::npos) << out;
  EXPECT_NE(out.find("Zelfo service: success to stop econn service\r\n"), std::string::npos) << out;
  EXPECT_EQ(first.Stop(), 0);
  const std::string log = first.Output();
  EXPECT_LT(log.find("Zelfo service: success to free user memory"),
            log.find("Zelfo service: success to stop econn service"))
      << log;
}

}  // namespace

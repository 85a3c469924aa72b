// Logging must never make a session wait for the disk. This benchmark runs
// zelfosvr twice on loopback, at Log_level 0 and at Log_level 5, drives 50
// sessions of NOOP round trips against each for the same time, and prints
// both rates and their ratio.
//
//   log_bench [seconds-per-run]     (default 5)
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

constexpr int kSessions = 50;

double RunOnce(int level, double seconds) {
  zt::TempHome home;
  const int port = zt::FreePort();
  home.WriteSettings(zt::BasicSettings(port, "Max_users=63\r\n", "Log_level=" + std::to_string(level) + "\r\n"));
  zt::ServerProcess server;
  if (!server.Start(home) || !server.WaitForGreeting(port)) {
    fprintf(stderr, "server did not start\n%s", server.Output().c_str());
    exit(1);
  }
  std::vector<zt::RawClient> clients(kSessions);
  for (int i = 0; i < kSessions; ++i) {
    bool ok = false;
    for (int attempt = 0; attempt < 50 && !ok; ++attempt) {
      ok = clients[i].Connect("127.0.0.1", port) && clients[i].ReadLine(2.0).rfind("220 ", 0) == 0;
      if (!ok) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!ok) {
      fprintf(stderr, "session %d could not connect\n", i);
      exit(1);
    }
  }
  std::atomic<bool> go{false};
  std::atomic<bool> stop{false};
  std::atomic<long> round_trips{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kSessions; ++i) {
    threads.emplace_back([&, i] {
      while (!go.load()) std::this_thread::yield();
      long n = 0;
      while (!stop.load()) {
        if (!clients[i].SendLine("NOOP") || clients[i].ReadLine(10.0) != "200 Command OK\r\n") break;
        ++n;
      }
      round_trips.fetch_add(n);
    });
  }
  const auto start = std::chrono::steady_clock::now();
  go.store(true);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop.store(true);
  for (auto& t : threads) t.join();
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  server.Stop();
  return static_cast<double>(round_trips.load()) / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? atof(argv[1]) : 5.0;
  const double quiet = RunOnce(0, seconds);
  const double verbose = RunOnce(5, seconds);
  printf("NOOP round trips per second, %d sessions, %.1f s each:\n", kSessions, seconds);
  printf("  Log_level 0: %10.0f\n", quiet);
  printf("  Log_level 5: %10.0f\n", verbose);
  printf("  ratio 5/0:   %10.3f\n", quiet > 0 ? verbose / quiet : 0.0);
  return 0;
}

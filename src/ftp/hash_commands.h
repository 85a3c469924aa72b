// The workloads of the benchmark commands T256 and TECC, apart from their
// handlers so that they can be run with fewer rounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

// Size of a benchmark buffer.
constexpr size_t kBenchBufferSize = 1048576;
constexpr int kT256Rounds = 2048;
constexpr int kTeccRounds = 1024;

// T256: the buffer (kBenchBufferSize bytes) gets the seed and its
// complement in front and 0x54 elsewhere; each round k writes the seed and a
// check value at 409600 + 12 * (k - 1) and digests the whole buffer.
// go_on is asked every 16 rounds, before the write; false abandons the run.
// False when abandoned or when the digest fails; else out has the digest as
// 64 lower-case hex characters.
bool T256Workload(uint32_t seed, int rounds, unsigned char* buf, const std::function<bool()>& go_on, char out[65]);
// TECC: the buffer filled with fill; round i sets byte i + shift + 1 to
// 0x4b and XORs the checksum (version 0: A, else B) of the whole buffer
// into the result. go_on is asked before every round.
uint64_t TeccWorkload(uint8_t fill, uint32_t version, uint32_t shift, int rounds, unsigned char* buf,
                      const std::function<bool()>& go_on);

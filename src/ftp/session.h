// One FTP control session: the slot record and its life-cycle operations.
//
// A slot lives in the server's IPv4 or IPv6 session array. The listener
// resets a free slot and hands it to a pool worker; from then on only that
// worker touches it, except close_flag and the socket shutdown that the stop
// sequence (and KILL) use to end it.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "base/format.h"
#include "base/holders.h"
#include "base/logs.h"
#include "base/random64.h"
#include "platform/socket.h"
#include "platform/sync.h"

// Longest command line the loop accepts before its line feed.
constexpr int kMaxCommandLine = 1578;
// Size of the command receive buffer.
constexpr int kCmdBufSize = 1680;
// Size of a session's transfer buffer.
constexpr size_t kTransferBufferSize = 532480;
// Protocol version the server announces to its own client (USER, MKEY, VERS).
constexpr int kProtocolVersion = 430;

// Progress of the FTP session task.
enum WL_SessionStage : uint16_t {
  kStageStarted = 1,
  kStageFirewallPassed = 2,
  kStageImplicitHandshake = 7,
  kStagePlainGreeting = 8,
  kStageImplicitGreeting = 9,
  kStageLoopTop = 10,
  kStageReceiving = 11,
  kStageLinePresent = 12,
  kStageLengthCheck = 15,
  kStageParsing = 16,
  kStageDispatching = 20,
  kStageCommandDone = 21,
  kStageClosing = 98,
  kStageReleased = 100,
};

// security code values set by ReceiveLine.
enum : uint16_t {
  kRecvTimeout = 6201,
  kRecvClosedAfterRead = 6202,
  kRecvTooLong = 6203,
  kRecvFullNoLineFeed = 6204,
  kRecvFullOnEntry = 6206,
  kRecvError = 6207,
  kRecvWaitFailed = 6208,
  kRecvClosedAtTop = 6210,
};

// send_code values.
enum : uint16_t {
  kSendError = 7001,
  kSendTimeout = 7002,
  kSendWaitFailed = 7003,
  kTlsReadError = 7701,
  kExactTimeout = 9301,
  kExactClosedAfterRead = 9302,
  kExactError = 9303,
  kExactWaitFailed = 9304,
  kExactClosed = 9305,
};

// wait_state values.
enum : uint16_t {
  kWaitReceiveLine = 1701,
  kWaitLineData = 1703,
  kWaitTlsWrite = 1721,
  kWaitPlainSend = 1722,
  kWaitTlsSendWait = 1723,
  kWaitPlainSendWait = 1724,
  kWaitExactReceive = 1441,
  kWaitExactWait = 1442,
};

class WL_FtpSession {
 public:
  WL_FtpSession() = default;
  virtual ~WL_FtpSession() = default;
  WL_FtpSession(const WL_FtpSession&) = delete;
  WL_FtpSession& operator=(const WL_FtpSession&) = delete;

  // Prepares a free slot for a new connection; seed comes from the
  // listener's connection serial.
  void ResetForConnection(uint32_t seed);
  // End of a session: closes everything, flushes the log and frees the slot.
  void ReleaseSlot();
  // Closes the TLS objects, the file and both sockets; in_use stays set.
  void CloseConnections();
  // Closes the data connection and clears its state. Returns true.
  bool CloseDataConnection(bool skip_shutdown, bool clear_resume);
  // The log prefix of session lines. Returns the length (-1: does not fit).
  int FormatLogPrefix(char* out, size_t cap) const;
  // The login-failure line of the bad-login log (512 bytes at most).
  int FormatLoginLogLine(char* out, size_t cap) const;
  // The session's transfer buffer (kTransferBufferSize bytes from the
  // memory pool), taken on first use and given back when the data
  // connection closes. nullptr only when memory ran out.
  char* TransferBuffer();
  void ReturnTransferBuffer();
  // Draws one value from the slot's generator.
  uint64_t Draw() { return random.Draw(); }

  // Flags shared with the listener and the stop sequence.
  std::atomic<bool> in_use{false};
  std::atomic<bool> close_flag{false};

  uint8_t is_ipv4 = 1;
  uint8_t peer_local = 1;
  uint8_t ctrl_tls = 0;
  uint8_t logged_in = 0;
  uint8_t backup_mode = 0;
  uint8_t is_admin = 0;
  uint8_t use_session_key = 0;
  uint8_t data_private = 0;
  uint8_t full_list = 1;
  uint16_t list_kind = 0;
  uint8_t mode_c = 0;
  uint8_t skip_data_shutdown = 0;
  uint8_t implicit_tls = 0;
  uint8_t implicit_done = 0;
  uint8_t response_flag = 0;  // PASA's econn option: reply after a data handshake
  uint8_t login_option = 0;   // PASA's further option flag: checksums allowed in joint transfers (JKEY sets it too)
  uint8_t mode_option = 0;    // PASA's mode value 512: joint downloads send 524288-byte chunks
  uint8_t tls_option = 0;     // PASA's TLS option: the client wants the HTTPS port
  // Replies in the standard dialect (RFC 959/3659 codes) instead of the
  // private client's; chosen at login.
  uint8_t standard_replies = 0;
  // Set by the worker at login and read by the listener, which bounds the
  // slots an address holds before logging in.
  std::atomic<bool> login_done{false};
  // The local path RNFR named, until RNTO uses it.
  std::string rename_from;
  // The session's latest normal map (MAPF, MAPS): slot -1 when none.
  int32_t last_map_slot = -1;
  uint64_t last_map_dir64 = 0;
  uint64_t last_map_unicode = 0;
  uint64_t last_map_hash = 0;
  int64_t pasa_values[2] = {0, 0};  // kept for the joint transfers
  // The joint key (JKEY): the client's value and the server's random answer;
  // both 0 until JKEY ran.
  uint64_t joint_client = 0;
  uint64_t joint_server = 0;
  // Command protection (CINT, NEXP).
  int32_t protect_on = 0;
  uint32_t protect_kind = 0;
  uint32_t protect_counter = 0;
  uint64_t protect_value = 0;
  uint64_t protect_nonce = 0;
  char protect_key[129] = {};
  char protect_sig[129] = {};
  uint16_t slot_index = 0;
  uint16_t passive_port = 0;
  uint16_t active_port = 0;
  uint16_t econn_client = 0;
  uint16_t security_code = 0;
  uint16_t send_code = 0;
  uint16_t wait_state = 0;
  uint16_t tls_want = 0;
  int32_t login_method = 0;
  uint16_t stage = 0;
  int32_t cmd_len = 0;
  int32_t data_mode = 0;
  int32_t access_level = 0;
  int32_t list_pending = 0;
  uint32_t session_id = 0;
  uint32_t account_index = 32;
  uint32_t command_code = 128;
  WL_OwnedSocket ctrl_socket;
  WL_OwnedSocket data_socket;
  int64_t start_time = 0;
  int64_t last_activity = 0;
  int64_t reset_time = 0;
  int64_t rest_offset = 0;
  uint64_t session_token = 0;
  uint64_t client_nonce = 0;
  int64_t bytes_sent = 0;
  int64_t bytes_received = 0;
  uint64_t failed_commands = 0;
  uint64_t recv_calls = 0;
  int64_t resume_counters[2] = {0, 0};
  uint8_t peer_addr[16] = {};
  struct sockaddr_storage peer_sockaddr = {};
  // The econn token of PASA: 50 hex characters (or "*"), with room to spare.
  char econn_token[64] = {};
  char user_name[129] = {};
  char typed_password[129] = {};
  char address_text[512] = {};
  char session_key[37] = {};
  BoundedStr<4000> reply_buf;
  char cmd_buf[kCmdBufSize + 1] = {};
  BoundedStr<kCmdBufSize> log_line;
  BoundedStr<1281> current_path;
  BoundedStr<361> backup_root;  // the account's backup directory in backup mode
  struct ssl_st* ctrl_ssl = nullptr;  // TLS of the control connection
  struct ssl_st* data_ssl = nullptr;  // TLS of the current data connection
  char* xfer_buf = nullptr;
  char stou_name[160] = {};  // the file name STOU made for this upload
  WL_MFile file;  // the file of a running transfer
  WL_Semaphore event{72};
  WL_NoLockRandom64 random;
  WL_MinMemLog session_log;
};

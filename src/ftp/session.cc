#include "ftp/session.h"

#include <cinttypes>
#include <cstring>

#include "base/mem_pool.h"
#include "base/net_text.h"
#include "base/time_text.h"
#include "ftp/tls.h"
#include "platform/clock.h"

void WL_FtpSession::ResetForConnection(uint32_t seed) {
  close_flag.store(false);
  peer_local = 1;
  ctrl_tls = logged_in = backup_mode = is_admin = use_session_key = data_private = 0;
  mode_c = skip_data_shutdown = implicit_tls = implicit_done = 0;
  full_list = 1;
  list_kind = 0;
  passive_port = active_port = econn_client = 0;
  security_code = send_code = wait_state = tls_want = 0;
  login_method = 0;
  stage = 0;
  cmd_len = 0;
  cmd_buf[0] = '\0';
  data_mode = 0;
  access_level = 0;
  list_pending = 0;
  rest_offset = 0;
  bytes_sent = bytes_received = 0;

  // The session id mixes drawn bits with the slot number, so two live
  // sessions never share one.
  const uint32_t drawn = static_cast<uint32_t>(random.Draw());
  random.Advance(static_cast<uint64_t>(slot_index) + 4);
  uint8_t b0 = static_cast<uint8_t>(drawn);
  uint8_t b3 = static_cast<uint8_t>(drawn >> 24);
  if (b0 == 0) b0 = 3;
  if (b3 == 0) b3 = 1;
  const uint8_t b1 = static_cast<uint8_t>(slot_index % 128 + 75);
  const uint8_t b2 = static_cast<uint8_t>(drawn >> 16);
  session_id = static_cast<uint32_t>(b0) | (static_cast<uint32_t>(b1) << 8) | (static_cast<uint32_t>(b2) << 16) |
               (static_cast<uint32_t>(b3) << 24);

  account_index = 32;
  command_code = 128;
  start_time = last_activity = reset_time = NowSeconds();
  failed_commands = 0;
  recv_calls = 0;
  resume_counters[0] = resume_counters[1] = 0;

  if (seed != 0) random.Advance(static_cast<uint64_t>(seed) + 1);
  session_token = random.Draw();
  client_nonce = 0;
  econn_token[0] = '\0';
  user_name[0] = '\0';
  typed_password[0] = '\0';
  session_key[0] = '\0';
  current_path.Assign("/");
  backup_root.clear();
  use_session_key = 0;
  response_flag = login_option = mode_option = tls_option = 0;
  standard_replies = 0;
  login_done.store(false, std::memory_order_release);
  rename_from.clear();
  last_map_slot = -1;
  last_map_dir64 = last_map_unicode = last_map_hash = 0;
  pasa_values[0] = pasa_values[1] = 0;
  joint_client = joint_server = 0;
  protect_on = 0;
  protect_kind = protect_counter = 0;
  protect_value = protect_nonce = 0;
  protect_key[0] = protect_sig[0] = '\0';
  memset(peer_addr, 0, sizeof(peer_addr));
}

char* WL_FtpSession::TransferBuffer() {
  if (xfer_buf == nullptr) xfer_buf = static_cast<char*>(PoolAlloc(kTransferBufferSize));
  return xfer_buf;
}

void WL_FtpSession::ReturnTransferBuffer() {
  if (xfer_buf != nullptr) PoolFree(xfer_buf);
  xfer_buf = nullptr;
}

void WL_FtpSession::ReleaseSlot() {
  ReturnTransferBuffer();
  TlsShutdownFree(&data_ssl);
  TlsShutdownFree(&ctrl_ssl);
  file.Close();
  random.Advance(static_cast<uint64_t>(slot_index) + 4);
  data_socket.Close();
  ctrl_socket.Close();
  session_log.FlushToLog();
  in_use.store(false, std::memory_order_release);
}

void WL_FtpSession::CloseConnections() {
  TlsShutdownFree(&data_ssl);
  TlsShutdownFree(&ctrl_ssl);
  file.Close();
  random.Advance(2ull * slot_index + 6);
  data_socket.Close();
  ctrl_socket.Close();
  econn_token[0] = '\0';
  passive_port = active_port = 0;
  data_mode = 0;
  rest_offset = 0;
  resume_counters[0] = resume_counters[1] = 0;
  ReturnTransferBuffer();
}

bool WL_FtpSession::CloseDataConnection(bool skip_shutdown, bool clear_resume) {
  TlsShutdownFree(&data_ssl);
  file.Close();
  random.Advance(static_cast<uint64_t>(slot_index) + 4);
  data_socket.Close(skip_shutdown);
  passive_port = active_port = 0;
  econn_token[0] = '\0';
  econn_client = 0;
  data_mode = 0;
  list_kind = 0;
  rest_offset = 0;
  if (clear_resume) resume_counters[0] = resume_counters[1] = 0;
  if (xfer_buf != nullptr) {
    ReturnTransferBuffer();
    mode_c = 0;
  }
  return true;
}

int WL_FtpSession::FormatLogPrefix(char* out, size_t cap) const {
  return FormatText(out, cap, "Ftp <%d:%x %s %" PRIx64 " ssl:%d%s> %u code:%u %u ", slot_index, session_id,
                    is_ipv4 ? "ipv4" : "ipv6", session_token, ctrl_tls ? 1 : 0, implicit_tls ? " implicit" : "",
                    wait_state, security_code, send_code);
}

int WL_FtpSession::FormatLoginLogLine(char* out, size_t cap) const {
  char ip[48];
  AddressKeyText(peer_addr, is_ipv4 == 0, ip, sizeof(ip));
  char when[64];
  FormatLocalTime(start_time, when, sizeof(when));
  if (cap > 512) cap = 512;
  return FormatText(out, cap, "Ftp <%d:%x %s %" PRIx64 "> cmd=%d code:%u %u ip=%s time=%s user=%s pass=%s :",
                    slot_index, session_id, is_ipv4 ? "ipv4" : "ipv6", session_token, command_code, security_code,
                    send_code, ip, when, user_name[0] ? user_name : " ", typed_password[0] ? typed_password : " ");
}

// The server's settings, one member per key of config/set.ini.
//
// The members keep the key names of the file. The object is built with the
// construction defaults; LoadSettings replaces every key by the file's value
// (or the key's own default) with its clamps.
#pragma once

#include <cstdint>
#include <string>

class WL_IniRW;

struct WL_Settings {
  // Zelfo_global
  int32_t Debug_mode = 0;

  // Zelfo_ftp
  int32_t Service_enablev4 = 1;
  int32_t Service_enablev6 = 1;
  int32_t Service_ipv4tls = 1;
  int32_t Service_ipv6tls = 1;
  int32_t Login_v4musttls = 0;
  int32_t Login_v6musttls = 0;
  int32_t Net_typev4 = 0;
  int32_t Net_typev6 = 0;
  uint16_t Service_portv4 = 21;
  uint16_t Service_portv6 = 21;
  int32_t Implicit_mode = 0;
  uint16_t Service_implicitv4 = 0;
  uint16_t Service_implicitv6 = 0;
  int32_t No_syshiddenfile = 1;
  int32_t Extend_security = 0;
  int32_t No_cmdextend = 1;
  int32_t Random_failresponse = 0;
  int32_t No_portmode = 0;
  int32_t Bbs_enable = 1;
  int32_t Loginfail_blackip = 0;
  int32_t No_ftpplainpass = 0;
  uint16_t Basic_dataport = 0;
  uint32_t Unsafe_limitrandomepasvportnum = 0;
  uint16_t Max_users = 32;
  // 0: standard replies for clear-password logins, the private ones for
  // hash logins; 1: private replies always; 2: standard replies always.
  int32_t Reply_style = 0;
  // Slots one address (an IPv6 /64) may hold before it logs in; 0: no bound.
  int32_t Max_ipconnects = 16;

  // Zelfo_extend
  uint16_t Econ_portv4 = 2020;
  uint16_t Econ_portv6 = 2020;
  int64_t Econn_connecttimeout = 64;
  int64_t Econn_datawaittimeout = 72;
  int32_t Use_accountsha = 0;
  int32_t Filehash_adminonly = 1;
  int32_t Ftp_jointcrc = 1;
  int32_t List_compatible = 0;
  int32_t No_internetmap = 0;
  int32_t Ftp_autoremovelastmap = 0;
  int32_t Log_level = 0;
  int64_t Log_maxsize = 0;
  int32_t Sublog_maxsize = 73728;
  int64_t Sublog_flushtime = 600;
  std::string Log_path;

  // Zelfo_option
  int32_t Command_protect = 0;
  int32_t Connect_timeout = 60;
  int32_t Joint_cmdtimeout = 120;
  int32_t Gip6_all = 1;
  int32_t Removelong_onipv6change = 0;
  int64_t Ftp_shakecode = 0;
  int64_t File_transfertimeout = 350;
  int64_t Noop_timeout = 610;
  int64_t Login_timeout = 305;
  int32_t Make_reportfile = 1;
  int32_t Limit_4kbuff = 0;

  // Zelfo_http
  int32_t Max_session = 0;
  uint16_t Http_portv4 = 80;    // key Service_portv4 of Zelfo_http
  uint16_t Http_portv6 = 8080;  // key Service_portv6 of Zelfo_http
  int32_t Enable_httpsv4 = 0;
  int32_t Enable_httpsv6 = 0;
  uint16_t Service_sslv4port = 8081;
  uint16_t Service_sslv6port = 8081;
  int32_t File_sendtimeout = 1200;
  int32_t Get_timeout = 0;
  int32_t Http_mimetype = 0;
  int32_t Http_protectmode = 0;
  int32_t Http_send404 = 0;
  int32_t Http_badhead404 = 0;

  // Zelfo_filemap
  uint16_t Max_items = 0;
  int64_t Timeout_longmap = 0;
  int64_t Timeout_media = 0;
  int64_t Timeout_normal = 0;

  // Zelfo_backup
  int32_t Enable_backup = 0;
  int32_t Backup_checktime = 0;
  int32_t Backup_nosyshidden = 1;
  int32_t Backup_syncmode = 0;
  int32_t Backup_gaphours = 48;
  int32_t Backup_exectime = 2;
  std::string Backup_source_1;
  std::string Backup_source_2;
  std::string Backup_dest_1;
  std::string Backup_dest_2;

  // Zelfo_memorypool
  int32_t Mpool_small = 22;
  int32_t Mpool_middle = 18;
  int32_t Mpool_big = 18;
  int32_t Mpool_large = 32;

  // Zelfo_threadpool
  uint32_t Pool_low = 6;
  uint32_t Pool_high = 16;
  uint32_t Pool_maxthread = 112;

  // Zelfo_Ipwall, Zelfo_Ipwallt, ZelSvrSet
  int32_t Ipv4_ipwall = 0;
  int32_t Ipv6_ipwall = 0;
  uint32_t Max_trytimes = 0;
  int64_t Record_seconds = 0;
  int64_t Loop_scangapsec = 0;
  uint32_t Ipwall_listnum = 0;
  int32_t Ipwall_prefixpblock = 0;

  // ZelSvrMailSet
  int32_t Probe_Enum = 1;
  int32_t Enable_Sendmail = 0;
  int32_t Cert_Verify = 0;
  int32_t Ipv6_Sendmail = 0;
  int32_t Tls_Sendmail = 0;
  uint16_t Server_port = 25;
  int64_t Timer_Seconds = 86400;
  std::string Encode_string;  // set to the built-in text at construction
  std::string Server_addr;
  std::string Mail_username;
  std::string Mail_spassword;  // the scrambled form as read
  std::string Mail_password;   // the clear password: Mail_spassword decoded, else Mail_password
  std::string Mail_from;
  std::string Mail_sendto;
  std::string Mail_cc;
  std::string Mail_cc1;
  std::string Mail_cc2;
  std::string Mail_subject;

  // Tls_config
  std::string Tls_privatekeypass;
  std::string Tls_privatekeyfile;
  std::string TLS_certificatefile;

  WL_Settings();
};

// Loads path into settings. install_dir ends in "/". Returns false (and
// changes nothing) when path is not a regular file or cannot be read.
bool LoadSettings(const std::string& path, const std::string& install_dir, WL_Settings* settings);
// Applies every key of an already opened file (the loader's body).
void ApplySettings(const WL_IniRW& ini, const std::string& install_dir, WL_Settings* s);

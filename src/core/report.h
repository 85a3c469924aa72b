// The status report: the server's effective configuration after defaults
// and clamps, its accounts and its shared resources, one line each.
#pragma once

#include <string>

class WL_ZelFtpSvr;

// The report text. Lines end in "\r\n"; a line that cannot be formatted is
// left out. Reads the settings, the HTTP and econn services' configuration,
// the account table and the resources as they are now.
std::string StatusReportText(const WL_ZelFtpSvr& svr);

// The zelfosvr --check-config run on a server object whose install
// directory is set: loads the settings, accounts and resources as a start
// would, fills *report with the status report, and checks what would make
// the start fail or leave the server without its accounts (no config
// directory or settings file, a certificate or key that does not load, an
// account file that is missing, unreadable or without an active account, a
// resource file that exists but cannot be read, a port another process
// holds or two services share).
// Returns true when the server could start; otherwise false with the
// reasons in *reasons, one "\n"-terminated line each.
bool CheckConfiguration(WL_ZelFtpSvr* svr, std::string* report, std::string* reasons);

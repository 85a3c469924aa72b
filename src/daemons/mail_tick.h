// A minute tick that runs the address mail's duty (MailTrigger) until the
// timer daemon takes the duty over; it does nothing else. At its start it
// works out whether the mail is configured and, if so, loads the status
// file, as the timer daemon will.
#pragma once

class WL_ZelFtpSvr;

// Starts the tick thread on svr->mail_tick_ctl. False when the thread
// cannot be created.
bool StartMailTick(WL_ZelFtpSvr* svr);
// Stops the tick thread and waits until it has ended.
void StopMailTick(WL_ZelFtpSvr* svr);

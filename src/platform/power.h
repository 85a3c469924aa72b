// Rebooting or powering off the host.
//
// The environment variable ZELFO_POWER_CMD, when set, replaces the real
// reboot call: the command runs with the single argument "reboot" or
// "poweroff" and its exit status decides success. Tests always set it, so a
// test can never take the machine down.
#pragma once

// The calling process holds CAP_SYS_BOOT in its effective set. A failed
// query counts as not held.
bool HasBootCapability();

// Flushes the file systems (sync) and reboots (reboot true) or powers off
// the host, or runs the ZELFO_POWER_CMD command instead. Returns true when
// the power action succeeded (the real call does not return then); false
// when it failed, the command could not be started or did not exit 0.
// Does not check the capability: callers ask HasBootCapability first.
bool PowerHost(bool reboot);

// Ends the process at once with the exit code after flushing standard
// output and standard error; no destructors run. For the power thread,
// which ends the process after the server has stopped.
[[noreturn]] void EndProcess(int code);

"""Operator commands, the bulletin board and the host power request against
the real zelfosvr.

usage: operator_test.py ZELFOSVR [unittest options]

No server of these tests can reach the real reboot call: ZELFO_POWER_CMD is
set for every server to a script that only records its argument.
"""
import os
import warnings
import re
import shutil
import signal
import socket
import sys
import tempfile
import time
import unittest

from zelfo_harness import Control, Server

BINARY = None
POWER_DIR = tempfile.mkdtemp(prefix="zelfo-power-")

ACCOUNTS = """[User_admin]
Active_Mode=1
Access_Level=9
User_Name=root
Pass_Word=rootpw

[User_proxy]
Active_Mode=1
Access_Level=1
User_Name=px
Pass_Word=pxpw

[User_user1]
Active_Mode=1
Access_Level=2
User_Name=alice
Pass_Word=alicepw
"""


def make_seam(name, code=0, wait=False):
    """A power command that appends its argument to NAME.txt, optionally
    waits for NAME.release, and exits with code. Returns (script, record,
    release)."""
    record = os.path.join(POWER_DIR, name + ".txt")
    release = os.path.join(POWER_DIR, name + ".release")
    script = os.path.join(POWER_DIR, name + ".sh")
    body = '#!/bin/sh\necho "$1" >> "%s"\n' % record
    if wait:
        body += 'while [ ! -e "%s" ]; do sleep 0.05; done\n' % release
    body += "exit %d\n" % code
    with open(script, "w") as f:
        f.write(body)
    os.chmod(script, 0o755)
    return script, record, release


def recorded(path):
    try:
        with open(path) as f:
            return f.read().split()
    except FileNotFoundError:
        return []


def has_boot_capability():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("CapEff:"):
                return (int(line.split()[1], 16) >> 22) & 1 == 1
    return False


# The default for every server; tests that power off set their own.
os.environ["ZELFO_POWER_CMD"] = make_seam("default")[0]


def read_reply(c):
    """All lines of one reply ("200-" lines up to the "200 " line)."""
    lines = [c.line()]
    while re.match(r"^\d{3}-", lines[-1]):
        lines.append(c.line())
    return lines


class OperatorTest(unittest.TestCase):
    def setUp(self):
        self.servers = []

    def tearDown(self):
        for s in self.servers:
            s.close()

    def start(self, settings="", seam=None, binary=None, **configure):
        os.environ["ZELFO_POWER_CMD"] = seam or make_seam("default")[0]
        server = Server(binary or BINARY, log_level=2)
        self.servers.append(server)
        share = server.path("share")
        os.makedirs(share)
        with open(os.path.join(share, "f.txt"), "w") as f:
            f.write("hello")
        server.write("myaccount.ini", ACCOUNTS)
        server.write("myshare.txt", "1*pub*%s\n" % share)
        if settings or configure:
            server.configure(settings, **configure)
        return server.start()

    def login(self, server, user, password, host="127.0.0.1"):
        c = Control(server.port, host=host)
        self.assertTrue(c.line().startswith("220 "))
        if user:
            c.cmd("USER " + user)
            self.assertTrue(c.cmd("PASS " + password).startswith("230 "))
        return c

    def wait_exit(self, server):
        code = server.proc.wait(timeout=30)
        server.proc = None
        return code

    def test_account_list_shows_last_logins(self):
        server = self.start()
        c = self.login(server, "root", "rootpw", host="::1")
        c.sock.sendall(b"VFUL\r\n")
        lines = read_reply(c)
        self.assertEqual(len(lines), 4, lines)
        self.assertRegex(lines[0], r"^200-Account_Admin\[root\] time:\d\d:\d\d:\d\d \d{4}-\d\d-\d\d "
                                   r"ip:0:0:0:0:0:0:0:1 backup:No level:9$")
        self.assertEqual(lines[1], "200-Account_Proxy[px] --")
        self.assertEqual(lines[2], "200-Account_User_1[alice] --")
        self.assertEqual(lines[3], "200 ftp account list")

    def test_record_lists(self):
        server = self.start()
        # A failed login, an IPv6 connection, a download and an HTTP connect.
        bad = self.login(server, "", "")
        bad.cmd("USER alice")
        self.assertTrue(bad.cmd("PASS wrong").startswith("5"))
        bad.close()
        self.login(server, "", "", host="::1").close()
        socket.create_connection(("127.0.0.1", server.http_port), timeout=5).close()
        c = self.login(server, "root", "rootpw")
        first, data, last = c.data("RETR /pub/f.txt")
        self.assertEqual(data, b"hello", (first, last))
        entry = r"time:\d\d:\d\d:\d\d \d{4}-\d\d-\d\d \[\d+\]$"
        v4, v6 = r"127\.0\.0\.1 ", r"0:0:0:0:0:0:0:1 "
        table = [
            ("VFCL", ["Ftp: " + v4, "Ftp: " + v6], "200 ftp connect list"),
            ("VFLS", ["Ftp: " + v4], "200 ftp login user list"),
            ("VBLS", ["Ftp: " + v4], "200 ftp login fail list"),
            ("FDLS", ["Ftp: " + v4], "200 ftp download list"),
            ("FULS", [], "200 ftp upload list"),
            ("VHLS", ["Http: " + v4], "200 http connect list"),
            ("WLLS", [], "200 http normal user list"),
            ("WNLS", [], "200 http normal user list"),
        ]
        for verb, entries, closing in table:
            c.sock.sendall(verb.encode() + b"\r\n")
            lines = read_reply(c)
            self.assertEqual(lines[-1], closing, verb)
            self.assertEqual(len(lines) - 1, len(entries), (verb, lines))
            for line, pattern in zip(lines, entries):
                self.assertRegex(line, "^200-" + pattern + entry, verb)

    def test_cipw_clears_the_firewall(self):
        server = self.start(more="[Zelfo_Ipwall]\r\nMax_trytimes=5\r\n")
        blocked = False
        for _ in range(30):
            c = Control(server.port)
            greeting = c.line()
            if not greeting:
                blocked = True
                c.close()
                break
            c.cmd("USER alice")
            c.cmd("PASS wrong")
            c.close()
        self.assertTrue(blocked, "127.0.0.1 never blocked")
        admin = self.login(server, "root", "rootpw", host="::1")
        self.assertEqual(admin.cmd("CIPW"), "200 firewall clean")
        again = Control(server.port)
        self.assertTrue(again.line().startswith("220 "))

    def test_bulletin_board(self):
        server = self.start()
        admin = self.login(server, "root", "rootpw")
        user = self.login(server, "alice", "alicepw")
        proxy = self.login(server, "px", "pxpw")
        self.assertEqual(admin.cmd("ABBS maintenance at noon"), "200 command ok")
        for i in range(1, 8):
            self.assertEqual(user.cmd("ABBS note %d" % i), "200 command ok")
        self.assertEqual(user.cmd("ABBS " + "x" * 119), "200 command ok")
        self.assertEqual(user.cmd("ABBS " + "y" * 120), "200 command fail")
        self.assertEqual(user.cmd("ABBS"), "500 bad parameter")
        self.assertEqual(proxy.cmd("ABBS hi"), "550 unknown command")
        self.assertEqual(proxy.cmd("GBBS"), "550 unknown command")
        user.sock.sendall(b"GBBS\r\n")
        self.assertEqual(read_reply(user), ["200-maintenance at noon", "200-========", "200-note 3", "200-note 4",
                                            "200-note 5", "200-note 6", "200-note 7", "200-" + "x" * 119, "200 ."])
        self.assertEqual(user.cmd("DBBS"), "550 unknown command")
        self.assertEqual(admin.cmd("DBBS"), "200 command done")
        admin.sock.sendall(b"GBBS\r\n")
        self.assertEqual(read_reply(admin), ["200-========", "200 ."])

    def test_board_switched_off(self):
        server = self.start("Bbs_enable=0\r\n")
        admin = self.login(server, "root", "rootpw")
        for verb in ("ABBS hi", "GBBS", "DBBS"):
            self.assertEqual(admin.cmd(verb), "500 bbs not active", verb)
        self.assertEqual(self.login(server, "", "").cmd("GBBS"), "550 login first")

    @unittest.skipUnless(has_boot_capability(), "the test process lacks CAP_SYS_BOOT")
    def test_two_quick_shuts_power_the_host_once(self):
        for first, second, want in (("SHUT now", "SHUT", "reboot"), ("SHUT", "SHUT now", "poweroff")):
            seam, record, _ = make_seam("quick-" + want)
            server = self.start(seam=seam)
            c1 = self.login(server, "root", "rootpw")
            c2 = self.login(server, "root", "rootpw", host="::1")
            self.assertEqual(c1.cmd(first), "200 system command ok")
            c2.sock.sendall(second.encode() + b"\r\n")
            self.assertIn(c2.line(), ("200 system command ok", ""))
            self.assertEqual(self.wait_exit(server), 0)
            self.assertEqual(recorded(record), [want])
            self.assertEqual(server.log("zellog.txt").count("Zelfo service: success stopped!"), 1)

    @unittest.skipUnless(has_boot_capability(), "the test process lacks CAP_SYS_BOOT")
    def test_stop_signal_during_a_power_request(self):
        for code, exit_code in ((0, 0), (3, 1)):
            seam, record, release = make_seam("signal-%d" % code, code=code, wait=True)
            server = self.start(seam=seam)
            c = self.login(server, "root", "rootpw")
            self.assertEqual(c.cmd("SHUT"), "200 system command ok")
            deadline = time.time() + 30
            while not recorded(record) and time.time() < deadline:
                time.sleep(0.05)
            self.assertEqual(recorded(record), ["poweroff"])
            # The server is down by now; the signal finds the power request
            # under way and the process ends with the power action's result.
            server.proc.send_signal(signal.SIGTERM)
            open(release, "w").close()
            self.assertEqual(self.wait_exit(server), exit_code)
            self.assertEqual(recorded(record), ["poweroff"])
            self.assertEqual(server.log("zellog.txt").count("Zelfo service: success stopped!"), 1)

    def test_shut_without_the_privilege_keeps_the_server(self):
        binary = BINARY
        if has_boot_capability():
            if not shutil.which("setpriv"):
                self.skipTest("setpriv is needed to drop CAP_SYS_BOOT")
            binary = os.path.join(POWER_DIR, "zelfosvr-nocap.sh")
            with open(binary, "w") as f:
                f.write('#!/bin/sh\nexec setpriv --bounding-set=-sys_boot --inh-caps=-sys_boot "%s" "$@"\n' % BINARY)
            os.chmod(binary, 0o755)
        seam, record, _ = make_seam("nocap")
        server = self.start(seam=seam, binary=binary)
        c = self.login(server, "root", "rootpw")
        self.assertEqual(c.cmd("SHUT now"), "200 system command ok")
        self.assertEqual(c.cmd("NOOP").split()[0], "200")
        self.assertTrue(self.login(server, "alice", "alicepw").cmd("NOOP").startswith("200"))
        self.assertEqual(recorded(record), [])
        self.assertIn("power request refused", server.output())
        # A stop signal still stops it.
        self.assertEqual(server.stop(), 0)
        self.assertEqual(recorded(record), [])


if __name__ == "__main__":
    warnings.simplefilter("ignore", ResourceWarning)
    BINARY = os.path.abspath(sys.argv.pop(1))
    try:
        unittest.main()
    finally:
        shutil.rmtree(POWER_DIR, ignore_errors=True)

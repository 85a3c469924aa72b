"""The administrator's diagnostics commands INFO, INFM, DUMP, KILL and SNAP
against the real zelfosvr.

usage: diagnostics_test.py ZELFOSVR [unittest options]

The stress test runs DUMP and INFM in a loop while 60 sessions work; on a
sanitizer build (ZELFO_SANITIZE) it fails on any sanitizer report.
"""
import os
import re
import resource
import signal
import socket
import sys
import threading
import time
import unittest
import warnings

from zelfo_harness import Control, PrivateServer as Server

BINARY = None

ACCOUNTS = """[User_admin]
Active_Mode=1
Access_Level=9
User_Name=root
Pass_Word=rootpw
Backup_dir=%(backup)s

[User_proxy]
Active_Mode=1
Access_Level=9
User_Name=px
Pass_Word=pxpw

[User_user1]
Active_Mode=1
Access_Level=2
User_Name=alice
Pass_Word=alicepw
"""

DUMP_USAGE = [
    "450-usage: dump service ip-protocol [postion]", "450-service 0=ftp session list",
    "450-service 1=http session list", "service 2=mapfile list", "450-service 3=thread pool list",
    "450-service 4=ftp ip wall list", "450-service 5=http ip wall list", "450-service 6=ftp login fail list",
    "450-service 7=ftp connect list", "450-service 8=http connect list", "450-service 9=ftp success lonin list",
    "450-service 10=http normal vistor list", "450-service 11=ftp download and upload list[6:upload]",
    "450-service 12=econn session list", "450-Exp:dump 0 6", "450-Exp:dump 7 4", "450 ."]

TIME = r"(\d+-\d+-\d+ \d+:\d+:\d+|--)"
SESSION_LINE = (r"^200-%d\[[0-9a-f]+\] login:(Yes|No) login type:\d+_[01] socket:1 admin:[01] mlsd:[01] "
                r"backup mode:[01] cmd ssl:[01] data ssl:[01] cmd protect:0 ftp mode:[01] con_res:\d+ local:[01] "
                r"https first:[01] http_ext:[01] joint_crc:[01] level:-?\d+ download:\d+: upload:\d+ "
                r"bad cmd times:\d+\(0\) debug code:\d+ \d+-\d+ xptr:[01] time:%s cmd time:%s from:%s "
                r"wait_times:\d+ \(ext:\d+ cmd:\d+\)$")


def read_reply(c):
    """All lines of one reply: lines with "NNN-" up to the "NNN " line (the
    DUMP usage text has one line without a code)."""
    lines = [c.line()]
    while lines[-1] and not re.match(r"^\d{3} ", lines[-1]):
        lines.append(c.line())
    return lines


def http_get(port, url, host="127.0.0.1"):
    s = socket.create_connection((host, port), timeout=30)
    s.sendall(("GET /%s HTTP/1.1\r\nHost: zelfo\r\n\r\n" % url).encode())
    return s


def read_to_end(sock):
    data = b""
    try:
        while True:
            block = sock.recv(65536)
            if not block:
                return data
            data += block
    except ConnectionResetError:
        return data


class DiagnosticsTest(unittest.TestCase):
    def setUp(self):
        self.servers = []

    def tearDown(self):
        for s in self.servers:
            s.close()

    def start(self, ftp="", extend="", more="", preexec=None, binary=None):
        server = Server(binary or BINARY, log_level=2)
        self.servers.append(server)
        for d in ("share", "backup"):
            os.makedirs(server.path(d))
        self.payload = os.urandom(100000)
        with open(server.path("share", "f.bin"), "wb") as f:
            f.write(self.payload)
        # A large sparse file that an HTTP client can hold open.
        with open(server.path("share", "big.bin"), "wb") as f:
            f.truncate(512 * 1024 * 1024)
        server.write("myaccount.ini", ACCOUNTS % {"backup": server.path("backup")})
        server.write("myshare.txt", "1*share*%s\n" % server.path("share"))
        server.configure(ftp, extend=extend, more=more)
        if preexec is None:
            return server.start()
        # Starts with a changed process environment (limits, signals).
        import subprocess
        server.proc = subprocess.Popen([server.binary, "--home", server.home], stdout=server.out, stderr=server.out,
                                       preexec_fn=preexec)
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                with socket.create_connection(("127.0.0.1", server.port), timeout=1) as s:
                    if s.recv(200).startswith(b"220 "):
                        return server
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("no greeting: " + server.output())

    def login(self, server, user="root", password="rootpw", host="127.0.0.1"):
        c = Control(server.port, host=host, timeout=30)
        self.assertTrue(c.line().startswith("220 "))
        if user:
            c.cmd("USER " + user)
            reply = c.cmd("PASS " + password)
            self.assertTrue(reply.startswith("230 "), reply)
        return c

    def hold(self, server, n):
        """n logged-in sessions; a connection that found no idle worker at
        once (the pool grows behind demand) is tried again."""
        held = []
        while len(held) < n:
            c = Control(server.port, timeout=30)
            if not c.line().startswith("220 "):
                c.close()
                time.sleep(0.05)
                continue
            c.cmd("USER alice")
            self.assertTrue(c.cmd("PASS alicepw").startswith("230 "))
            held.append(c)
        return held

    def slot_of(self, c):
        """The slot of a session that has not logged in (MKEY tells it)."""
        return int(c.cmd("MKEY").split()[3], 16)

    def infm(self, c):
        c.sock.sendall(b"INFM\r\n")
        return read_reply(c)

    def dump(self, c, arg):
        c.sock.sendall(("DUMP %s\r\n" % arg).encode())
        return read_reply(c)

    def wait_for(self, probe, what):
        """Polls probe() until it returns a true value (no timing is
        asserted: the deadline only keeps a broken server from hanging)."""
        deadline = time.time() + 30
        while time.time() < deadline:
            value = probe()
            if value:
                return value
            time.sleep(0.05)
        self.fail("never: " + what)

    def test_refusals(self):
        server = self.start()
        anon = self.login(server, user="")
        user = self.login(server, "alice", "alicepw")
        proxy = self.login(server, "px", "pxpw")
        for verb in ("INFO", "INFM", "DUMP 0 4", "KILL 1 0", "SNAP"):
            with self.subTest(verb=verb):
                self.assertEqual(anon.cmd(verb), "550 login first")
                self.assertEqual(user.cmd(verb), "550 unknown command")
                self.assertEqual(proxy.cmd(verb), "550 unknown command")
        for c in (anon, user, proxy):
            self.assertEqual(c.cmd("NOOP"), "200 Command OK")
        self.assertFalse([n for n in os.listdir(server.path("config")) if n.startswith("_Snap_")])

    def test_infm_lines_and_counters(self):
        server = self.start("Reply_style=1\r\nMax_ipconnects=7\r\nMax_users=20\r\n",
                            extend="Ftp_jointcrc=1\r\n")
        # The workload: a failed login, a download, a session over IPv6.
        bad = self.login(server, user="")
        bad.cmd("USER root")
        self.assertTrue(bad.cmd("PASS wrong").startswith("5"))
        bad.close()
        worker = self.login(server, "alice", "alicepw")
        first, got, final = worker.data("RETR /share/f.bin")
        self.assertEqual(got, self.payload, (first, final))
        worker.cmd("QUIT")
        worker.close()
        v6 = self.login(server, host="::1")
        admin = self.login(server)
        # The byte totals grow when the downloading session has ended.
        lines = self.wait_for(lambda: (lambda l: l if re.search(r" down:%d " % len(self.payload), l[3]) else None)(
            self.infm(admin)), "the download in the totals")
        patterns = [
            r"200-zelfo server \[w\] 4\.30 release:2026\.10\.1\(1172\)",
            r"200-ftp port:%d-%d implicit mode:0\[\d+:\d+\] fixed data port:%d-%d http stream:%d-%d ssl \d+-\d+"
            % (server.port, server.port, server.econn_port, server.econn_port, server.http_port, server.http_port),
            r"200-ftp ipv4:1\(1\) ipv6:1\(1\) max ftp user:20 active 1:1 connect:5 login succ:3 fail:1 handle:\d+ "
            r"unsafe limit pasv port range:\d+",
            r"200-ftp down:%d up:0 connect:5 deny:0 disk error: 0:0" % len(self.payload),
            r"200-ftp option: list extend:[01] auto release map:[01] no internet map:[01] bbs:[01] "
            r"extend security:[01]\(0\) temp_account:1 active account:3 \[max pos:9\]",
            r"200-ftp reply style:1 max ipconnects:7 file hash:0",
            r"200-http stream max user:\d+ active:0:0 transfer:0 connect:0 deny: 0",
            r"200-memory pool: \[\d+:\d+ \d+:\d+ \d+:\d+ \d+:\d+ \d+:\d+ \d+-\d+-\d+\]",
            r"200-system memory:[1-9]\d* :[1-9]\d* :[1-9]\d* CPU:\d+\.\d{3} \[\d+\.\d{3}\] \(\d+: \d+\.\d{4}%\)",
            r"200-econn accept:0:0 deny:0:0 call:0",
            r"200-ipv6 mail dns:0\[--\] hour:\d+ mode=(enum|con) last result:-?\d+ \[succ:0 fail:0 zero:0 code=-?\d+\] "
            r"(\?|[0-9a-f:]+)",
            r"200-auto backup:0\[--\] bytes:0 succ:0 fail:0",
            r"200-io daemon:\[(--|active)\] bytes:0 list size:0",
            r"200-thread pool: add \d+ : del \d+ max:\d+ active:\d+ wait:\d+ error:\d+ daemon:1  ",
            r"200-file map max: \d+ active: 0 long: 0 warning:0",
            r"200-ftp firewall:(enable|disable) \(ip [04]:[06]\) black ip num:0-0 list:\d+ http firewall:"
            r"(enable|disable) \(ip [04]:[06]\) black ip num:0-0 list:\d+ random response:0",
            r"200-command protect:0 command channel:[01] joint crc:1 error:0 log level:2",
            r"200-Daemon log size limit:\d+MB, real: 0MB 0MB 0MB ftp:0MB web:0MB",
            r"200 service start: \d+-\d+-\d+ \d+:\d+:\d+",
        ]
        self.assertEqual(len(lines), len(patterns), lines)
        for line, pattern in zip(lines, patterns):
            self.assertRegex(line, "^" + pattern + "$")
        # INFO is the same reply.
        admin.sock.sendall(b"INFO\r\n")
        self.assertEqual(len(read_reply(admin)), len(patterns))
        v6.close()

    def test_dump_usage_and_ranges(self):
        server = self.start("Service_enablev6=0\r\nMax_users=10\r\n")
        admin = self.login(server)
        admin.sock.sendall(b"DUMP\r\n")
        self.assertEqual(read_reply(admin), DUMP_USAGE)
        cases = [
            ("3", "450 usage: dump service  ip-protocol postion"),
            ("x", "450 usage: dump service  ip-protocol postion"),
            ("15 4", "450 type out of range"),
            ("-1 4", "450 type out of range"),
            ("5 4 0", "450 bad parameter"),
            ("0 4 10", "450 out of range"),
            ("0 4 -1", "450 out of range"),
            ("0 6 0", "450 not ready"),
            ("0 4 9", "450 session not active"),
            ("1 4 99999", "450 out of range"),
            ("2 4 99999", "200 out of range [max:280]"),
        ]
        for arg, reply in cases:
            with self.subTest(arg=arg):
                self.assertEqual(self.dump(admin, arg), [reply])
        # The one session in use is listed, then the closing line.
        lines = self.dump(admin, "0 4")
        self.assertEqual(len(lines), 2, lines)
        # (The harness's start probe may still hold slot 0 a moment.)
        own = int(re.match(r"^200-(\d+)\[", lines[0]).group(1))
        self.assertRegex(lines[0], SESSION_LINE % (own, TIME, TIME, r"127\.0\.0\.1"))
        self.assertEqual(lines[1], "200 ftp ipv4 session list .")
        detail = self.dump(admin, "0 4 %d" % own)[0]
        self.assertRegex(detail, r"^200 %d\[[0-9a-f]+\] login:Yes" % own + r" .* from:127\.0\.0\.1 wait_times:\d+ "
                                 r"\(ext:\d+ cmd:118\) socket=\d+:-1 max seconds=\d+ wait_size=\d+$")
        self.assertEqual(self.dump(admin, "7 6"), ["200 ftp connect (6) list ."])
        self.assertEqual(admin.cmd("NOOP"), "200 Command OK")

    def test_dump_tables(self):
        server = self.start()
        admin = self.login(server)
        admin6 = self.login(server, host="::1")
        # A download, an upload, then a failed login (the failed-login
        # records and the FTP firewall; a later login would clear the latter).
        user = self.login(server, "alice", "alicepw")
        self.assertEqual(user.data("RETR /share/f.bin")[1], self.payload)
        back = self.login(server, "root.BACK", "rootpw")
        reply = back.cmd("EPSV")
        port = int(re.search(r"\|\|\|(\d+)\|", reply).group(1))
        d = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.assertTrue(back.cmd("STOR up.bin").startswith("150"))
        d.sendall(b"uploaded")
        d.close()
        self.assertTrue(back.line().startswith("226"))
        bad = self.login(server, user="")
        bad.cmd("USER alice")
        bad.cmd("PASS wrong")
        bad.close()
        # A map, an HTTP visit and a bad HTTP request (the HTTP firewall).
        url = admin.cmd("MAPF /share/f.bin")[4:]
        s = http_get(server.http_port, url)
        self.assertIn(self.payload[-100:], read_to_end(s))
        s.close()
        s = socket.create_connection(("127.0.0.1", server.http_port), timeout=10)
        s.sendall(b"NONSENSE\r\n\r\n")
        read_to_end(s)
        s.close()
        # An econn wait entry and a pending connection on it.
        reply = admin.cmd("CONN 1234")
        self.assertTrue(reply.startswith("222 "), reply)
        pending = socket.create_connection(("127.0.0.1", server.econn_port), timeout=10)

        ip4 = r"127\.0\.0\.1"
        ip6 = "0:0:0:0:0:0:0:1"
        rec = r"^200-\d+ type=0 ip=%s time=" + TIME + r" times=\d+ $"
        cases = [
            ("0 6", [SESSION_LINE % (0, TIME, TIME, ip6)], "200 ftp ipv6 session list ."),
            ("2 4", [r"^200-\d+ \[max:\d+\] serial=[0-9a-f]+ ssl=0 ip=4 long map=0 .* filesize=100000 url=.*$"],
             "200 mapfile list ."),
            ("4 4", [r"^200-\d+ ip=%s time=%s type=Record$" % (ip4, TIME)], "200 ftp ip_wall list ."),
            ("5 4", [r"^200-\d+ ip=%s time=%s type=Record$" % (ip4, TIME)], "200 http ip_wall list ."),
            ("6 4", [rec % ip4], "200 ftp bad login ip list ."),
            ("7 4", [rec % ip4], "200 ftp connect (4) list ."),
            ("7 6", [rec % ip6], "200 ftp connect (6) list ."),
            ("8 4", [rec % ip4], "200 http connect (4) list ."),
            ("9 4", [rec % ip4], "200 ftp success login (4) list ."),
            ("9 6", [rec % ip6], "200 ftp success login (6) list ."),
            ("10 4", [rec % ip4], "200 http normal vistor list ."),
            ("11 4", [rec % ip4], "200 ftp download operation list ."),
            ("11 6", [rec % ip4], "200 ftp upload operation list ."),
            ("12 4", [r"^200-\d+ ip=%s status=1 time=%s ssl=0$" % (ip4, TIME)], "200 econn session list (4) ."),
            ("12 6", [], "200 econn session list (6) ."),
            ("14 4", [r"^200-Account type=Admin username=root login ip:%s at %s ,backup mode=yes level=9 \[-?\d+\]$"
                      % (ip4, TIME),
                      r"^200-Account type=Proxy username=px login ip:0\.0\.0\.0 at -- ,backup mode=no level=9 "
                      r"\[-?\d+\]$",
                      r"^200-Account type=User_1 username=alice login ip:%s at %s ,backup mode=no level=2 \[-?\d+\]$"
                      % (ip4, TIME)],
             "200 ftp account list . temp_account:1"),
        ]
        for arg, patterns, closing in cases:
            with self.subTest(arg=arg):
                lines = self.dump(admin, arg)
                self.assertEqual(lines[-1], closing, lines)
                self.assertEqual(len(lines) - 1, len(patterns), lines)
                for line, pattern in zip(lines, patterns):
                    self.assertRegex(line, pattern)
        # The pending connection shows once the econn thread has taken it.
        lines = self.wait_for(lambda: (lambda l: l if len(l) == 2 else None)(self.dump(admin, "13 4")),
                              "the pending connection")
        self.assertRegex(lines[0], r"^200-\d+ ip=%s start time=%s buff size=0$" % (ip4, TIME))
        self.assertEqual(lines[1], "200 econn wait session list (4) .")
        pending.close()
        # Sessions of both families in IPv4's list: admin, alice, root.BACK.
        lines = self.dump(admin, "0 4")
        self.assertEqual(len(lines), 4, lines)
        # The pool lists its running workers, the busy ones among them.
        lines = self.dump(admin, "3 4")
        self.assertEqual(lines[-1], "200 thread pool list .")
        for line in lines[:-1]:
            self.assertRegex(line, r"^200-thread \d+ id=\d+ \[unique=[0-9a-f]+\] status=(In_start_1|In_killing|"
                                   r"Pool_wait|Task_busy|Status_unknown) type=[01] kill=[01]$")
        self.assertGreaterEqual(sum(1 for l in lines if "status=Task_busy type=1" in l), 4, lines)
        admin6.close()

    def test_dump_list_cut_at_the_limit(self):
        server = self.start("Max_ipconnects=0\r\n", extend="", more="[Zelfo_option]\r\nLimit_4kbuff=1\r\n")
        admin = self.login(server)
        held = self.hold(server, 14)
        lines = self.dump(admin, "0 4")
        self.assertEqual(lines[-1], "200 ftp ipv4 session list ...")
        sent = sum(len(l) + 2 for l in lines[:-1])
        self.assertLess(sent, 4000)
        self.assertGreater(len(lines) - 1, 3)
        self.assertLess(len(lines) - 1, 15)
        for c in held:
            c.close()

    def test_kill_ftp_sessions(self):
        server = self.start("Service_enablev6=0\r\nMax_users=12\r\n")
        admin = self.login(server)
        victim = self.login(server, user="")
        slot = self.slot_of(victim)
        cases = [
            ("KILL", None), ("KILL 4 0", None), ("KILL 1", None), ("KILL 1 -1", None), ("KILL x 1", None),
            ("KILL 1 11", "200 skipped"), ("KILL 1 12", "550 out of range"), ("KILL 2 0", "550 out of range"),
            ("KILL 3 100000", "550 out of range"), ("KILL 3 0", "200 skipped"),
        ]
        for command, reply in cases:
            with self.subTest(command=command):
                admin.sock.sendall(command.encode() + b"\r\n")
                lines = read_reply(admin)
                if reply is None:
                    self.assertEqual(lines, ["450-usage: kill type position", "450-type 1=ftp ipv4 type 2=ftp ipv6 3=http",
                                             "450 ."])
                else:
                    self.assertEqual(lines, [reply])
        self.assertEqual(victim.cmd("NOOP"), "200 Command OK")
        self.assertEqual(admin.cmd("KILL 1 %d" % slot), "201 done")
        self.assertTrue(victim.closed())
        self.wait_for(lambda: self.dump(admin, "0 4 %d" % slot) == ["450 session not active"], "the slot freed")
        # Aimed at its own slot the session ends without the reply.
        own = self.dump(admin, "0 4")
        own_slot = int(re.match(r"^200-(\d+)\[", own[0]).group(1))
        admin.sock.sendall(b"KILL 1 %d\r\n" % own_slot)
        self.assertTrue(admin.closed())

    def test_kill_http_stream(self):
        server = self.start()
        admin = self.login(server)
        url = admin.cmd("MAPF /share/big.bin")[4:]
        stream = http_get(server.http_port, url)
        self.assertTrue(stream.recv(4096).startswith(b"HTTP/1.1 200"))
        # The stream now waits on a full socket: it is listed and in detail.
        lines = self.wait_for(lambda: (lambda l: l if len(l) == 2 else None)(self.dump(admin, "1 4")),
                              "the HTTP session in the list")
        m = re.match(r"^200-(\d+)\[[0-9a-f]+\]  Ipv4 debug code:\d+ \d+ \d+ map:\d+\([0-9a-f]+\) transfer:\d+ "
                     r"file block:\d+ file seek:0 file size:536870912 time:%s data time:%s from:127\.0\.0\.1$"
                     % (TIME, TIME), lines[0])
        self.assertTrue(m, lines)
        self.assertEqual(lines[1], "200 http session list .")
        index = int(m.group(1))
        self.assertRegex(self.dump(admin, "1 4 %d" % index)[0], r"^200 %d\[" % index)
        self.assertRegex(self.infm(admin)[6], r"active:1:0 ")
        self.assertEqual(admin.cmd("KILL 3 %d" % index), "203 done")
        # The worker ends the stream (the client reads nothing meanwhile,
        # so without KILL it would wait for the send time-out) and frees
        # the record.
        self.wait_for(lambda: self.dump(admin, "1 4") == ["200 http session list ."], "the record freed")
        stream.close()
        self.assertEqual(admin.cmd("KILL 3 %d" % index), "200 skipped")

    def check_snapshot(self, text, sessions):
        lines = text.split("\r\n")
        self.assertEqual(lines[-1], "")
        self.assertRegex(lines[0], r"^Zelfo_Snap_time:\d+-\d+-\d+ \d+:\d+:\d+ version code:1172 release date:202610$")
        detail = [l for l in lines if re.match(r"^200 \d+\[[0-9a-f]+\] login:", l)]
        self.assertEqual(len(detail), sessions, lines)
        for l in detail:
            self.assertRegex(l, r" socket=\d+:-?\d+ max seconds=\d+ wait_size=\d+$")
        self.assertRegex(text, r"\r\nLock check result:(0|900[1-6])\r\n")
        self.assertIn("\r\nFtp login success and fail :%d:1\r\n" % sessions, text)
        self.assertIn("\r\nDns mail result :", text)
        self.assertRegex(text, r"\r\nFtp bad login ip list:\.\.\.\r\n200-Ftp: 127\.0\.0\.1 time:\d\d:\d\d:\d\d \d+-\d\d-\d\d "
                               r"\[1\]\r\nHttp stream connect :0 connect full times:0\r\n")
        self.assertRegex(text, r"\r\nthread pool: add \d+ : del \d+ max:\d+ active:\d+ wait:\d+ error:\d+ daemon:1 \r\n"
                               r"========End of zelfo service snap========\r\n$")

    def test_snap_writes_its_file(self):
        server = self.start("Service_enablev6=0\r\n")
        bad = self.login(server, user="")
        bad.cmd("USER alice")
        bad.cmd("PASS wrong")
        bad.close()
        other = self.login(server, "alice", "alicepw")
        admin = self.login(server)
        reply = admin.cmd("SNAP")
        m = re.match(r"^200 snap done:(_Snap_(\d+)_[0-9a-f]+_\d+-\d+-\d+_\d+_\d+_\d+\.txt)$", reply)
        self.assertTrue(m, reply)
        with open(server.path("config", m.group(1)), "rb") as f:
            self.check_snapshot(f.read().decode(), 2)
        other.close()
        # With Log_path the file lies there.
        logs = server.path("logs")
        os.makedirs(logs)
        server.stop()
        server.configure("Service_enablev6=0\r\n", extend="Log_path=%s\r\n" % logs)
        server.start()
        admin = self.login(server)
        name = admin.cmd("SNAP")[len("200 snap done:"):]
        self.assertIn(name, os.listdir(logs))

    def test_snap_reports_a_failed_write(self):
        # Files of the server may not grow beyond 1 KiB: the snapshot's
        # writes fail (EFBIG, the signal ignored) and SNAP must say so.
        def limit():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (1024, 1024))
        server = self.start(more="", preexec=limit)
        admin = self.login(server)
        others = self.hold(server, 3)
        reply = admin.cmd("SNAP")
        self.assertRegex(reply, r"^500 snap failed:_Snap_\d+_[0-9a-f]+_[0-9_-]+\.txt$")
        # The part that could be written stays.
        self.assertLessEqual(os.path.getsize(server.path("config", reply[len("500 snap failed:"):])), 1024)
        self.assertEqual(admin.cmd("NOOP"), "200 Command OK")
        for c in others:
            c.close()

    def test_stress_while_sessions_work(self):
        server = self.start("Max_users=63\r\nMax_ipconnects=0\r\n", more="[Zelfo_threadpool]\r\nPool_low=16\r\n"
                            "Pool_high=40\r\nPool_maxthread=160\r\n")
        stop = threading.Event()
        errors = []
        rounds = [0]

        def work(n):
            host = "::1" if n % 3 == 0 else "127.0.0.1"
            while not stop.is_set():
                c = None
                try:
                    c = Control(server.port, host=host, timeout=30)
                    if not c.line().startswith("220 "):
                        continue  # no slot or no worker this moment
                    c.cmd("USER alice")
                    c.cmd("PASS alicepw" if n % 7 else "PASS wrong")
                    for _ in range(3):
                        c.cmd("NOOP")
                        if n % 2:
                            c.data("RETR /share/f.bin")
                        else:
                            c.data("LIST /share")
                    c.cmd("QUIT")
                    rounds[0] += 1
                except (OSError, AttributeError, ValueError):
                    pass  # a session the server refused or ended
                finally:
                    if c is not None:
                        c.close()

        # The administrator logs in first: the workers keep the pool busy.
        admin = self.login(server)
        threads = [threading.Thread(target=work, args=(n,)) for n in range(60)]
        try:
            for t in threads:
                t.start()
            for i in range(60):
                for service in range(15):
                    lines = self.dump(admin, "%d %d" % (service, 6 if i % 2 else 4))
                    if not re.match(r"^200 ", lines[-1]):
                        errors.append(lines[-1])
                self.dump(admin, "0 4 %d" % (i % 63))
                self.dump(admin, "1 4 %d" % (i % 8))
                self.dump(admin, "2 4 %d" % (i % 8))
                lines = self.infm(admin)
                if not lines[-1].startswith("200 service start: "):
                    errors.append(lines[-1])
                if i % 10 == 0:
                    self.assertTrue(admin.cmd("SNAP").startswith("200 snap done:"))
        finally:
            stop.set()
            for t in threads:
                if t.is_alive():
                    t.join()
        self.assertEqual(errors, [])
        self.assertGreater(rounds[0], 0)
        admin.close()
        self.assertEqual(server.stop(), 0)
        out = server.output()
        self.assertNotIn("AddressSanitizer", out)
        self.assertNotIn("runtime error", out)
        self.assertNotIn("LeakSanitizer", out)


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv.pop(1))
    warnings.simplefilter("ignore", ResourceWarning)
    unittest.main()

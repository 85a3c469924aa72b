"""The private client's backup-tree, position and framed-transfer commands
against the real zelfosvr.

usage: backup_commands_test.py ZELFOSVR [unittest options]

The CGET/CPUT client below is written from the frame format alone: every
frame starts with a 15-byte header, a text of at most 13 characters padded
with blanks, then CR LF. "218-<hex count>" carries that many bytes, "228 0"
ends a file, "218 0" tells an uploader to start, "500 <code>" refuses.
"""
import os
import shutil
import socket
import ssl
import sys
import time
import unittest
import warnings

from zelfo_harness import PrivateServer, protect_key, protect_sig

BINARY = None
FRAME = 524288

ACCOUNTS = """[User_admin]
Active_Mode=1
Access_Level=5
User_Name=admin
Pass_Word=pw
Backup_dir=%(home)s/backup

[User_proxy]
Active_Mode=1
Access_Level=1
User_Name=px
Pass_Word=pxpw

[User_user1]
Active_Mode=1
Access_Level=5
User_Name=bob
Pass_Word=bobpw
Backup_dir=%(home)s/bobbackup
"""


class Wire:
    """A control connection (plain or TLS) read line by line or byte-exact."""

    def __init__(self, sock):
        self.sock = sock
        self.buf = b""

    def exact(self, n):
        while len(self.buf) < n:
            data = self.sock.recv(max(65536, n - len(self.buf)))
            if not data:
                raise EOFError("closed after %d of %d bytes" % (len(self.buf), n))
            self.buf += data
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def line(self):
        while b"\r\n" not in self.buf:
            data = self.sock.recv(4096)
            if not data:
                return ""
            self.buf += data
        head, _, self.buf = self.buf.partition(b"\r\n")
        return head.decode("utf-8", "replace")

    def send(self, data):
        self.sock.sendall(data)

    def cmd(self, text):
        self.send(text.encode() + b"\r\n")
        return self.line()

    def closed(self):
        """True when the peer ends the connection without another byte."""
        if self.buf:
            return False
        try:
            return self.sock.recv(1) == b""
        except (ConnectionResetError, ssl.SSLError):
            return True

    def close(self):
        self.sock.close()


def header(text):
    raw = text.encode()
    assert len(raw) <= 13
    return raw.ljust(13, b" ") + b"\r\n"


def cget(w, arg, command="CGET"):
    """Runs CGET; returns (bytes, closing header text)."""
    w.send(("%s %s\r\n" % (command, arg)).encode())
    return read_frames(w)


def read_frames(w):
    got = []
    while True:
        h = w.exact(15)
        assert h[13:] == b"\r\n", h
        text = h[:13].decode().rstrip(" ")
        if text.startswith("218-"):
            n = int(text[4:], 16)
            assert 1 <= n <= FRAME, text
            got.append(w.exact(n))
            continue
        return b"".join(got), text


def cput(w, arg, data, frame=FRAME, end="228 0"):
    """Runs CPUT with data cut into frames of at most frame bytes. Returns
    the header the server answered CPUT with."""
    w.send(("CPUT %s\r\n" % arg).encode())
    h = w.exact(15)
    text = h[:13].decode().rstrip(" ")
    if text != "218 0":
        return text
    for i in range(0, len(data), frame):
        chunk = data[i:i + frame]
        w.send(header("218-%x" % len(chunk)) + chunk)
    w.send(header(end))
    return text


def tls_wire(port):
    raw = socket.create_connection(("127.0.0.1", port), timeout=20)
    w = Wire(raw)
    assert w.line().startswith("220 ")
    assert w.cmd("AUTH TLS").startswith("234 ")
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    w.sock = ctx.wrap_socket(raw)
    return w


class BackupCommandsTest(unittest.TestCase):
    def setUp(self):
        self.server = PrivateServer(BINARY)
        h = self.server.path
        self.server.configure(ftp="No_cmdextend=0", more="[Zelfo_option]\r\nCommand_protect=1\r\n")
        for d in (("backup",), ("backup", "src"), ("backup", "dst"), ("bobbackup",), ("share", "dir")):
            os.makedirs(h(*d), exist_ok=True)
        with open(h("share", "small.txt"), "wb") as f:
            f.write(b"0123456789" * 5)
        self.server.write("myaccount.ini", ACCOUNTS % {"home": self.server.home})
        self.server.write("myshare.txt", "1*share*%s\n" % h("share"))
        self.server.start()

    def tearDown(self):
        self.server.close()

    def connect(self):
        w = Wire(socket.create_connection(("127.0.0.1", self.server.port), timeout=20))
        self.assertTrue(w.line().startswith("220 "))
        return w

    def login(self, user="admin", password="pw", backup=False, w=None):
        w = w or self.connect()
        w.cmd("USER %s%s" % (user, ".BACK" if backup else ""))
        self.assertTrue(w.cmd("PASS " + password).startswith("230 Login OK"))
        self.addCleanup(w.close)
        return w

    def read(self, *parts):
        with open(self.server.path(*parts), "rb") as f:
            return f.read()

    def write(self, data, *parts):
        with open(self.server.path(*parts), "wb") as f:
            f.write(data)

    def wait_for(self, check, what):
        deadline = time.time() + 20
        while time.time() < deadline:
            if check():
                return
            time.sleep(0.05)
        self.fail("never happened: " + what)

    # -- CGET and CPUT ---------------------------------------------------

    def roundtrip(self, w, tag):
        """Uploads and downloads files of the edge sizes on one backup
        session, byte for byte, and resumes in both directions."""
        for size, frame in ((0, FRAME), (5000, FRAME), (FRAME, FRAME), (2 * FRAME + 777, FRAME), (70001, 4096)):
            name = "%s_%d_%d.bin" % (tag, size, frame)
            data = os.urandom(size)
            self.assertEqual(cput(w, "0|" + name, data, frame), "218 0")
            self.assertEqual(w.cmd("NOOP"), "200 Command OK", name)
            self.assertEqual(self.read("backup", name), data, name)
            got, end = cget(w, "0|" + name)
            self.assertEqual((got, end), (data, "228 0"), name)
            got, end = cget(w, "%d|%s" % (size // 3, name))
            self.assertEqual((got, end), (data[size // 3:], "228 0"), name)
        # An offset at the end sends only the closing header.
        self.assertEqual(cget(w, "%d|%s_5000_%d.bin" % (5000, tag, FRAME)), (b"", "228 0"))
        # A resumed upload ends the file where the new bytes end: nothing of a
        # longer older file stays behind.
        name = tag + "_resume.bin"
        old = os.urandom(300000)
        self.write(old, "backup", name)
        tail = os.urandom(1000)
        self.assertEqual(cput(w, "200000|" + name, tail), "218 0")
        self.assertEqual(w.cmd("NOOP"), "200 Command OK")
        self.assertEqual(self.read("backup", name), old[:200000] + tail)

    def test_frames_move_files_over_plain_and_tls(self):
        self.roundtrip(self.login(backup=True), "plain")
        w = tls_wire(self.server.port)
        self.login(backup=True, w=w)
        self.roundtrip(w, "tls")
        # A download from a share in a normal session.
        w = self.login()
        self.assertTrue(w.cmd("CWD /share").startswith("250 "))
        self.assertEqual(cget(w, "0|small.txt"), (b"0123456789" * 5, "228 0"))
        # A command already waiting behind CGET is answered "550 not zero "
        # first; CGET runs all the same, then the waiting command.
        w.send(b"CGET 10|small.txt\r\nNOOP\r\n")
        self.assertEqual(w.line(), "550 not zero ")
        self.assertEqual(read_frames(w), (b"0123456789" * 4, "228 0"))
        self.assertEqual(w.line(), "200 Command OK")

    def test_frame_refusals(self):
        self.write(b"x" * 10, "backup", "ten.bin")
        guest = self.connect()
        self.addCleanup(guest.close)
        normal = self.login()
        backup = self.login(backup=True)
        proxy = self.login("px", "pxpw")
        cases = [
            (guest, "CGET", "0|ten.bin", "500 1"),
            (guest, "CPUT", "0|ten.bin", "500 1"),
            (proxy, "CGET", "0|ten.bin", "500 1"),
            (normal, "CGET", "0|small.txt", "500 1"),  # the root has no files
            (normal, "CPUT", "0|ten.bin", "500 1"),  # uploads need backup mode
            (backup, "CGET", "", "500 2"),
            (backup, "CPUT", "", "500 2"),
            (backup, "CGET", "0 ten.bin", "500 5"),
            (backup, "CPUT", "0|", "500 6"),
            (backup, "CGET", "0|..", "500 6"),
            (backup, "CPUT", "0|a:b", "500 6"),
            (backup, "CGET", "x|ten.bin", "500 7"),
            (backup, "CGET", "5x|ten.bin", "500 7"),
            (backup, "CPUT", "-1|ten.bin", "500 8"),
            (backup, "CGET", "0|missing.bin", "500 12"),
            (backup, "CGET", "11|ten.bin", "500 13"),
            (backup, "CPUT", "11|ten.bin", "500 12"),
            (backup, "CPUT", "1|missing.bin", "500 15"),
            (backup, "CPUT", "0|src", "500 15"),  # a directory is no file
        ]
        for w, verb, arg, expected in cases:
            w.send(("%s %s\r\n" % (verb, arg)).encode())
            self.assertEqual(w.exact(15), header(expected), (verb, arg))
            self.assertEqual(w.cmd("NOOP"), "200 Command OK", (verb, arg))
        self.assertEqual(self.read("backup", "ten.bin"), b"x" * 10)
        self.assertFalse(os.path.exists(self.server.path("backup", "missing.bin")))
        # With a protect key, a frame command needs its signature.
        key, nonce = protect_key(backup, "pw")
        backup.send(b"CGET 0|ten.bin\r\n")
        self.assertEqual(backup.exact(15), header("500 3"))
        reply = backup.cmd("NEXP 1 10*%s" % protect_sig("0|ten.bin", key, 1, 0x10, nonce))
        self.assertTrue(reply.startswith("200 "), reply)
        self.assertEqual(cget(backup, "0|ten.bin"), (b"x" * 10, "228 0"))

    def test_broken_frame_ends_session_and_keeps_bytes(self):
        bad = [
            (b"218x5        \r\n", 7909),  # 4th byte neither blank nor "-"
            (b"218-5        \n\n", 7909),  # no CR LF at the end
            (b"abc 0        \r\n", 7901),
            (b"218-zz       \r\n", 7902),
            (b"300 0        \r\n", 7904),
            (b"218-0        \r\n", 7905),
            (b"218-80001    \r\n", 7905),
        ]
        for i, (frame, code) in enumerate(bad):
            w = self.login(backup=True)
            name = "broken%d.bin" % i
            w.send(b"CPUT 0|%s\r\n" % name.encode())
            self.assertEqual(w.exact(15), header("218 0"))
            w.send(header("218-5") + b"hello" + frame)
            self.assertTrue(w.closed(), frame)
            self.assertEqual(self.read("backup", name), b"hello", frame)
        # A client that gives up keeps the session and the bytes so far.
        w = self.login(backup=True)
        self.assertEqual(cput(w, "0|given_up.bin", b"abc", end="500 0"), "218 0")
        self.assertEqual(w.cmd("NOOP"), "200 Command OK")
        self.assertEqual(self.read("backup", "given_up.bin"), b"abc")
        # Each stop left its reason in the session's code.
        self.assertEqual(self.server.stop(), 0)
        log = self.server.log("zellog.txt")
        for frame, code in bad:
            self.assertIn("code:%d 0  <cput stopped> 5 bytes written" % code, log, frame)

    # -- backup tree -------------------------------------------------------

    def test_adir_and_edir(self):
        subs = {"__doc__", "__pict__", "__media__", "__other__"}
        b = self.login(backup=True)
        self.assertEqual(b.cmd("ADIR proj"), "200 done")
        self.assertEqual(set(os.listdir(self.server.path("backup", "proj"))), subs)
        shutil.rmtree(self.server.path("backup", "proj", "__pict__"))
        self.assertEqual(b.cmd("ADIR proj"), "200 done")
        self.assertEqual(set(os.listdir(self.server.path("backup", "proj"))), subs)
        self.assertTrue(b.cmd("CWD proj").startswith("250 "))
        self.assertEqual(b.cmd("ADIR inner"), "200 done")
        self.assertEqual(set(os.listdir(self.server.path("backup", "proj", "inner"))), subs)
        self.write(b"", "backup", "proj", "plain")
        for arg, reply in (("", "450 bad parameter"), ("a/b", "450 unsafe parameter"), ("..", "450 unsafe parameter"),
                           ("a*b", "450 unsafe parameter"), ("plain", "450 failed to make directory")):
            self.assertEqual(b.cmd(("ADIR " + arg).rstrip()), reply, arg)
        n = self.login()
        self.assertEqual(n.cmd("ADIR x"), "550 must be in backup mode")
        # EDIR in both modes.
        for w, arg, reply in ((b, "inner", "200 vdir exist"), (b, "plain", "500 not exist"),
                              (b, "none", "500 not exist"), (b, "a/b", "500 unsafe parameter"),
                              (b, "x" * 256, "500 unsafe parameter"), (b, "", "200 vdir exist"),
                              (n, "", "500 not exist"), (n, "share", "500 not exist")):
            self.assertEqual(w.cmd(("EDIR " + arg).rstrip()), reply, arg)
        self.assertTrue(n.cmd("CWD /share").startswith("250 "))
        for arg, reply in (("", "200 vdir exist"), ("dir", "200 vdir exist"), ("small.txt", "500 not exist")):
            self.assertEqual(n.cmd(("EDIR " + arg).rstrip()), reply, arg)
        self.assertEqual(self.login("px", "pxpw").cmd("EDIR"), "550 unknown command")

    def test_sett_sets_times(self):
        b = self.login(backup=True)
        self.write(b"t", "backup", "src", "t.txt")
        path = self.server.path("backup", "src", "t.txt")
        os.utime(path, (1500000000, 1500000000))
        self.assertEqual(b.cmd("SETT 0 0*/src/t.txt"), "200 0 0 ")
        self.assertEqual(os.stat(path).st_mtime, 1500000000)
        self.assertEqual(b.cmd("SETT 1000 1600000000*  /src/t.txt"), "200 1000 1600000000 ")
        self.assertEqual(os.stat(path).st_mtime, 1600000000)
        self.assertTrue(b.cmd("CWD src").startswith("250 "))
        self.assertEqual(b.cmd("SETT 0 1700000000*t.txt"), "200 0 1700000000 ")
        self.assertEqual(os.stat(path).st_mtime, 1700000000)
        for arg, reply in (("5 6 t.txt", "450 bad parameters"), ("5*t.txt", "450 bad parameters [2]"),
                           ("5 6*", "450 bad parameters [2]"), ("x 6*t.txt", "450 bad parameters [2]"),
                           ("5 6*../t.txt", "450 bad parameters"), ("5 6*a:b", "450 bad parameters"),
                           ("5 6*missing.txt", "500 reset file time failed"),
                           ("5 6*/src", "500 reset file time failed")):
            self.assertEqual(b.cmd("SETT " + arg), reply, arg)
        self.assertEqual(os.stat(path).st_mtime, 1700000000)
        self.assertEqual(self.login().cmd("SETT 0 0*/share/small.txt"), "550 must be in backup mode")

    # -- positions ---------------------------------------------------------

    def test_positions_are_shared_by_the_sessions_of_an_account(self):
        a = self.login()
        b = self.login()
        self.assertEqual(b.cmd("LDIR"), "450 no dir found")
        self.assertEqual(b.cmd("LFIL"), "450 no dir found")
        self.assertTrue(a.cmd("CWD /share/dir").startswith("250 "))
        self.assertEqual(a.cmd("SAVS f.txt"), "200 command ok")
        self.assertEqual((b.cmd("LDIR"), b.cmd("LFIL")), ("201 /share/dir", "200 f.txt"))
        # An unsafe name leaves the file as it was; the directory still moves.
        self.assertTrue(a.cmd("CWD /share").startswith("250 "))
        self.assertEqual(a.cmd("SAVS a|b"), "200 command ok")
        self.assertEqual((b.cmd("LDIR"), b.cmd("LFIL")), ("201 /share", "200 f.txt"))
        # At the root both are emptied.
        self.assertTrue(a.cmd("CWD /").startswith("250 "))
        self.assertEqual(a.cmd("SAVS g.txt"), "200 command ok")
        self.assertEqual((b.cmd("LDIR"), b.cmd("LFIL")), ("450 no dir found", "450 no dir found"))
        # A directory without a file answers 200.
        self.assertTrue(a.cmd("CWD /share").startswith("250 "))
        self.assertEqual(a.cmd("SAVS"), "200 command ok")
        self.assertEqual(b.cmd("LDIR"), "200 /share")
        # Another account has its own.
        bob = self.login("bob", "bobpw")
        self.assertEqual(bob.cmd("LDIR"), "450 no dir found")
        back = self.login(backup=True)
        guest = self.connect()
        self.addCleanup(guest.close)
        for verb in ("SAVS", "LDIR", "LFIL", "GHOT", "AHOT", "GTOP", "ATOP"):
            self.assertEqual(back.cmd(verb), "550 must not be backup mode", verb)
            self.assertEqual(guest.cmd(verb), "550 login first", verb)

    def test_hot_and_top_paths(self):
        a = self.login()
        b = self.login("bob", "bobpw")
        self.assertEqual(b.cmd("GHOT"), "500 no resource")
        self.assertEqual(a.cmd("AHOT dir"), "500 bad parameter")  # the root
        self.assertTrue(a.cmd("CWD /share").startswith("250 "))
        self.assertEqual(a.cmd("AHOT dir"), "200 command ok")
        self.assertEqual(a.cmd("ATOP small.txt"), "200 command ok")
        self.assertEqual(a.cmd("AHOT a|b"), "500 bad parameter")
        self.assertEqual((b.cmd("GHOT"), b.cmd("GTOP")), ("200 /share/dir", "200 /share/small.txt"))
        # A path over 1000 bytes is not stored.
        deep = os.path.join(*(["share"] + ["d" * 200] * 4))
        os.makedirs(self.server.path(deep))
        self.assertTrue(a.cmd("CWD /" + deep).startswith("250 "))
        self.assertEqual(a.cmd("AHOT " + "n" * 250), "200 command ok")
        self.assertEqual(b.cmd("GHOT"), "200 /share/dir")
        self.assertEqual(a.cmd("AHOT " + "n" * 150), "200 command ok")
        self.assertEqual(b.cmd("GHOT"), "200 /%s/%s" % (deep, "n" * 150))
        self.assertEqual(a.cmd("AHOT"), "200 clear hot resource")
        self.assertEqual(a.cmd("ATOP"), "200 clear top resource")
        self.assertEqual((b.cmd("GHOT"), b.cmd("GTOP")), ("500 no resource", "500 no resource"))

    # -- server-side copies, health, backup request --------------------------

    def test_rcpy(self):
        data = os.urandom(3 * FRAME + 5)
        self.write(data, "backup", "src", "a.bin")
        b = self.login(backup=True)
        bob = self.login("bob", "bobpw", backup=True)
        self.assertTrue(b.cmd("CWD dst").startswith("250 "))
        for arg, reply in (("", "500 bad parameters"), ("0 /src/a.bin", "500 bad parameters"),
                           ("0*src/a.bin", "500 bad parameters"), ("0*/src/../a.bin", "500 bad parameters"),
                           ("0*/src/a?.bin", "500 bad parameters"), ("x*/src/a.bin", "500 bad parameters"),
                           ("7*/src/a.bin", "500 unkown task type"), ("-2*/src/a.bin", "500 unkown task type"),
                           ("4*/src/a.bin", "450 unsupport command"), ("5*/src/a.bin", "450 unsupport command"),
                           ("0*/src/", "500 unsafe pathfile"), ("1*/src/.", "500 unsafe pathfile"),
                           ("2*/src/a.bin", "200 command done")):
            self.assertEqual(b.cmd(("RCPY " + arg).rstrip()), reply, arg)
        self.assertEqual(bob.cmd("RCPY -1*/x"), "500 need admin account")
        self.assertEqual(b.cmd("RCPY -1*/x"), "200 command done")
        self.assertEqual(b.cmd("RCPY 0* /src/a.bin "), "200 command done")
        target = self.server.path("backup", "dst", "a.bin")
        self.wait_for(lambda: os.path.exists(target) and self.read("backup", "dst", "a.bin") == data, "the copy")
        self.assertEqual(self.login().cmd("RCPY 0*/src/a.bin"), "550 must be in backup mode")
        # A protect key makes the copy need its signature.
        key, nonce = protect_key(b, "pw")
        self.assertEqual(b.cmd("RCPY 0*/src/a.bin"), "550 command protect fail")
        reply = b.cmd("NEXP 5 10*%s" % protect_sig("0*/src/a.bin", key, 5, 0x10, nonce))
        self.assertTrue(reply.startswith("200 "), reply)
        self.assertEqual(b.cmd("RCPY 0*/src/a.bin"), "200 command done")

    def test_test_and_bkup_need_the_administrator(self):
        guest = self.connect()
        self.addCleanup(guest.close)
        bob = self.login("bob", "bobpw")
        admin = self.login()
        for verb in ("TEST", "BKUP"):
            self.assertEqual(guest.cmd(verb), "550 unknown command")
            self.assertEqual(bob.cmd(verb), "550 unknown command")
        self.assertEqual(admin.cmd("TEST"), "200 0")
        self.assertEqual(admin.cmd("BKUP"), "200 done")
        self.assertEqual(self.login(backup=True).cmd("TEST"), "200 0")


class BkupTest(unittest.TestCase):
    """BKUP against a configured auto backup whose schedule never comes due:
    the first check after the start runs once, and only BKUP runs it again.
    ZELFO_TIMER_WAKE_MS makes the timer's checks come every 20 wake-ups of
    20 ms."""

    def setUp(self):
        os.environ["ZELFO_TIMER_WAKE_MS"] = "20"
        self.addCleanup(os.environ.pop, "ZELFO_TIMER_WAKE_MS", None)
        self.server = PrivateServer(BINARY)
        self.addCleanup(self.server.close)
        self.src, self.dst = self.server.path("src"), self.server.path("dst")
        os.makedirs(self.src)
        os.makedirs(self.dst)
        hour = (time.localtime().tm_hour + 12) % 24
        self.server.configure(more="[Zelfo_backup]\r\nEnable_backup=1\r\nBackup_exectime=%d\r\n"
                                   "Backup_source_1=%s\r\nBackup_dest_1=%s\r\n" % (hour, self.src, self.dst))
        self.server.write("myaccount.ini", ACCOUNTS % {"home": self.server.home})
        with open(os.path.join(self.src, "first.txt"), "wb") as f:
            f.write(b"first")

    def wait_for(self, check, what, step=None):
        deadline = time.time() + 60
        while time.time() < deadline:
            if check():
                return
            if step:
                step()
            time.sleep(0.2)
        self.fail("never happened: " + what)

    def test_bkup_runs_the_backup_again(self):
        self.server.start()
        self.wait_for(lambda: os.path.exists(os.path.join(self.dst, "first.txt")), "the run after the start")
        with open(os.path.join(self.src, "second.txt"), "wb") as f:
            f.write(b"second")
        w = Wire(socket.create_connection(("127.0.0.1", self.server.port), timeout=20))
        self.addCleanup(w.close)
        w.line()
        w.cmd("USER admin")
        self.assertTrue(w.cmd("PASS pw").startswith("230 "))
        # A request made while a run is still under way is dropped, so ask
        # until a run takes it.
        self.wait_for(lambda: os.path.exists(os.path.join(self.dst, "second.txt")), "the requested run",
                      step=lambda: self.assertEqual(w.cmd("BKUP"), "200 done"))
        with open(os.path.join(self.dst, "second.txt"), "rb") as f:
            self.assertEqual(f.read(), b"second")


if __name__ == "__main__":
    warnings.simplefilter("ignore", ResourceWarning)
    BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main()

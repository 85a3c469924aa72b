"""The two reply dialects and the path forms standard clients send, and the
bound on the slots one address holds before it logs in.

usage: dialect_test.py ZELFOSVR [unittest options]
"""
import calendar
import os
import sys
import time
import unittest
import warnings

from zelfo_harness import Control, Server

BINARY = None

ACCOUNT = "[User_admin]\nActive_Mode=1\nAccess_Level=5\nUser_Name=admin\nPass_Word=pw\nBackup_dir=%s\n"


class DialectTest(unittest.TestCase):
    def setUp(self):
        warnings.simplefilter("ignore", ResourceWarning)
        self.server = None

    def tearDown(self):
        if self.server:
            self.server.close()

    def start(self, style, ftp=""):
        self.server = Server(BINARY, reply_style=style)
        self.server.configure(ftp=ftp)
        h = self.server.path
        for d in ("share/sub/deep", "backup/b1/b2", "outside"):
            os.makedirs(h(d))
        for f, text in (("share/top.txt", "top"), ("share/sub/file.txt", "file"), ("share/sub/deep/x.txt", "x"),
                        ("backup/b1/f.txt", "bf"), ("backup/b1/g.txt", "g"),
                        ("outside/secret.txt", "secret")):
            with open(h(f), "w") as fp:
                fp.write(text)
        os.utime(h("share/sub/file.txt"), (1600000000, 1600000000))
        self.server.write("myaccount.ini", ACCOUNT % h("backup"))
        self.server.write("myshare.txt", "1*share*%s\n" % h("share"))
        self.server.start()

    def login(self, backup=False, port=None, source=None):
        c = Control(port or self.server.port, source=source)
        self.assertTrue(c.line().startswith("220 "))
        c.cmd("USER admin" + (".BACK" if backup else ""))
        self.assertTrue(c.cmd("PASS pw").startswith("230 "))
        return c

    # Path forms every client may send, in a normal and a backup session.
    # Each case: command, reply in the private dialect, reply in the
    # standard dialect (None: the same).
    NORMAL = [
        ("CWD .", '250 "/" is current working directory', None),
        ("CWD ./", '250 "/" is current working directory', None),
        ("CWD share/sub", '250 "/share/sub" is current working directory', None),
        ("CWD deep/.", '250 "/share/sub/deep" is current working directory', None),
        ("CWD ..", '250 "/share/sub" is current working directory', None),
        ("CWD ./deep/./", '250 "/share/sub/deep" is current working directory', None),
        ("CWD /share", '250 "/share" is current working directory', None),
        ("SIZE sub/file.txt", "213 4", None),
        ("SIZE ./sub/./file.txt", "213 4", None),
        ("SIZE sub/deep/x.txt", "213 1", None),
        ("SIZE sub/missing", "450 file not exist", "550 file not exist"),
        ("MDTM sub/file.txt", "213 1600000000", "213 20200913122640"),
        ("SIZE sub/../../outside/secret.txt", "450 bad parameters", "550 bad parameters"),
        ("SIZE a/../../x", "450 bad parameters", "550 bad parameters"),
        ("SIZE ./../x", "450 bad parameters", "550 bad parameters"),
        ("SIZE sub/./../..", "450 bad parameters", "550 bad parameters"),
        ("SIZE sub/\x1b[31m", "450 bad parameters", "550 bad parameters"),
        ("CWD sub/./../..", "450 unsafe parameter", "550 unsafe parameter"),
        ("CWD a/../../x", "450 unsafe parameter", "550 unsafe parameter"),
        ("CWD nothere", "450 no such directory", "550 no such directory"),
        ("MLST sub/file.txt", "250- Listing", None),
        ("MLST nothere/x", "550 item not exist", None),
        ("MLST ../x", "450 bad item", "550 bad item"),
        ("DELE sub/file.txt", "550 must be in backup mode", None),
        ("RNFR top.txt", "550 must be in backup mode", None),
    ]
    BACKUP = [
        ("MKD a/b", "500 command failed", "500 command failed"),  # "a" does not exist yet
        ("MKD a", "200 command ok", '257 "/a" created'),
        ("MKD a/b", "200 command ok", '257 "/a/b" created'),
        ("MKD ./a/b/c/.", "200 command ok", '257 "/a/b/c" created'),
        ("CWD a", '250 "/a" is current working directory', None),
        ("MKD b/d", "200 command ok", '257 "/a/b/d" created'),
        ("MKD ../x", "550 bad parameter", None),
        ("MKD b/../../x", "550 bad parameter", None),
        ("CWD /", '250 "/" is current working directory', None),
        ("SIZE b1/f.txt", "213 2", None),
        ("RNFR b1/f.txt", "350 ready for destination name", None),
        ("RNTO a/moved.txt", "250 rename successful", None),
        ("RNTO a/again.txt", "503 send RNFR first", None),
        ("RNFR b1/missing", "550 file not exist", None),
        ("RNFR a/moved.txt", "350 ready for destination name", None),
        ("RNTO b1/b2", "550 command failed", None),  # never replaces
        ("RNFR /", "450 bad parameters", "550 bad parameters"),  # the backup root stays
        ("DELE a/moved.txt", "250 success delete file", None),
        ("DELE a/moved.txt", "550 file not exist", None),
        ("RMD a/b/c", "250 command ok", None),
        ("RMD a/b/c", "500 command failed", "550 command failed"),
        ("RMD /", "550 bad parameter", None),
        ("MFMT 20200101000000 b1/g.txt", "213 success reset modify time", "213 Modify=20200101000000; b1/g.txt"),
        ("MFMT 1600000000 b1/g.txt", "450 bad parameters of time", "213 Modify=20200913122640; b1/g.txt"),
    ]

    def run_cases(self, style):
        self.start(style)
        standard = style == 2
        for backup, cases in ((False, self.NORMAL), (True, self.BACKUP)):
            c = self.login(backup)
            for line, private, std in cases:
                want = std if standard and std is not None else private
                got = c.cmd(line)
                if line.startswith("MLST") and got.startswith("250-"):
                    got = got + "|" + c.line() + "|" + c.line()
                    self.assertTrue(got.startswith(want), (style, line, got))
                    continue
                self.assertEqual(got, want, (style, line))
            c.close()
        self.assertEqual(os.stat(self.server.path("backup", "b1", "g.txt")).st_mtime,
                         1600000000 if standard else calendar.timegm((2020, 1, 1, 0, 0, 0)))
        self.assertTrue(os.path.isdir(self.server.path("backup", "a", "b", "d")))
        self.assertEqual(os.listdir(self.server.path("outside")), ["secret.txt"])

    def test_private_dialect(self):
        self.run_cases(1)

    def test_standard_dialect(self):
        self.run_cases(2)

    def test_missing_paths_in_listings_and_retr(self):
        for style in (1, 2):
            self.start(style)
            c = self.login()
            code = "550" if style == 2 else "426"
            # "." at the root lists the shares; "." elsewhere the current directory.
            first, data, last = c.data("MLSD .")
            self.assertTrue(first.startswith("150"), first)
            self.assertIn(b"share", data)
            self.assertEqual(c.cmd("CWD /share"), '250 "/share" is current working directory')
            first, data, last = c.data("NLST sub/.")
            self.assertIn(b"file.txt", data)
            self.assertEqual(c.data("MLSD /new")[0], code + " dir not exist")
            self.assertEqual(c.data("LIST sub/nothere")[0], code + " dir not exist")
            # A missing file: the standard dialect refuses it before "150".
            first, data, last = c.data("RETR sub/missing.bin")
            if style == 2:
                self.assertEqual(first, "550 file not exist")
            else:
                self.assertTrue(first.startswith("150"), first)
                self.assertEqual(last, "426 file transfer failed")
            first, data, last = c.data("RETR sub/deep/x.txt")
            self.assertEqual((data, last[:4]), (b"x", "226 "))
            self.assertEqual(c.cmd("NOOP"), "200 Command OK")
            self.server.close()

    def test_automatic_style_follows_the_login(self):
        self.start(0)
        c = self.login()  # a clear password: a standard client
        self.assertEqual(c.cmd("MDTM /share/sub/file.txt"), "213 20200913122640")
        self.assertEqual(c.cmd("SIZE /share/none"), "550 file not exist")
        # The private client logs in with a hash (PASS carrying one keeps the
        # private replies); see login_test for the hash forms.


class AddressBoundTest(unittest.TestCase):
    def setUp(self):
        warnings.simplefilter("ignore", ResourceWarning)
        self.server = Server(BINARY)
        os.makedirs(self.server.path("share"))
        self.server.write("myaccount.ini", ACCOUNT % self.server.path("share"))
        self.server.write("myshare.txt", "1*share*%s\n" % self.server.path("share"))

    def tearDown(self):
        self.server.close()

    def test_one_address_cannot_take_every_slot(self):
        self.server.configure(ftp="Max_users=8\r\nMax_ipconnects=3")
        self.server.start()
        held = []
        for _ in range(3):
            c = Control(self.server.port, source="127.0.0.2")
            self.assertTrue(c.line().startswith("220 "))
            held.append(c)
        # A fourth idle connection from the same address is closed at once.
        extra = Control(self.server.port, source="127.0.0.2")
        self.assertTrue(extra.closed())
        # Another address still gets in and logs in.
        other = Control(self.server.port)
        self.assertTrue(other.line().startswith("220 "))
        other.cmd("USER admin")
        self.assertEqual(other.cmd("PASS pw"), "230 Login OK |5 1")
        # Logged-in sessions do not count: once one of the three logs in,
        # the address may open another.
        held[0].cmd("USER admin")
        self.assertTrue(held[0].cmd("PASS pw").startswith("230 "))
        again = Control(self.server.port, source="127.0.0.2")
        self.assertTrue(again.line().startswith("220 "))
        self.assertEqual(self.server.stop(), 0)


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    unittest.main()

"""Directory listings, FEAT and OPTS, from real clients and raw sockets.

usage: listings_test.py ZELFOSVR [unittest options]
"""
import ftplib
import os
import shutil
import subprocess
import sys
import time
import unittest
import warnings

from zelfo_harness import Control, PrivateServer as Server

BINARY = None
MTIME = 1600000000  # 2020-09-13 12:26:40 UTC


class ListingTest(unittest.TestCase):
    settings = ""

    def setUp(self):
        self.server = Server(BINARY, settings=self.settings)
        h = self.server.path
        for d in ("share/sub/deeper", "share2", "private", "backup/bdir"):
            os.makedirs(h(d))
        for f, text in (("share/a.txt", "aaa"), ("share/sub/b.txt", "bb"), ("share/sub/deeper/c.txt", "c"),
                        ("share/.hidden", "h"), ("backup/bfile", "12345")):
            with open(h(f), "w") as fp:
                fp.write(text)
        os.symlink("a.txt", h("share/link"))
        for p in ("share/a.txt", "share/sub", "backup/bfile", "backup/bdir"):
            os.utime(h(p), (MTIME, MTIME))
        # Names Linux allows but a listing must never carry.
        for bad in ("line\nfeed", "tab\there", "bell\x07", "del\x7f", "x" * 250 + "\x01"):
            open(h("share", bad), "w").close()
        with open(os.path.join(os.fsencode(h("share")), b"bad\xff\xfeutf8"), "w"):
            pass
        self.server.write("myaccount.ini", "[User_admin]\nActive_Mode=1\nAccess_Level=5\nUser_Name=admin\n"
                          "Pass_Word=pw\nBackup_dir=%s\n[User_guest]\nActive_Mode=1\nAccess_Level=1\n"
                          "User_Name=guest\nPass_Word=gpw\n" % h("backup"))
        self.server.write("myshare.txt", "1*share*%s\n2*share2*%s\n9*private*%s\n" % (h("share"), h("share2"),
                                                                                    h("private")))
        self.server.start()

    def tearDown(self):
        self.server.close()

    def login(self, user="admin", password="pw", host="127.0.0.1"):
        c = Control(self.server.port, host=host)
        self.assertTrue(c.line().startswith("220 "))
        c.cmd("USER " + user)
        self.assertTrue(c.cmd("PASS " + password).startswith("230 "))
        return c

    def listing(self, c, command):
        """Runs a listing over EPSV; returns (lines, final reply)."""
        first, data, last = c.data(command)
        if not first.startswith("150 "):
            return None, first
        return data.decode("utf-8", "replace").split("\r\n")[:-1], last

    def test_line_formats(self):
        c = self.login()
        stamp = time.strftime("%Y%m%d%H%M%S", time.gmtime(MTIME))
        lines, end = self.listing(c, "LIST /share")
        self.assertEqual(end, "226 List done")
        self.assertEqual(lines, ["drw-rw-rw- 1 user group 0 Feb 01 2008 sub",
                                 "drw-rw-rw- 1 user group 0 Feb 01 2008 ..",
                                 "-rw-rw-rw- 1 user group 3 Feb 01 2008 a.txt"])
        lines, end = self.listing(c, "NLST /share")
        self.assertEqual((lines, end), (["a.txt"], "226 List done"))
        lines, end = self.listing(c, "MLSD /share")
        self.assertEqual(end, "226 MLSD completed")
        self.assertEqual(lines[0], "type=dir;modify=%s; sub" % stamp)
        self.assertRegex(lines[1], r"^type=pdir;modify=\d{14}; \.\.$")
        self.assertEqual(lines[2], "type=file;modify=%s;size=3; a.txt" % stamp)
        self.assertEqual(len(lines), 3)
        self.assertEqual(c.cmd("SLST 0"), "201 Simple list mode is on")
        lines, end = self.listing(c, "MLSD /share")
        self.assertEqual(end, "226 List done")
        self.assertEqual(lines, ["0 0 %x |sub" % MTIME, "3 1 %x |a.txt" % MTIME])
        self.assertEqual(c.cmd("SLST 1"), "201 Simple list mode is off")
        # MLST on the control connection.
        self.assertEqual(c.cmd("MLST /share/a.txt"), "250- Listing")
        self.assertEqual(c.line(), " Type=file;Size=3;Modify=%d; /share/a.txt" % MTIME)
        self.assertEqual(c.line(), "250 End")
        self.assertEqual(c.cmd("MLST /share/sub"), "250- Listing")
        self.assertEqual(c.line(), " Type=dir;Modify=%d; /share/sub" % MTIME)
        self.assertEqual(c.line(), "250 End")
        self.assertEqual(c.cmd("MLST /share/none"), "550 item not exist")
        self.assertEqual(c.cmd("MLST a/b"), "450 bad item")

    def test_root_listing_by_level_and_refusals(self):
        for user, password, names in (("admin", "pw", ["share", "share2"]), ("guest", "gpw", ["share"])):
            c = self.login(user, password)
            lines, end = self.listing(c, "LIST")
            self.assertEqual(end, "226 List done")
            self.assertEqual(lines, ["drw-rw-rw- 1 user group 0 Feb 01 2008 .."]
                             + ["drw-rw-rw- 1 user group 0 Feb 01 2008 %s" % n for n in names])
            self.assertEqual(self.listing(c, "NLST"), ([], "226 List done"))
            lines, end = self.listing(c, "MLSD")
            self.assertEqual(len(lines), 2 + len(names))
            self.assertRegex(lines[0], r"^type=pdir;modify=\d{14}; \.\.$")
            self.assertRegex(lines[1], r"^type=cdir;modify=\d{14} /$")
        c = self.login("guest", "gpw")
        self.assertEqual(self.listing(c, "LIST /share2")[1], "426 dir not exist")
        self.assertEqual(self.listing(c, "LIST /share/../private")[1], "426 unsafe parameter")
        self.assertEqual(self.listing(c, "LIST ..")[1], "426 unsafe parameter")
        self.assertEqual(c.cmd("LIST"), "426 bad connect type found")
        # A pipelined command after LIST.
        c.sock.sendall(b"LIST\r\nNOOP\r\n")
        self.assertEqual(c.line(), "426 transfer abort")
        self.assertEqual(c.line(), "200 Command OK")
        anon = Control(self.server.port)
        anon.line()
        self.assertEqual(anon.cmd("LIST"), "550 login first")

    def test_hidden_unsafe_names_and_backup_mode(self):
        c = self.login()
        lines, _ = self.listing(c, "NLST /share")
        self.assertEqual(lines, ["a.txt"])  # no hidden file, no link, no control or bad-UTF-8 name
        self.server.stop()
        self.server.configure(ftp="No_syshiddenfile=0")
        self.server.start()
        c = self.login()
        lines, _ = self.listing(c, "NLST /share")
        self.assertEqual(sorted(lines), [".hidden", "a.txt", "link"])
        b = self.login("admin.BACK", "pw")
        lines, end = self.listing(b, "LIST")
        self.assertEqual(lines, ["drw-rw-rw- 1 user group 0 Feb 01 2008 bdir",
                                 "drw-rw-rw- 1 user group 0 Feb 01 2008 ..",
                                 "-rw-rw-rw- 1 user group 5 Feb 01 2008 bfile"])

    def test_unreadable_directory_fails(self):
        if os.geteuid() == 0:
            # root reads every directory; make the directory vanish instead.
            c = self.login()
            c.cmd("CWD /share/sub")
            shutil.rmtree(self.server.path("share", "sub"))
            self.assertEqual(self.listing(c, "LIST")[1], "426 dir not exist")
        else:
            os.chmod(self.server.path("share", "sub"), 0)
            c = self.login()
            self.assertEqual(self.listing(c, "LIST /share/sub")[1], "426 List failed")

    def test_list_compatible_options(self):
        c = self.login()
        c.cmd("CWD /share")
        self.assertEqual(self.listing(c, "LIST -la")[1], "426 dir not exist")
        self.server.stop()
        self.server.configure(extend="List_compatible=1")
        self.server.start()
        c = self.login()
        c.cmd("CWD /share")
        lines, end = self.listing(c, "LIST -la")
        self.assertEqual((len(lines), end), (3, "226 List done"))
        lines, end = self.listing(c, "LIST -a sub")
        self.assertEqual(lines[-1], "-rw-rw-rw- 1 user group 2 Feb 01 2008 b.txt")

    def test_clst_and_opts(self):
        self.server.stop()
        self.server.configure(ftp="No_cmdextend=0")
        for i in range(50):
            open(self.server.path("share2", "f%02d" % i), "w").close()
        self.server.start()
        c = self.login()
        lines = [c.cmd("CLST")]
        while not lines[-1].startswith("200 "):
            lines.append(c.line())
        self.assertEqual(len(lines), 3)
        self.assertRegex(lines[0], r"^200-0 0 [0-9a-f]+ \|share$")
        self.assertRegex(lines[2], r"^200 0 0 [0-9a-f]+ \|\.\.$")
        c.cmd("CWD /share2")
        for arg, count in (("10", 50), ("40", 40), ("", 50)):
            lines = [c.cmd("CLST " + arg)]
            while not lines[-1].startswith("200 "):
                lines.append(c.line())
            self.assertEqual(len(lines), count + 1, arg)
            self.assertEqual(lines[-1], "200 0 0 0 |..")
            self.assertRegex(lines[0], r"^200-0 1 [0-9a-f]+ \|f\d\d$")
        c.sock.sendall(b"CLST 40\r\nNOOP\r\n")
        self.assertEqual(c.line(), "426 aborted by multi command")
        for _ in range(41):
            c.line()
        self.assertEqual(c.line(), "200 Command OK")
        for arg, want in (("UTF8 ON", "200 UTF8 is ready"), ("utf8 on", "200 UTF8 is ready"),
                          ("UTF8 OFF", "245 unknown command"), ("MLST type;", "200 MLST OPTS size;modify;type;"),
                          ("", "450 bad parameters"), ("x", "245 unknown command")):
            self.assertEqual(c.cmd(("OPTS " + arg).strip()), want, arg)

    def test_feat_table(self):
        def feat(host):
            c = Control(self.server.port, host=host)
            c.line()
            lines = [c.cmd("FEAT")]
            while lines[-1] != "211 End":
                lines.append(c.line())
            return lines
        base = ["UTF8", "MDTM", "MLST size*;modify*;type*;"]
        cases = [
            ("", "127.0.0.1", ["PROT"] + base + ["AUTH", "SIZE", "CONN", "RESP", "REST STREAM", "MFMT"]),
            ("", "::1", ["PROT"] + base + ["AUTH", "SIZE", "CONN", "RESP", "EPSV", "EPRT", "REST STREAM", "MFMT",
                                            "MLSD"]),
            ("Service_ipv4tls=0\r\nNo_cmdextend=0", "127.0.0.1",
             base + ["SIZE", "CONN", "RESP", "REST STREAM", "MFMT", "CLST"]),
            ("Service_ipv6tls=0\r\nNo_cmdextend=0", "::1",
             base + ["SIZE", "CONN", "RESP", "EPSV", "EPRT", "REST STREAM", "MFMT", "CLST", "MLSD"]),
        ]
        for settings, host, features in cases:
            self.server.stop()
            self.server.configure(ftp=settings)
            self.server.start()
            self.assertEqual(feat(host), ["211-Extensions supported"] + [" " + f for f in features] + ["211 End"],
                             (settings, host))

    def test_real_clients(self):
        url = "ftp://admin:pw@127.0.0.1:%d/share/" % self.server.port
        out = subprocess.run(["curl", "-s", "-S", url], capture_output=True, check=True).stdout.decode()
        # curl asks for TYPE A and turns the CR LF line ends into LF.
        self.assertIn("-rw-rw-rw- 1 user group 3 Feb 01 2008 a.txt\n", out)
        out = subprocess.run(["curl", "-s", "-S", "--list-only", url], capture_output=True, check=True).stdout
        self.assertEqual(out.replace(b"\r", b""), b"a.txt\n")
        ftp = ftplib.FTP()
        ftp.connect("::1", self.server.port, timeout=10)
        ftp.login("admin", "pw")
        self.assertEqual(ftp.nlst("/share"), ["a.txt"])
        lines = []
        ftp.dir("/share", lines.append)
        self.assertEqual(len(lines), 3)
        facts = dict(ftp.mlsd("/share"))
        self.assertEqual(facts["a.txt"]["type"], "file")
        self.assertEqual(facts["a.txt"]["size"], "3")
        self.assertEqual(facts["sub"]["type"], "dir")
        self.assertEqual(facts["a.txt"]["modify"], time.strftime("%Y%m%d%H%M%S", time.gmtime(MTIME)))
        ftp.quit()

    @unittest.skipIf(shutil.which("lftp") is None, "lftp is not installed")
    def test_lftp_ls_cls_mirror(self):
        for host in ("127.0.0.1", "[::1]"):
            dst = self.server.path("mirror-" + host.strip("[]:").replace(".", ""))
            out = subprocess.run(["lftp", "-u", "admin,pw", "-e",
                                  "set ftp:ssl-allow no; set net:max-retries 1; ls /share; cls /share; "
                                  "mirror /share %s; bye" % dst, "ftp://%s:%d" % (host, self.server.port)],
                                 capture_output=True, timeout=60)
            self.assertEqual(out.returncode, 0, out.stderr)
            self.assertIn(b"a.txt", out.stdout)
            with open(os.path.join(dst, "sub", "deeper", "c.txt")) as f:
                self.assertEqual(f.read(), "c")
            with open(os.path.join(dst, "a.txt")) as f:
                self.assertEqual(f.read(), "aaa")
        # mirror -R up into a .BACK session.
        out = subprocess.run(["lftp", "-u", "admin.BACK,pw", "-e",
                              "set ftp:ssl-allow no; set net:max-retries 1; mirror -R %s /up; bye"
                              % self.server.path("share", "sub"), "ftp://127.0.0.1:%d" % self.server.port],
                             capture_output=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        with open(self.server.path("backup", "up", "deeper", "c.txt")) as f:
            self.assertEqual(f.read(), "c")


if __name__ == "__main__":
    warnings.simplefilter("ignore", ResourceWarning)
    BINARY = sys.argv.pop(1)
    unittest.main()

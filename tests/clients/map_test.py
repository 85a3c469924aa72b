"""The file-map commands from real clients: publishing files (MAPF, MAPS,
LMPF), releasing them (RMAP, UMAP), GLMP, GIP6, SNMF, HTTP and ROOT, and
every refusal with its exact reply.

usage: map_test.py ZELFOSVR [unittest options]
"""
import ftplib
import os
import re
import sys
import unittest

from zelfo_harness import Control, Server, protect_key, protect_sig

BINARY = None

URL = r"[0-9a-f]+/fx_[0-9a-f]+_[0-9a-f]+"

ACCOUNTS = """[User_admin]
Active_Mode=1
Access_Level=5
User_Name=admin
Pass_Word=adminpw
[User_user1]
Active_Mode=1
Access_Level=5
User_Name=noshare
Pass_Word=pw1
Access_share=0
[User_user2]
Active_Mode=1
Access_Level=5
User_Name=sharer
Pass_Word=pw2
[User_proxy]
Active_Mode=1
Access_Level=5
User_Name=proxy
Pass_Word=pxpw
"""


def econn_port(server):
    """The econn port the server announces for IPv4: its setting, or 2020."""
    with open(server.path("config", "set.ini")) as f:
        m = re.search(r"Econ_portv4=(\d+)", f.read())
    return int(m.group(1)) if m else 2020


class MapCommandsTest(unittest.TestCase):
    def setUp(self):
        self.server = Server(BINARY, log_level=5)
        h = self.server.path
        os.makedirs(h("share/sub"))
        for name, size in (("movie.mp4", 1000), ("movie.srt", 50), ("doc.txt", 10), ("empty.bin", 0),
                           ("sub/deep.bin", 20), ("plain", 5)):
            with open(h("share", name), "wb") as f:
                f.write(b"z" * size)
        self.server.write("myaccount.ini", ACCOUNTS)
        self.server.write("myshare.txt", "1*share*%s\n" % h("share"))

    def tearDown(self):
        self.server.close()

    def start(self, ftp="", extend="", more=""):
        self.server.configure(ftp=ftp, extend=extend, more=more)
        self.server.start()

    def login(self, user="admin", password="adminpw"):
        c = Control(self.server.port)
        self.assertTrue(c.line().startswith("220 "))
        self.assertTrue(c.cmd("USER " + user).startswith("331 "))
        self.assertTrue(c.cmd("PASS " + password).startswith("230 "))
        return c

    def test_refusals(self):
        self.start()
        http = self.server.http_port
        econn = econn_port(self.server)
        anon = Control(self.server.port)
        anon.line()
        for verb in ("MAPF /share/doc.txt", "MAPS x", "LMPF x", "UMAP *", "RMAP x", "GLMP", "GIP6", "SNMF",
                     "HTTP", "ROOT"):
            self.assertEqual(anon.cmd(verb), "550 login first", verb)
        proxy = self.login("proxy", "pxpw")
        for verb in ("MAPF /share/doc.txt", "LMPF /share/doc.txt", "GLMP", "HTTP"):
            self.assertEqual(proxy.cmd(verb), "550 unknown command", verb)
        c = self.login()
        cases = [
            ("MAPF", "550 bad parameters"),
            ("MAPS", "550 bad parameters"),
            ("LMPF", "550 bad parameters found"),
            ("MAPF /share/../outside", "550 bad parameters found"),
            ("MAPF /nothere/doc.txt", "550 bad parameters found"),
            ("MAPF doc.txt", "550 bad parameters found"),  # the root has no local directory
            ("MAPF /share/empty.bin", "450 failed to map file -98"),
            ("MAPF /share/missing.bin", "450 failed to map file -99"),
            ("MAPF /share/sub", "450 failed to map file -99"),  # a directory is not published
            ("UMAP", "450 bad parameters"),
            ("UMAP /share/../x", "550 bad path file"),
            ("UMAP /share/doc.txt", "200 command ok [0]"),
            ("RMAP", "450 bad parameters"),
            ("RMAP 1/fx_2_3.txt", "200 remove map file -11"),
            ("RMAP nothing", "200 remove map file -3"),
            ("GLMP", "450 no long time map found"),
            ("HTTP", "200 %d 0 0 %d 0 501" % (http, econn)),
            ("ROOT 1", "200 %d 0 0 %d 0 501" % (http, econn)),
        ]
        for line, reply in cases:
            self.assertEqual(c.cmd(line), reply, line)
        self.assertRegex(c.cmd("LMPF /share/doc.txt"), "^200 " + URL + r"\.txt$")
        self.assertEqual(c.cmd("LMPF /share/doc.txt"), "450 failed to map file -10")
        self.assertRegex(c.cmd("GLMP"), "^200 " + URL + r"\.txt$")
        self.assertEqual(c.cmd("CWD /share"), '250 "/share" is current working directory')
        self.assertRegex(c.cmd("MAPF doc.txt"), "^200 " + URL + r"\.txt$")
        self.assertRegex(c.cmd("MAPF /share/sub/deep.bin"), "^200 " + URL + r"\.bin$")
        self.assertRegex(c.cmd("MAPF plain"), "^200 " + URL + "$")

        noshare = self.login("noshare", "pw1")
        self.assertEqual(noshare.cmd("LMPF /share/doc.txt"), "550 access denied")
        self.assertEqual(noshare.cmd("UMAP *"), "550 limited by account")
        self.assertRegex(noshare.cmd("MAPF /share/doc.txt"), "^200 " + URL)  # normal maps need no share right
        sharer = self.login("sharer", "pw2")
        self.assertEqual(sharer.cmd("UMAP *"), "550 need administrator account")
        self.assertEqual(sharer.cmd("UMAP /share/doc.txt"), "200 command ok [1]")
        self.assertEqual(c.cmd("GLMP"), "450 no long time map found")
        self.assertRegex(sharer.cmd("LMPF /share/movie.mp4"), "^200 " + URL + r"\.mp4$")
        self.assertRegex(sharer.cmd("LMPF /share/doc.txt"), "^200 ")
        self.assertEqual(c.cmd("UMAP *"), "200 command ok [2]")
        self.assertEqual(c.cmd("NOOP"), "200 Command OK")
        self.server.stop()
        log = self.server.log("zellog.txt")
        self.assertIn("Map file: <add>  pos=", log)
        self.assertIn("Map file: <remove long 2>  pos=", log)
        self.assertIn("Map file: <remove long>  pos=", log)

    def test_maps_subtitle_rmap_and_last_map(self):
        self.start(extend="Ftp_autoremovelastmap=1")
        c = self.login()
        both = c.cmd("MAPS /share/movie.mp4")
        m = re.match("^200 (" + URL + r")\.mp4\|(" + URL + r")\.srt$", both)
        self.assertTrue(m, both)
        self.assertEqual(m.group(1), m.group(2))  # the same numbers with the subtitle's extension
        mapf = c.cmd("MAPF /share/movie.mp4")
        self.assertRegex(mapf, "^200 " + URL + r"\.mp4$")  # MAPF never offers a subtitle
        url = mapf[4:]
        # RMAP takes the URL bare, as an HTTP path and with scheme and host.
        slot = re.match(r"^200 remove map file (\d+)$", c.cmd("RMAP " + url)).group(1)
        self.assertEqual(c.cmd("RMAP /" + url), "200 remove map file " + slot)
        self.assertEqual(c.cmd("RMAP http://127.0.0.1:8080/" + url), "200 remove map file " + slot)
        self.assertEqual(c.cmd("RMAP " + url[:-4] + ".avi"), "200 remove map file -23")
        self.assertEqual(c.cmd("RMAP " + url[:-4]), "200 remove map file -29")

    def test_snmf_and_gip6(self):
        self.start(ftp="", extend="")
        c = self.login()
        first = c.cmd("SNMF")
        self.assertRegex(first, r"^200 1/fx_[0-9a-f]+_[0-9a-f]+\.mem$")
        self.assertNotEqual(c.cmd("SNMF"), first)
        # Gip6_all (on by default): one line per address of the host, then "200 .".
        c.sock.sendall(b"GIP6\r\n")
        lines = []
        while True:
            line = c.line()
            lines.append(line)
            if not line.startswith("200-"):
                break
        self.assertEqual(lines[-1], "200 .")
        for line in lines[:-1]:
            self.assertRegex(line, r"^200-[0-9a-f]+(:[0-9a-f]+){7}$")
        self.assertEqual(c.cmd("NOOP"), "200 Command OK")
        self.server.stop()
        self.server.configure(ftp="Service_enablev6=0")
        self.server.start()
        c = self.login()
        self.assertEqual(c.cmd("GIP6"), "550 ipv6 was disabled")
        self.server.stop()
        self.server.configure(more="[Zelfo_option]\r\nGip6_all=0\r\n")
        self.server.start()
        c = self.login()
        # The probe's answer depends on the host's routes; either form is right.
        self.assertRegex(c.cmd("GIP6"), r"^(200 [0-9a-f]+(:[0-9a-f]+){7}|450 failed to get local ipv6 address)$")

    def test_no_internetmap_and_protect(self):
        self.start(extend="No_internetmap=1", more="[Zelfo_option]\r\nCommand_protect=1\r\n")
        c = self.login()
        self.assertEqual(c.cmd("GLMP"), "550 no internet map")
        # Loopback counts as the local network: mapping still works.
        self.assertRegex(c.cmd("MAPF /share/doc.txt"), "^200 ")
        # Once CINT switched protection on, a map needs a kind-4 signature.
        key, nonce = protect_key(c, "adminpw")
        self.assertEqual(c.cmd("MAPF /share/doc.txt"), "550 command protect fail")
        r = c.cmd("NEXP 4 10*%s" % protect_sig("/share/doc.txt", key, 4, 0x10, nonce))
        self.assertTrue(r.startswith("200 "), r)
        self.assertRegex(c.cmd("MAPF /share/doc.txt"), "^200 " + URL)
        self.assertEqual(c.cmd("LMPF /share/doc.txt"), "550 command protect fail")

    def test_ftplib_session(self):
        """What a script does: map a file with ftplib and keep the URL."""
        self.start()
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.server.port, timeout=5)
        ftp.login("admin", "adminpw")
        reply = ftp.sendcmd("MAPF /share/movie.mp4")
        self.assertRegex(reply, "^200 " + URL + r"\.mp4$")
        self.assertEqual(ftp.sendcmd("HTTP"), "200 %d 0 0 %d 0 501" % (self.server.http_port, econn_port(self.server)))
        ftp.quit()


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    unittest.main()

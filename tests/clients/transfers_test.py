"""Data connections and file transfers from real clients and raw sockets.

usage: transfers_test.py ZELFOSVR [unittest options]
"""
import ftplib
import hashlib
import io
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import time
import unittest
import warnings

from zelfo_harness import Control, PrivateServer as Server

BINARY = None


def sha(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


class TransferTest(unittest.TestCase):
    settings = ""

    def setUp(self):
        self.server = Server(BINARY, settings=self.settings)
        h = self.server.path
        os.makedirs(h("share", "dir"))
        os.makedirs(h("backup"))
        with open(h("share", "data.bin"), "wb") as f:
            f.write(os.urandom(3 * 1024 * 1024 + 17))
        open(h("share", "empty.txt"), "w").close()
        with open(h("share", "small.txt"), "wb") as f:
            f.write(b"0123456789" * 5)
        self.server.write("myaccount.ini", "[User_admin]\nActive_Mode=1\nAccess_Level=5\nUser_Name=admin\n"
                          "Pass_Word=pw\nBackup_dir=%s\n" % h("backup"))
        self.server.write("myshare.txt", "1*share*%s\n" % h("share"))
        self.server.start()
        self.url = "ftp://admin:pw@127.0.0.1:%d" % self.server.port
        self.burl = "ftp://admin.BACK:pw@127.0.0.1:%d" % self.server.port

    def tearDown(self):
        self.server.close()

    def login(self, backup=False, host="127.0.0.1", source=None):
        c = Control(self.server.port, host=host, source=source)
        self.assertTrue(c.line().startswith("220 "))
        reply = c.cmd("USER admin" + (".BACK" if backup else ""))
        self.slot = int(reply.split("|")[1].split()[1], 16)
        self.assertEqual(c.cmd("PASS pw"), "230 Login OK |5 1")
        return c

    def pasv(self, c, source=None, connect=True):
        reply = c.cmd("PASV")
        m = re.match(r"227 Entering passive mode \((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)$", reply)
        self.assertTrue(m, reply)
        port = int(m.group(5)) * 256 + int(m.group(6))
        if not connect:
            return None, port
        d = socket.socket()
        if source:
            d.bind((source, 0))
        d.settimeout(10)
        d.connect(("127.0.0.1", port))
        return d, port

    def curl(self, *args):
        out = subprocess.run(["curl", "-s", "-S", "--max-time", "30"] + list(args), capture_output=True)
        self.assertEqual(out.returncode, 0, out.stderr)
        return out

    def test_curl_modes_resume_upload_append(self):
        src = self.server.path("share", "data.bin")
        for extra in ([], ["--disable-epsv"], ["--ftp-port", "127.0.0.1"]):
            dst = self.server.path("dl.bin")
            self.curl(*extra, self.url + "/share/data.bin", "-o", dst)
            self.assertEqual(sha(dst), sha(src), extra)
            os.remove(dst)
        url6 = "ftp://admin:pw@[::1]:%d/share/data.bin" % self.server.port
        dst = self.server.path("dl6.bin")
        self.curl(url6, "-o", dst)
        self.assertEqual(sha(dst), sha(src))
        # A resumed download.
        with open(src, "rb") as f:
            head = f.read(1000000)
        part = self.server.path("part.bin")
        with open(part, "wb") as f:
            f.write(head)
        self.curl("-C", "-", self.url + "/share/data.bin", "-o", part)
        self.assertEqual(sha(part), sha(src))
        # Upload and append in a .BACK session, passive and active.
        self.curl("-T", src, self.burl + "/up.bin")
        self.assertEqual(sha(self.server.path("backup", "up.bin")), sha(src))
        self.curl("--ftp-port", "127.0.0.1", "-T", src, "--append", self.burl + "/up.bin")
        with open(src, "rb") as f:
            twice = f.read() * 2
        self.assertEqual(sha(self.server.path("backup", "up.bin")), hashlib.sha256(twice).hexdigest())
        # Uploads need backup mode.
        out = subprocess.run(["curl", "-s", "-T", src, self.url + "/share/x.bin"], capture_output=True)
        self.assertNotEqual(out.returncode, 0)
        self.assertFalse(os.path.exists(self.server.path("share", "x.bin")))

    @unittest.skipIf(shutil.which("lftp") is None, "lftp is not installed")
    def test_lftp_get_and_put(self):
        def lftp(user, script):
            out = subprocess.run(["lftp", "-u", user + ",pw", "-e",
                                  "set net:max-retries 1; set net:timeout 10; set ftp:ssl-allow no; %s; bye" % script,
                                  "ftp://127.0.0.1:%d" % self.server.port], capture_output=True, timeout=60)
            self.assertEqual(out.returncode, 0, out.stderr)
        dst = self.server.path("lftp.bin")
        lftp("admin", "cd /share; get data.bin -o " + dst)
        self.assertEqual(sha(dst), sha(self.server.path("share", "data.bin")))
        lftp("admin.BACK", "put %s -o put.bin" % dst)
        self.assertEqual(sha(self.server.path("backup", "put.bin")), sha(dst))

    def test_ftplib_retr_stor_rest(self):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.server.port, timeout=10)
        ftp.login("admin.BACK", "pw")
        src = self.server.path("share", "data.bin")
        with open(src, "rb") as f:
            data = f.read()
        ftp.storbinary("STOR copy.bin", io.BytesIO(data))
        self.assertEqual(sha(self.server.path("backup", "copy.bin")), sha(src))
        got = io.BytesIO()
        ftp.retrbinary("RETR copy.bin", got.write)
        self.assertEqual(got.getvalue(), data)
        got = io.BytesIO()
        ftp.retrbinary("RETR copy.bin", got.write, rest=1234567)
        self.assertEqual(got.getvalue(), data[1234567:])
        ftp.quit()

    def test_preparation_replies(self):
        c = self.login()
        econn = self.server.econn_port
        cases = [
            ("PORT", "500 bad parameters"),
            ("PORT 1,2,3,4,5", "500 bad parameters type"),
            ("PORT 1,2,3,4,4,257", "500 bad parameters range"),
            ("PORT 1,2,3,4,4,0", "500 port number"),
            ("PORT 1,2,3,4,3,256", "500 port number"),
            ("PORT 9,9,9,9,4,256", "200 port command done"),
            ("EPRT", "500 bad parameters"),
            ("EPRT 1|127.0.0.1", "450 bad parameters of eprt"),
            ("EPRT |1|127.0.0.1", "450 port out of range"),
            ("EPRT |1|127.0.0.1|x|", "450 port out of range"),
            ("EPRT |1|127.0.0.1|1023|", "450 port out of range"),
            ("EPRT |1|127.0.0.1|1024|", "200 eprt command ok"),
            ("EPRT |2|::1|65536|", "450 port out of range"),
            ("MODC", "450 bad parameter"),
            ("MODC x", "450 bad parameter"),
            ("MODC 1", "200 set mode c to on"),
            ("PASV", "227 Entering passive mode (127,0,0,1,%u,%u)" % (econn // 256, econn % 256)),
            ("EPSV", "229 Entering extend pasv mode (|||%u|)" % econn),
            ("MODC 0", "200 set mode c to off"),
            ("CONN", "450 %u bad parameter found" % econn),
            ("CONN zz", "450 bad parameter found"),
            ("CONS 1a2b", "450 please use conn command"),
            ("REST x", "350 reset at 0"),
            ("REST -5", "350 reset at 0"),
            ("REST 99", "350 reset at 99"),
            ("RETR /share/small.txt", "550 connect mode not ready"),
        ]
        for line, want in cases:
            self.assertEqual(c.cmd(line), want, line)
        six = self.login(host="::1")
        self.assertEqual(six.cmd("PASV"), "450 please use epsv command")
        self.assertEqual(six.cmd("PORT 1,2,3,4,5,6"), "450 please use eprt command")
        self.assertRegex(six.cmd("EPSV"), r"^229 Entering extend pasv mode \(\|\|\|\d+\|\)$")
        anon = Control(self.server.port)
        anon.line()
        self.assertEqual(anon.cmd("PASV"), "550 login first")

    def test_passive_and_active_details(self):
        c = self.login()
        # A second RETR without a new PASV.
        d, _ = self.pasv(c)
        self.assertEqual(c.cmd("RETR /share/small.txt"), "150 start connect and transfer")
        self.assertEqual(d.recv(100), b"0123456789" * 5)
        self.assertEqual(c.line(), "226 file transfer done: 50")
        d.close()
        self.assertEqual(c.cmd("RETR /share/small.txt"), "550 connect mode not ready")
        # A foreign data connection is dropped; the control peer's is served.
        _, port = self.pasv(c, connect=False)
        foreign = socket.socket()
        foreign.bind(("127.0.0.2", 0))
        foreign.settimeout(10)
        c.sock.sendall(b"RETR /share/small.txt\r\n")
        foreign.connect(("127.0.0.1", port))
        self.assertEqual(c.line(), "150 start connect and transfer")
        try:
            self.assertEqual(foreign.recv(100), b"")
        except ConnectionResetError:
            pass  # closed either way, and nothing was sent to it
        own = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.assertEqual(own.recv(100), b"0123456789" * 5)
        self.assertEqual(c.line(), "226 file transfer done: 50")
        own.close()
        # A command during a pending accept ends it (6014) and is then read.
        reply = c.cmd("PASV")
        self.assertTrue(reply.startswith("227 "))
        self.assertEqual(c.cmd("RETR /share/small.txt"), "150 start connect and transfer")
        c.sock.sendall(b"NOOP\r\n")
        self.assertEqual(c.line(), "426 data stream connect failed")
        self.assertEqual(c.line(), "200 Command OK")
        # Active mode to a port nobody listens on.
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))
        cport = closed.getsockname()[1]
        closed.close()
        self.assertEqual(c.cmd("EPRT |1|127.0.0.1|%d|" % cport), "200 eprt command ok")
        self.assertEqual(c.cmd("RETR /share/small.txt"), "150 start connect and transfer")
        self.assertEqual(c.line(), "426 data stream connect failed")
        # Active mode where the client listens.
        lsock = socket.socket()
        lsock.bind(("127.0.0.1", 0))
        lsock.listen(1)
        lport = lsock.getsockname()[1]
        self.assertEqual(c.cmd("PORT 10,0,0,1,%d,%d" % (lport // 256, lport % 256)), "200 port command done")
        self.assertEqual(c.cmd("RETR /share/small.txt"), "150 start connect and transfer")
        conn, peer = lsock.accept()
        self.assertEqual(peer[0], "127.0.0.1")  # the control peer, not the address in PORT
        self.assertEqual(conn.recv(100), b"0123456789" * 5)
        self.assertEqual(c.line(), "226 file transfer done: 50")
        self.assertEqual(self.server.stop(), 0)
        log = self.server.log("zellog.txt")
        self.assertRegex(log, r"code:0 6014  <send> 426 data stream connect failed")
        self.assertRegex(log, r"code:0 6404  <send> 426 data stream connect failed")

    def test_rest_empty_directory_and_sparse(self):
        c = self.login()
        cases = [
            ("REST 100", "/share/small.txt", ["426 file transfer failed"], b""),
            ("REST 45", "/share/small.txt", ["226 file transfer done: 5"], b"56789"),
            ("REST 0", "/share/empty.txt", ["226 file transfer done: 0"], b""),
            ("REST 0", "/share/dir", ["426 file transfer failed"], b""),
        ]
        for rest, path, replies, data in cases:
            self.assertTrue(c.cmd(rest).startswith("350 "))
            d, _ = self.pasv(c)
            self.assertEqual(c.cmd("RETR " + path), "150 start connect and transfer")
            got = b""
            while True:
                chunk = d.recv(65536)
                if not chunk:
                    break
                got += chunk
            self.assertEqual(got, data, path)
            self.assertEqual(c.line(), replies[0], (rest, path))
            d.close()
        # A 5 GiB sparse file: SIZE, REST past 4 GiB, the tail.
        big = self.server.path("share", "big.bin")
        with open(big, "wb") as f:
            f.seek(5 * 1024 ** 3)
            f.write(b"tail-bytes")
        size = 5 * 1024 ** 3 + 10
        self.assertEqual(c.cmd("SIZE /share/big.bin"), "213 %d" % size)
        self.assertEqual(c.cmd("REST %d" % (size - 20)), "350 reset at %d" % (size - 20))
        d, _ = self.pasv(c)
        self.assertEqual(c.cmd("RETR /share/big.bin"), "150 start connect and transfer")
        got = b""
        while True:
            chunk = d.recv(65536)
            if not chunk:
                break
            got += chunk
        self.assertEqual(got, b"\0" * 10 + b"tail-bytes")
        self.assertEqual(c.line(), "226 file transfer done: 20")

    def store(self, c, cmd, data, how="close"):
        d, _ = self.pasv(c)
        self.assertEqual(c.cmd(cmd), "150 start connect and transfer")
        d.sendall(data)
        if how == "reset":
            time.sleep(0.2)
            d.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        elif how == "abort":
            time.sleep(0.2)
            c.sock.sendall(b"ABOR\r\n")
            reply = c.line()
            d.close()
            return reply
        d.close()
        return c.line()

    def test_upload_ends_resume_and_append(self):
        c = self.login(backup=True)
        path = self.server.path("backup", "u.bin")
        self.assertEqual(self.store(c, "STOR u.bin", b"A" * 1000), "226 file transfer done: 1000")
        # A reset data connection is a failed upload; what came is kept.
        self.assertEqual(self.store(c, "STOR r.bin", b"B" * 5000, how="reset"), "426 file transfer failed")
        self.assertEqual(os.path.getsize(self.server.path("backup", "r.bin")), 5000)
        # ABOR during an upload ends it as done, with the bytes so far.
        self.assertEqual(self.store(c, "STOR a.bin", b"C" * 3000, how="abort"), "226 file transfer done: 3000")
        self.assertEqual(c.line(), "226 Command OK")
        # A resume cuts older bytes behind the new data.
        self.assertEqual(c.cmd("REST 600"), "350 reset at 600")
        self.assertEqual(self.store(c, "STOR u.bin", b"Z" * 100), "226 file transfer done: 100")
        with open(path, "rb") as f:
            self.assertEqual(f.read(), b"A" * 600 + b"Z" * 100)
        # A resume beyond the file fails and leaves it as it was.
        self.assertEqual(c.cmd("REST 5000"), "350 reset at 5000")
        self.assertEqual(self.store(c, "STOR u.bin", b"Q" * 10), "426 file transfer failed")
        self.assertEqual(os.path.getsize(path), 700)
        # REST 100 then STOR of a missing file fails; APPE ignores REST.
        self.assertEqual(c.cmd("REST 100"), "350 reset at 100")
        self.assertEqual(self.store(c, "STOR missing.bin", b"x"), "426 file transfer failed")
        self.assertEqual(c.cmd("REST 100"), "350 reset at 100")
        self.assertEqual(self.store(c, "APPE u.bin", b"E" * 5), "226 file transfer done: 5")
        self.assertEqual(os.path.getsize(path), 705)
        # STOU names its own file.
        self.assertEqual(self.store(c, "STOU", b"unique"), "226 file transfer done: 6")
        names = [n for n in os.listdir(self.server.path("backup")) if n.startswith("Unique__X")]
        self.assertEqual(len(names), 1)
        self.assertTrue(names[0].endswith(".utmp"))

    def test_download_aborted_by_abor(self):
        big = self.server.path("share", "big.bin")
        with open(big, "wb") as f:
            f.truncate(2 * 1024 ** 3)
        c = self.login()
        d, _ = self.pasv(c)
        self.assertEqual(c.cmd("RETR /share/big.bin"), "150 start connect and transfer")
        self.assertTrue(len(d.recv(65536)) > 0)
        c.sock.sendall(b"ABOR\r\n")
        self.assertEqual(c.line(), "426 file transfer failed")
        self.assertEqual(c.line(), "226 Command OK")
        d.close()
        self.assertEqual(c.cmd("NOOP"), "200 Command OK")


class BasePortTest(TransferTest):
    settings = "Basic_dataport=%d" % (20000 + os.getpid() % 5000 * 2)

    def test_base_port_choice(self):
        base = 20000 + os.getpid() % 5000 * 2
        c = self.login()
        reply = c.cmd("PASV")
        port = [int(x) for x in reply[reply.index("(") + 1:-1].split(",")]
        port = port[4] * 256 + port[5]
        # slot offset, then steps of 5 while taken
        self.assertEqual((port - base - self.slot) % 5, 0, (port, base, self.slot))
        self.assertTrue(base + self.slot <= port < base + 500)
        # A second PASV closes the first listener before it takes a port.
        reply = c.cmd("PASV")
        again = [int(x) for x in reply[reply.index("(") + 1:-1].split(",")]
        self.assertEqual(again[4] * 256 + again[5], port)
        self.assertEqual(c.cmd("PORT 1,2,3,4,-1,5"), "500 bad parameters range")

    # The inherited tests need not run twice.
    test_curl_modes_resume_upload_append = None
    test_ftplib_retr_stor_rest = None
    test_preparation_replies = None
    test_passive_and_active_details = None
    test_rest_empty_directory_and_sparse = None
    test_upload_ends_resume_and_append = None
    test_download_aborted_by_abor = None
    test_lftp_get_and_put = None


if __name__ == "__main__":
    warnings.simplefilter("ignore", ResourceWarning)
    BINARY = sys.argv.pop(1)
    unittest.main()

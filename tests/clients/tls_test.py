"""TLS on the control and data connections, explicit and implicit.

usage: tls_test.py ZELFOSVR [unittest options]
"""
import ftplib
import hashlib
import io
import os
import shutil
import socket
import ssl
import subprocess
import sys
import time
import unittest
import warnings

from zelfo_harness import Control, Server, free_port

BINARY = None


def sha(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def client_context():
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


class ReusingFTP_TLS(ftplib.FTP_TLS):
    """FTP_TLS that resumes the control connection's session on data
    connections, as curl and lftp do."""

    def ntransfercmd(self, cmd, rest=None):
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        if self._prot_p:
            conn = self.context.wrap_socket(conn, server_hostname=self.host, session=self.sock.session)
        return conn, size


class TlsTest(unittest.TestCase):
    def setUp(self):
        self.implicit = free_port()
        self.server = Server(BINARY, settings="Implicit_mode=1\r\nService_implicitv4=%d\r\nService_implicitv6=%d"
                             % (self.implicit, self.implicit))
        h = self.server.path
        os.makedirs(h("share", "sub"))
        os.makedirs(h("backup"))
        with open(h("share", "data.bin"), "wb") as f:
            f.write(os.urandom(2 * 1024 * 1024 + 3))
        with open(h("share", "sub", "s.txt"), "w") as f:
            f.write("sub")
        self.server.write("myaccount.ini", "[User_admin]\nActive_Mode=1\nAccess_Level=5\nUser_Name=admin\n"
                          "Pass_Word=pw\nBackup_dir=%s\n" % h("backup"))
        self.server.write("myshare.txt", "1*share*%s\n" % h("share"))
        self.server.start()

    def tearDown(self):
        self.server.close()

    def curl(self, *args):
        out = subprocess.run(["curl", "-s", "-S", "-k", "--max-time", "30"] + list(args), capture_output=True)
        self.assertEqual(out.returncode, 0, out.stderr)
        return out.stdout

    def test_curl_explicit_and_implicit(self):
        src = self.server.path("share", "data.bin")
        port = self.server.port
        listing = self.curl("--ssl-reqd", "ftp://admin:pw@127.0.0.1:%d/share/" % port)
        self.assertIn(b"data.bin", listing)
        dst = self.server.path("e.bin")
        self.curl("--ssl-reqd", "ftp://admin:pw@127.0.0.1:%d/share/data.bin" % port, "-o", dst)
        self.assertEqual(sha(dst), sha(src))
        self.curl("--ssl-reqd", "-T", src, "ftp://admin.BACK:pw@127.0.0.1:%d/up.bin" % port)
        self.assertEqual(sha(self.server.path("backup", "up.bin")), sha(src))
        dst = self.server.path("i.bin")
        self.curl("ftps://admin:pw@127.0.0.1:%d/share/data.bin" % self.implicit, "-o", dst)
        self.assertEqual(sha(dst), sha(src))
        self.assertIn(b"data.bin", self.curl("ftps://admin:pw@[::1]:%d/share/" % self.implicit))
        self.curl("-T", src, "ftps://admin.BACK:pw@127.0.0.1:%d/up2.bin" % self.implicit)
        self.assertEqual(sha(self.server.path("backup", "up2.bin")), sha(src))

    def test_ftplib_ftp_tls_with_and_without_session_reuse(self):
        src = self.server.path("share", "data.bin")
        with open(src, "rb") as f:
            data = f.read()
        for cls in (ftplib.FTP_TLS, ReusingFTP_TLS):
            ftp = cls(context=client_context())
            ftp.connect("127.0.0.1", self.server.port, timeout=10)
            ftp.auth()
            ftp.login("admin.BACK", "pw")
            ftp.prot_p()
            ftp.storbinary("STOR t.bin", io.BytesIO(data))
            got = io.BytesIO()
            ftp.retrbinary("RETR t.bin", got.write)
            self.assertEqual(got.getvalue(), data, cls.__name__)
            self.assertIn("t.bin", ftp.nlst())
            ftp.quit()

    @unittest.skipIf(shutil.which("lftp") is None, "lftp is not installed")
    def test_lftp_mirror_both_ways(self):
        dst = self.server.path("mirror")
        script = ("set ssl:verify-certificate no; set ftp:ssl-force yes; set ftp:ssl-protect-data yes; "
                  "set net:max-retries 1; mirror /share %s; bye" % dst)
        out = subprocess.run(["lftp", "-u", "admin,pw", "-e", script, "ftp://127.0.0.1:%d" % self.server.port],
                             capture_output=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(sha(os.path.join(dst, "data.bin")), sha(self.server.path("share", "data.bin")))
        script = ("set ssl:verify-certificate no; set ftp:ssl-force yes; set ftp:ssl-protect-data yes; "
                  "set net:max-retries 1; mirror -R %s /up; bye" % dst)
        out = subprocess.run(["lftp", "-u", "admin.BACK,pw", "-e", script, "ftp://127.0.0.1:%d" % self.server.port],
                             capture_output=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        with open(self.server.path("backup", "up", "sub", "s.txt")) as f:
            self.assertEqual(f.read(), "sub")

    def tls_control(self, auth="AUTH TLS"):
        raw = socket.create_connection(("127.0.0.1", self.server.port), timeout=10)
        f = raw.makefile("rb")
        self.assertTrue(f.readline().startswith(b"220 "))
        raw.sendall(auth.encode() + b"\r\n")
        self.assertEqual(f.readline(), b"234 AUTH command OK, initializing SSL connection\r\n")
        tls = client_context().wrap_socket(raw)
        return tls

    def cmd(self, tls, line):
        tls.sendall(line.encode() + b"\r\n")
        buf = b""
        while not buf.endswith(b"\r\n"):
            chunk = tls.recv(1)
            if not chunk:
                return ""
            buf += chunk
        return buf.decode()[:-2]

    def test_commands(self):
        for auth in ("AUTH TLS", "AUTH SSL", "auth whatever"):
            tls = self.tls_control(auth)
            self.assertEqual(self.cmd(tls, "AUTH TLS"), "500 already in tls or ssl connect")
            self.assertEqual(self.cmd(tls, "PBSZ 0"), "550 login first")
            self.cmd(tls, "USER admin")
            self.assertEqual(self.cmd(tls, "PASS pw"), "230 Login OK |5 1")
            cases = [("PBSZ 0", "200 PBSZ=0"), ("PBSZ 1", "450 parameter must be zero"),
                     ("PBSZ x", "450 parameter must be zero"), ("PROT", "450 bad parameters"),
                     ("PROT S", '200 data protection level set to "private"'),
                     ("PROT e", '200 data protection level set to "private"'),
                     ("PROT C", '200 data protection level set to "clear"'),
                     ("PROT X", "450 bad parameter"), ("PROT P", '200 data protection level set to "private"')]
            for line, want in cases:
                self.assertEqual(self.cmd(tls, line), want, line)
            tls.close()
        c = Control(self.server.port)
        c.line()
        self.assertEqual(c.cmd("AUTH"), "550 bad parameters")
        c.cmd("USER admin")
        c.cmd("PASS pw")
        self.assertEqual(c.cmd("PBSZ 0"), "550 unkown command")
        self.assertEqual(c.cmd("PROT P"), "550 need tls or ssl connect")
        self.assertEqual(c.cmd("AUTH TLS"), "500 must use before login")

    def test_plain_bytes_after_auth_are_dropped(self):
        raw = socket.create_connection(("127.0.0.1", self.server.port), timeout=10)
        f = raw.makefile("rb")
        f.readline()
        raw.sendall(b"AUTH TLS\r\nUSER admin\r\n")
        self.assertEqual(f.readline(), b"234 AUTH command OK, initializing SSL connection\r\n")
        tls = client_context().wrap_socket(raw)
        self.assertEqual(self.cmd(tls, "PASS pw"), "500 user name is empty")

    def test_must_tls_and_failed_data_handshakes(self):
        self.server.stop()
        self.server.configure(ftp="Login_v4musttls=1\r\nImplicit_mode=1\r\nService_implicitv4=%d" % self.implicit)
        self.server.start()
        c = Control(self.server.port)
        c.line()
        self.assertEqual(c.cmd("USER admin"), "500 must use tls or ssl login")
        tls = self.tls_control()
        self.assertTrue(self.cmd(tls, "USER admin").startswith("331 "))
        self.assertEqual(self.cmd(tls, "PASS pw"), "230 Login OK |5 1")
        self.assertEqual(self.cmd(tls, "PROT P"), '200 data protection level set to "private"')
        # A data connection that never starts its handshake.
        reply = self.cmd(tls, "PASV")
        nums = [int(x) for x in reply[reply.index("(") + 1:-1].split(",")]
        data = socket.create_connection(("127.0.0.1", nums[4] * 256 + nums[5]), timeout=10)
        self.assertEqual(self.cmd(tls, "RETR /share/data.bin"), "150 start connect and transfer")
        buf = b""
        while not buf.endswith(b"\r\n"):
            buf += tls.recv(1)
        self.assertEqual(buf, b"426 data stream ssl connect failed\r\n")
        data.close()
        # An upload that ends without the client's close_notify is cut off.
        self.cmd(tls, "QUIT")
        tls.close()
        ftp = ftplib.FTP_TLS(context=client_context())
        ftp.connect("127.0.0.1", self.server.port, timeout=10)
        ftp.auth()
        ftp.login("admin.BACK", "pw")
        ftp.prot_p()
        conn = ftp.transfercmd("STOR cut.bin")
        conn.sendall(b"x" * 100000)
        conn.close()  # no unwrap: a bare TCP close, no close_notify
        self.assertEqual(ftp.getline(), "426 file transfer failed")
        self.assertEqual(os.path.getsize(self.server.path("backup", "cut.bin")), 100000)
        # With close_notify the same upload is done.
        conn = ftp.transfercmd("STOR whole.bin")
        conn.sendall(b"y" * 100000)
        conn.unwrap()
        conn.close()
        self.assertEqual(ftp.getline(), "226 file transfer done: 100000")
        ftp.close()
        self.assertEqual(self.server.stop(), 0)
        self.assertIn(" 9018  <send> 426 data stream ssl connect failed", self.server.log("zellog.txt"))

    def test_start_fails_without_certificate(self):
        self.server.stop()
        os.remove(self.server.path("config", "sslcert.pem"))
        proc = subprocess.run([BINARY, "--home", self.server.home], capture_output=True, timeout=30)
        self.assertEqual(proc.returncode, 1)
        self.assertIn(b"Zelfo service: failed to load ssl file", proc.stderr)
        self.assertIn(b"failed to load ssl file", proc.stderr)


if __name__ == "__main__":
    warnings.simplefilter("ignore", ResourceWarning)
    BINARY = sys.argv.pop(1)
    unittest.main()

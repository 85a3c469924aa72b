"""Econn data connections: CONN and CONS against the real server's econn port.

usage: econn_test.py ZELFOSVR [unittest options]
"""
import hashlib
import os
import socket
import ssl
import sys
import unittest
import warnings

from zelfo_harness import Control, PrivateServer as Server

BINARY = None
ECONN_SEP, ECONN_HEAD, ECONN_SEP2 = "*econ", "ec", "#"


def econn_key(value, r):
    """The key CONN and CONS derive: MD5 of the client value and R in hex."""
    return hashlib.md5(("%x%x" % (value, r)).encode()).hexdigest()


def econn_token(respcode, token, nonce):
    x = "%s%s%x%s" % (respcode, ECONN_SEP, token, "%x" % nonce if nonce else "0")
    h1 = ECONN_HEAD + hashlib.sha256(x.encode()).hexdigest()[2:]
    return hashlib.sha256(("%s%s%x" % (h1, ECONN_SEP2, token)).encode()).digest()[:25].hex()


def client_context():
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


def read_all(sock):
    data = b""
    while True:
        block = sock.recv(65536)
        if not block:
            return data
        data += block


def closed_by_server(sock, seconds=30):
    """True when the server closes the socket without sending a byte."""
    sock.settimeout(seconds)
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


class EconnBase(unittest.TestCase):
    extend = ""

    def setUp(self):
        self.server = Server(BINARY)
        if self.extend:
            self.server.configure(extend=self.extend)
        h = self.server.path
        os.makedirs(h("share"))
        os.makedirs(h("backup", "dir"))
        self.data = os.urandom(2 * 1024 * 1024 + 5)
        with open(h("share", "data.bin"), "wb") as f:
            f.write(self.data)
        with open(h("backup", "listed.txt"), "w") as f:
            f.write("x")
        self.server.write("myaccount.ini", "[User_admin]\nActive_Mode=1\nAccess_Level=5\nUser_Name=admin\n"
                          "Pass_Word=pw\nBackup_dir=%s\nUser_Respcode=resp-code\n" % h("backup"))
        self.server.write("myshare.txt", "1*share*%s\n" % h("share"))
        self.server.start()
        self.port = self.server.econn_port

    def tearDown(self):
        self.server.close()

    def login(self, host="127.0.0.1", backup=False, source=None, tls=False):
        c = Control(self.server.port, host=host, source=source, timeout=30)
        self.assertTrue(c.line().startswith("220 "))
        if tls:
            self.assertTrue(c.cmd("AUTH TLS").startswith("234"))
            c.ctx = client_context()
            c.sock = c.ctx.wrap_socket(c.sock, server_hostname="localhost")
        c.user_reply = c.cmd("USER admin" + (".BACK" if backup else ""))
        self.assertTrue(c.cmd("PASS pw").startswith("230 "))
        return c

    def conn(self, c, value, verb="CONN"):
        """Runs CONN or CONS; returns the slot and the key."""
        reply = c.cmd("%s %x" % (verb, value))
        code, port, slot, r = reply.split()
        self.assertEqual(code, "222", reply)
        self.assertEqual(int(port, 16), self.port)
        return int(slot, 16), econn_key(value, int(r, 16))

    def econn(self, host, line, source=None):
        d = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
        d.settimeout(30)
        if source:
            d.bind((source, 0))
        d.connect((host, self.port))
        if line:
            d.sendall(line)
        return d

    @staticmethod
    def line(slot, key):
        return ("%08x %s\r\n" % (slot, key)).encode()

    def handshake(self, c, host, value, reply, verb="CONN", upper=False):
        """CONN/CONS and the econn connection with its line; checks the
        reply line when the session asked for one."""
        slot, key = self.conn(c, value, verb)
        d = self.econn(host, self.line(slot, key.upper() if upper else key))
        if reply:
            self.assertEqual(d.recv(10), ("%s %04x\r\n" % ("234" if verb == "CONS" else "200", value & 0xFFFF)).encode())
        return d

    def transfers(self, c, host, reply, tls=False):
        """RETR, STOR and LIST, each over its own econn connection."""
        verb = "CONS" if tls else "CONN"
        def wrap(d):
            return c.ctx.wrap_socket(d, server_hostname="localhost", session=c.sock.session) if tls else d

        d = self.handshake(c, host, 0x1A2B3C, reply, verb, upper=True)
        self.assertTrue(c.cmd("RETR data.bin").startswith("150"))
        d = wrap(d)
        self.assertEqual(read_all(d), self.data)
        d.close()
        self.assertTrue(c.line().startswith("226 "))

        d = self.handshake(c, host, 7, reply, verb)
        self.assertTrue(c.cmd("STOR up.bin").startswith("150"))
        d = wrap(d)
        d.sendall(self.data[::-1])
        if tls:
            d = d.unwrap()
        d.close()
        self.assertTrue(c.line().startswith("226 "))
        with open(self.server.path("backup", "up.bin"), "rb") as f:
            self.assertEqual(f.read(), self.data[::-1])

        d = self.handshake(c, host, 0xFFFF0001, reply, verb)
        self.assertTrue(c.cmd("LIST").startswith("150"))
        d = wrap(d)
        listing = read_all(d).decode()
        d.close()
        self.assertTrue(c.line().startswith("226 "))
        self.assertIn("listed.txt", listing)
        self.assertIn("up.bin", listing)



class EconnTest(EconnBase):
    def test_conn_transfers_both_families(self):
        for host, reply in (("127.0.0.1", True), ("::1", False)):
            with self.subTest(host=host):
                c = self.login(host, backup=True)
                self.assertEqual(c.cmd("VERS"), "200 430 1 %u 1172" % self.port)
                if reply:
                    self.assertEqual(c.cmd("RESP 0"), "200 reponse:ON")
                # RETR in backup mode reads the backup root: give it the file.
                with open(self.server.path("backup", "data.bin"), "wb") as f:
                    f.write(self.data)
                self.transfers(c, host, reply)
                c.close()

    def test_cons_transfers_over_tls_both_families(self):
        for host in ("127.0.0.1", "::1"):
            with self.subTest(host=host):
                c = self.login(host, backup=True, tls=True)
                self.assertEqual(c.cmd("CONS"), "450 %u bad parameter found" % self.port)
                self.assertEqual(c.cmd("RESP 0"), "200 reponse:ON")
                with open(self.server.path("backup", "data.bin"), "wb") as f:
                    f.write(self.data)
                self.transfers(c, host, True, tls=True)
                c.close()
        plain = self.login()
        self.assertEqual(plain.cmd("CONS 1"), "450 please use conn command")

    def test_commands(self):
        c = self.login()
        fields = c.user_reply.split("|")[1].split()
        token = int(fields[8], 16)
        self.assertEqual(c.cmd("RSPC 1f"), "200 " + econn_token("resp-code", token, 0x1F))
        for arg in ("", "x"):
            self.assertEqual(c.cmd(("RESP " + arg).strip()), "500 bad parameter")
            self.assertEqual(c.cmd(("RSPC " + arg).strip()), "500 bad parameter")
        self.assertEqual(c.cmd("RESP 3"), "200 reponse:OFF")
        self.assertEqual(c.cmd("CONN zz"), "450 bad parameter found")
        # With the mode C flag PASV and EPSV name the econn port.
        self.assertEqual(c.cmd("MODC 1"), "200 set mode c to on")
        p = self.port
        self.assertEqual(c.cmd("PASV"), "227 Entering passive mode (127,0,0,1,%u,%u)" % (p // 256, p % 256))
        self.assertEqual(c.cmd("EPSV"), "229 Entering extend pasv mode (|||%u|)" % p)
        anonymous = Control(self.server.port)
        anonymous.line()
        self.assertEqual(anonymous.cmd("RESP 0"), "550 login first")

    def test_refused_lines_close_only_the_econn_socket(self):
        c = self.login()
        self.assertEqual(c.cmd("RESP 0"), "200 reponse:ON")
        slot, key = self.conn(c, 0x42)
        other = self.login(source="127.0.0.2")
        other_slot, other_key = self.conn(other, 0x43)
        wrong = ("0" if key[0] != "0" else "1") + key[1:]
        bad_lines = {
            "wrong key": self.line(slot, wrong),
            "signed slot": ("-%07x %s\r\n" % (1, key)).encode(),
            "slot 64": self.line(64, key),
            "slot far out": ("ffffffff %s\r\n" % key).encode(),
            "no CR LF": ("%08x %s  " % (slot, key)).encode(),
            "LF only": ("%08x %s\n " % (slot, key)).encode(),
            "another address's slot": self.line(other_slot, other_key),
        }
        for name, line in bad_lines.items():
            with self.subTest(name):
                self.assertEqual(len(line), 43)
                d = self.econn("127.0.0.1", line)
                self.assertTrue(closed_by_server(d))
                d.close()
        # No waiting session for this address: refused on connect.
        d = self.econn("127.0.0.1", b"", source="127.0.0.3")
        self.assertTrue(closed_by_server(d))
        # The session and its wait entry are still there.
        d = self.econn("127.0.0.1", self.line(slot, key))
        self.assertEqual(d.recv(10), b"200 0042\r\n")
        self.assertTrue(c.cmd("RETR /share/data.bin").startswith("150"))
        self.assertEqual(read_all(d), self.data)
        self.assertTrue(c.line().startswith("226 "))
        # The other address's session works from its own address.
        d = self.econn("127.0.0.1", self.line(other_slot, other_key), source="127.0.0.2")
        self.assertTrue(other.cmd("LIST /").startswith("150"))
        self.assertIn("share", read_all(d).decode())
        self.assertTrue(other.line().startswith("226 "))

    def test_pending_limit_per_address(self):
        c = self.login()
        self.assertEqual(c.cmd("RESP 0"), "200 reponse:ON")
        slot, key = self.conn(c, 9)
        held = [self.econn("127.0.0.1", b"") for _ in range(17)]
        extra = self.econn("127.0.0.1", b"")
        self.assertTrue(closed_by_server(extra))
        last = held[-1]
        last.sendall(self.line(slot, key))
        self.assertEqual(last.recv(10), b"200 0009\r\n")
        self.assertTrue(c.cmd("RETR /share/data.bin").startswith("150"))
        self.assertEqual(read_all(last), self.data)
        self.assertTrue(c.line().startswith("226 "))

    def test_stop_with_waits_pending(self):
        a = self.login()
        slot_a, key_a = self.conn(a, 1)
        b = self.login(host="::1")
        slot_b, key_b = self.conn(b, 2)
        self.econn("127.0.0.1", self.line(slot_a, key_a)[:20])
        self.econn("::1", self.line(slot_b, key_b))
        self.assertEqual(b.cmd("NOOP"), "200 Command OK")
        self.assertEqual(self.server.stop(), 0)
        self.assertIn("Zelfo service: success to stop econn service", self.server.log("zellog.txt"))


class EconnTimeoutTest(EconnBase):
    """Both time-outs with their shortest settings."""
    extend = "Econn_connecttimeout=15\r\nEconn_datawaittimeout=15"

    def test_timeouts(self):
        c = self.login()
        slot, key = self.conn(c, 5)
        silent = self.econn("127.0.0.1", b"")
        other = self.login()
        other_slot, other_key = self.conn(other, 6)
        untaken = self.econn("127.0.0.1", self.line(other_slot, other_key))
        self.assertEqual(other.cmd("NOOP"), "200 Command OK")
        self.assertTrue(closed_by_server(silent, 120))
        self.assertTrue(closed_by_server(untaken, 120))
        # The silent one's session still waits: a new connection works.
        d = self.econn("127.0.0.1", self.line(slot, key))
        self.assertTrue(c.cmd("RETR /share/data.bin").startswith("150"))
        self.assertEqual(read_all(d), self.data)
        self.assertTrue(c.line().startswith("226 "))


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    warnings.simplefilter("ignore", ResourceWarning)
    unittest.main()

"""The HTTP stream service from real clients (curl, raw sockets, ftplib,
Python's ssl): mapped files whole and in ranges over HTTP and HTTPS on IPv4
and IPv6, the replies byte for byte, 404 and bad-head settings, the
firewall, the test stream, protect mode, foreign protocols on the HTTP port,
map ownership and the stop sequence with streams running.

usage: http_test.py ZELFOSVR [unittest options]
"""
import ftplib
import hashlib
import os
import re
import socket
import ssl
import subprocess
import sys
import threading
import time
import unittest

from zelfo_harness import Control, Server, free_port

BINARY = None

ACCOUNTS = "[User_admin]\nActive_Mode=1\nAccess_Level=5\nUser_Name=admin\nPass_Word=pw\n"

REPLY_404 = b"HTTP/1.1 404 Not found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
TEST_HEAD = (b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 5888888888888888\r\n"
             b"Connection: close\r\n\r\n")


def sha(data):
    return hashlib.sha256(data).hexdigest()


def raw_get(host, port, request, tls=False, limit=None, timeout=30):
    """Sends request bytes and reads until the server closes (or limit bytes
    came). Returns the bytes; b"" when the server closed without a byte."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as s:
        s.settimeout(timeout)
        s.connect((host, port))
        if tls:
            ctx = ssl.create_default_context()
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
            with ctx.wrap_socket(s) as t:
                return exchange(t, request, limit)
        return exchange(s, request, limit)


def exchange(s, request, limit):
    s.sendall(request)
    out = b""
    try:
        while limit is None or len(out) < limit:
            data = s.recv(65536)
            if not data:
                break
            out += data
    except (ConnectionResetError, ssl.SSLError):
        pass
    return out


def get_request(url, more=""):
    return ("GET /%s HTTP/1.1\r\nHost: zelfo\r\n%s\r\n" % (url, more)).encode()


class HttpTest(unittest.TestCase):
    def setUp(self):
        self.server = Server(BINARY, log_level=5)
        h = self.server.path
        os.makedirs(h("share"))
        self.data = os.urandom(3 * 1024 * 1024 + 17)
        with open(h("share", "data.bin"), "wb") as f:
            f.write(self.data)
        self.small = bytes(range(100))
        with open(h("share", "small.bin"), "wb") as f:
            f.write(self.small)
        self.server.write("myaccount.ini", ACCOUNTS)
        self.server.write("myshare.txt", "1*share*%s\n" % h("share"))
        self.https_port = free_port()
        while self.https_port in (self.server.port, self.server.http_port):
            self.https_port = free_port()

    def tearDown(self):
        self.server.close()

    def start(self, http="", ftp="", more=""):
        """Starts the server with extra [Zelfo_http] lines and sections."""
        section = ("[Zelfo_http]\r\nService_portv4=%d\r\nService_portv6=%d\r\nService_sslv4port=%d\r\n"
                   "Service_sslv6port=%d\r\n%s\r\n%s"
                   % (self.server.http_port, self.server.http_port, self.https_port, self.https_port, http, more))
        self.server.configure(ftp=ftp, more=section)
        self.server.start()

    def login(self, host="127.0.0.1"):
        c = Control(self.server.port, host=host)
        self.assertTrue(c.line().startswith("220 "))
        self.assertTrue(c.cmd("USER admin").startswith("331 "))
        self.assertTrue(c.cmd("PASS pw").startswith("230 "))
        return c

    def map(self, name, verb="MAPF", host="127.0.0.1"):
        c = self.login(host)
        reply = c.cmd("%s /share/%s" % (verb, name))
        c.close()
        m = re.match(r"200 ([0-9a-f]+/fx_[0-9a-f]+_[0-9a-f]+\.bin)$", reply)
        self.assertTrue(m, reply)
        return m.group(1)

    def curl(self, url, *args, ok=True):
        out = subprocess.run(["curl", "-s", "-S", "-k", "--max-time", "60"] + list(args) + [url],
                             capture_output=True)
        if ok:
            self.assertEqual(out.returncode, 0, out.stderr)
        return out

    def stopped_wlog(self):
        """Stops the server (which writes out every log) and returns wlog.txt."""
        self.assertEqual(self.server.stop(), 0)
        return self.server.log("wlog.txt")

    def test_whole_file_and_ranges_http_https_ipv4_ipv6(self):
        self.start("Enable_httpsv4=1\r\nEnable_httpsv6=1")
        size = len(self.data)
        for host, bracket in (("127.0.0.1", "127.0.0.1"), ("::1", "[::1]")):
            url = self.map("data.bin", host=host)
            for scheme, port in (("http", self.server.http_port), ("https", self.https_port)):
                base = "%s://%s:%d/%s" % (scheme, bracket, port, url)
                with self.subTest(host=host, scheme=scheme):
                    self.assertEqual(sha(self.curl(base).stdout), sha(self.data))
                    for rng, lo, hi in (("5-9", 5, 9), ("1000000-", 1000000, size - 1), ("0-", 0, size - 1),
                                        ("%d-%d" % (size - 1, size - 1), size - 1, size - 1)):
                        out = self.curl(base, "-r", rng, "-D", "-")
                        head, _, body = out.stdout.partition(b"\r\n\r\n")
                        self.assertEqual(body, self.data[lo:hi + 1], rng)
                        self.assertRegex(head.decode(), r"^HTTP/1.1 206 OK\r\nContent-Type: [^\r]+\r\n"
                                         r"Content-Length: %d\r\nContent-Range: bytes %d-%d/%d\r\n"
                                         r"Connection: close$" % (hi - lo + 1, lo, hi, size))
        # Both HTTP replies byte for byte, from a raw client.
        url = self.map("small.bin")
        whole = raw_get("127.0.0.1", self.server.http_port, get_request(url))
        m = re.match(rb"HTTP/1.1 200 OK\r\nContent-Type: ([^\r]+)\r\n", whole)
        self.assertTrue(m, whole[:200])
        ctype = m.group(1)
        self.assertEqual(whole, b"HTTP/1.1 200 OK\r\nContent-Type: " + ctype +
                         b"\r\nContent-Length: 100\r\nConnection: close\r\n\r\n" + self.small)
        part = raw_get("127.0.0.1", self.server.http_port, get_request(url, "Range: bytes=5-9\r\n"))
        self.assertEqual(part, b"HTTP/1.1 206 OK\r\nContent-Type: " + ctype + b"\r\nContent-Length: 5\r\n"
                         b"Content-Range: bytes 5-9/100\r\nConnection: close\r\n\r\n" + self.small[5:10])

    def test_bad_ranges_get_no_reply(self):
        self.start()
        url = self.map("small.bin")
        for rng in ("bytes=100-", "bytes=200-300", "bytes=0-100", "bytes=0-1,5-6", "bytes=9-5",
                    "bytes=99999999999999999999-", "bytes=9223372036854775800-9223372036854775807"):
            with self.subTest(rng=rng):
                got = raw_get("127.0.0.1", self.server.http_port, get_request(url, "Range: %s\r\n" % rng))
                self.assertEqual(got, b"")
        # The last byte alone still works.
        got = raw_get("127.0.0.1", self.server.http_port, get_request(url, "Range: bytes=99-\r\n"))
        self.assertTrue(got.endswith(b"\r\n\r\n" + self.small[99:]), got)
        wlog = self.stopped_wlog()
        self.assertIn("check file seek failed", wlog)
        self.assertIn("code:2070 0 ->  bad http head -20", wlog)

    def test_404_and_bad_head_settings(self):
        # (Http_send404, Http_badhead404) -> expected replies to an unknown
        # URL and to a malformed head.
        for send404, bad404 in ((1, 0), (0, 1)):
            with self.subTest(send404=send404, badhead404=bad404):
                self.tearDown()
                self.setUp()
                self.start("Http_send404=%d\r\nHttp_badhead404=%d" % (send404, bad404))
                self.map("small.bin")  # protect mode: something must be mapped
                port = self.server.http_port
                unknown = raw_get("127.0.0.1", port, get_request("1/fx_2_3.bin"))
                self.assertEqual(unknown, REPLY_404 if send404 else b"")
                bad = raw_get("127.0.0.1", port, b"POST /x HTTP/1.1\r\nHost: zelfo\r\n\r\n")
                self.assertEqual(bad, REPLY_404 if bad404 else b"")
                out = self.curl("http://127.0.0.1:%d/1/fx_2_3.bin" % port, "-o", "/dev/null", "-w",
                                "%{http_code}", ok=False)
                self.assertEqual(out.stdout, b"404" if send404 else b"000")

    def test_firewall_blocks_after_bad_heads(self):
        # Max_trytimes 5 gives the HTTP firewall a limit of 10.
        self.start(more="[Zelfo_Ipwall]\r\nIpv4_ipwall=1\r\nMax_trytimes=5\r\n")
        port = self.server.http_port
        url = self.map("small.bin")
        lmap = self.map("data.bin", verb="LMPF")
        # Connections closed before sending a byte (a browser's spare ones)
        # count for nothing, however many there are.
        for _ in range(25):
            socket.create_connection(("127.0.0.1", port), timeout=5).close()
        self.assertEqual(self.curl("http://127.0.0.1:%d/%s" % (port, url)).stdout, self.small)
        for _ in range(10):
            self.assertEqual(raw_get("127.0.0.1", port, b"BREW /pot HTTP/1.1\r\n\r\n"), b"")
        # Blocked: even a good request gets nothing.
        self.assertEqual(raw_get("127.0.0.1", port, get_request(url)), b"")
        # Another address is not blocked.
        out = self.curl("http://127.0.0.1:%d/%s" % (port, lmap), "--interface", "127.0.0.2")
        self.assertEqual(sha(out.stdout), sha(self.data))
        # A map from the blocked address clears it.
        url = self.map("small.bin")
        self.assertEqual(self.curl("http://127.0.0.1:%d/%s" % (port, url)).stdout, self.small)
        self.assertIn("bad remote ip", self.stopped_wlog())

    def test_test_stream(self):
        self.start()
        self.map("small.bin")  # protect mode: something must be mapped
        c = self.login()
        reply = c.cmd("SNMF")
        m = re.match(r"200 (1/fx_[0-9a-f]+_[0-9a-f]+\.mem)$", reply)
        self.assertTrue(m, reply)
        url = m.group(1)
        got = raw_get("127.0.0.1", self.server.http_port, get_request(url), limit=len(TEST_HEAD) + 300000)
        self.assertTrue(got.startswith(TEST_HEAD), got[:200])
        body = got[len(TEST_HEAD):]
        self.assertGreater(len(body), 0)
        self.assertEqual(body.count(b"\x01"), len(body))
        # Taken once: the same URL again is an unknown map.
        self.assertEqual(raw_get("127.0.0.1", self.server.http_port, get_request(url)), REPLY_404)
        # Armed for one client: another address does not get it.
        m = re.match(r"200 (1/fx_[0-9a-f]+_[0-9a-f]+\.mem)$", c.cmd("SNMF"))
        out = self.curl("http://127.0.0.1:%d/%s" % (self.server.http_port, m.group(1)), "--interface",
                        "127.0.0.2", "-o", "/dev/null", "-w", "%{http_code}", ok=False)
        self.assertEqual(out.stdout, b"404")
        c.close()

    def test_protect_mode_is_silent_without_maps(self):
        for protect, expected in ((1, b""), (0, REPLY_404)):
            with self.subTest(protect=protect):
                self.tearDown()
                self.setUp()
                self.start("Http_protectmode=%d" % protect)
                self.assertEqual(raw_get("127.0.0.1", self.server.http_port, get_request("1/fx_2_3.bin")), expected)
                self.assertEqual("no active map items" in self.stopped_wlog(), protect == 1)

    def test_foreign_protocols_on_the_http_ports(self):
        self.start("Enable_httpsv4=1\r\nGet_timeout=12")
        url = self.map("small.bin")
        port = self.server.http_port
        results = {}

        def ftp_client():
            ftp = ftplib.FTP()
            try:
                ftp.connect("127.0.0.1", port, timeout=40)
                results["ftp"] = "greeting"
            except (EOFError, ftplib.Error, OSError) as e:
                results["ftp"] = type(e).__name__
            finally:
                ftp.close()

        def tls_client():
            try:
                raw_get("127.0.0.1", port, get_request(url), tls=True, timeout=40)
                results["tls"] = "handshake"
            except (ssl.SSLError, OSError) as e:
                results["tls"] = type(e).__name__

        threads = [threading.Thread(target=ftp_client), threading.Thread(target=tls_client)]
        for t in threads:
            t.start()
        # An FTP conversation that never ends its head is cut at 2198 bytes.
        flood = b"".join(b"USER anonymous%d\r\n" % i for i in range(200))
        self.assertEqual(raw_get("127.0.0.1", port, flood), b"")
        # Plain HTTP on the HTTPS port fails the handshake.
        out = self.curl("http://127.0.0.1:%d/%s" % (self.https_port, url), ok=False)
        self.assertNotEqual(out.returncode, 0)
        for t in threads:
            t.join()
        self.assertNotEqual(results["ftp"], "greeting")
        self.assertNotEqual(results["tls"], "handshake")
        # The service still serves.
        self.assertEqual(self.curl("http://127.0.0.1:%d/%s" % (port, url)).stdout, self.small)
        self.assertEqual(self.curl("https://127.0.0.1:%d/%s" % (self.https_port, url)).stdout, self.small)
        wlog = self.stopped_wlog()
        self.assertIn("ssl shake failed", wlog)
        self.assertEqual(wlog.count("read http head failed"), 3)

    def test_map_owner_and_long_map(self):
        self.start()
        port = self.server.http_port
        url = self.map("data.bin")
        foreign = self.curl("http://127.0.0.1:%d/%s" % (port, url), "--interface", "127.0.0.2", "-o", "/dev/null",
                            "-w", "%{http_code}", ok=False)
        self.assertEqual(foreign.stdout, b"404")
        # Nor from the other family.
        other = self.curl("http://[::1]:%d/%s" % (port, url), "-o", "/dev/null", "-w", "%{http_code}", ok=False)
        self.assertEqual(other.stdout, b"404")
        self.assertEqual(sha(self.curl("http://127.0.0.1:%d/%s" % (port, url)).stdout), sha(self.data))
        lmap = self.map("small.bin", verb="LMPF")
        for source, target in (("127.0.0.2", "127.0.0.1"), ("127.0.0.1", "127.0.0.1"), ("::1", "[::1]")):
            with self.subTest(source=source):
                out = self.curl("http://%s:%d/%s" % (target, port, lmap), "--interface", source)
                self.assertEqual(out.stdout, self.small)

    def test_stop_with_streams_running(self):
        # A sparse file far larger than any socket buffer.
        with open(self.server.path("share", "big.bin"), "wb") as f:
            f.truncate(1 << 30)
        self.start()
        port = self.server.http_port
        url = self.map("big.bin")
        c = self.login()
        m = re.match(r"200 (1/fx_[0-9a-f]+_[0-9a-f]+\.mem)$", c.cmd("SNMF"))
        # A test stream read slowly, and a file fetch that stops reading.
        streams = []
        for request in (get_request(m.group(1)), get_request(url)):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.settimeout(30)
            s.connect(("127.0.0.1", port))
            s.sendall(request)
            self.assertTrue(s.recv(100).startswith(b"HTTP/1.1 200 OK"))
            streams.append(s)
        # A client that sends half a head.
        half = socket.create_connection(("127.0.0.1", port), timeout=30)
        half.sendall(b"GET /" + url.encode())
        time.sleep(0.5)
        self.assertEqual(self.server.stop(), 0)
        for s in streams + [half]:
            s.close()
        c.close()
        log = self.server.log("zellog.txt")
        for line in ("Zelfo service: start http stream service ...",
                     "Zelfo service: success to stop http stream service", "Zelfo service: success stopped!"):
            self.assertIn(line, log)
        wlog = self.server.log("wlog.txt")
        self.assertIn("******Http stream service stopped success******", wlog)
        # The stopped file stream failed with 5010 (stopped by the session's
        # stop flag), never "success".
        self.assertRegex(wlog, r"Http <\d+:[0-9a-f]+ ipv4 http> 10 code:5010 \d+ -> +exit now")

    def test_start_fails_on_a_taken_port(self):
        blocker = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
        blocker.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        blocker.bind(("::", self.server.http_port))
        blocker.listen(1)
        try:
            self.server.configure(ftp="Service_enablev4=0", more=(
                "[Zelfo_http]\r\nService_portv4=%d\r\nService_portv6=%d\r\n"
                % (self.server.http_port, self.server.http_port)))
            self.server.proc = subprocess.Popen([BINARY, "--home", self.server.home], stdout=self.server.out,
                                                stderr=self.server.out)
            self.assertEqual(self.server.proc.wait(timeout=20), 1)
            self.server.proc = None
            self.assertIn("Zelfo service: failed to start http stream service:-36  "
                          "Error: web service failed to bind ipv6 http port: -36", self.server.output())
        finally:
            blocker.close()


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    unittest.main()

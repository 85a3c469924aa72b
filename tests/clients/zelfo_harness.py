"""Runs the real zelfosvr on loopback with a temporary home, for client tests."""
import hashlib
import os
import random
import shutil
import signal
import socket
import subprocess
import tempfile
import time


def free_port():
    """A TCP port free on 127.0.0.1 and ::1 at the time of the call.

    It is drawn below the kernel's ephemeral range (32768 and up), so an
    outgoing connection of another test cannot take it before the server
    binds it.
    """
    rng = random.Random()
    for _ in range(500):
        port = rng.randrange(20000, 32000)
        try:
            with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                s.bind(("0.0.0.0", port))
            with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s6:
                s6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
                s6.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                s6.bind(("::", port))
            return port
        except OSError:
            continue
    raise RuntimeError("no free port")


def protect_sig(arg, key, kind, value, nonce):
    """The signature NEXP announces for one protected command."""
    data = ("RV%:" + arg + key + "%d=%x_**_%X{k}" % (kind, value, nonce)).encode()
    return hashlib.sha512(data).hexdigest()


def protect_key(control, password, value=0x10):
    """Runs CINT on a control connection; returns the protect key and nonce."""
    code, nonce, rand = control.cmd("CINT %x" % value).split()
    if code != "200":
        raise AssertionError("CINT refused: " + code)
    nonce, rand = int(nonce, 16), int(rand, 16)
    text = "&;r~%x+:+GtW_%s?_%X^Lm_%x" % (value, password, nonce, rand)
    return hashlib.sha512(text.encode()).hexdigest(), nonce


_CERT_DIR = None


def certificate_dir():
    """A self-signed certificate and key, made once per process."""
    global _CERT_DIR
    if _CERT_DIR is None:
        _CERT_DIR = tempfile.mkdtemp(prefix="zelfo-cert-")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-days", "3650", "-subj", "/CN=localhost",
                        "-keyout", os.path.join(_CERT_DIR, "sslkey.pem"),
                        "-out", os.path.join(_CERT_DIR, "sslcert.pem")], check=True, capture_output=True)
    return _CERT_DIR


class Server:
    """A zelfosvr child process on a temporary home."""

    def __init__(self, binary, settings="", accounts="", shares="", log_level=2, reply_style=None):
        self.binary = binary
        self.reply_style = reply_style
        self.home = tempfile.mkdtemp(prefix="zelfo-py-")
        self.config = os.path.join(self.home, "config")
        os.makedirs(self.config)
        for name in ("sslcert.pem", "sslkey.pem"):
            shutil.copy(os.path.join(certificate_dir(), name), self.config)
        self.port = free_port()
        self.http_port = free_port()
        while self.http_port == self.port:
            self.http_port = free_port()
        self.econn_port = free_port()
        while self.econn_port in (self.port, self.http_port):
            self.econn_port = free_port()
        self.log_level = log_level
        self.configure(settings)
        if accounts:
            self.write("myaccount.ini", accounts)
        if shares:
            self.write("myshare.txt", shares)
        self.out = open(os.path.join(self.home, "stderr.txt"), "wb")
        self.proc = None

    def configure(self, ftp="", extend="", more=""):
        """Writes set.ini: extra lines of [Zelfo_ftp] and [Zelfo_extend], then
        further sections. (Only the first section of a name is ever read, so
        every key of a section goes here at once.)"""
        if self.reply_style is not None:
            ftp = "Reply_style=%d\r\n%s" % (self.reply_style, ftp)
        text = ("[Zelfo_ftp]\r\nService_portv4=%d\r\nService_portv6=%d\r\n%s\r\n"
                "[Zelfo_extend]\r\n%s\r\nLog_level=%d\r\n%s\r\n"
                % (self.port, self.port, ftp, extend, self.log_level, more))
        if "[Zelfo_http]" not in more:
            # The HTTP stream service always starts: give it a free port of
            # its own so that parallel servers never meet on the default.
            text += "[Zelfo_http]\r\nService_portv4=%d\r\nService_portv6=%d\r\n" % (self.http_port, self.http_port)
        if "Econ_portv4" not in text:
            # The econn service always starts as well: a free port of its own
            # in the first [Zelfo_extend] section (the one that is read).
            head = "[Zelfo_extend]\r\n"
            text = text.replace(head, head + "Econ_portv4=%d\r\nEcon_portv6=%d\r\n"
                                % (self.econn_port, self.econn_port), 1)
        self.write("set.ini", text)

    def write(self, name, text):
        with open(os.path.join(self.config, name), "w") as f:
            f.write(text)

    def path(self, *parts):
        return os.path.join(self.home, *parts)

    def start(self):
        self.proc = subprocess.Popen([self.binary, "--home", self.home], stdout=self.out, stderr=self.out)
        deadline = time.time() + 10
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("zelfosvr exited: " + self.output())
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1) as s:
                    if s.recv(200).startswith(b"220 "):
                        return self
            except OSError:
                pass
            time.sleep(0.05)
        raise RuntimeError("no greeting")

    def stop(self):
        """SIGTERM; returns the exit code."""
        if self.proc is None:
            return None
        self.proc.send_signal(signal.SIGTERM)
        code = self.proc.wait(timeout=10)
        self.proc = None
        return code

    def output(self):
        self.out.flush()
        with open(os.path.join(self.home, "stderr.txt"), "rb") as f:
            return f.read().decode("utf-8", "replace")

    def log(self, name):
        try:
            with open(os.path.join(self.config, name), "rb") as f:
                return f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    def close(self):
        if self.proc is not None:
            self.proc.kill()
            self.proc.wait()
        self.out.close()
        shutil.rmtree(self.home, ignore_errors=True)


def PrivateServer(binary, **kw):
    """A server that answers every session in the private dialect (the one
    the Zelfo client reads), whatever its login."""
    kw.setdefault("reply_style", 1)
    return Server(binary, **kw)


class Control:
    """A raw control connection that reads one reply line at a time."""

    def __init__(self, port, host="127.0.0.1", source=None, timeout=5):
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.sock = socket.socket(family, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        if source:
            self.sock.bind((source, 0))
        self.sock.connect((host, port))
        self.buf = b""

    def line(self):
        while b"\r\n" not in self.buf:
            data = self.sock.recv(4096)
            if not data:
                return ""
            self.buf += data
        head, _, self.buf = self.buf.partition(b"\r\n")
        return head.decode("utf-8", "replace")

    def cmd(self, text):
        self.sock.sendall(text.encode() + b"\r\n")
        return self.line()

    def data(self, command):
        """Runs a command with a data connection over EPSV. Returns (first
        reply, received bytes, final reply); when the first reply is not
        "150 ...", the bytes are empty and the final reply is ""."""
        import re
        reply = self.cmd("EPSV")
        port = int(re.search(r"\|\|\|(\d+)\|", reply).group(1))
        host = "127.0.0.1" if self.sock.family == socket.AF_INET else "::1"
        d = socket.create_connection((host, port), timeout=10)
        first = self.cmd(command)
        if not first.startswith("150 "):
            d.close()
            return first, b"", ""
        got = b""
        while True:
            chunk = d.recv(65536)
            if not chunk:
                break
            got += chunk
        d.close()
        return first, got, self.line()

    def closed(self):
        """True when the server closes the connection without another byte."""
        if self.buf:
            return False
        try:
            return self.sock.recv(1) == b""
        except ConnectionResetError:
            return True
        except socket.timeout:
            return False

    def close(self):
        self.sock.close()

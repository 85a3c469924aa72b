"""Joint transfers, TFBS and the hash and benchmark commands against the real
server, with a joint client of its own (signature, checksums, tail-block
hash and line protocol written from the protocol's description).

usage: joint_test.py ZELFOSVR [unittest options]
"""
import hashlib
import os
import random
import re
import socket
import sys
import unittest

from zelfo_harness import Control, PrivateServer as Server

BINARY = None
TAIL_PREFIX, TAIL_SUFFIX = b"#Zf ", b"7Z"
SMALL_CHUNK, LARGE_CHUNK = 507904, 524288
M64 = (1 << 64) - 1


# --- the protocol's arithmetic ---------------------------------------------

def rotl(x, r):
    r %= 64
    return ((x << r) | (x >> (64 - r))) & M64 if r else x


def rotr(x, r):
    return rotl(x, 64 - r % 64)


def checksum_b(data):
    if not data:
        return 1

    def mix(x):
        return ((rotl(x, 31) + (1 << 32)) & M64) ^ 0xFFFF
    s = 0x02173857A01E556B
    n = len(data) // 8
    for w in memoryview(data[:8 * n]).cast("Q"):
        s = mix(s ^ w)
    s ^= int.from_bytes(data[8 * n:], "little")
    s = mix(s)
    return s or 1


def checksum_a(data):
    if not data:
        return 0x6a2e07c1886012a5
    a, b, c = 0x6a2e07c1886012a5, 0x368a02112ae5cc71, 0x2d1933b6f13d4509
    n = len(data) // 8
    words = list(memoryview(data[:8 * n]).cast("Q"))
    if len(data) % 8:
        words.append(int.from_bytes(data[8 * n:].ljust(8, b"\0"), "little"))
    odd = True
    for w in words:
        a ^= w
        c ^= ((w >> 32) ^ 0x8d23165c) & 0xffffffff
        c ^= (w & 0xffffffff) << 32
        a ^= 0x7a58471e << 32
        if odd:
            a = rotl(a, 27)
            c = rotr(c, ((c & 0xffffffff) >> 24 & 15) + 7)
            b = ((c + b) & M64) ^ (0xFFFF << 48)
        else:
            c = rotr(c, 15)
            a = rotl(a, ((a >> 56) & 15) + 17)
            b = rotl(b, (b & 7) + 3)
            b = (b + a) & M64
            b = (b & ~0xff & M64) | ((b + 1) & 0xff)
        odd = not odd
    d = ~rotl(b, 25) & M64
    a ^= (d & 0xffff) << 48
    a ^= (d >> 48) & 0xffff
    a ^= ((d >> 32) & 0xffff) << 16
    a ^= ((d >> 16) & 0xffff) << 32
    a = ~a & M64
    r = (((c >> 32) ^ a) & 0xffffffff) | ((((a >> 32) ^ c) & 0xffffffff) << 32)
    return r or 1


def checksum(mode, data):
    return checksum_a(data) if mode == 1 else checksum_b(data)


def joint_sig(client, server, text):
    h = hashlib.sha256(b"%x" % client + text + b"%x" % server).hexdigest()[:60]
    return ("2" + h[1:]).encode()


def tail_hash(block):
    return hashlib.sha256(TAIL_PREFIX + block + TAIL_SUFFIX).hexdigest()


def t256_digest(seed):
    buf = bytearray(b"\x54" * 1048576)
    buf[0:4] = (seed & 0xffffffff).to_bytes(4, "little")
    buf[4:8] = (~seed & 0xffffffff).to_bytes(4, "little")
    h = hashlib.sha256()
    for k in range(1, 2049):
        at = 409600 + 12 * (k - 1)
        buf[at:at + 4] = seed.to_bytes(4, "little")
        buf[at + 4:at + 8] = ((((k - 1) % 16) + 1) * 255 + 128).to_bytes(4, "little")
        h.update(buf)
    return h.hexdigest()


# --- a joint client ----------------------------------------------------------

class JointError(AssertionError):
    pass


class Joint:
    """One joint session on a data connection."""

    def __init__(self, data, client, server):
        self.d, self.client, self.server = data, client, server
        self.buf, self.pos = b"", 0  # received bytes; the unread ones start at pos
        self.seq = 0
        self.rng = random.Random()

    def signed(self, text):
        return text + b"|" + joint_sig(self.client, self.server, text) + b"\r\n"

    def send(self, text, sig_edit=None):
        line = self.signed(text)
        if sig_edit:
            line = sig_edit(line)
        self.d.sendall(line)

    def fill(self):
        block = self.d.recv(1 << 20)
        if not block:
            raise JointError("data connection closed")
        self.buf = self.buf[self.pos:] + block
        self.pos = 0

    def exact(self, n):
        while len(self.buf) - self.pos < n:
            self.fill()
        out = self.buf[self.pos:self.pos + n]
        self.pos += n
        return out

    def line(self):
        """The next server line, its signature checked; returns its text."""
        while True:
            end = self.buf.find(b"\r\n", self.pos)
            if end >= 0:
                break
            self.fill()
        raw = self.buf[self.pos:end]
        self.pos = end + 2
        text, bar, sig = raw.partition(b"|")
        if not bar or sig != joint_sig(self.client, self.server, text):
            raise JointError("badly signed server line: %r" % raw)
        return text

    def ask(self, text):
        """Sends a request and returns the reply's fields (its sequence value
        is taken for the next request)."""
        self.send(text)
        fields = self.line().split(b" ")
        self.seq = int(fields[2], 16)
        return fields

    def v(self):
        return self.rng.getrandbits(63) | 1

    def file(self, name):
        f = self.ask(b"FILE %x %x*%s" % (self.v(), self.seq, name))
        return int(f[3]), int(f[4]), int(f[5])

    def mdir(self, name, t=0):
        return int(self.ask(b"MDIR %x %x %x*%s" % (self.v(), self.seq, t, name))[3])

    def deld(self, name):
        return int(self.ask(b"DELD %x %x 0*%s" % (self.v(), self.seq, name))[3])

    def delf(self, name):
        return int(self.ask(b"DELF %x %x 0*%s" % (self.v(), self.seq, name))[3])

    def tfbs(self, name, offset):
        f = self.ask(b"TFBS %x %x %x*%s" % (self.v(), self.seq, offset, name))
        return int(f[3]), f[4].lstrip(b"*").decode()

    def put(self, name, data, mode=0, mtime=0, chunk=LARGE_CHUNK, append=0):
        """OPEN, the chunks with their checksums (mode 1 or 2), DEOF."""
        code = self.ask(b"OPEN %x %x %d %d*%s" % (self.v(), self.seq, append, mode, name))[0]
        if code != b"200":
            return False
        out = []
        for off in range(0, len(data), chunk):
            piece = data[off:off + chunk]
            c = checksum(mode, piece) if mode else 0
            out.append(self.signed(b"DATA %x %x %d %x" % (self.v(), self.seq, len(piece), c)) + piece)
        out.append(self.signed(b"DEOF %x %x %x %x" % (self.v(), self.seq, mtime, 0)))
        self.d.sendall(b"".join(out))
        return True

    def get(self, name, mode=0, offset=0):
        """READ: (bytes, DEOF flag, chunk lengths), or None after 500."""
        code = self.ask(b"READ %x %x %d %d*%s" % (self.v(), self.seq, offset, mode, name))[0]
        if code != b"200":
            return None
        parts, sizes = [], []
        while True:
            f = self.line().split(b" ")
            if f[0] == b"DATA":
                n, c = int(f[3]), int(f[4], 16)
                piece = self.exact(n)
                if c != 0 and c != checksum(mode, piece):
                    raise JointError("chunk checksum differs")
                if mode and c == 0:
                    sizes.append(-n)  # sent without a checksum
                else:
                    sizes.append(n)
                parts.append(piece)
            elif f[0] == b"DEOF":
                return b"".join(parts), int(f[5]), sizes
            else:
                raise JointError("unexpected line %r" % f)

    def put_many(self, files, mode=0):
        """Uploads (name, data) pairs; each file's DATA and DEOF lines leave
        together with the next OPEN, which is the last line the server has
        when it answers it."""
        pending = b""
        for name, data in files:
            pending += self.signed(b"OPEN %x %x 0 %d*%s" % (self.v(), self.seq, mode, name))
            self.d.sendall(pending)
            fields = self.line().split(b" ")
            if fields[0] != b"200":
                return False
            self.seq = int(fields[2], 16)
            pieces = []
            for off in range(0, len(data), LARGE_CHUNK):
                piece = data[off:off + LARGE_CHUNK]
                c = checksum(mode, piece) if mode else 0
                pieces.append(self.signed(b"DATA %x %x %d %x" % (self.v(), self.seq, len(piece), c)) + piece)
            pieces.append(self.signed(b"DEOF %x %x 0 0" % (self.v(), self.seq)))
            pending = b"".join(pieces)
        self.d.sendall(pending)
        return True

    def get_many(self, names, mode=0, window=32):
        """Downloads with up to window READs sent ahead of their answers.
        Returns the contents (None for a refused READ)."""
        out, sent = [], 0
        while len(out) < len(names):
            batch = []
            while sent < len(names) and sent - len(out) < window:
                batch.append(self.signed(b"READ %x 0 0 %d*%s" % (self.v(), mode, names[sent])))
                sent += 1
            if batch:
                self.d.sendall(b"".join(batch))
            fields = self.line().split(b" ")
            if fields[0] != b"200":
                out.append(None)
                continue
            parts = []
            while True:
                f = self.line().split(b" ")
                if f[0] == b"DEOF":
                    break
                piece = self.exact(int(f[3]))
                c = int(f[4], 16)
                if c != 0 and c != checksum(mode, piece):
                    raise JointError("chunk checksum differs")
                parts.append(piece)
            out.append(b"".join(parts))
        return out

    def exit(self):
        self.d.sendall(b"EXIT now|\r\n")


def names_and_sizes():
    """200 files: empty, one chunk exactly, several chunks, non-ASCII names."""
    rng = random.Random(16)
    files = [("empty.bin", 0), ("one-chunk.bin", SMALL_CHUNK), ("large-chunk.bin", LARGE_CHUNK),
             ("many-chunks.bin", 3 * SMALL_CHUNK + 1234), ("Grüße – ファイル.txt", 5000),
             ("emoji 🎞.bin", 8), ("tail.bin", 2200000)]
    i = 0
    while len(files) < 200:
        i += 1
        name = ("données_%03d.dat" if i % 3 == 0 else "file_%03d.bin") % i
        files.append((name, rng.choice([1, 7, 8, 9, 4096, rng.randrange(1, 70000)])))
    return [(n.encode(), os.urandom(s)) for n, s in files]


class JointBase(unittest.TestCase):
    extend = ""

    def setUp(self):
        self.server = Server(BINARY)
        h = self.server.path
        for d in ("share", "backup"):
            os.makedirs(h(d))
        self.server.configure(extend=self.extend)
        self.server.write("myaccount.ini",
                          "[User_admin]\nActive_Mode=1\nAccess_Level=5\nUser_Name=admin\nPass_Word=pw\n"
                          "Backup_dir=%s\n[User_user1]\nActive_Mode=1\nAccess_Level=5\nUser_Name=bob\n"
                          "Pass_Word=pw2\nBackup_dir=%s\n" % (h("backup"), h("backup")))
        self.server.write("myshare.txt", "1*share*%s\n" % h("share"))
        self.server.start()
        self.controls = []

    def tearDown(self):
        for c in self.controls:
            c.close()
        self.server.close()

    def login(self, user="admin", backup=True, host="127.0.0.1", password="pw"):
        c = Control(self.server.port, host=host, timeout=30)
        self.controls.append(c)
        c.line()
        c.cmd("USER %s%s" % (user, ".BACK" if backup else ""))
        self.assertTrue(c.cmd("PASS " + password).startswith("230"))
        return c

    def jkey(self, c, mode=1, value=None):
        value = value or random.getrandbits(63) | 1
        reply = c.cmd("JKEY %x %d" % (value, mode))
        code, server = reply.split()
        return int(code), value, int(server, 16)

    def session(self, c, verb="STOM", mode=1):
        """JKEY, EPSV and the joint command; returns the Joint after "150"."""
        _, client, server = self.jkey(c, mode)
        port = int(re.search(r"\|\|\|(\d+)\|", c.cmd("EPSV")).group(1))
        host = "127.0.0.1" if c.sock.family == socket.AF_INET else "::1"
        d = socket.create_connection((host, port), timeout=30)
        d.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        first = c.cmd(verb + " *")
        self.assertEqual(first, "150 start connect and transfer")
        return Joint(d, client, server)

    def finish(self, c, j, expect="226 joint transfer done", close=False):
        self.assertEqual(c.line(), expect)
        j.d.close()
        if close:
            self.controls.remove(c)
            c.close()

    @staticmethod
    def push(j, data):
        """Sends what the server may refuse half-way."""
        try:
            j.d.sendall(data)
        except (BrokenPipeError, ConnectionResetError):
            pass


class MirrorTest(JointBase):
    """A directory mirrored up and down byte for byte, checksums allowed."""

    def mirror(self, host, crc_on):
        files = names_and_sizes()
        c = self.login(host=host)
        code = self.jkey(c, 1)[0]
        self.assertEqual(code, 201 if crc_on else 200)
        j = self.session(c, "STOM")
        self.assertEqual(j.mdir(b"mirror", 0x5f000000), 1)
        self.assertEqual(j.file(b"mirror"), (0, 0, 0))
        j.exit()
        self.finish(c, j)
        self.assertEqual(int(os.stat(self.server.path("backup", "mirror")).st_mtime), 0x5f000000)
        self.assertTrue(c.cmd("CWD mirror").startswith("2"))

        j = self.session(c, "STOM")
        for i, (name, data) in enumerate(files):
            self.assertEqual(j.file(name), (0, 0, 0))
            self.assertTrue(j.put(name, data, mode=i % 3, mtime=0x60000000 + i, chunk=[LARGE_CHUNK, 100000][i % 2]))
        j.exit()
        self.finish(c, j)
        for i, (name, data) in enumerate(files):
            path = os.path.join(self.server.path("backup", "mirror").encode(), name)
            with open(path, "rb") as f:
                self.assertEqual(f.read(), data, name)
            self.assertEqual(int(os.stat(path).st_mtime), 0x60000000 + i)

        j = self.session(c, "RETM")
        sizes_seen = set()
        for i, (name, data) in enumerate(files):
            self.assertEqual(j.file(name), (1, len(data), 0x60000000 + i))
            mode = i % 3
            got, flag, sizes = j.get(name, mode=mode)
            self.assertEqual((got, flag), (data, 1), name)
            self.assertTrue(all(abs(n) <= SMALL_CHUNK for n in sizes))
            if mode and data:
                # Checksums come only while the server allows them.
                self.assertEqual(all(n > 0 for n in sizes), crc_on, name)
            sizes_seen.add(len(sizes))
        self.assertIn(4, sizes_seen)  # 3 chunks of 507904 and the rest
        self.assertIn(0, sizes_seen)  # the empty file: DEOF alone
        j.exit()
        self.finish(c, j)

    crc_on = True

    def test_mirror_ipv4(self):
        self.mirror("127.0.0.1", self.crc_on)

    def test_mirror_ipv6(self):
        self.mirror("::1", self.crc_on)


class MirrorNoCrcTest(MirrorTest):
    """The same with Ftp_jointcrc off: no checksums either way."""
    extend = "Ftp_jointcrc=0\r\n"
    crc_on = False

    def test_mirror_ipv6(self):
        pass  # one family is enough here

    def test_wrong_checksum_is_not_looked_at(self):
        c = self.login()
        j = self.session(c)
        self.assertEqual(j.ask(b"OPEN 1 0 0 1*f.bin")[0], b"200")
        data = b"abcdefgh"
        j.d.sendall(j.signed(b"DATA 2 0 8 %x" % (checksum_a(data) ^ 1)) + data + j.signed(b"DEOF 3 0 0 0"))
        j.exit()
        self.finish(c, j)
        with open(self.server.path("backup", "f.bin"), "rb") as f:
            self.assertEqual(f.read(), data)

    def test_jkey_mode_stays_off(self):
        c = self.login()
        self.assertEqual(self.jkey(c, 1)[0], 200)
        self.assertEqual(self.jkey(c, 2)[0], 200)


class ProtocolTest(JointBase):
    def backup(self, *parts):
        return self.server.path("backup", *parts)

    def test_refusals_before_the_data_connection(self):
        c = self.login()
        cases = [("JKEY 0", "450 bad parameter"), ("JKEY", "450 bad parameter"), ("JKEY zz", "450 bad parameter"),
                 ("RETM *", "550 parameter not ready"), ("RETR *", "550 parameter not ready"),
                 ("STOR *", "550 parameter not ready"), ("Q256 x", "550  unknown command"),
                 ("CCHK", "500 old command , please update your client program")]
        for cmd, want in cases:
            self.assertEqual(c.cmd(cmd), want, cmd)
        self.jkey(c)
        self.assertEqual(c.cmd("RETM *"), "550 connect mode not ready")
        n = self.login(backup=False)
        self.jkey(n)
        self.assertEqual(n.cmd("STOM *"), "550 must be in backup mode")
        self.assertEqual(n.cmd("STOR a*"), "550 must be in backup mode")
        fresh = Control(self.server.port)
        self.controls.append(fresh)
        fresh.line()
        for cmd in ("JKEY 1", "STOM *", "RETM *", "TFBS 1|x"):
            self.assertEqual(fresh.cmd(cmd), "550 login first", cmd)

    def test_signature_rules(self):
        """A difference within the first 60 characters ends the session with
        426 and nothing is written; one after them is ignored; EXIT needs no
        signature at all."""
        def at(i, ch=b"0"):
            def edit(line):
                text, _, sig = line.rstrip(b"\r\n").partition(b"|")
                sig = bytearray(sig + b"xyz")
                sig[i] = ch[0] if sig[i] != ch[0] else ord("1")
                return text + b"|" + bytes(sig) + b"\r\n"
            return edit
        cases = [(0, False), (59, False), (60, True), (62, True)]
        for i, ok in cases:
            c = self.login()
            j = self.session(c)
            self.assertEqual(j.ask(b"OPEN 1 0 0 0*sig%d.bin" % i)[0], b"200")
            self.push(j, at(i)(j.signed(b"DATA 5 0 5 0")) + b"hello" + j.signed(b"DEOF 5 0 0 0"))
            if ok:
                self.assertEqual(j.file(b"sig%d.bin" % i)[:2], (1, 5))
                j.exit()
                self.finish(c, j, close=True)
            else:
                self.finish(c, j, "426 joint transfer done", close=True)
                self.assertEqual(os.path.getsize(self.backup("sig%d.bin" % i)), 0)
        c = self.login()
        j = self.session(c, "RETM")
        j.send(b"FILE 1 0*x", sig_edit=lambda line: line.replace(b"|2", b"|3"))
        self.finish(c, j, "426 joint transfer done")
        c = self.login()
        j = self.session(c, "RETM")
        j.d.sendall(b"EXIT x|not a signature\r\n")
        self.finish(c, j)

    def test_wrong_checksum_ends_the_session_and_writes_nothing(self):
        for mode in (1, 2):
            c = self.login()
            j = self.session(c)
            self.assertEqual(j.ask(b"OPEN 1 0 0 %d*crc.bin" % mode)[0], b"200")
            good = b"first chunk"
            j.d.sendall(j.signed(b"DATA 2 0 %d %x" % (len(good), checksum(mode, good))) + good)
            bad = b"second chunk"
            self.push(j, j.signed(b"DATA 3 0 %d %x" % (len(bad), checksum(mode, bad) ^ 1)) + bad)
            self.finish(c, j, "426 joint transfer done", close=True)
            with open(self.backup("crc.bin"), "rb") as f:
                self.assertEqual(f.read(), good)

    def test_unsafe_names_end_the_session(self):
        os.makedirs(self.backup("sub"))
        names = [b"a/b", b"..", b".", b"a\\b", b"x\x01y", b"x\x7fy", b"\xff\xfe.bin", b"\xc0\xaf", b"", b"a:b",
                 b"n" * 256]
        for verb in (b"OPEN 1 0 0 0", b"MDIR 1 0 0", b"FILE 1 0"):
            for name in names:
                c = self.login()
                c.cmd("CWD sub")
                j = self.session(c)
                j.send(verb + b"*" + name)
                self.finish(c, j, "426 joint transfer done", close=True)
        self.assertEqual(os.listdir(self.backup("sub")), [])
        self.assertEqual(sorted(os.listdir(self.backup())), ["sub"])
        c = self.login()
        j = self.session(c)
        j.send(b"FILE 1 0")  # no name at all
        self.finish(c, j, "426 joint transfer done")

    def test_line_rules(self):
        # OPEN with bytes behind it, an over-long DATA line, too few fields,
        # an unknown verb, a line without "|", an over-long line.
        big = LARGE_CHUNK + 1
        cases = [
            lambda j: self.push(j, j.signed(b"OPEN 1 0 0 0*p.bin") + j.signed(b"DATA 1 0 1 0") + b"x"),
            lambda j: (j.ask(b"OPEN 1 0 0 0*q.bin"), j.send(b"DATA 1 0 %d 0" % big)),
            lambda j: j.send(b"OPEN 1 0*r.bin"),
            lambda j: j.send(b"READ 1 0 0 0*r.bin"),
            lambda j: j.send(b"WHAT 1 0*r.bin"),
            lambda j: j.d.sendall(b"FILE 1 0*r.bin\r\n"),
            lambda j: self.push(j, b"FILE 1 0*" + b"r" * 3000 + b"|"),
            lambda j: j.d.sendall(b"EX\r\n"),
        ]
        for i, case in enumerate(cases):
            c = self.login()
            j = self.session(c)
            case(j)
            self.finish(c, j, "426 joint transfer done", close=True)
        self.assertFalse(os.path.exists(self.backup("p.bin")))
        self.assertEqual(os.path.getsize(self.backup("q.bin")), 0)

    def test_pipelined_reads_and_batched_opens(self):
        files = [(b"p%03d.bin" % i, os.urandom(random.choice([0, 1, 4096, 70000]))) for i in range(120)]
        c = self.login()
        j = self.session(c)
        self.assertTrue(j.put_many(files, mode=2))
        j.exit()
        self.finish(c, j)
        j = self.session(c, "RETM")
        names = [n for n, _ in files] + [b"missing.bin"]
        self.assertEqual(j.get_many(names, mode=1, window=40), [d for _, d in files] + [None])
        j.exit()
        self.finish(c, j)

    def test_reads_and_directory_commands(self):
        with open(self.backup("ten.bin"), "wb") as f:
            f.write(b"0123456789")
        open(self.backup("empty.bin"), "wb").close()
        os.makedirs(self.backup("d", "inner"))
        with open(self.backup("d", "inner", "x"), "w") as f:
            f.write("x")
        c = self.login()
        j = self.session(c, "RETM")
        self.assertEqual(j.get(b"ten.bin", offset=4)[:2], (b"456789", 1))
        self.assertEqual(j.get(b"ten.bin", offset=50), (b"", 1, []))
        self.assertEqual(j.get(b"empty.bin"), (b"", 1, []))
        self.assertIsNone(j.get(b"missing.bin"))
        self.assertIsNone(j.get(b"d"))  # a directory is no file
        self.assertEqual(j.mdir(b"d"), 1)
        self.assertEqual(j.mdir(b"new"), 0)  # RETM creates nothing
        self.assertFalse(os.path.exists(self.backup("new")))
        self.assertEqual(j.file(b"d"), (0, 0, 0))
        j.exit()
        self.finish(c, j)

        j = self.session(c, "STOM")
        self.assertEqual(j.deld(b"d"), 1)
        self.assertFalse(os.path.exists(self.backup("d")))
        self.assertEqual(j.deld(b"never"), 1)
        self.assertEqual(j.delf(b"ten.bin"), 1)
        self.assertFalse(os.path.exists(self.backup("ten.bin")))
        self.assertEqual(j.delf(b"never"), 1)
        self.assertTrue(j.put(b"app.bin", b"abc"))
        self.assertTrue(j.put(b"app.bin", b"def", append=1, mtime=(1 << 62)))
        self.assertEqual(j.file(b"app.bin")[:2], (1, 6))
        j.exit()
        self.finish(c, j)

    def test_tail_block_hash(self):
        big = os.urandom(3000000)
        with open(self.backup("big.bin"), "wb") as f:
            f.write(big)
        with open(self.backup("two.bin"), "wb") as f:
            f.write(b"\0" * 2097152)
        c = self.login()
        for off in (1048576, 2999990):
            n = min(512, 3000000 - off)
            self.assertEqual(c.cmd("TFBS %d| big.bin" % off),
                             "200  %d 3000000 * %s" % (n, tail_hash(big[off:off + n])))
        cases = [("TFBS 1048576|two.bin", "550 failed to get file tail"),
                 ("TFBS 3000000|big.bin", "550 failed to get file tail"),
                 ("TFBS 1048576|missing.bin", "550 failed to get file tail"),
                 ("TFBS 1048575|big.bin", "450 out of range"), ("TFBS x|big.bin", "450 out of range"),
                 ("TFBS 1048576 big.bin", "450 bad parameters"), ("TFBS 1048576|../x", "450 bad parameters")]
        for cmd, want in cases:
            self.assertEqual(c.cmd(cmd), want, cmd)
        j = self.session(c, "RETM")
        self.assertEqual(j.tfbs(b"big.bin", 1048576), (512, tail_hash(big[1048576:1049088])[:60]))
        self.assertEqual(j.tfbs(b"big.bin", 2999999), (1, tail_hash(big[-1:])[:60]))
        for name, off, want in [(b"big.bin", 1048575, -3), (b"two.bin", 1048576, -3), (b"nope", 1048576, -2),
                                (b"big.bin", 3000000, -4)]:
            self.assertEqual(j.tfbs(name, off), (want, "0"), (name, off))
        j.exit()
        self.finish(c, j)


class HashTest(JointBase):
    def test_f256(self):
        data = os.urandom(1234567)
        with open(self.server.path("backup", "f.bin"), "wb") as f:
            f.write(data)
        os.makedirs(self.server.path("backup", "dir"))
        c = self.login()
        cases = [("F256 f.bin", "200 " + hashlib.sha256(data).hexdigest()),
                 ("F256 dir", "550 file not exist or failed to open"),
                 ("F256 missing", "550 file not exist or failed to open"),
                 ("F256 a/b", "550 bad filename"), ("F256 ..", "550 bad filename"),
                 ("F256 a*b", "550 bad filename"), ("F256", "550 bad parameter")]
        for cmd, want in cases:
            self.assertEqual(c.cmd(cmd), want, cmd)
        n = self.login(backup=False)
        self.assertEqual(n.cmd("F256 f.bin"), "550 bad directory")
        bob = self.login(user="bob", password="pw2")
        self.assertEqual(bob.cmd("F256 f.bin"), "550 unknown command")
        for cmd in ("T256", "TECC 7"):
            self.assertEqual(bob.cmd(cmd), "550 unknown command")

    def test_t256_and_tecc(self):
        c = self.login(backup=False)
        for arg, seed in (("", 430), (" 7", 7)):
            reply = c.cmd("T256" + arg)
            m = re.fullmatch(r"200 (\d+) ([0-9a-f]{64})", reply)
            self.assertIsNotNone(m, reply)
            self.assertEqual(m.group(2), t256_digest(seed))
        for arg, version in (("TECC 7", 0), ("TECC", 0), ("TECC 7 1", 1), ("TECC 7 x", 0)):
            reply = c.cmd(arg)
            self.assertRegex(reply, r"^200 Crc rate : \d+ ms per GB :[0-9a-f]+ ver=%d$" % version)


class FileHashForAllTest(JointBase):
    extend = "Filehash_adminonly=0\r\n"

    def test_f256_for_every_account(self):
        with open(self.server.path("backup", "f.bin"), "wb") as f:
            f.write(b"abc")
        bob = self.login(user="bob", password="pw2")
        self.assertEqual(bob.cmd("F256 f.bin"), "200 " + hashlib.sha256(b"abc").hexdigest())


class ChecksumVectorTest(unittest.TestCase):
    """The client's own checksums against the published vectors (the server's
    are checked against these in the mirror tests)."""

    def test_vectors(self):
        for data, a, b in [(b"abcdefgh", 0x35e0bae6157e10b4, 0x1a9c6874311fb23c),
                           (b"xyz", 0x8256f5235dde6c82, 0xd032160a810b63d4),
                           (b"", 0x6a2e07c1886012a5, 1)]:
            self.assertEqual((checksum_a(data), checksum_b(data)), (a, b), data)


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    unittest.main()

"""The zelfo command-line client against the real server: mirrors over every
transport, transfers, maps, the board, operator commands, signed commands,
exit codes and where the password must never show up.

usage: client_test.py ZELFOSVR ZELFO [unittest options]

With ZELFO_TRANSCRIPT=FILE set, TranscriptTest writes the commands it runs
and their output to FILE (the examples of docs/client.md come from there).
"""
import filecmp
import json
import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import unittest

from zelfo_harness import Control, Server, free_port, protect_key

BINARY = None
CLIENT = None

ACCOUNTS = """[User_admin]
Active_Mode=1
Access_Level=5
User_Name=admin
Pass_Word=%(pw)s
Backup_dir=%(backup)s
[User_user1]
Active_Mode=1
Access_Level=5
User_Name=bob
Pass_Word=bobpw
Backup_dir=%(backup_bob)s
"""

PASSWORD = "Sesam-9f3e1c"


def make_tree(root, seed=22):
    """200 files in three levels: mixed sizes, non-ASCII names, an empty
    file and one of several MiB. Returns the relative file paths."""
    rng = random.Random(seed)
    dirs = ["", "docs", "docs/Übersicht", "media", "media/写真", "media/写真/2026"]
    for d in dirs:
        os.makedirs(os.path.join(root, d), exist_ok=True)
    os.makedirs(os.path.join(root, "empty dir"))
    files = [("empty.txt", 0), ("media/写真/big.bin", 5 * 1024 * 1024 + 123), ("docs/Grüße – ファイル.txt", 7000),
             ("media/emoji 🎞.bin", 8), ("docs/Übersicht/exact.bin", 507904)]
    i = 0
    while len(files) < 200:
        i += 1
        name = ("données_%03d.dat" if i % 4 == 0 else "file_%03d.bin") % i
        files.append((os.path.join(dirs[i % len(dirs)], name), rng.choice([1, 9, 4096, rng.randrange(1, 90000)])))
    for path, size in files:
        with open(os.path.join(root, path), "wb") as f:
            f.write(rng.randbytes(size))
        # Whole seconds in the past, as the server keeps them.
        t = 1700000000 + rng.randrange(0, 10 ** 7)
        os.utime(os.path.join(root, path), (t, t))
    return sorted(p for p, _ in files)


def tree_listing(root):
    """(relative path, kind, size, mtime, bytes) for every entry."""
    out = []
    for base, dirs, files in os.walk(root):
        for d in dirs:
            out.append((os.path.relpath(os.path.join(base, d), root), "d", 0, 0, b""))
        for f in files:
            p = os.path.join(base, f)
            with open(p, "rb") as fh:
                data = fh.read()
            out.append((os.path.relpath(p, root), "f", len(data), int(os.stat(p).st_mtime), data))
    return sorted(out)


class Proxy:
    """A TCP relay in front of the server's control port. hold: the relay
    connects on only after release(). drop_on: the relay cuts both sides
    when the client sends a line that begins with this verb."""

    def __init__(self, port, hold=False, drop_on=None):
        self.target = port
        self.drop_on = drop_on.encode() if drop_on else None
        self.accepted = threading.Event()
        self.released = threading.Event()
        if not hold:
            self.released.set()
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.run, daemon=True).start()

    def release(self):
        self.released.set()

    def run(self):
        client, _ = self.listener.accept()
        self.accepted.set()
        self.released.wait(30)
        upstream = socket.create_connection(("127.0.0.1", self.target))

        def pump(src, dst, watch):
            line = b""
            try:
                while True:
                    data = src.recv(65536)
                    if not data:
                        break
                    if watch and self.drop_on:
                        line += data
                        if any(l.startswith(self.drop_on) for l in line.split(b"\r\n")):
                            break
                    dst.sendall(data)
            except OSError:
                pass
            for s in (client, upstream):
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

        back = threading.Thread(target=pump, args=(upstream, client, False), daemon=True)
        back.start()
        pump(client, upstream, True)
        back.join(30)
        client.close()
        upstream.close()

    def close(self):
        self.listener.close()


class ClientBase(unittest.TestCase):
    password = PASSWORD
    option = ""  # [Zelfo_option] lines
    extend = ""

    def setUp(self):
        self.implicit = free_port()
        self.server = Server(BINARY, log_level=5)
        h = self.server.path
        for d in ("share", "backup", "backup-bob", "work"):
            os.makedirs(h(d))
        self.server.configure(ftp="Implicit_mode=1\r\nService_implicitv4=%d\r\nService_implicitv6=%d"
                              % (self.implicit, self.implicit), extend=self.extend,
                              more="[Zelfo_option]\r\n%s\r\n" % self.option if self.option else "")
        self.server.write("myaccount.ini", ACCOUNTS % {"pw": self.password, "backup": h("backup"),
                                                      "backup_bob": h("backup-bob")})
        self.server.write("myshare.txt", "1*share*%s\n" % h("share"))
        self.server.start()
        self.work = h("work")

    def tearDown(self):
        self.server.close()

    def url(self, user="admin", scheme="ftp", host="127.0.0.1", port=None):
        if port is None:
            port = self.implicit if scheme == "ftps" else self.server.port
        return "%s://%s@%s:%d" % (scheme, user, "[%s]" % host if ":" in host else host, port)

    def zelfo(self, *args, url=None, password=None, env=None, expect=0, popen=False):
        """Runs the client; returns (stdout, stderr) after checking the exit
        status (expect=None skips the check)."""
        e = dict(os.environ)
        e.pop("ZELFO_URL", None)
        e["ZELFO_PASSWORD"] = self.password if password is None else password
        e.update(env or {})
        cmd = [CLIENT] + (["--url", url or self.url()] if url is not False else []) + list(args)
        if popen:
            return subprocess.Popen(cmd, env=e, stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        p = subprocess.run(cmd, env=e, capture_output=True, stdin=subprocess.DEVNULL, timeout=240)
        out, err = p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")
        if expect is not None:
            self.assertEqual(p.returncode, expect, "%s\nstdout: %s\nstderr: %s" % (cmd, out[-2000:], err))
        return out, err

    def json_lines(self, out):
        return [json.loads(line) for line in out.splitlines() if line.strip()]


class MirrorTest(ClientBase):
    """A tree of 200 files mirrored up and down byte for byte over each
    transport, then mirrored again with one change."""

    TRANSPORTS = [
        ("plain", "ftp", "127.0.0.1", []),
        ("plain econn", "ftp", "127.0.0.1", ["--econn"]),
        ("explicit TLS", "ftp", "127.0.0.1", ["--tls", "--insecure"]),
        ("explicit TLS econn IPv6", "ftp", "::1", ["--tls", "--insecure", "--econn"]),
        ("implicit TLS IPv6", "ftps", "::1", ["--insecure"]),
        ("implicit TLS econn", "ftps", "127.0.0.1", ["--insecure", "--econn"]),
        ("clear login econn", "ftp", "127.0.0.1", ["--clear-login", "--econn"]),
    ]

    def test_round_trip_over_every_transport(self):
        src = os.path.join(self.work, "src")
        make_tree(src)
        want = tree_listing(src)
        self.assertEqual(sum(1 for e in want if e[1] == "f"), 200)
        for i, (label, scheme, host, opts) in enumerate(self.TRANSPORTS):
            with self.subTest(label):
                remote = "trees/t%d" % i
                out, _ = self.zelfo(*opts, "--json", "mirror-up", src, remote, url=self.url(scheme=scheme, host=host))
                summary = self.json_lines(out)[-1]
                self.assertEqual((summary["files"], summary["unchanged"]), (200, 0))
                self.assertEqual(tree_listing(self.server.path("backup", "trees", "t%d" % i)), want)
                dst = os.path.join(self.work, "dst%d" % i)
                self.zelfo(*opts, "mirror-down", remote, dst, url=self.url(scheme=scheme, host=host))
                self.assertEqual(tree_listing(dst), want)

    def test_second_mirror_moves_only_what_changed(self):
        src = os.path.join(self.work, "src")
        files = make_tree(src)
        self.zelfo("mirror-up", src, "m")
        changed, removed = files[17], files[42]
        with open(os.path.join(src, changed), "r+b") as f:
            f.write(b"changed")
        os.utime(os.path.join(src, changed), (1800000000, 1800000000))
        os.remove(os.path.join(src, removed))

        out, _ = self.zelfo("--json", "mirror-up", src, "m")
        lines = self.json_lines(out)
        self.assertEqual([(l["action"], l["path"]) for l in lines[:-1]], [("put", changed)])
        self.assertEqual((lines[-1]["files"], lines[-1]["unchanged"], lines[-1]["deleted"]), (1, 198, 0))
        self.assertTrue(os.path.exists(self.server.path("backup", "m", removed)))

        out, _ = self.zelfo("--json", "--delete", "mirror-up", src, "m")
        self.assertEqual([(l["action"], l["path"]) for l in self.json_lines(out)[:-1]], [("delete", removed)])
        self.assertEqual(tree_listing(self.server.path("backup", "m")), tree_listing(src))

        # Down again: a local copy that lacks one file and has a stray one.
        dst = os.path.join(self.work, "dst")
        self.zelfo("mirror-down", "m", dst)
        os.remove(os.path.join(dst, changed))
        with open(os.path.join(dst, "stray.txt"), "w") as f:
            f.write("not on the server")
        out, _ = self.zelfo("--json", "--delete", "mirror-down", "m", dst)
        self.assertEqual(sorted((l["action"], l["path"]) for l in self.json_lines(out)[:-1]),
                         [("delete", "stray.txt"), ("get", changed)])
        self.assertEqual(tree_listing(dst), tree_listing(src))


class TransferTest(ClientBase):
    def test_put_get_ls_and_map(self):
        data = os.urandom(3 * 1024 * 1024 + 17)
        local = os.path.join(self.work, "up.bin")
        with open(local, "wb") as f:
            f.write(data)
        for opts in ([], ["--econn"]):
            with self.subTest(opts=opts):
                out, _ = self.zelfo(*opts, "--json", "put", local, "up.bin")
                self.assertEqual(self.json_lines(out)[0]["bytes"], len(data))
                back = os.path.join(self.work, "back.bin")
                self.zelfo(*opts, "get", "up.bin", back, url=self.url("admin.BACK"))
                self.assertTrue(filecmp.cmp(local, back, shallow=False))
                os.remove(back)
        out, _ = self.zelfo("--json", "ls", url=self.url("admin.BACK"))
        self.assertIn({"name": "up.bin", "type": "file", "size": len(data),
                       "mtime": int(os.stat(self.server.path("backup", "up.bin")).st_mtime)}, self.json_lines(out))

        shutil.copy(local, self.server.path("share", "film.bin"))
        urls = []
        for opts in ([], ["--long"]):
            with self.subTest(map=opts):
                url = self.zelfo(*opts, "map", "share/film.bin")[0].strip()
                urls.append(url)
                self.assertRegex(url, r"^http://127\.0\.0\.1:%d/[0-9a-f]+/fx_[0-9a-f]+_[0-9a-f]+\.bin$"
                                 % self.server.http_port)
                got = subprocess.run(["curl", "-s", "-S", "--max-time", "60", url], capture_output=True)
                self.assertEqual(got.returncode, 0, got.stderr)
                self.assertEqual(got.stdout, data)
        self.assertEqual(self.zelfo("unmap", urls[0])[0], "unmapped %s\n" % urls[0])
        self.assertEqual(self.zelfo("--long", "unmap", "share/film.bin")[0], "removed 1 long map\n")

    def test_board_and_operator_commands(self):
        self.zelfo("bbs", "post", "from the operator")
        self.zelfo("bbs", "post", "from bob", url=self.url("bob"), password="bobpw")
        out, _ = self.zelfo("bbs")
        self.assertEqual(out, "from the operator\n--------\nfrom bob\n")
        out, _ = self.zelfo("--json", "bbs")
        self.assertEqual(self.json_lines(out), [{"from": "admin", "text": "from the operator"},
                                                {"from": "user", "text": "from bob"}])
        out, _ = self.zelfo("admin", "temp", "0")
        self.assertEqual(out, "Temp account status changed to:0\n")
        out, _ = self.zelfo("--json", "admin", "VFUL")
        reply = self.json_lines(out)[0]
        self.assertEqual((reply["verb"], reply["code"], reply["lines"][-1]), ("VFUL", 200, "ftp account list"))
        self.assertTrue(any(l.startswith("Account_Admin[admin] time:") for l in reply["lines"]))


class ProtectedTest(ClientBase):
    """With command protect always on and account hashes, every file
    command is signed; an unsigned one is refused."""
    option = "Command_protect=2"
    extend = "Use_accountsha=1"

    def test_signed_commands(self):
        with open(self.server.path("share", "a.txt"), "w") as f:
            f.write("signed")
        c = Control(self.server.port)
        c.line()
        c.cmd("USER admin")
        c.cmd("PASS " + self.password)
        self.assertEqual(c.data("RETR share/a.txt")[0], "550 command protect fail")
        c.close()

        got = os.path.join(self.work, "a.txt")
        self.zelfo("get", "share/a.txt", got)
        with open(got) as f:
            self.assertEqual(f.read(), "signed")
        src = os.path.join(self.work, "src")
        os.makedirs(os.path.join(src, "d"))
        with open(os.path.join(src, "d", "x.txt"), "w") as f:
            f.write("x")
        for args in (["put", got, "p.txt"], ["mirror-up", src, "m"], ["--econn", "mirror-down", "m", src + "2"],
                     ["map", "p.txt"], ["admin", "DELE", "p.txt"]):
            with self.subTest(args=args):
                self.zelfo(*args, url=self.url("admin.BACK"))
        self.assertEqual(tree_listing(src + "2"), tree_listing(src))
        self.assertFalse(os.path.exists(self.server.path("backup", "p.txt")))


class FailureTest(ClientBase):
    """Each failure gives its exit status and one line on standard error."""

    def test_exit_codes(self):
        dead = free_port()
        with open(self.server.path("share", "here.txt"), "w") as f:
            f.write("here")
        drop = Proxy(self.server.port, drop_on="EPSV")
        try:
            cases = [
                ("wrong password", ["ls"], {"password": "wrong"}, 1),
                ("wrong clear password", ["--clear-login", "ls"], {"password": "wrong"}, 1),
                ("refused command", ["admin", "VFUL"], {"url": self.url("bob"), "password": "bobpw"}, 1),
                ("missing file", ["get", "share/none.bin", os.path.join(self.work, "n")], {}, 1),
                ("unwritable target", ["get", "share/here.txt", os.path.join(self.work, "no", "dir")], {}, 4),
                ("no server", ["ls"], {"url": self.url(port=dead)}, 3),
                ("unverified certificate", ["ls"], {"url": self.url(scheme="ftps")}, 3),
                ("dropped connection", ["ls", "share"], {"url": self.url(port=drop.port)}, 3),
                ("no url", ["ls"], {"url": False}, 2),
                ("unknown command", ["fetch", "x"], {}, 2),
                ("password argument", ["--password", "x", "ls"], {}, 2),
                ("too many arguments", ["get", "a", "b", "c"], {}, 2),
                ("bad url", ["ls"], {"url": "http://admin@127.0.0.1:21"}, 2),
            ]
            for label, args, kw, code in cases:
                with self.subTest(label):
                    out, err = self.zelfo(*args, expect=code, **kw)
                    self.assertEqual(out, "")
                    self.assertEqual(len(err.splitlines()), 1, err)
                    self.assertTrue(err.startswith("zelfo: "), err)
        finally:
            drop.close()

    def test_json_failure_object(self):
        out, err = self.zelfo("--json", "admin", "NOSUCH", expect=1)
        self.assertEqual(self.json_lines(out)[-1]["exit"], 1)
        self.assertEqual(len(err.splitlines()), 1)

    def test_help_pages(self):
        out, _ = self.zelfo("--help", url=False)
        for part in ("SYNOPSIS", "COMMANDS", "OPTIONS", "EXIT STATUS", "ZELFO_PASSWORD"):
            self.assertIn(part, out)
        for command in ("ls", "get", "put", "mirror-up", "mirror-down", "map", "unmap", "bbs", "admin"):
            with self.subTest(command):
                out, _ = self.zelfo(command, "--help", url=False)
                self.assertIn("zelfo %s - " % command, out)
                self.assertIn("SYNOPSIS", out)


class PasswordTest(ClientBase):
    """The password never shows in the process's command line or
    environment, in the client's output, or in the server's logs."""

    def test_password_stays_hidden(self):
        pw_file = os.path.join(self.work, "pw")
        with open(pw_file, "w") as f:
            f.write(self.password + "\n")
        for label, opts, env in (("environment", [], {}),
                                 ("file over TLS", ["--tls", "--insecure", "--password-file", pw_file],
                                  {"ZELFO_PASSWORD": ""})):
            with self.subTest(label):
                proxy = Proxy(self.server.port, hold=True)
                p = self.zelfo(*opts, "ls", "share", url=self.url(port=proxy.port), env=env, popen=True)
                try:
                    self.assertTrue(proxy.accepted.wait(30))
                    # The client read its password before it connected.
                    for name in ("cmdline", "environ"):
                        with open("/proc/%d/%s" % (p.pid, name), "rb") as f:
                            self.assertNotIn(self.password.encode(), f.read(), name)
                    ps = subprocess.run(["ps", "-eo", "args"], capture_output=True).stdout
                    self.assertNotIn(self.password.encode(), ps)
                finally:
                    proxy.release()
                    out, err = p.communicate(timeout=60)
                    proxy.close()
                self.assertEqual(p.returncode, 0, err)
                self.assertNotIn(self.password.encode(), out + err)
        self.server.stop()  # the log writers flush
        logs = "".join(self.server.log(n) for n in ("zellog.txt", "zelfail.txt", "wlog.txt"))
        self.assertIn("USER admin", logs)  # the logs are there
        self.assertNotIn(self.password, logs + self.server.output())


class TranscriptTest(ClientBase):
    """Runs every command once, as docs/client.md shows them."""

    def test_every_command(self):
        record = os.environ.get("ZELFO_TRANSCRIPT")
        h = self.server.path
        with open(h("share", "report.pdf"), "wb") as f:
            f.write(os.urandom(48213))
        src = os.path.join(self.work, "photos")
        os.makedirs(os.path.join(src, "2026"))
        for name, size in (("a.jpg", 120000), ("b.jpg", 98000), ("2026/c.jpg", 4000)):
            with open(os.path.join(src, name), "wb") as f:
                f.write(os.urandom(size))
        os.chdir(self.work)
        base = self.url()
        steps = [
            (["ls"], base, None), (["ls", "share"], base, None), (["--json", "ls", "share"], base, None),
            (["get", "share/report.pdf"], base, None), (["--econn", "put", "report.pdf", "copy.pdf"], base, None),
            (["mirror-up", "photos", "photos"], base, None), (["mirror-up", "photos", "photos"], base, None),
            (["--json", "mirror-down", "photos", "restored"], base, None),
            (["map", "share/report.pdf"], base, None), (["unmap", "MAPPED"], base, None),
            (["--long", "--json", "map", "share/report.pdf"], base, None),
            (["--long", "unmap", "share/report.pdf"], base, None),
            (["bbs", "post", "backup finished"], base, None), (["bbs"], base, None), (["--json", "bbs"], base, None),
            (["admin", "TEMP"], base, None), (["admin", "VFCL"], base, None),
            (["ls", "share/missing"], base, None), (["ls"], base, "wrong"), (["admin", "VFUL"], self.url("bob"), "bobpw"),
        ]
        text = []
        mapped = ""
        for args, url, password in steps:
            args = [mapped if a == "MAPPED" else a for a in args]
            e = dict(os.environ, ZELFO_PASSWORD=password or self.password)
            p = subprocess.run([CLIENT, "--url", url] + args, env=e, capture_output=True, stdin=subprocess.DEVNULL,
                               timeout=120)
            out, err = p.stdout.decode(), p.stderr.decode()
            if args == ["map", "share/report.pdf"]:
                mapped = out.strip()
            shown = " ".join("'%s'" % a if " " in a else a for a in args)
            head = "" if url == base else "--url %s " % url.replace(str(self.server.port), "PORT")
            text.append("$ zelfo %s%s\n%s%s%s" % (head, shown, out, err,
                                                "[exit status %d]\n" % p.returncode if p.returncode else ""))
        if record:
            with open(record, "w") as f:
                f.write("\n".join(text))
        self.assertIn("report.pdf", text[1])
        self.assertTrue(filecmp.cmp(h("share", "report.pdf"), os.path.join(self.work, "report.pdf"), shallow=False))
        self.assertTrue(filecmp.cmp(h("share", "report.pdf"), h("backup", "copy.pdf"), shallow=False))


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv.pop(1))
    CLIENT = os.path.abspath(sys.argv.pop(1))
    unittest.main()

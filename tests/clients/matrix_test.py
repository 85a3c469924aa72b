"""The client matrix: curl, Python's ftplib, lftp and wget against zelfosvr,
plain, explicit TLS and implicit TLS, IPv4 and IPv6, passive and active.

In each cell: log in and list, download, upload and append in a .BACK
session, resume a download, rename and delete; every file is checked byte
for byte with SHA-256. Downloads take a two-level tree where the client can
(lftp mirror, rclone copy), and rclone syncs a tree up twice with a check
after each. The results go to a JSON file that scripts/render_compat.py
turns into docs/compatibility.md.

usage: matrix_test.py ZELFOSVR RESULTS.json
"""
import ftplib
import hashlib
import json
import os
import shutil
import socket
import ssl
import subprocess
import sys
import traceback
import warnings

from zelfo_harness import Server, free_port

OPS = ["login+list", "download", "upload", "append", "resume", "rename", "delete"]
SECURITY = ["plain", "explicit", "implicit"]
FAMILIES = ["ipv4", "ipv6"]
MODES = ["passive", "active"]


def sha_bytes(b):
    return hashlib.sha256(b).hexdigest()


def sha_file(path):
    with open(path, "rb") as f:
        return sha_bytes(f.read())


class NotPossible(Exception):
    """A cell the client cannot do; the text says why."""


class Cell:
    def __init__(self, server, implicit_port, security, family, mode, work):
        self.server = server
        self.security = security
        self.family = family
        self.mode = mode
        self.work = work
        self.host = "127.0.0.1" if family == "ipv4" else "::1"
        self.url_host = self.host if family == "ipv4" else "[::1]"
        self.port = implicit_port if security == "implicit" else server.port
        self.src = server.path("share", "data.bin")
        with open(self.src, "rb") as f:
            self.data = f.read()
        self.name = "up-%s-%s-%s.bin" % (security, family, mode)
        self.renamed = "renamed-" + self.name

    def backup(self, name):
        return self.server.path("backup", name)

    def check_file(self, path, expected):
        if sha_file(path) != sha_bytes(expected):
            raise AssertionError("%s differs" % path)

    def check_renamed(self):
        if os.path.exists(self.backup(self.name)) or not os.path.exists(self.backup(self.renamed)):
            raise AssertionError("not renamed")
        os.rename(self.backup(self.renamed), self.backup(self.name))

    def check_tree(self, got, expected):
        """Two directory trees hold the same files with the same bytes."""
        def files(root):
            out = {}
            for base, _, names in os.walk(root):
                for n in names:
                    p = os.path.join(base, n)
                    out[os.path.relpath(p, root)] = sha_file(p)
            return out
        a, b = files(got), files(expected)
        if a != b or not a:
            raise AssertionError("trees differ: %s vs %s" % (sorted(a), sorted(b)))


def run(cmd, timeout=60):
    out = subprocess.run(cmd, capture_output=True, timeout=timeout)
    if out.returncode != 0:
        raise AssertionError("%s exited %d: %s" % (cmd[0], out.returncode, out.stderr[-300:]))
    return out.stdout


class Curl:
    name = "curl"

    def base(self, c, backup=False):
        scheme = "ftps" if c.security == "implicit" else "ftp"
        user = "admin.BACK" if backup else "admin"
        return "%s://%s:pw@%s:%d/" % (scheme, user, c.url_host, c.port)

    def args(self, c):
        a = ["curl", "-s", "-S", "--max-time", "60"]
        if c.security == "explicit":
            a += ["--ssl-reqd"]
        if c.security != "plain":
            a += ["-k"]
        if c.mode == "active":
            a += ["--ftp-port", "-"]  # the control connection's own address
        return a

    def op(self, c, op):
        if c.mode == "active" and c.security != "plain":
            # curl 7.88 itself fails on the accepted data socket ("sa_addr
            # inet_ntop() failed with errno 97") before its TLS handshake.
            raise NotPossible("curl 7.88 cannot accept an active data connection under TLS (its inet_ntop fails)")
        if op == "login+list":
            if b"data.bin" not in run(self.args(c) + [self.base(c) + "share/"]):
                raise AssertionError("listing lacks data.bin")
        elif op == "download":
            out = os.path.join(c.work, "dl.bin")
            run(self.args(c) + ["-R", self.base(c) + "share/data.bin", "-o", out])
            c.check_file(out, c.data)
            if int(os.stat(out).st_mtime) != int(os.stat(c.src).st_mtime):
                raise AssertionError("curl -R did not keep the file time")
        elif op == "upload":
            run(self.args(c) + ["-T", c.src, self.base(c, True) + c.name])
            c.check_file(c.backup(c.name), c.data)
        elif op == "append":
            run(self.args(c) + ["-T", c.src, "--append", self.base(c, True) + c.name])
            c.check_file(c.backup(c.name), c.data * 2)
        elif op == "resume":
            out = os.path.join(c.work, "part.bin")
            with open(out, "wb") as f:
                f.write(c.data[:300000])
            run(self.args(c) + ["-C", "-", self.base(c) + "share/data.bin", "-o", out])
            c.check_file(out, c.data)
        elif op == "rename":
            run(self.args(c) + ["-I", self.base(c, True), "-Q", "RNFR " + c.name, "-Q", "RNTO " + c.renamed])
            c.check_renamed()
        elif op == "delete":
            run(self.args(c) + ["-I", self.base(c, True), "-Q", "DELE " + c.name])
            if os.path.exists(c.backup(c.name)):
                raise AssertionError("not deleted")


class ImplicitFTP_TLS(ftplib.FTP_TLS):
    """FTP_TLS for implicit TLS: the control connection is TLS from its
    first byte."""

    def connect(self, host, port, timeout):
        self.host, self.port, self.timeout = host, port, timeout
        self.sock = socket.create_connection((host, port), timeout)
        self.af = self.sock.family
        self.sock = self.context.wrap_socket(self.sock, server_hostname=host)
        self.file = self.sock.makefile("r", encoding=self.encoding)
        self.welcome = self.getresp()
        return self.welcome


class Ftplib:
    name = "ftplib"

    def session(self, c, backup=False):
        ctx = ssl.create_default_context()
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        if c.security == "plain":
            ftp = ftplib.FTP()
        elif c.security == "explicit":
            ftp = ftplib.FTP_TLS(context=ctx)
        else:
            ftp = ImplicitFTP_TLS(context=ctx)
        ftp.connect(c.host, c.port, 30)
        if c.security == "explicit":
            ftp.auth()
        ftp.login("admin.BACK" if backup else "admin", "pw")
        if c.security != "plain":
            ftp.prot_p()
        ftp.set_pasv(c.mode == "passive")
        return ftp

    def op(self, c, op):
        import io
        ftp = self.session(c, op in ("upload", "append", "rename", "delete"))
        try:
            if op == "login+list":
                if "/share/data.bin" not in ftp.nlst("/share") and "data.bin" not in ftp.nlst("/share"):
                    raise AssertionError("listing lacks data.bin")
            elif op == "download":
                got = io.BytesIO()
                ftp.retrbinary("RETR /share/data.bin", got.write)
                if got.getvalue() != c.data:
                    raise AssertionError("download differs")
            elif op == "upload":
                ftp.storbinary("STOR " + c.name, io.BytesIO(c.data))
                c.check_file(c.backup(c.name), c.data)
            elif op == "append":
                ftp.storbinary("APPE " + c.name, io.BytesIO(c.data))
                c.check_file(c.backup(c.name), c.data * 2)
            elif op == "resume":
                got = io.BytesIO(c.data[:300000])
                got.seek(0, 2)
                ftp.retrbinary("RETR /share/data.bin", got.write, rest=300000)
                if got.getvalue() != c.data:
                    raise AssertionError("resumed download differs")
            elif op == "rename":
                ftp.rename(c.name, c.renamed)
                c.check_renamed()
            elif op == "delete":
                ftp.delete(c.name)
                if os.path.exists(c.backup(c.name)):
                    raise AssertionError("not deleted")
        finally:
            ftp.close()


class Lftp:
    name = "lftp"

    def run(self, c, backup, script):
        settings = ["set net:max-retries 1", "set net:timeout 20",
                    "set ftp:passive-mode %s" % ("on" if c.mode == "passive" else "off")]
        if c.security == "plain":
            settings.append("set ftp:ssl-allow no")
        else:
            settings += ["set ssl:verify-certificate no", "set ftp:ssl-protect-data yes"]
            if c.security == "explicit":
                settings.append("set ftp:ssl-force yes")
        scheme = "ftps" if c.security == "implicit" else "ftp"
        url = "%s://%s:%d" % (scheme, c.url_host, c.port)
        return run(["lftp", "-u", ("admin.BACK" if backup else "admin") + ",pw", "-e",
                    "; ".join(settings + [script, "bye"]), url])

    def op(self, c, op):
        if op == "login+list":
            if b"data.bin" not in self.run(c, False, "cls /share"):
                raise AssertionError("listing lacks data.bin")
        elif op == "download":
            out = os.path.join(c.work, "lftp.bin")
            self.run(c, False, "get /share/data.bin -o %s" % out)
            c.check_file(out, c.data)
            mirror = os.path.join(c.work, "lftp-tree")
            self.run(c, False, "mirror /share/tree %s" % mirror)
            c.check_tree(mirror, c.server.path("share", "tree"))
        elif op == "upload":
            self.run(c, True, "put %s -o %s" % (c.src, c.name))
            c.check_file(c.backup(c.name), c.data)
        elif op == "append":
            raise NotPossible("lftp has no append command (reput resumes instead)")
        elif op == "resume":
            out = os.path.join(c.work, "lftp-part.bin")
            with open(out, "wb") as f:
                f.write(c.data[:300000])
            self.run(c, False, "cd /share; get -c data.bin -o %s" % out)
            c.check_file(out, c.data)
        elif op == "rename":
            self.run(c, True, "mv %s %s" % (c.name, c.renamed))
            c.check_renamed()
        elif op == "delete":
            self.run(c, True, "rm %s" % c.name)
            if os.path.exists(c.backup(c.name)):
                raise AssertionError("not deleted")


class Wget:
    name = "wget"

    def args(self, c):
        a = ["wget", "-q", "--timeout=30", "--tries=1", "--user=admin", "--password=pw"]
        if c.security != "plain":
            a += ["--no-check-certificate"]
        if c.security == "implicit":
            a += ["--ftps-implicit"]
        if c.mode == "active":
            a += ["--no-passive-ftp"]
        return a

    def url(self, c, path):
        scheme = "ftp" if c.security == "plain" else "ftps"
        return "%s://%s:%d/%s" % (scheme, c.url_host, c.port, path)

    def op(self, c, op):
        if op in ("upload", "append", "rename", "delete"):
            raise NotPossible("wget downloads only")
        if c.mode == "active" and c.family == "ipv6":
            raise NotPossible("wget has no active mode over IPv6")
        if op == "login+list":
            out = run(self.args(c) + ["-O", "-", self.url(c, "share/")])
            if b"data.bin" not in out:
                raise AssertionError("listing lacks data.bin")
        elif op == "download":
            out = os.path.join(c.work, "wget.bin")
            run(self.args(c) + ["-O", out, self.url(c, "share/data.bin")])
            c.check_file(out, c.data)
        elif op == "resume":
            out = os.path.join(c.work, "data.bin")
            with open(out, "wb") as f:
                f.write(c.data[:300000])
            run(self.args(c) + ["-c", "-P", c.work, self.url(c, "share/data.bin")])
            c.check_file(out, c.data)


class Rclone:
    name = "rclone"

    def env(self, c, backup=False):
        e = dict(os.environ, RCLONE_CONFIG="/dev/null", RCLONE_FTP_HOST=c.url_host, RCLONE_FTP_PORT=str(c.port),
                 RCLONE_FTP_USER="admin.BACK" if backup else "admin",
                 RCLONE_FTP_PASS=subprocess.check_output(["rclone", "obscure", "pw"]).decode().strip())
        if c.security != "plain":
            e["RCLONE_FTP_NO_CHECK_CERTIFICATE"] = "true"
            e["RCLONE_FTP_TLS" if c.security == "implicit" else "RCLONE_FTP_EXPLICIT_TLS"] = "true"
        return e

    def run(self, c, backup, *args):
        out = subprocess.run(["rclone", "--low-level-retries", "1", "--retries", "1"] + list(args),
                             env=self.env(c, backup), capture_output=True, timeout=120)
        if out.returncode != 0:
            raise AssertionError("rclone %s exited %d: %s" % (args[0], out.returncode, out.stderr[-300:]))
        return out.stdout

    def op(self, c, op):
        if c.mode == "active":
            raise NotPossible("rclone uses passive mode only")
        if op in ("append", "resume"):
            raise NotPossible("rclone rewrites whole files (no append, no resume)")
        if op == "login+list":
            if b"data.bin" not in self.run(c, False, "lsf", ":ftp:/share"):
                raise AssertionError("listing lacks data.bin")
        elif op == "download":
            down = os.path.join(c.work, "rclone-tree")
            self.run(c, False, "copy", ":ftp:/share/tree", down)
            c.check_tree(down, c.server.path("share", "tree"))
        elif op == "upload":
            # A tree synced into a new directory, changed, and synced again.
            local = os.path.join(c.work, "rclone-up")
            os.makedirs(os.path.join(local, "one", "two"))
            for rel, data in (("a.bin", c.data), ("one/b.txt", b"b" * 10), ("one/two/c.txt", b"c"),
                              ("one/gone.txt", b"x")):
                with open(os.path.join(local, rel), "wb") as f:
                    f.write(data)
            remote = ":ftp:/sync-" + c.name
            self.run(c, True, "sync", local, remote)
            self.run(c, True, "check", local, remote)
            os.remove(os.path.join(local, "one", "gone.txt"))
            with open(os.path.join(local, "one", "b.txt"), "wb") as f:
                f.write(b"changed")
            os.makedirs(os.path.join(local, "three"))
            with open(os.path.join(local, "three", "d.txt"), "wb") as f:
                f.write(b"new folder")
            self.run(c, True, "sync", local, remote)
            self.run(c, True, "check", local, remote)
            c.check_tree(c.backup("sync-" + c.name), local)
            with open(c.src, "rb") as f_in, open(c.backup(c.name), "wb") as f_out:
                f_out.write(f_in.read())
        elif op == "rename":
            self.run(c, True, "moveto", ":ftp:/" + c.name, ":ftp:/" + c.renamed)
            c.check_renamed()
        elif op == "delete":
            self.run(c, True, "deletefile", ":ftp:/" + c.name)
            if os.path.exists(c.backup(c.name)):
                raise AssertionError("not deleted")


def main():
    warnings.simplefilter("ignore", ResourceWarning)
    binary, results_path = sys.argv[1], sys.argv[2]
    implicit = free_port()
    server = Server(binary, log_level=1)
    # wget lists with "LIST -a": List_compatible lets the server drop the option.
    server.configure(ftp="Implicit_mode=1\r\nService_implicitv4=%d\r\nService_implicitv6=%d" % (implicit, implicit),
                     extend="List_compatible=1")
    os.makedirs(server.path("share"))
    os.makedirs(server.path("backup"))
    with open(server.path("share", "data.bin"), "wb") as f:
        f.write(os.urandom(1024 * 1024 + 77))
    os.makedirs(server.path("share", "tree", "sub", "deeper"))
    for rel, size in (("top.bin", 70000), ("sub/mid.txt", 12), ("sub/deeper/low.bin", 300000)):
        with open(server.path("share", "tree", rel), "wb") as f:
            f.write(os.urandom(size))
    server.write("myaccount.ini", "[User_admin]\nActive_Mode=1\nAccess_Level=5\nUser_Name=admin\nPass_Word=pw\n"
                 "Backup_dir=%s\n" % server.path("backup"))
    server.write("myshare.txt", "1*share*%s\n" % server.path("share"))
    server.start()
    clients = [Curl(), Ftplib(), Lftp(), Wget(), Rclone()]
    results = {"ops": OPS, "cells": []}
    failures = 0
    try:
        for client in clients:
            available = shutil.which(client.name) is not None or client.name == "ftplib"
            for security in SECURITY:
                for family in FAMILIES:
                    for mode in MODES:
                        work = os.path.join(server.home, "work-%s-%s-%s-%s" % (client.name, security, family, mode))
                        os.makedirs(work)
                        cell = Cell(server, implicit, security, family, mode, work)
                        row = {"client": client.name, "security": security, "family": family, "mode": mode,
                               "ops": {}}
                        for op in OPS:
                            if not available:
                                row["ops"][op] = ["skip", "%s is not installed" % client.name]
                                continue
                            try:
                                client.op(cell, op)
                                row["ops"][op] = ["pass", ""]
                            except NotPossible as e:
                                row["ops"][op] = ["n/a", str(e)]
                            except Exception as e:  # noqa: BLE001
                                failures += 1
                                row["ops"][op] = ["FAIL", str(e)[:200]]
                                traceback.print_exc()
                        results["cells"].append(row)
    finally:
        server.close()
    with open(results_path, "w") as f:
        json.dump(results, f, indent=1)
    print("%d failing operations" % failures)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

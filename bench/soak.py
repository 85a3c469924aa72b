#!/usr/bin/env python3
"""Soak: 60 IPv4 and 60 IPv6 sessions doing mixed work against zelfosvr for
a given time, then checks that the server is back at its baseline.

  soak.py ZELFOSVR [--seconds S] [--idle-seconds I]

Work per session, at random: login, listing, download of a random file
(checked with SHA-256 against its source), upload of random bytes (checked
against what was sent), REST resumes, ABOR in mid-transfer, a client killed
in mid-STOR, a connection that stops answering, over TLS or plain.

At the end: descriptors and RSS of the server against the baseline taken
before the load, 120 idle sessions for a while (CPU used over that time),
and SIGTERM with a stop deadline of 5 seconds. One summary line of figures.
"""
import argparse
import ftplib
import hashlib
import io
import os
import random
import socket
import ssl
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "clients"))
from zelfo_harness import Server  # noqa: E402


def fd_count(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.counts = {}
        self.errors = []

    def add(self, key, n=1):
        with self.lock:
            self.counts[key] = self.counts.get(key, 0) + n

    def error(self, text):
        with self.lock:
            self.errors.append(text)


def client_context():
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


def worker(index, server, files, stop_at, stats):
    rng = random.Random(index)
    host = "127.0.0.1" if index % 2 == 0 else "::1"
    while time.time() < stop_at:
        tls = rng.random() < 0.3
        kind = rng.random()
        try:
            if kind < 0.05:
                # A connection that stops answering: connect and say nothing.
                s = socket.create_connection((host, server.port), timeout=5)
                time.sleep(rng.uniform(0.5, 2.0))
                s.close()
                stats.add("silent")
                continue
            ftp = ftplib.FTP_TLS(context=client_context()) if tls else ftplib.FTP()
            ftp.connect(host, server.port, timeout=30)
            if tls:
                ftp.auth()
            backup = kind >= 0.5
            ftp.login("soak.BACK" if backup else "soak", "pw")
            if tls:
                ftp.prot_p()
            stats.add("login")
            if kind < 0.2:
                ftp.nlst("/share")
                stats.add("list")
            elif kind < 0.5:
                name, digest, size = rng.choice(files)
                rest = rng.randrange(size) if rng.random() < 0.3 else 0
                h = hashlib.sha256()
                if rng.random() < 0.15:
                    # ABOR in mid-transfer.
                    conn = ftp.transfercmd("RETR /share/" + name)
                    conn.recv(4096)
                    ftp.putcmd("ABOR")
                    conn.close()
                    while True:
                        line = ftp.getline()
                        if line.startswith("226 Command OK"):
                            break
                    stats.add("abor")
                else:
                    with open(server.path("share", name), "rb") as f:
                        f.seek(rest)
                        expected = hashlib.sha256(f.read()).hexdigest()
                    ftp.retrbinary("RETR /share/" + name, h.update, rest=rest or None)
                    if h.hexdigest() != expected:
                        stats.error("download of %s (rest %d) differs" % (name, rest))
                    stats.add("download")
            elif kind < 0.9:
                data = os.urandom(rng.randrange(1, 2 * 1024 * 1024))
                target = "u-%d-%d.bin" % (index, rng.randrange(1 << 30))
                ftp.storbinary("STOR " + target, io.BytesIO(data))
                with open(server.path("backup", target), "rb") as f:
                    if f.read() != data:
                        stats.error("upload %s differs" % target)
                os.remove(server.path("backup", target))
                stats.add("upload")
            else:
                # A client killed in mid-STOR.
                conn = ftp.transfercmd("STOR killed-%d.bin" % index)
                conn.sendall(os.urandom(200000))
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
                conn.close()
                ftp.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
                ftp.sock.close()
                stats.add("killed")
                continue
            ftp.quit()
        except (OSError, EOFError, ftplib.Error) as e:
            stats.add("client-error")
            if len(stats.errors) < 20 and not isinstance(e, (socket.timeout, ConnectionResetError)):
                stats.counts.setdefault("errors-seen", 0)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("zelfosvr")
    ap.add_argument("--seconds", type=float, default=600)
    ap.add_argument("--idle-seconds", type=float, default=60)
    args = ap.parse_args()
    server = Server(args.zelfosvr, log_level=1)
    server.configure(ftp="Max_users=63", more="[Zelfo_Ipwall]\r\nIpv4_ipwall=0\r\n[Zelfo_Ipwallt]\r\nIpv6_ipwall=0")
    os.makedirs(server.path("share"))
    os.makedirs(server.path("backup"))
    files = []
    rng = random.Random(1)
    for i in range(12):
        size = rng.choice([0, 1, 4096, 100000, 1 << 20, 5 << 20])
        data = os.urandom(size)
        name = "f%02d.bin" % i
        with open(server.path("share", name), "wb") as f:
            f.write(data)
        files.append((name, hashlib.sha256(data).hexdigest(), max(size, 1)))
    server.write("myaccount.ini", "[User_user1]\nActive_Mode=1\nAccess_Level=1\nUser_Name=soak\nPass_Word=pw\n"
                 "Backup_dir=%s\n" % server.path("backup"))
    server.write("myshare.txt", "1*share*%s\n" % server.path("share"))
    server.start()
    pid = server.proc.pid
    time.sleep(1)

    def load(seconds, stats):
        stop_at = time.time() + seconds
        threads = [threading.Thread(target=worker, args=(i, server, files, stop_at, stats)) for i in range(120)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        time.sleep(3)

    # A warm-up round touches the memory pool and the threads' stacks, which
    # stay resident by design; the baseline is taken after it.
    start_fd = fd_count(pid)
    load(min(30.0, args.seconds / 10), Stats())
    base_fd, base_rss = fd_count(pid), rss_kib(pid)
    stats = Stats()
    load(args.seconds, stats)
    peak_rss = rss_kib(pid)
    # Back at the baseline once the sessions are gone?
    for _ in range(30):
        if fd_count(pid) <= base_fd:
            break
        time.sleep(1)
    end_fd, end_rss = fd_count(pid), rss_kib(pid)
    # 120 idle sessions.
    idle = []
    for i in range(120):
        s = socket.create_connection(("127.0.0.1" if i % 2 == 0 else "::1", server.port), timeout=5)
        s.recv(200)
        idle.append(s)
    cpu0 = cpu_seconds(pid)
    time.sleep(args.idle_seconds)
    idle_cpu = (cpu_seconds(pid) - cpu0) / args.idle_seconds * 100
    for s in idle:
        s.close()
    t0 = time.time()
    code = server.stop()
    stop_s = time.time() - t0
    server.close()
    c = stats.counts
    ok = (not stats.errors and end_fd <= base_fd and base_fd <= start_fd and end_rss <= base_rss * 1.1 + 4096
          and code == 0 and stop_s < 5 and idle_cpu < 1.0)
    print("soak %s: %ds, logins %d, listings %d, downloads %d, uploads %d, abor %d, killed %d, silent %d, "
          "client errors %d, mismatches %d; fds %d->%d, rss %d->%d KiB (peak %d); idle 120 sessions %.2f%% cpu; "
          "stop %.2fs exit %s" % ("PASS" if ok else "FAIL", args.seconds, c.get("login", 0), c.get("list", 0),
                                  c.get("download", 0), c.get("upload", 0), c.get("abor", 0), c.get("killed", 0),
                                  c.get("silent", 0), c.get("client-error", 0), len(stats.errors), base_fd, end_fd,
                                  base_rss, end_rss, peak_rss, idle_cpu, stop_s, code))
    for e in stats.errors[:10]:
        print("  " + e)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

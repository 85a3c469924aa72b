#!/usr/bin/env python3
"""Side-by-side HTTP stream benchmark: zelfosvr against nginx on loopback.

Both servers serve the same 1 GiB file, over plain HTTP and over HTTPS with
the same self-signed certificate. zelfosvr serves it under the URL that a
long map (LMPF on the FTP control connection) answers; nginx serves it as a
static file. The figures, medians of interleaved rounds:

  - one GET of the whole file with curl (MB/s);
  - wrk with random 4 KiB and random 1 MiB byte ranges, one request per
    connection ("Connection: close", as a zelfo session serves one request),
    in requests per second;
  - the peak RSS of each server while wrk runs (nginx: master and workers);
  - the server's CPU time (user and system) per GiB of an HTTPS GET and
    per wrk request: a second view of the cost when other work shares the
    machine and moves the rates.

  http_bench.py ZELFOSVR [--rounds N] [--size-mib M] [--seconds S]
                [--connections C] [--only LIST] [--report docs/performance.md]

With --report the "HTTP stream" section of that file is written (replaced
when present); the rest of the file stays as it is. nginx and wrk are
installed from Debian when missing.
"""
import argparse
import ftplib
import os
import re
import shutil
import ssl
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "clients"))
from zelfo_harness import Server, certificate_dir, free_port  # noqa: E402
from bench_report import family_pids, machine, replace_section, rss_kib  # noqa: E402

SECTION = "## HTTP stream"


def ensure_packages():
    need = []
    if not (shutil.which("nginx") or os.path.exists("/usr/sbin/nginx")):
        need.append("nginx")
    if not shutil.which("wrk"):
        need.append("wrk")
    if not need:
        return
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    # Installing nginx may try to start the system's own nginx on port 80;
    # nothing here relies on that one.
    subprocess.run(sudo + ["apt-get", "install", "-y", "-q", "--no-install-recommends"] + need, check=True,
                   env=env, stdout=subprocess.DEVNULL)


def wait_port(port, proc, what):
    deadline = time.time() + 10
    while time.time() < deadline:
        if proc.poll() is not None:
            raise RuntimeError("%s exited with %d" % (what, proc.returncode))
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("%s does not listen on %d" % (what, port))


class Nginx:
    """nginx in the foreground on a private prefix, serving root."""

    def __init__(self, root):
        self.port = free_port()
        self.tls_port = free_port()
        self.dir = tempfile.mkdtemp(prefix="nginx-bench-")
        os.chmod(self.dir, 0o755)
        cert = certificate_dir()
        conf = os.path.join(self.dir, "nginx.conf")
        with open(conf, "w") as f:
            f.write("""worker_processes auto;
pid %(dir)s/nginx.pid;
error_log %(dir)s/error.log warn;
events { worker_connections 4096; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    default_type application/octet-stream;
    types { video/mp4 mp4; video/webm webm; }
    client_body_temp_path %(dir)s/body;
    proxy_temp_path %(dir)s/proxy;
    fastcgi_temp_path %(dir)s/fastcgi;
    uwsgi_temp_path %(dir)s/uwsgi;
    scgi_temp_path %(dir)s/scgi;
    server {
        listen 127.0.0.1:%(port)d;
        listen 127.0.0.1:%(tls)d ssl;
        ssl_protocols TLSv1.2 TLSv1.3;
        ssl_certificate %(cert)s/sslcert.pem;
        ssl_certificate_key %(cert)s/sslkey.pem;
        root %(root)s;
    }
}
""" % {"dir": self.dir, "port": self.port, "tls": self.tls_port, "cert": cert, "root": root})
        binary = shutil.which("nginx") or "/usr/sbin/nginx"
        # Workers run as nobody when started by root: they must read the
        # certificate and the served tree.
        for d in (cert, root):
            os.chmod(d, 0o755)
        for name in ("sslcert.pem", "sslkey.pem"):
            os.chmod(os.path.join(cert, name), 0o644)
        self.proc = subprocess.Popen([binary, "-p", self.dir, "-e", os.path.join(self.dir, "error.log"),
                                      "-c", conf, "-g", "daemon off;"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_port(self.port, self.proc, "nginx")
        wait_port(self.tls_port, self.proc, "nginx")

    def url(self, tls, path):
        if tls:
            return "https://127.0.0.1:%d%s" % (self.tls_port, path)
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def close(self):
        self.proc.terminate()
        self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


class Zelfo:
    """zelfosvr with its HTTP and HTTPS stream service; the file comes from a long map."""

    def __init__(self, binary, share, log_level=0):
        self.server = Server(binary, log_level=log_level)
        self.port = free_port()
        self.tls_port = free_port()
        self.server.configure(
            ftp="Max_users=63",
            more="[Zelfo_http]\r\nService_portv4=%d\r\nService_portv6=%d\r\nEnable_httpsv4=1\r\n"
                 "Service_sslv4port=%d\r\nService_sslv6port=%d\r\nMax_session=180\r\n"
                 "[Zelfo_threadpool]\r\nPool_low=12\r\nPool_high=32\r\nPool_maxthread=256\r\n"
                 % (self.port, self.port, self.tls_port, self.tls_port))
        self.server.write("myaccount.ini", "[User_admin]\nActive_Mode=1\nAccess_Level=5\nUser_Name=bench\n"
                          "Pass_Word=bench\n")
        self.server.write("myshare.txt", "1*share*%s\n" % share)
        self.server.start()
        wait_port(self.port, self.server.proc, "zelfosvr HTTP")
        wait_port(self.tls_port, self.server.proc, "zelfosvr HTTPS")

    def map(self, name, long_map=True):
        """The URL path ("/...") of a map of /share/NAME."""
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.server.port, timeout=30)
        ftp.login("bench", "bench")
        reply = ftp.sendcmd(("LMPF" if long_map else "MAPF") + " /share/" + name)
        ftp.quit()
        m = re.match(r"200 (\S+)$", reply)
        if not m:
            raise RuntimeError("map of %s: %r" % (name, reply))
        return "/" + m.group(1).lstrip("/")

    def url(self, tls, path):
        if tls:
            return "https://127.0.0.1:%d%s" % (self.tls_port, path)
        return "http://127.0.0.1:%d%s" % (self.port, path)

    @property
    def proc(self):
        return self.server.proc

    def close(self):
        self.server.close()


WRK_SCRIPT = """
-- Random aligned byte ranges of BLOCK bytes within a file of SIZE bytes,
-- one request per connection.
local size = %(size)d
local block = %(block)d
local counter = 0

function setup(thread)
  counter = counter + 1
  thread:set("id", counter)
end

function init(args)
  math.randomseed(1000 + id)
end

function request()
  local start = math.random(0, math.floor(size / block) - 1) * block
  return wrk.format("GET", nil, {
    ["Host"] = wrk.headers["Host"],
    ["Connection"] = "close",
    ["Range"] = "bytes=" .. start .. "-" .. (start + block - 1),
  })
end
"""


class PeakRss:
    """Samples the RSS of a process and its children every 50 ms."""

    def __init__(self, root_pid):
        self.root_pid = root_pid
        self.peak = 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        while not self.stop.is_set():
            self.peak = max(self.peak, rss_kib(family_pids(self.root_pid)))
            self.stop.wait(0.05)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()


def cpu_seconds(root_pid):
    """User and system CPU of a process (with its ended threads) and its children."""
    ticks = 0
    for pid in family_pids(root_pid):
        try:
            with open("/proc/%d/stat" % pid) as f:
                fields = f.read().rpartition(")")[2].split()
            ticks += int(fields[11]) + int(fields[12])
        except (OSError, IndexError, ValueError):
            pass
    return ticks / os.sysconf("SC_CLK_TCK")


def wrk(url, script, seconds, connections, threads):
    """(requests per second, requests); wrk's errors and non-2xx replies are
    reported on standard error."""
    out = subprocess.run(["wrk", "-t%d" % threads, "-c%d" % connections, "-d%ds" % seconds, "-s", script,
                          "--timeout", "10s", url], capture_output=True, text=True, check=True).stdout
    m = re.search(r"Requests/sec:\s+([\d.]+)", out)
    if not m:
        raise RuntimeError("wrk output without a rate:\n" + out)
    total = re.search(r"(\d+) requests in", out)
    bad = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    errors = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out)
    problems = []
    if bad:
        problems.append("%s non-2xx replies" % bad.group(1))
    if errors and sum(int(x) for x in errors.groups()) > 0:
        # Read errors of a server that closes after its reply are counted
        # by wrk only when the close comes before the whole body.
        problems.append("socket errors: " + errors.group(0))
    if problems:
        print("  wrk %s: %s (of %s requests)" % (url, "; ".join(problems), total.group(1) if total else "?"),
              file=sys.stderr)
    return float(m.group(1)), int(total.group(1)) if total else 0


def fetch(url, range_header=None):
    """(status, body) of one GET; certificates are not checked."""
    req = urllib.request.Request(url, headers={"Range": range_header} if range_header else {})
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    with urllib.request.urlopen(req, timeout=30, context=ctx) as r:
        return r.status, r.read()


def check_ranges(url, path):
    """The server answers two ranges byte for byte with 206."""
    size = os.path.getsize(path)
    with open(path, "rb") as f:
        for start, length in ((0, 4096), (size - (1 << 20), 1 << 20)):
            f.seek(start)
            want = f.read(length)
            status, body = fetch(url, "bytes=%d-%d" % (start, start + length - 1))
            if status != 206 or body != want:
                raise RuntimeError("%s: range %d+%d gave %d, %d bytes%s" % (
                    url, start, length, status, len(body), "" if body == want else " (differ)"))


def tls_description(url):
    host, port = re.match(r"https://([^:/]+):(\d+)", url).groups()
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    with socket.create_connection((host, int(port)), timeout=10) as s:
        with ctx.wrap_socket(s) as t:
            return "%s %s" % (t.version(), t.cipher()[0])


def timed(cmd):
    t = time.monotonic()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    return time.monotonic() - t


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("zelfosvr", help="the server binary; 'none' measures nginx alone")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--size-mib", type=int, default=1024)
    ap.add_argument("--seconds", type=int, default=10, help="duration of each wrk run")
    ap.add_argument("--connections", type=int, default=32, help="wrk connections")
    ap.add_argument("--threads", type=int, default=2, help="wrk threads")
    ap.add_argument("--only", default="get,tlsget,r4k,r1m,tlsr4k,tlsr1m",
                    help="figures to run, comma-separated")
    ap.add_argument("--report", help="write the HTTP stream section of this Markdown file")
    args = ap.parse_args()
    ensure_packages()
    figures = args.only.split(",")

    work = tempfile.mkdtemp(prefix="zelfo-httpbench-")
    os.chmod(work, 0o755)
    share = os.path.join(work, "share")
    os.makedirs(share)
    big = os.path.join(share, "big.bin")
    with open(big, "wb") as f:
        block = os.urandom(1 << 20)
        for i in range(args.size_mib):
            # Every MiB differs, so a misplaced range cannot match.
            f.write(i.to_bytes(8, "little") + block[8:])
    os.chmod(big, 0o644)
    size = os.path.getsize(big)
    scripts = {}
    for key, length in (("4k", 4096), ("1m", 1 << 20)):
        scripts[key] = os.path.join(work, "range_%s.lua" % key)
        with open(scripts[key], "w") as f:
            f.write(WRK_SCRIPT % {"size": size, "block": length})

    servers = {}
    load_before = os.getloadavg()[0]
    try:
        servers["nginx"] = (Nginx(share), "/big.bin")
        if args.zelfosvr != "none":
            z = Zelfo(args.zelfosvr, share)
            servers = {"zelfosvr": (z, z.map("big.bin")), **servers}
        for name, (srv, path) in servers.items():
            for tls in (False, True):
                check_ranges(srv.url(tls, path), big)
        ciphers = {name: tls_description(srv.url(True, path)) for name, (srv, path) in servers.items()}
        results = {name: {k: [] for k in figures + ["rss"]} for name in servers}
        cpu = {name: {k: [] for k in figures} for name in servers}
        mb = size / 1e6
        for round_index in range(args.rounds):
            order = list(servers.items())
            if round_index % 2:
                order.reverse()
            for name, (srv, path) in order:
                r = results[name]
                c = cpu[name]
                pid = srv.proc.pid
                for key, tls in (("get", False), ("tlsget", True)):
                    if key in figures:
                        before = cpu_seconds(pid)
                        r[key].append(mb / timed(["curl", "-s", "-S", "-k", "-o", "/dev/null", srv.url(tls, path)]))
                        # Server CPU seconds per GiB sent.
                        c[key].append((cpu_seconds(pid) - before) / (size / 2**30))
                with PeakRss(pid) as peak:
                    for key in ("r4k", "r1m", "tlsr4k", "tlsr1m"):
                        if key in figures:
                            tls = key.startswith("tls")
                            before = cpu_seconds(pid)
                            rate, count = wrk(srv.url(tls, path), scripts[key[-2:]], args.seconds,
                                              args.connections, args.threads)
                            r[key].append(rate)
                            # Server CPU microseconds per request.
                            c[key].append((cpu_seconds(pid) - before) * 1e6 / max(count, 1))
                r["rss"].append(peak.peak / 1024)
                print("round %d %s: %s" % (round_index + 1, name,
                                           ", ".join("%s %.1f" % (k, v[-1]) for k, v in r.items() if v)),
                      file=sys.stderr)
    finally:
        for srv, _ in servers.values():
            srv.close()
        shutil.rmtree(work, ignore_errors=True)

    labels = {"get": "GET %d MiB, MB/s" % args.size_mib,
              "tlsget": "HTTPS GET %d MiB, MB/s" % args.size_mib,
              "r4k": "random 4 KiB ranges, requests/s",
              "r1m": "random 1 MiB ranges, requests/s",
              "tlsr4k": "HTTPS random 4 KiB ranges, requests/s",
              "tlsr1m": "HTTPS random 1 MiB ranges, requests/s",
              "rss": "peak RSS under wrk, MiB"}
    # No CPU row for the plain GET: with sendfile on loopback nearly all of
    # its cost is TCP work in softirq context, charged to whichever process
    # happens to run.
    cpu_labels = {"tlsget": "HTTPS GET: server CPU s per GiB",
                  "r4k": "4 KiB ranges: server CPU us per request",
                  "r1m": "1 MiB ranges: server CPU us per request",
                  "tlsr4k": "HTTPS 4 KiB ranges: server CPU us per request",
                  "tlsr1m": "HTTPS 1 MiB ranges: server CPU us per request"}
    names = list(servers)
    rows = []

    def add(label, series, lower_is_better):
        values = [statistics.median(series[n]) for n in names]
        ratio = None
        if len(values) == 2:
            z, n = values
            # Every ratio reads higher is better for zelfosvr.
            ratio = (n / z if z else 0.0) if lower_is_better else (z / n if n else 0.0)
        rows.append((label, values, ratio))

    for key, label in labels.items():
        if key in figures or key == "rss":
            add(label, {n: results[n][key] for n in names}, key == "rss")
    for key, label in cpu_labels.items():
        if key in figures:
            add(label, {n: cpu[n][key] for n in names}, True)
    print("median of %d rounds                           %s" % (args.rounds, "".join("%12s" % n for n in names))
          + ("   ratio" if len(names) == 2 else ""))
    for label, values, ratio in rows:
        print("%-46s %s%s" % (label, "".join("%12.2f" % v for v in values),
                              "  %6.2f" % ratio if ratio is not None else ""))
    for name in names:
        print("%s HTTPS: %s" % (name, ciphers[name]))
    if args.report:
        if len(names) != 2:
            sys.exit("--report needs both servers")
        write_report(args, rows, ciphers, (load_before, os.getloadavg()[0]))


def write_report(args, rows, ciphers, load):
    machine_text = machine()
    lines = [SECTION, "",
             "Generated by `bench/http_bench.py --report docs/performance.md` on %s. Do not edit by hand."
             % time.strftime("%Y-%m-%d"), "",
             "Machine: %s. Loopback; zelfosvr serves a long map (LMPF), %s serves the same file as a static "
             "file; the same clients run against both, interleaved, %d rounds; medians. One GET of the "
             "whole file with curl; random aligned ranges with wrk (%d threads, %d connections, %d s, "
             "`Connection: close`: one request per connection). HTTPS uses the same self-signed "
             "certificate (zelfosvr: %s; nginx: %s). Load average of the machine at the start and the end of the run: %.2f and %.2f." % (
                 machine_text, nginx_version(), args.rounds, args.threads, args.connections, args.seconds,
                 ciphers["zelfosvr"], ciphers["nginx"], load[0], load[1]), "",
             "Ratios read higher is better for zelfosvr: for rates ours over nginx's, for memory and CPU "
             "nginx's over ours (nginx: master and workers summed). The server CPU rows (user and system "
             "time of the server per unit of work) are a second view of the cost when other work shares "
             "the machine and moves the rates; they vary too, as loopback TCP work in softirq context is "
             "charged to whichever process runs.", "",
             "| figure | zelfosvr | nginx | ratio |", "|---|---|---|---|"]
    for label, (z, n), ratio in rows:
        lines.append("| %s | %.2f | %.2f | %.2f |" % (label, z, n, ratio))
    replace_section(args.report, SECTION, lines)


def nginx_version():
    out = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "nginx"], capture_output=True, text=True)
    return "nginx " + (out.stdout or "?")


if __name__ == "__main__":
    main()

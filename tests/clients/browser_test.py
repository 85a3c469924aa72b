"""A real browser plays a mapped video from the HTTP stream service.

usage: browser_test.py ZELFOSVR [unittest options]

ffmpeg makes a short H.264 MP4; an FTP client maps it (MAPF) from
127.0.0.1; a page served by Python on 127.0.0.1 embeds the mapped URL in a
<video> element, plays it, seeks to 4 s and posts what it saw back to the
page's server. Headless Chromium loads the page. The test checks the page's
report (playback, the position after the seek, no media error) and the web
log (the byte ranges the browser asked for were served with 206).

Chromium and ffmpeg are installed from Debian when missing; when they
cannot be, the test is skipped (exit code 77).
"""
import ftplib
import http.server
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import unittest

from zelfo_harness import Server, free_port

BINARY = None
SKIP = 77
VIDEO_SECONDS = 6
SEEK_TO = 4

PAGE = """<!doctype html>
<html><head><meta charset="utf-8"><title>zelfo video</title></head>
<body>
<video id="v" src="%(video)s" muted autoplay playsinline preload="auto"></video>
<script>
const v = document.getElementById("v");
const report = {played: false, timeBeforeSeek: null, seeked: false, timeAfterSeek: null,
                playedAfterSeek: false, errors: [], width: 0, height: 0, duration: null};
let sent = false;
function send() {
  if (sent) return;
  sent = true;
  report.width = v.videoWidth;
  report.height = v.videoHeight;
  report.duration = v.duration;
  report.finalTime = v.currentTime;
  fetch("/report", {method: "POST", body: JSON.stringify(report)});
}
v.addEventListener("error", () => {
  report.errors.push("media error " + (v.error ? v.error.code + " " + v.error.message : "?"));
  send();
});
v.addEventListener("timeupdate", () => {
  if (!report.played && v.currentTime >= 1) {
    report.played = true;
    report.timeBeforeSeek = v.currentTime;
    v.currentTime = %(seek)d;
  } else if (report.seeked && v.currentTime >= report.timeAfterSeek + 0.5) {
    report.playedAfterSeek = true;
    send();
  }
});
v.addEventListener("seeked", () => {
  if (report.seeked) return;
  report.seeked = true;
  report.timeAfterSeek = v.currentTime;
});
v.addEventListener("ended", send);
setTimeout(() => { report.errors.push("no result within 40 s"); send(); }, 40000);
v.play().catch((e) => report.errors.push("play(): " + e));
</script>
</body></html>
"""


def ensure_tools():
    """Installs chromium and ffmpeg when missing; returns a reason to skip, or None."""
    need = [p for p, cmd in (("chromium", "chromium"), ("ffmpeg", "ffmpeg")) if not shutil.which(cmd)]
    if not need:
        return None
    if not shutil.which("apt-get"):
        return "%s missing and no apt-get to install it" % " and ".join(need)
    if os.geteuid() != 0 and not shutil.which("sudo"):
        return "%s missing and no way to install (not root, no sudo)" % " and ".join(need)
    sudo = [] if os.geteuid() == 0 else ["sudo", "-n"]
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    install = sudo + ["apt-get", "install", "-y", "-q", "--no-install-recommends"] + need
    print("installing %s" % " ".join(need), flush=True)
    if subprocess.run(install, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode != 0:
        # A stale package list: read it anew once.
        subprocess.run(sudo + ["apt-get", "update", "-q"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        out = subprocess.run(install, env=env, capture_output=True, text=True)
        if out.returncode != 0:
            return "cannot install %s: %s" % (" ".join(need), (out.stderr.strip().splitlines() or ["?"])[-1])
    missing = [cmd for cmd in need if not shutil.which(cmd)]
    if missing:
        return "%s still missing after the install" % " and ".join(missing)
    return None


def make_video(path):
    """A 1280x720 H.264 MP4 of VIDEO_SECONDS seconds, about 6 MB.

    The index (moov) stays behind the frames, as a recorder leaves it, so
    the browser must ask for a range far into the file before it can play.
    """
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi",
                    "-i", "testsrc2=duration=%d:size=1280x720:rate=25" % VIDEO_SECONDS,
                    "-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "ultrafast", "-b:v", "8M",
                    "-g", "25", path], check=True)


class PageServer:
    """Serves the page on 127.0.0.1 and receives the page's report."""

    def __init__(self, video_url):
        page = (PAGE % {"video": video_url, "seek": SEEK_TO}).encode()
        self.report = None
        self.received = threading.Event()
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                if self.path != "/":
                    self.send_error(404)
                    return
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.send_header("Content-Length", str(len(page)))
                self.end_headers()
                self.wfile.write(page)

            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                if self.path == "/report" and outer.report is None:
                    outer.report = json.loads(body)
                    outer.received.set()
                self.send_response(204)
                self.end_headers()

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", free_port()), Handler)
        self.url = "http://127.0.0.1:%d/" % self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def run_chromium(url, profile, log_path, received, timeout=60):
    """Loads url in headless Chromium until received is set; the browser's
    own output goes to log_path."""
    with open(log_path, "wb") as log:
        proc = subprocess.Popen(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--disable-dev-shm-usage", "--user-data-dir=" + profile,
             "--autoplay-policy=no-user-gesture-required", url],
            stdout=log, stderr=log, stdin=subprocess.DEVNULL, start_new_session=True)
        try:
            received.wait(timeout)
        finally:
            # The browser runs in its own process group; end that group only.
            try:
                os.killpg(proc.pid, signal.SIGTERM)
                proc.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
            except ProcessLookupError:
                pass


class BrowserTest(unittest.TestCase):
    def setUp(self):
        self.server = Server(BINARY, log_level=5)
        self.http_port = free_port()
        self.server.configure(more="[Zelfo_http]\r\nService_portv4=%d\r\nService_portv6=%d\r\n"
                              "Service_sslv4port=%d\r\nService_sslv6port=%d\r\n"
                              % (self.http_port, self.http_port, free_port(), free_port()))
        share = self.server.path("share")
        os.makedirs(share)
        self.video = os.path.join(share, "clip.mp4")
        make_video(self.video)
        self.server.write("myaccount.ini", "[User_admin]\nActive_Mode=1\nAccess_Level=5\nUser_Name=admin\n"
                          "Pass_Word=pw\n")
        self.server.write("myshare.txt", "1*share*%s\n" % share)
        self.server.start()
        self.work = tempfile.mkdtemp(prefix="zelfo-browser-")

    def tearDown(self):
        self.server.close()
        shutil.rmtree(self.work, ignore_errors=True)

    def map_video(self):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.server.port, timeout=10)
        ftp.login("admin", "pw")
        reply = ftp.sendcmd("MAPF /share/clip.mp4")
        ftp.quit()
        m = re.match(r"200 (\S+\.mp4)$", reply)
        self.assertTrue(m, reply)
        return "http://127.0.0.1:%d/%s" % (self.http_port, m.group(1))

    def test_play_and_seek(self):
        video_url = self.map_video()
        page = PageServer(video_url)
        try:
            run_chromium(page.url, os.path.join(self.work, "profile"), os.path.join(self.work, "chromium.log"),
                         page.received)
        finally:
            page.close()
        report = page.report
        # The stop writes out the web log lines still held in memory.
        self.assertEqual(self.server.stop(), 0)
        wlog = self.server.log("wlog.txt")
        self.assertIsNotNone(report, "no report from the page; web log:\n%s" % wlog[-3000:])
        print("page report: %s" % json.dumps(report, sort_keys=True))
        self.assertEqual(report["errors"], [], report)
        self.assertEqual((report["width"], report["height"]), (1280, 720), report)
        self.assertAlmostEqual(report["duration"], VIDEO_SECONDS, delta=0.2)
        self.assertTrue(report["played"], report)
        self.assertTrue(report["seeked"], report)
        self.assertAlmostEqual(report["timeAfterSeek"], SEEK_TO, delta=0.25)
        self.assertTrue(report["playedAfterSeek"], report)

        size = os.path.getsize(self.video)
        ranges = served_ranges(wlog)
        print("ranges served whole with 206: %s of %d bytes" % (ranges, size))
        # The index lies behind the frames: the browser had to ask for a
        # range that starts far into the file, and got all of it.
        self.assertTrue(any(size // 2 < start <= end < size for start, end in ranges),
                        "no such 206 in the web log:\n%s" % wlog[-4000:])


def served_ranges(wlog):
    """(start, end) of every 206 reply in the web log whose session sent the
    whole range. Each session's lines carry its "<slot:tag" key."""
    heads = {}
    for key, start, end in re.findall(r"Http <(\d+:[0-9a-f]+) [^>]*>[^\n]*http response:\r?\nHTTP/1\.1 206 OK\r?\n"
                                      r"(?:[^\r\n]+\r?\n)*?Content-Range: bytes (\d+)-(\d+)/\d+", wlog):
        heads[key] = (int(start), int(end))
    ranges = []
    for key, task, block in re.findall(r"Http <(\d+:[0-9a-f]+) [^>]*>[^\n]*end of file task=(\d+) "
                                       r"\( transfer:\d+ fileblock:(\d+) ", wlog):
        if key in heads and task == "1" and int(block) == heads[key][1] - heads[key][0] + 1:
            ranges.append(heads[key])
    return ranges


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    reason = ensure_tools()
    if reason:
        print("SKIP: %s" % reason)
        sys.exit(SKIP)
    unittest.main(verbosity=2)

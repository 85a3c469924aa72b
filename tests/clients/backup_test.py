"""The auto backup of the real zelfosvr, with a hostile tree.

usage: backup_test.py ZELFOSVR

ZELFO_TIMER_WAKE_MS shortens the timer's 5-second wake-up, so the first
backup check (the 20th wake-up) comes within a second of the start. Pair 1
mirrors a tree with non-ASCII names, a hidden file and links that point
outside into a destination in sync mode; pair 2 names a destination inside
its own source and must be refused. Nothing outside the destinations may
change, and no target of a link may be copied in.
"""
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from zelfo_harness import Server  # noqa: E402


def fail(text):
    print("FAIL:", text)
    sys.exit(1)


def put(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def snapshot(top):
    """Every entry below top, links not followed."""
    out = {}
    for base, dirs, files in os.walk(top):
        for name in dirs + files:
            p = os.path.join(base, name)
            rel = os.path.relpath(p, top)
            if os.path.islink(p):
                out[rel] = "L:" + os.readlink(p)
            elif os.path.isdir(p):
                out[rel] = "D"
            else:
                with open(p, "rb") as f:
                    out[rel] = f.read()
    return out


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    binary = os.path.abspath(sys.argv[1])
    os.environ["ZELFO_TIMER_WAKE_MS"] = "20"
    work = tempfile.mkdtemp(prefix="zelfo-backup-")
    src, dst, outside = (os.path.join(work, n) for n in ("src", "dst", "outside"))
    src2 = os.path.join(work, "src2")
    big = os.urandom(3 * 524288 + 11)
    put(os.path.join(outside, "secret.txt"), b"SECRET")
    put(os.path.join(src, "docs", "Überblick.txt"), "Grüße".encode())
    put(os.path.join(src, "ファイル.bin"), big)
    put(os.path.join(src, ".hidden"), b"hidden")
    os.symlink(outside, os.path.join(src, "dirlink"))
    os.symlink(os.path.join(outside, "secret.txt"), os.path.join(src, "filelink"))
    put(os.path.join(dst, "stale.txt"), b"stale")
    put(os.path.join(dst, "stale_dir", "x.txt"), b"x")
    os.symlink(outside, os.path.join(dst, "docs"))  # where the source has a directory
    put(os.path.join(src2, "inner", "y.txt"), b"y")
    outside_before = snapshot(outside)
    src2_before = snapshot(src2)

    srv = Server(binary, log_level=2)
    try:
        # An hour far from now, so only the first check after the start runs.
        hour = (time.localtime().tm_hour + 12) % 24
        srv.configure(more="[Zelfo_backup]\r\nEnable_backup=1\r\nBackup_syncmode=1\r\nBackup_nosyshidden=0\r\n"
                           "Backup_exectime=%d\r\nBackup_source_1=%s\r\nBackup_dest_1=%s\r\n"
                           "Backup_source_2=%s\r\nBackup_dest_2=%s\r\n"
                      % (hour, src, dst, src2, os.path.join(src2, "inner")))
        srv.start()
        target = os.path.join(dst, "ファイル.bin")
        deadline = time.time() + 60
        while time.time() < deadline:
            if os.path.isfile(target) and os.path.getsize(target) == len(big) and not os.path.exists(
                    os.path.join(dst, "stale.txt")) and os.path.isfile(os.path.join(dst, "docs", "Überblick.txt")):
                break
            time.sleep(0.1)
        else:
            fail("no backup run within 60 seconds: %r" % sorted(snapshot(dst)))
        if srv.stop() != 0:
            fail("stop")

        got = snapshot(dst)
        want = {"docs": "D", os.path.join("docs", "Überblick.txt"): "Grüße".encode(), "ファイル.bin": big,
                ".hidden": b"hidden"}
        if got != want:
            fail("destination: %r" % {k: (v if len(v) < 64 else "%d bytes" % len(v)) for k, v in got.items()})
        if snapshot(outside) != outside_before:
            fail("something outside the destination changed")
        if snapshot(src2) != src2_before:
            fail("the nested pair changed its source")
        log = srv.log("zellog.txt")
        for want_line in ("Zelfo service: start io daemon thread ...", "Zelfo service: start timer daemon thread ...",
                          "Auto backup: start", "Auto backup: pair 1 %s -> %s" % (src, dst),
                          "Auto backup: refused pair %s -> %s, one lies inside the other"
                          % (src2, os.path.join(src2, "inner")),
                          "Auto backup: done, files:3 errors:1 bytes:%d" % (len(big) + len("Grüße".encode()) + 6),
                          "Zelfo service: success to stop auto backup thread"):
            if want_line not in log:
                fail("log lacks %r:\n%s" % (want_line, log))
        print("ok")
    finally:
        srv.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

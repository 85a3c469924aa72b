"""The IPv6 address mail of the real zelfosvr, in a network namespace of its own.

usage: mail_test.py ZELFOSVR

The namespace has only loopback, with the unique-local address fd00::5/64 on
it, so the server finds a "global" address and mails it to an aiosmtpd
server on 127.0.0.1. Then the server restarts with the same status file and
must send nothing until NMAL asks; that mail is refused, and the status file
and the log record the failure. Exits 77 (skipped) where namespaces are not
available. ZELFO_TIMER_WAKE_MS shortens the timer's wake-up to 50 ms, so the
mail trigger (every 12th wake-up) comes every 0.6 seconds instead of every
minute and the test runs in seconds.
"""
import os
import re
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
PEER_PYTHON = "/usr/bin/python3"  # Debian's python3-aiosmtpd lives there
PASSWORD = "Sup3r-Secret-mail-pw"
ACCOUNTS = "[User_admin]\r\nActive_Mode=1\r\nAccess_Level=9\r\nUser_Name=root\r\nPass_Word=rootpw\r\n"


def ensure_aiosmtpd():
    probe = [PEER_PYTHON, "-c", "import aiosmtpd"]
    if subprocess.run(probe, capture_output=True).returncode == 0:
        return
    subprocess.run(["flock", "/tmp/zelfo-apt.lock", "apt-get", "install", "-y", "-q", "python3-aiosmtpd"],
                   env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"), capture_output=True)
    if subprocess.run(probe, capture_output=True).returncode != 0:
        sys.exit("python3-aiosmtpd is missing and could not be installed")


def fail(text):
    print("FAIL:", text)
    sys.exit(1)


class Peer:
    def __init__(self, record, *extra):
        self.record = record
        self.proc = subprocess.Popen([PEER_PYTHON, os.path.join(HERE, "mail_peer.py"), "--record", record,
                                      "--user", "mailer", "--password", PASSWORD, *extra],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        line = self.proc.stdout.readline().decode()
        if not line.startswith("READY "):
            fail("mail peer did not start")
        self.port = int(line.split()[1])

    def events(self, kind):
        import json
        if not os.path.exists(self.record):
            return []
        with open(self.record) as f:
            return [e for e in map(json.loads, f) if e["event"] == kind]

    def wait_for(self, kind, seconds):
        deadline = time.time() + seconds
        while time.time() < deadline:
            found = self.events(kind)
            if found:
                return found
            time.sleep(0.5)
        return []

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=10)


def mail_settings(port):
    return ("[ZelSvrMailSet]\r\nEnable_Sendmail=1\r\nTls_Sendmail=0\r\nServer_addr=127.0.0.1\r\n"
            "Server_port=%d\r\nMail_username=mailer\r\nMail_password=%s\r\nMail_from=zelfo@example.test\r\n"
            "Mail_sendto=owner@example.test\r\nMail_subject=HomeServer_\r\n" % (port, PASSWORD))


def status(srv):
    values = {}
    for line in open(srv.path("config", "zelmaildns.ini"), encoding="utf-8"):
        if "=" in line:
            k, _, v = line.strip().partition("=")
            values[k] = v
    return values


def wait_status(srv, key, value, seconds=30):
    deadline = time.time() + seconds
    while time.time() < deadline:
        try:
            if status(srv).get(key) == value:
                return True
        except OSError:
            pass
        time.sleep(0.2)
    return False


def run(binary):
    subprocess.run("ip link set lo up && ip -6 addr add fd00::5/64 dev lo nodad", shell=True, check=True)
    from zelfo_harness import Control, Server
    os.environ["ZELFO_TIMER_WAKE_MS"] = "50"

    work = tempfile.mkdtemp(prefix="zelfo-mail-")
    accepting = Peer(os.path.join(work, "accepting.jsonl"))
    srv = Server(binary, accounts=ACCOUNTS, log_level=2)
    try:
        # First start without a status file: the first mail trigger mails
        # the address.
        srv.configure(more=mail_settings(accepting.port))
        srv.start()
        data = accepting.wait_for("DATA", 100)
        if not data:
            fail("no mail within 100 seconds:\n" + srv.output())
        msg = data[0]["content"]
        if not wait_status(srv, "result", "1"):
            fail("status file not written: %r" % status(srv))
        head, _, body = msg.partition("\r\n\r\n")
        print("---- mail as received ----\n" + msg + "---- end ----")
        if not re.search(r'^X-zelfo-ipv6: "fd00:0:0:0:0:0:0:5 [0-9a-f]{28} \d+ \d+ %d"\r?$' % srv.port, head, re.M):
            fail("X-zelfo-ipv6 header: " + head)
        if not re.search(r"^Subject: HomeServer_\d+\r?$", head, re.M):
            fail("subject: " + head)
        for want in ("Ftp port [ipv4:ipv6]=%d:%d (ok:ok)\r\n" % (srv.port, srv.port),
                     "Ipv6 [internet] :fd00:0:0:0:0:0:0:5\r\n", "Ipv6 [local] :0:0:0:0:0:0:0:1\r\n",
                     "For more information: https://zelfo.example/ipv6-mail\r\n"):
            if want not in body:
                fail("body lacks %r:\n%s" % (want, body))
        st = status(srv)
        expect = {"Information:": "0", "key": "1", "result": "1", "ip0": "253", "ip1": "360287970189639680",
                  "code": "0"}
        if any(st.get(k) != v for k, v in expect.items()) or abs(int(st["time"]) - time.time()) > 300:
            fail("status file after success: %r" % st)
        if srv.stop() != 0:
            fail("stop")
        accepting.close()

        # Restart with the same status file and the same address: nothing is
        # sent. This mail server refuses every message.
        refusing = Peer(os.path.join(work, "refusing.jsonl"), "--reject-data")
        srv.configure(more=mail_settings(refusing.port))
        srv.start()
        time.sleep(3)  # past several mail triggers
        if refusing.events("EHLO"):
            fail("a restart with an unchanged address sent a mail")
        admin = Control(srv.port)
        admin.line()
        admin.cmd("USER root")
        if not admin.cmd("PASS rootpw").startswith("230"):
            fail("admin login")
        reply = admin.cmd("NMAL")
        if reply != "200 resend dns mail":
            fail("NMAL: " + reply)
        admin.close()
        if not refusing.wait_for("DATA", 100):
            fail("NMAL sent no mail")
        if not wait_status(srv, "result", "-100"):
            fail("status file after a refused mail: %r" % status(srv))
        st = status(srv)
        if st.get("ip0") != "253" or st.get("key") != "1":
            fail("status file after failure: %r" % st)
        if srv.stop() != 0:
            fail("stop")
        refusing.close()

        log = srv.log("zellog.txt")
        for want in ("Send mail: success to send mail",
                     "Send mail: failed to send mail,error=-10057 [554 5.7.1 message refused]"):
            if want not in log:
                fail("log lacks %r:\n%s" % (want, log))
        for name in ("zellog.txt", "zelfail.txt", "wlog.txt"):
            if PASSWORD in srv.log(name):
                fail("the mail password is in " + name)
        if PASSWORD in srv.output():
            fail("the mail password is on standard error")
        print("ok")
    finally:
        srv.close()


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    binary = os.path.abspath(sys.argv[1])
    if "--in-netns" in sys.argv:
        run(binary)
        return
    ensure_aiosmtpd()
    if subprocess.run(["unshare", "-n", "true"], capture_output=True).returncode != 0:
        print("SKIP: network namespaces are not available here (unshare -n failed)")
        sys.exit(77)
    os.execvp("unshare", ["unshare", "-n", "--", sys.executable, os.path.abspath(__file__), binary, "--in-netns"])


if __name__ == "__main__":
    main()

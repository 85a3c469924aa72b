#!/usr/bin/python3
"""A loopback mail server for the mail tests, built on aiosmtpd.

Every SMTP step the client takes is appended as one JSON line to the record
file ({"session": n, "event": "EHLO", ...}), so a test can check the order
of the commands, the AUTH LOGIN credentials, the envelope and the message.
Prints "READY <port>" once it listens and runs until standard input closes.

Raw modes answer without aiosmtpd:
  close-after-greeting  sends a greeting, reads EHLO, then closes;
  long-line             sends a greeting, then a 1200-character reply line.
"""
import argparse
import itertools
import json
import socket
import ssl
import sys
import threading


def free_port(host):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


class Recorder:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        self.counter = itertools.count(1)

    def session_id(self, session):
        with self.lock:
            if not hasattr(session, "record_id"):
                session.record_id = next(self.counter)
            return session.record_id

    def add(self, session, event, **fields):
        line = dict(session=self.session_id(session), event=event, **fields)
        with self.lock, open(self.path, "a", encoding="utf-8") as f:
            f.write(json.dumps(line) + "\n")


class Handler:
    def __init__(self, rec, args):
        self.rec = rec
        self.args = args

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        self.rec.add(session, "EHLO", hostname=hostname, reply_lines=len(responses))
        return responses

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        self.rec.add(session, "MAIL", address=address)
        envelope.mail_from = address
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address in self.args.reject_rcpt:
            self.rec.add(session, "RCPT", address=address, accepted=False)
            return "550 5.1.1 no such mailbox"
        self.rec.add(session, "RCPT", address=address, accepted=True)
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        content = envelope.original_content or envelope.content
        text = content.decode("utf-8", "replace") if isinstance(content, bytes) else content
        accepted = not self.args.reject_data
        self.rec.add(session, "DATA", content=text, rcpt=list(envelope.rcpt_tos), accepted=accepted)
        return "250 Message accepted" if accepted else "554 5.7.1 message refused"

    async def handle_QUIT(self, server, session, envelope):
        self.rec.add(session, "QUIT")
        return "221 Bye"


def run_smtp(args, port):
    from aiosmtpd.controller import Controller
    from aiosmtpd.smtp import AuthResult, LoginPassword

    rec = Recorder(args.record)

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword) and auth_data.login.decode() == args.user
              and auth_data.password.decode() == args.password)
        rec.add(session, "AUTH", mechanism=mechanism,
                login=auth_data.login.decode() if isinstance(auth_data, LoginPassword) else "",
                password=auth_data.password.decode() if isinstance(auth_data, LoginPassword) else "",
                accepted=ok)
        return AuthResult(success=ok, handled=False)

    kwargs = dict(hostname=args.host, port=port, auth_require_tls=False)
    if args.user:
        kwargs["authenticator"] = authenticator
    else:
        # No AUTH at all: the LOGIN mechanism is refused.
        kwargs["auth_exclude_mechanism"] = ["LOGIN", "PLAIN"]
    if args.cert:
        ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ctx.load_cert_chain(args.cert, args.key)
        kwargs["ssl_context"] = ctx
    controller = Controller(Handler(rec, args), **kwargs)
    controller.start()
    return controller.stop


def run_raw(args, port):
    family = socket.AF_INET6 if ":" in args.host else socket.AF_INET
    lsock = socket.socket(family, socket.SOCK_STREAM)
    lsock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    lsock.bind((args.host, port))
    lsock.listen(4)

    def serve():
        while True:
            try:
                conn, _ = lsock.accept()
            except OSError:
                return
            with conn:
                conn.sendall(b"220 raw peer ready\r\n")
                conn.recv(1024)  # EHLO, read so that the close is a clean one
                if args.mode == "long-line":
                    conn.sendall(b"250 " + b"x" * 1200 + b"\r\n")
                    conn.recv(1024)
                # close-after-greeting: closes without answering EHLO.

    threading.Thread(target=serve, daemon=True).start()
    return lsock.close


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--record", required=True)
    p.add_argument("--cert")
    p.add_argument("--key")
    p.add_argument("--user")
    p.add_argument("--password")
    p.add_argument("--reject-rcpt", action="append", default=[])
    p.add_argument("--reject-data", action="store_true")
    p.add_argument("--mode", choices=["smtp", "close-after-greeting", "long-line"], default="smtp")
    args = p.parse_args()

    port = free_port(args.host)
    stop = run_smtp(args, port) if args.mode == "smtp" else run_raw(args, port)
    print(f"READY {port}", flush=True)
    sys.stdin.read()  # until the test closes our standard input
    stop()


if __name__ == "__main__":
    main()

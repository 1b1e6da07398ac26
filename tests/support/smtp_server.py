#!/usr/bin/python3
"""A real SMTP server for the mail tests: implicit TLS and login on 127.0.0.1.

Run with Debian's /usr/bin/python3 (python3-aiosmtpd). It listens on a free port (or the
one given), prints "READY <port> <certificate>" on stdout once it accepts connections, and
keeps every message it receives in the output folder:

  msg-N.eml               the message as received
  msg-N-att-<filename>    each attachment, decoded
  msg-N.json              envelope, headers, body text and attachment names

It ends by itself when its standard input closes (the test holds a pipe to it) or when
its lifetime runs out, whichever comes first.
"""

import argparse
import base64
import asyncio
import email
import email.header
import email.utils
import json
import logging
import os
import quopri
import re
import signal
import socket
import ssl
import subprocess
import sys
import warnings

from aiosmtpd.smtp import SMTP, AuthResult


def make_certificate(outdir):
    """A throw-away self-signed certificate for 127.0.0.1 and localhost."""
    cert = os.path.join(outdir, "server-cert.pem")
    key = os.path.join(outdir, "server-key.pem")
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
         "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-out", cert,
         "-days", "2", "-subj", "/CN=localhost",
         "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


def decoded_header(message, name):
    raw = message.get(name)
    if raw is None:
        return None
    # Plain ASCII headers come back exactly as sent, blanks included.
    return str(email.header.make_header(email.header.decode_header(raw))) \
        if "=?" in raw else raw


ENCODED_WORD = re.compile(r"=\?([^?]+)\?([bBqQ])\?([^?]*)\?=")


def words_whole(message, names):
    """Whether every RFC 2047 word in the headers decodes on its own (RFC 2047 does not
    let a character straddle two words, though lenient readers join them)."""
    for name in names:
        for charset, kind, text in ENCODED_WORD.findall(message.get(name) or ""):
            try:
                if kind in "bB":
                    data = base64.b64decode(text, validate=True)
                else:
                    data = quopri.decodestring(text.replace("_", " "), header=True)
                data.decode(charset)
            except (ValueError, LookupError):
                return False
    return True


def date_epoch(value):
    try:
        return email.utils.parsedate_to_datetime(value).timestamp()
    except (TypeError, ValueError):
        return None


def safe_name(name):
    name = os.path.basename(name.replace("\\", "/"))
    return name if name not in ("", ".", "..") else "unnamed"


class Keeper:
    """Stores each accepted message in the output folder."""

    def __init__(self, outdir):
        self.outdir = outdir
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        # Like the big providers, refuse the empty address ("RCPT TO:<>") that aiosmtpd
        # would otherwise take.
        if address in ("", "<>"):
            return "553 5.1.3 Empty recipient address"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        stem = os.path.join(self.outdir, "msg-%d" % self.count)
        raw = envelope.original_content or envelope.content
        with open(stem + ".eml", "wb") as f:
            f.write(raw)
        message = email.message_from_bytes(raw)
        body = None
        attachments = []
        for part in message.walk():
            if part.is_multipart():
                continue
            filename = part.get_filename()
            payload = part.get_payload(decode=True) or b""
            if filename is not None:
                name = safe_name(filename)
                saved_as = "%s-att-%s" % (stem, name)
                attachments.append({"filename": filename,
                                    "content_type": part.get_content_type(),
                                    "saved_as": os.path.basename(saved_as)})
                with open(saved_as, "wb") as f:
                    f.write(payload)
            elif body is None and part.get_content_type() == "text/plain":
                body = payload.decode(part.get_content_charset() or "ascii")
        record = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "authenticated": bool(session.authenticated),
            "subject": decoded_header(message, "Subject"),
            "from": decoded_header(message, "From"),
            "to": decoded_header(message, "To"),
            "date": message.get("Date"),
            "date_epoch": date_epoch(message.get("Date")),
            "message_id": message.get("Message-ID"),
            "mime_version": message.get("MIME-Version"),
            "header_words_whole": words_whole(message, ("Subject", "From", "To")),
            "body": body,
            "attachments": attachments,
        }
        # Written last and renamed into place: a reader never sees half a record.
        with open(stem + ".json.part", "w", encoding="ascii") as f:
            json.dump(record, f, ensure_ascii=True, indent=1)
        os.rename(stem + ".json.part", stem + ".json")
        return "250 OK"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--outdir", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--lifetime", type=float, default=120.0)
    parser.add_argument("--no-auth", action="store_true",
                        help="offer no AUTH and accept mail without login")
    args = parser.parse_args()

    # aiosmtpd warns about AUTH without STARTTLS; here TLS is implicit, so that is noise.
    warnings.filterwarnings("ignore", module="aiosmtpd")
    logging.getLogger("mail.log").setLevel(logging.ERROR)

    os.makedirs(args.outdir, exist_ok=True)
    cert, key = make_certificate(args.outdir)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)

    user = args.user.encode()
    password = args.password.encode()

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = getattr(auth_data, "login", None) == user and \
            getattr(auth_data, "password", None) == password
        # A refusal must be "not handled", or aiosmtpd sends no reply at all.
        return AuthResult(success=True) if ok else AuthResult(success=False, handled=False)

    keeper = Keeper(args.outdir)

    def factory():
        if args.no_auth:
            return SMTP(keeper, hostname="localhost")
        # With implicit TLS aiosmtpd does not know the link is encrypted; AUTH is offered
        # only when it is not asked to require TLS.
        return SMTP(keeper, hostname="localhost", authenticator=authenticator,
                    auth_required=True, auth_require_tls=False)

    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind(("127.0.0.1", args.port))
    sock.listen(16)
    port = sock.getsockname()[1]

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    server = loop.run_until_complete(loop.create_server(factory, sock=sock, ssl=context))

    done = asyncio.Event()

    def on_stdin():
        if not os.read(sys.stdin.fileno(), 4096):
            done.set()

    loop.add_reader(sys.stdin.fileno(), on_stdin)
    loop.call_later(args.lifetime, done.set)
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, done.set)

    print("READY %d %s" % (port, cert), flush=True)
    try:
        loop.run_until_complete(done.wait())
    finally:
        loop.remove_reader(sys.stdin.fileno())
        server.close()
        # Connections still open (a client that gave up) end here, quietly.
        pending = asyncio.all_tasks(loop)
        for task in pending:
            task.cancel()
        loop.run_until_complete(asyncio.gather(*pending, return_exceptions=True))
        loop.close()


if __name__ == "__main__":
    main()

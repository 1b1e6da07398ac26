#!/usr/bin/python3
"""A real SMTP server for the mail tests: implicit TLS and login on 127.0.0.1.

Run with Debian's /usr/bin/python3 (python3-aiosmtpd). Once it accepts connections it
writes "<port> <certificate>" to OUTDIR/ready; each message becomes a folder OUTDIR/msg-N
with one file per field (smtp_fixture.h names them). It ends on SIGTERM."""

import asyncio, base64, email, email.header, email.utils, logging, os, re, signal, ssl
import subprocess, sys, time, warnings

from aiosmtpd.smtp import SMTP, AuthResult


def decoded(message, name):
    raw = message.get(name)
    if raw is None or "=?" not in raw:
        return raw  # plain ASCII headers exactly as sent, blanks included
    return str(email.header.make_header(email.header.decode_header(raw)))


def words_whole(message):
    """Whether every RFC 2047 word decodes on its own (no character split over two)."""
    for name in ("Subject", "From", "To"):
        for charset, text in re.findall(r"=\?([^?]+)\?[bB]\?([^?]*)\?=", message.get(name) or ""):
            try:
                base64.b64decode(text, validate=True).decode(charset)
            except ValueError:
                return "no"
    return "yes"


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


class Keeper:
    def __init__(self, outdir):
        self.outdir = outdir
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        # Like the big providers, refuse the empty address that aiosmtpd would take.
        if address in ("", "<>"):
            return "553 5.1.3 Empty recipient address"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        final = os.path.join(self.outdir, "msg-%d" % self.count)
        folder = final + ".part"
        raw = envelope.original_content or envelope.content
        message = email.message_from_bytes(raw)
        date = email.utils.parsedate_tz(message.get("Date") or "")
        fields = {
            "mail_from": envelope.mail_from, "rcpt_tos": "\n".join(envelope.rcpt_tos),
            "authenticated": "yes" if session.authenticated else "no",
            "subject": decoded(message, "Subject"), "from": decoded(message, "From"),
            "to": decoded(message, "To"), "date": message.get("Date"),
            "date_offset": None if date is None else str(date[9]),
            "date_fresh": "yes" if date and abs(email.utils.mktime_tz(date) - time.time()) < 120
            else "no",
            "message_id": message.get("Message-ID"),
            "mime_version": message.get("MIME-Version"), "words_whole": words_whole(message),
            "raw": raw,
        }
        for part in message.walk():
            if part.is_multipart():
                continue
            payload = part.get_payload(decode=True) or b""
            name = part.get_filename()
            if name is not None:
                name = os.path.basename(name.replace("\\", "/")) or "unnamed"
                write(os.path.join(folder, "att", name), payload)
                write(os.path.join(folder, "type", name), part.get_content_type())
            elif "body" not in fields and part.get_content_type() == "text/plain":
                fields["body"] = payload.decode(part.get_content_charset() or "ascii")
        for name, value in fields.items():
            if value is not None:
                write(os.path.join(folder, name), value)
        os.rename(folder, final)  # a reader never sees half a message
        return "250 OK"


def main():
    # smtp_server.py OUTDIR USER PASSWORD [--no-auth]: --no-auth offers no login.
    outdir, user, password = sys.argv[1:4]
    no_auth = "--no-auth" in sys.argv
    warnings.filterwarnings("ignore")  # AUTH without STARTTLS: here TLS is implicit
    logging.getLogger("mail.log").setLevel(logging.ERROR)

    cert = os.path.join(outdir, "cert.pem")
    key = os.path.join(outdir, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"],
                   check=True, capture_output=True)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (auth_data.login, auth_data.password) == (user.encode(), password.encode())
        # A refusal must be "not handled", or aiosmtpd sends no reply at all.
        return AuthResult(success=True) if ok else AuthResult(success=False, handled=False)

    keeper = Keeper(outdir)

    def factory():
        if no_auth:
            return SMTP(keeper, hostname="localhost")
        # With implicit TLS aiosmtpd does not know the link is encrypted.
        return SMTP(keeper, hostname="localhost", authenticator=authenticator,
                    auth_required=True, auth_require_tls=False)

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    server = loop.run_until_complete(
        loop.create_server(factory, "127.0.0.1", 0, ssl=context))
    done = asyncio.Event()
    loop.call_later(120, done.set)  # a test that died leaves no server behind for long
    loop.add_signal_handler(signal.SIGTERM, done.set)
    write(os.path.join(outdir, "ready.part"), "%d %s" % (server.sockets[0].getsockname()[1], cert))
    os.rename(os.path.join(outdir, "ready.part"), os.path.join(outdir, "ready"))
    loop.run_until_complete(done.wait())
    server.close()
    tasks = asyncio.all_tasks(loop)
    for task in tasks:
        task.cancel()  # clients that gave up end here, quietly
    loop.run_until_complete(asyncio.gather(*tasks, return_exceptions=True))


if __name__ == "__main__":
    main()

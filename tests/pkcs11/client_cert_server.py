#!/usr/bin/env python3
"""An HTTPS site on the loopback that logs its visitors in by their client
certificate, for the browser tests.

Every connection must present a certificate from the given CA (the handshake
fails otherwise) and carries one request: the answer closes the connection,
and TLS 1.3 without session tickets leaves nothing to resume. So each page is
served after a full handshake in which the browser signed with the
certificate's key, never on the strength of an earlier one. A 1024-bit client
key is accepted (security level 1).

The page's title is "Logged in as <subject> #<n>", n taken from the query
"?n=<n>", so the browser's window title shows what the browser received; a
link to "?n=<n+1>" fills the lower part of the page. One
line per connection goes to the log: "served <path> to <subject>" or
"refused: <reason>"; "ready <port>" once listening.

usage: client_cert_server.py PORT SERVER_CERT SERVER_KEY CA_CERT LOG_FILE
"""
import html
import socket
import ssl
import sys
import threading
import urllib.parse


def subject_text(cert):
    parts = []
    for rdn in cert.get("subject", ()):
        for name, value in rdn:
            short = {"commonName": "CN", "organizationName": "O", "countryName": "C"}.get(name, name)
            parts.append(f"{short}={value}")
    return ", ".join(parts)


class Site:
    def __init__(self, port, cert, key, ca, log_path):
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.minimum_version = ssl.TLSVersion.TLSv1_3
        self.context.num_tickets = 0
        self.context.verify_mode = ssl.CERT_REQUIRED
        self.context.set_ciphers("DEFAULT:@SECLEVEL=1")
        self.context.load_cert_chain(cert, key)
        self.context.load_verify_locations(ca)
        self.port = port
        self.log_file = open(log_path, "a", buffering=1, encoding="utf-8")
        self.log_lock = threading.Lock()

    def log(self, line):
        with self.log_lock:
            self.log_file.write(line + "\n")

    def serve(self):
        listener = socket.create_server(("127.0.0.1", self.port))
        self.log(f"ready {self.port}")
        while True:
            connection, _ = listener.accept()
            threading.Thread(target=self.visit, args=(connection,), daemon=True).start()

    def visit(self, connection):
        connection.settimeout(120)
        try:
            with self.context.wrap_socket(connection, server_side=True) as tls:
                subject = subject_text(tls.getpeercert() or {})
                request = b""
                while b"\r\n\r\n" not in request and len(request) < 65536:
                    chunk = tls.recv(4096)
                    if not chunk:
                        break
                    request += chunk
                fields = request.split(b"\r\n", 1)[0].decode("latin-1").split(" ")
                path = fields[1] if len(fields) >= 2 else "/"
                self.answer(tls, path, subject)
                self.log(f"served {path} to {subject}")
        except (ssl.SSLError, OSError) as error:
            self.log(f"refused: {error}")

    @staticmethod
    def answer(tls, path, subject):
        url = urllib.parse.urlsplit(path)
        if url.path != "/":
            body = b"not here\n"
            status = "404 Not Found"
            kind = "text/plain"
        else:
            number = urllib.parse.parse_qs(url.query).get("n", ["0"])[0]
            title = html.escape(f"Logged in as {subject} #{number}")
            following = int(number) + 1 if number.isdigit() else 1
            # The link to the next request fills the lower part of the page,
            # where a test clicks it.
            body = (f"<!DOCTYPE html><html><head><title>{title}</title></head><body>"
                    f"<h1>Client certificate accepted</h1><p>Subject: {html.escape(subject)}</p>"
                    f"<p>Request #{html.escape(number)}</p>"
                    f"<a href=\"/?n={following}\" style=\"position:fixed;left:0;top:45%;width:100%;"
                    f"height:55%;background:#eef\">Next page (request #{following})</a>"
                    "</body></html>\n").encode()
            status = "200 OK"
            kind = "text/html; charset=utf-8"
        head = (f"HTTP/1.1 {status}\r\nContent-Type: {kind}\r\nContent-Length: {len(body)}\r\n"
                "Cache-Control: no-store\r\nConnection: close\r\n\r\n").encode()
        tls.sendall(head + body)


def main():
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    port, cert, key, ca, log_path = sys.argv[1:]
    Site(int(port), cert, key, ca, log_path).serve()


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""A small HTTP(S) server on 127.0.0.1 for the network tests.

Prints the port it listens on, then serves until it is ended. With a certificate and a
key file as arguments it also serves HTTPS, on a second port printed on the next line.
"""
import http.server
import ssl
import sys
import threading

BINARY = bytes(range(256)) * 64 + b"\r\n\n\r\x00end"

ROUTES = {
    "/utf8": (200, {"Content-Type": "text/plain; charset=utf-8"},
              "h\u00e9llo w\u00f6rld \u2713\n".encode("utf-8")),
    "/binary": (200, {"Content-Type": "application/octet-stream"}, BINARY),
    "/zero": (200, {}, b"ab\x00cd"),
    "/missing": (404, {}, b"no such page"),
    "/created": (201, {}, b"made"),
    "/moved": (302, {"Location": "/utf8"}, b"moved to /utf8"),
    "/loop": (302, {"Location": "/loop"}, b""),
}


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        if self.path == "/large":
            # 8 MiB without a length, ended by closing: more than a capped client takes.
            self.send_response(200)
            self.end_headers()
            try:
                for _ in range(128):
                    self.wfile.write(b"x" * 65536)
            except OSError:
                pass
            return
        status, headers, body = ROUTES.get(self.path, (404, {}, b"unknown"))
        self.send_response(status)
        for name, value in headers.items():
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def main():
    servers = [http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)]
    if len(sys.argv) == 3:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[1], sys.argv[2])
        secure = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        secure.socket = context.wrap_socket(secure.socket, server_side=True)
        servers.append(secure)
    for server in servers:
        print(server.server_address[1], flush=True)
    for server in servers[1:]:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    servers[0].serve_forever()


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Local peers of the HTTP monitor's tests: a plain and a TLS web server (with a
certificate made at start, signed by nobody) and a forwarding proxy that takes
absolute URIs and CONNECT. The proxy sends a request for a host under
".invalid" to the local servers (so a check of such a host only succeeds
through it) and any other to the host and port it names; --proxy-log lists
what it forwarded. Writes "http=N https=N proxy=N" to stdout once listening;
ends on SIGTERM or after --lifetime seconds.

Paths: /status/N answers N; /text a body with "needle" in it; /echo the
request body; /slow dribbles a byte every 200 ms for 20 s; /hold answers after
30 s."""
import argparse
import http.server
import os
import select
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import threading
import time

TEXT = (b"x" * 20000) + b"needle" + (b"y" * 20000)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, code, body, send_body=True):
        self.send_response(code)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Content-Type", "text/plain")
        self.end_headers()
        if send_body:
            self.wfile.write(body)

    def route(self, send_body):
        path = self.path
        if path.startswith("/status/"):
            code = int(path[len("/status/"):])
            self.answer(code, b"status %d body" % code, send_body)
        elif path == "/text":
            self.answer(200, TEXT, send_body)
        elif path == "/echo":
            n = int(self.headers.get("Content-Length", "0"))
            self.answer(200, self.rfile.read(n) if n else b"", send_body)
        elif path == "/slow":
            self.send_response(200)
            self.send_header("Content-Length", "100")
            self.end_headers()
            try:
                for _ in range(100):
                    self.wfile.write(b"s")
                    self.wfile.flush()
                    time.sleep(0.2)
            except OSError:
                pass
        elif path == "/hold":
            time.sleep(30)
            self.answer(200, b"late", send_body)
        else:
            self.answer(404, b"no such page", send_body)

    def do_GET(self):
        self.route(True)

    def do_POST(self):
        self.route(True)

    def do_HEAD(self):
        self.route(False)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def pump(a, b):
    socks = [a, b]
    try:
        while True:
            ready, _, _ = select.select(socks, [], [], 60)
            if not ready:
                return
            for s in ready:
                data = s.recv(65536)
                if not data:
                    return
                (b if s is a else a).sendall(data)
    except OSError:
        pass
    finally:
        a.close()
        b.close()


class Proxy(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True


def split_target(authority, default_port):
    host, _, port = authority.rpartition(b":") if b":" in authority else (authority, b"", b"")
    return host.decode("ascii", "replace"), int(port) if port else default_port


def proxy_handler(http_port, https_port, log_path):
    lock = threading.Lock()

    def note(text):
        if log_path:
            with lock, open(log_path, "a") as f:
                f.write(text + "\n")

    def upstream_for(authority, local_port, default_port):
        host, port = split_target(authority, default_port)
        if host.endswith(".invalid"):
            return socket.create_connection(("127.0.0.1", local_port), timeout=30)
        return socket.create_connection((host, port), timeout=30)

    class P(socketserver.BaseRequestHandler):
        def handle(self):
            c = self.request
            head = b""
            while b"\r\n\r\n" not in head:
                data = c.recv(65536)
                if not data:
                    return
                head += data
                if len(head) > 65536:
                    return
            line, _, rest = head.partition(b"\r\n")
            method, target, version = line.split(b" ", 2)
            note("%s %s" % (method.decode("ascii", "replace"), target.decode("ascii", "replace")))
            if method == b"CONNECT":
                upstream = upstream_for(target, https_port, 443)
                c.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
                after = head.partition(b"\r\n\r\n")[2]
                if after:
                    upstream.sendall(after)
                pump(c, upstream)
                return
            if target.startswith(b"http://"):
                authority, _, path = target[len(b"http://"):].partition(b"/")
                path = b"/" + path
            else:
                # Wine's WinHTTP sends the path alone to a proxy: the Host header names the server.
                host = [h for h in rest.split(b"\r\n") if h.lower().startswith(b"host:")]
                if not host:
                    c.sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                    return
                authority, path = host[0][5:].strip(), target
            upstream = upstream_for(authority, http_port, 80)
            upstream.sendall(b" ".join([method, path, version]) + b"\r\n" + rest)
            pump(c, upstream)
    return P


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--work", required=True)
    ap.add_argument("--lifetime", type=int, default=240)
    ap.add_argument("--http-port", type=int, default=0)
    ap.add_argument("--proxy-log", default="")
    a = ap.parse_args()
    os.makedirs(a.work, exist_ok=True)
    cert, key = os.path.join(a.work, "cert.pem"), os.path.join(a.work, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                    "/CN=peer.halvren.test", "-keyout", key, "-out", cert], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    plain = Server(("127.0.0.1", a.http_port), Handler)
    secure = Server(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    secure.socket = context.wrap_socket(secure.socket, server_side=True)
    proxy = Proxy(("127.0.0.1", 0), proxy_handler(plain.server_address[1], secure.server_address[1],
                                                          a.proxy_log))
    for s in (plain, secure, proxy):
        threading.Thread(target=s.serve_forever, daemon=True).start()
    print("http=%d https=%d proxy=%d" % (plain.server_address[1], secure.server_address[1],
                                         proxy.server_address[1]), flush=True)
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    done.wait(a.lifetime)
    for s in (plain, secure, proxy):
        s.shutdown()


if __name__ == "__main__":
    main()

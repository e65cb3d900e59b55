"""Local stand-ins for the probe server (HTTP, 80) and the update servers (HTTPS, 443 and 8080).

Each answer is chosen by the scenario file, re-read for every request, so a test (even one running
under Wine) changes the answers by writing that file. Every request is logged as one JSON line.

Scenario: {"routes": {"<port> <path>": RESPONSE, ...}, "down": [PORT, ...]} where a port listed as
down resets every connection at once, before any request (as a server that cannot be reached), and the key is tried with the full path
(query included), then with the path without query, then "<port> *" and "* <path>"; no match gives
404. RESPONSE fields (all optional):
  status (200), reason, body (text, bytes 0-255 as characters), body_file (path),
  headers ({name: value}), content_length (int to declare, or "omit"),
  delay (seconds before the status line), silent (seconds to hold the connection without a byte),
  cut_after (close after this many body bytes), rate (body bytes per second),
  pause (seconds between the headers and the first body byte),
  redirect_to (a port: the answer is a redirect, status 302 unless given, to the same path on that
  port of localhost, over plain HTTP for the probe port and HTTPS for any other).
"""
import json
import os
import socket
import ssl
import struct
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PROBE_PORT, PRIMARY_PORT, BACKUP_PORT = 80, 443, 8080
UNTRUSTED_PORT, WRONG_HOST_PORT = 4431, 4432


class Scenario:
    def __init__(self, run_dir):
        self.path = os.path.join(run_dir, "scenario.json")
        self.log_path = os.path.join(run_dir, "requests.log")
        self.lock = threading.Lock()

    def set(self, scenario):
        tmp = self.path + ".tmp"
        with open(tmp, "w") as f:
            json.dump(scenario, f)
        os.replace(tmp, self.path)

    def _load(self):
        try:
            with open(self.path) as f:
                return json.load(f)
        except (OSError, ValueError):
            return {}

    def is_down(self, port):
        return port in self._load().get("down", [])

    def response_for(self, port, path):
        routes = self._load().get("routes", {})
        bare = path.split("?", 1)[0]
        for key in (f"{port} {path}", f"{port} {bare}", f"{port} *", f"* {path}", f"* {bare}"):
            if key in routes:
                return routes[key]
        return {"status": 404, "body": "not found"}

    def log(self, entry):
        # JSON lines for Python; the same as tab-separated fields for tests running under Wine.
        fields = [str(entry["port"]), entry["path"], entry["version"], entry["user_agent"] or "", entry["accept"] or ""]
        with self.lock:
            with open(self.log_path, "a") as f:
                f.write(json.dumps(entry) + "\n")
            with open(self.log_path[:-4] + ".tsv", "a") as f:
                f.write("\t".join(fields) + "\n")

    def requests(self):
        try:
            with open(self.log_path) as f:
                return [json.loads(line) for line in f if line.strip()]
        except OSError:
            return []

    def clear_log(self):
        with self.lock:
            for path in (self.log_path, self.log_path[:-4] + ".tsv"):
                try:
                    os.remove(path)
                except OSError:
                    pass


def redirect(response, path):
    """The answer that sends the client to the same path on response["redirect_to"]."""
    port = int(response["redirect_to"])
    scheme = "http" if port == PROBE_PORT else "https"
    answer = {key: value for key, value in response.items() if key != "redirect_to"}
    answer.setdefault("status", 302)
    answer["headers"] = {**answer.get("headers", {}), "Location": f"{scheme}://localhost:{port}{path}"}
    answer.setdefault("body", "moved")
    return answer


class Handler(BaseHTTPRequestHandler):
    server_version = "VxTestServer"

    def log_message(self, *args):
        pass

    def do_GET(self):
        scenario = self.server.scenario
        port = self.server.server_address[1]
        scenario.log({
            "port": port, "method": "GET", "path": self.path, "version": self.request_version,
            "user_agent": self.headers.get("User-Agent"), "accept": self.headers.get("Accept"),
            "headers": dict(self.headers.items()), "time": time.time(),
        })
        response = scenario.response_for(port, self.path)
        if "redirect_to" in response:
            response = redirect(response, self.path)
        self.answer(response)

    def answer(self, response):
        if response.get("silent"):
            time.sleep(float(response["silent"]))
            self.close_connection = True
            return
        if response.get("delay"):
            time.sleep(float(response["delay"]))
        body_file = response.get("body_file")
        if body_file:
            length = os.path.getsize(body_file)
        else:
            body = response.get("body", "").encode("latin-1")
            length = len(body)
        status = int(response.get("status", 200))
        self.send_response_only(status, response.get("reason"))
        declared = response.get("content_length", length)
        if declared != "omit":
            self.send_header("Content-Length", str(declared))
        for name, value in response.get("headers", {}).items():
            self.send_header(name, value)
        self.end_headers()
        if response.get("pause"):
            self.wfile.flush()
            time.sleep(float(response["pause"]))
        limit = response.get("cut_after", length)
        rate = response.get("rate")
        try:
            if body_file:
                with open(body_file, "rb") as f:
                    self.send_body(f.read, limit, rate)
            else:
                chunks = [body]
                self.send_body(lambda n: chunks.pop(0)[:n] if chunks else b"", limit, rate)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            pass
        self.close_connection = True

    def send_body(self, read, limit, rate):
        sent = 0
        block = 65536 if not rate else max(1, min(65536, int(rate) // 20))
        while sent < limit:
            data = read(min(block, limit - sent))
            if not data:
                break
            self.wfile.write(data)
            sent += len(data)
            if rate:
                time.sleep(len(data) / float(rate))
        self.wfile.flush()


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    address_family = socket.AF_INET6

    def __init__(self, port, scenario, tls=None):
        super().__init__(("::", port), Handler, bind_and_activate=False)
        # One socket for 127.0.0.1 and ::1, whichever "localhost" resolves to first; the run's own
        # network namespace has no other interface.
        self.socket.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        self.server_bind()
        self.server_activate()
        self.scenario = scenario
        self.tls = tls

    def verify_request(self, request, client_address):
        if self.scenario.is_down(self.server_address[1]):
            request.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return False
        return True

    def get_request(self):
        sock, addr = super().get_request()
        if self.tls:
            sock.settimeout(30)
            sock = self.tls.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
        return sock, addr

    def finish_request(self, request, client_address):
        if self.tls:
            try:
                request.do_handshake()
            except (ssl.SSLError, OSError):
                return  # an untrusted or misnamed certificate ends the handshake on the client's side
            request.settimeout(None)
        super().finish_request(request, client_address)


def tls_context(cert, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


class ServerSet:
    """All the test servers of one run, on the loopback of the run's own network namespace."""

    def __init__(self, run_dir, pki):
        self.scenario = Scenario(run_dir)
        main_tls = tls_context(pki.server_cert, pki.server_key)
        self.servers = [
            Server(PROBE_PORT, self.scenario),
            Server(PRIMARY_PORT, self.scenario, main_tls),
            Server(BACKUP_PORT, self.scenario, main_tls),
            Server(UNTRUSTED_PORT, self.scenario, tls_context(pki.untrusted_cert, pki.untrusted_key)),
            Server(WRONG_HOST_PORT, self.scenario, tls_context(pki.wrong_host_cert, pki.wrong_host_key)),
        ]
        self.threads = [threading.Thread(target=s.serve_forever, daemon=True) for s in self.servers]

    def __enter__(self):
        for t in self.threads:
            t.start()
        return self

    def __exit__(self, *exc):
        for s in self.servers:
            s.shutdown()
            s.server_close()


def port_is_open(port, host="127.0.0.1"):
    with socket.socket() as s:
        s.settimeout(1)
        return s.connect_ex((host, port)) == 0

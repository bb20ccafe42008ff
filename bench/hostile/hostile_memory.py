#!/usr/bin/env python3
"""Peak memory of `quilvant --translate` against hostile stand-ins, run on demand.

Usage (inside scripts/headless, which gives a private keyring):
    scripts/headless python3 bench/hostile/hostile_memory.py build/bench/src/quilvant [CASE...]

Each case starts a local HTTPS stand-in for the providers and the hosted service (or an agent that floods its
output), runs one translation and prints the program's peak resident memory, its exit status and the last line
it wrote to standard error. Build the program optimised (-DCMAKE_BUILD_TYPE=Release) for figures that mean
something.
"""
import json
import os
import resource
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

KEY = "sk-hostile-1"
TOKEN = "tok-hostile-1"


def delta(content):
    return ("data: " + json.dumps({"choices": [{"delta": {"content": content}}]}) + "\n\n").encode()


def chat_deltas(total):
    piece = "译文" * 3 + "abcdefgh"  # 20 bytes of UTF-8
    sent = 0
    while sent < total:
        yield delta(piece)
        sent += len(piece.encode())
    yield (
        "data: " + json.dumps({"choices": [{"delta": {}, "finish_reason": "stop"}]}) + "\n\ndata: [DONE]\n\n"
    ).encode()


def endless(line):
    while True:
        yield line


def hosted_deltas():
    text = ""
    while True:  # each delta carries the whole translation so far, as the service sends it
        text += "译文abcdefghijklmn"
        yield ("event: delta\ndata: " + json.dumps({"text": text}) + "\n\n").encode()


def huge_verdict():
    yield b'{"action":"allow","pad":"'
    yield from (b"x" * 1_000_000 for _ in range(300))
    yield b'"}'


# case -> (engine, what /v1/chat/completions sends, what /v1/translate sends, what /v1/moderate sends)
CASES = {
    "chat-200k-deltas": ("MiniMax", lambda: chat_deltas(200_000), None, None),
    "chat-1m-deltas": ("MiniMax", lambda: chat_deltas(1_000_000), None, None),
    "chat-data-never-closed": ("MiniMax", lambda: endless(b"data: " + b"x" * 65_536 + b"\n"), None, None),
    "hosted-data-never-closed": ("Sorn", None, lambda: endless(b"data: " + b"x" * 65_536 + b"\n"), None),
    "hosted-many-deltas": ("Sorn", None, hosted_deltas, None),
    "moderation-300mb": ("MiniMax", None, None, huge_verdict),
    "agent-line-without-newline": ("Codex", None, None, None),
}


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    case = None

    def log_message(self, *args):
        pass

    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length", "0")))
        _, chat, translate, moderate = CASES[self.case]
        if self.path == "/v1/moderate":
            body = moderate() if moderate else iter([b'{"action":"allow"}'])
            return self.stream("application/json", body)
        if self.path == "/v1/chat/completions" and chat:
            return self.stream("text/event-stream", chat())
        if self.path == "/v1/translate" and translate:
            return self.stream("text/event-stream", translate())
        self.send_response(404)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def stream(self, content_type, pieces):
        self.send_response(200)
        self.send_header("Content-Type", content_type)
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        try:
            for piece in pieces:
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            self.wfile.write(b"0\r\n\r\n")
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            pass


def certificate(directory):
    cert, key = os.path.join(directory, "cert.pem"), os.path.join(directory, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                    "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert],
                   check=True, capture_output=True)
    return cert, key


def run(program, case, scratch):
    engine = CASES[case][0]
    Handler.case = case
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    cert, key = certificate(scratch)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base = "https://127.0.0.1:%d" % server.server_address[1]

    config = os.path.join(scratch, "config", "quilvant")
    os.makedirs(config, exist_ok=True)
    agent = os.path.join(scratch, "agent")
    with open(agent, "w") as script:
        script.write("#!/bin/sh\nhead -c 300000000 /dev/zero | tr '\\0' ' '\nsleep 30\n")
    os.chmod(agent, 0o755)
    with open(os.path.join(config, "quilvant.conf"), "w") as settings:
        settings.write("[General]\nengine=%s\nserviceURL=%s\nendpoint=%s/v1/chat/completions\n"
                       "minimaxModel=MiniMax-M3\ncodexPath=%s\ntranslationPrivacyConsent=norvel-sift-1\n"
                       % (engine, base, base, agent))
    for account, secret in (("minimax", KEY), ("service", TOKEN)):
        subprocess.run(["secret-tool", "store", "--label=bench", "service", "local.kestu.translation",
                        "account", account], input=secret.encode(), check=True)

    environment = dict(os.environ, XDG_CONFIG_HOME=os.path.join(scratch, "config"), SSL_CERT_FILE=cert)
    process = subprocess.Popen([program, "--translate", "Hello world"], env=environment,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, err = process.communicate(timeout=300)
    peak_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    server.shutdown()
    last = err.decode(errors="replace").strip().splitlines()[-1:] or [""]
    return peak_kib, process.returncode, last[0]


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    program = os.path.abspath(sys.argv[1])
    for case in sys.argv[2:] or list(CASES):
        # A fresh interpreter per case, so that the peak of one child is not read as another's.
        if len(sys.argv) != 3:
            subprocess.run([sys.executable, __file__, program, case], check=False)
            continue
        scratch = tempfile.mkdtemp()
        try:
            peak, status, last = run(program, case, scratch)
            print("%-28s peak %7.1f MB  exit %d  %s" % (case, peak / 1024, status, last[:100]), flush=True)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()

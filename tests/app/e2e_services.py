"""The outside services of the end-to-end run, on 127.0.0.1: a speech-to-text service answering
for its real host over TLS (reached through a local CONNECT proxy, with a throw-away certificate),
a team server, and a browser that only writes down what it was asked to open."""
import json
import os
import select
import shutil
import socket
import ssl
import stat
import subprocess
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

GLADIA_HOST = "api.gladia.io"
UTTERANCE = "Bonjour  à\ttous, on livre vendredi."
QUESTION = "Quel dépôt faut-il modifier ?"
ANSWER = "Le dépôt de l’application."
REVIEW_TITLE = "Corriger l’export audio"
SESSION_URL = "https://app.devin.ai/sessions/e2e-1"
ACCESS_CODE = "code-equipe"


def serve(handler, tls=None):
    server = ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    if tls is not None:
        server.socket = tls.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


class Json(BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def body(self):
        return self.rfile.read(int(self.headers.get("Content-Length", 0)))

    def answer(self, status, value):
        data = json.dumps(value).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)


class Gladia(Json):
    jobs = 0
    keys = set()

    def do_POST(self):
        self.body()
        Gladia.keys.add(self.headers.get("x-gladia-key"))
        if self.path == "/v2/upload":
            self.answer(200, {"audio_url": f"https://{GLADIA_HOST}/audio/1"})
        elif self.path == "/v2/pre-recorded":
            Gladia.jobs += 1
            self.answer(200, {"result_url": f"https://{GLADIA_HOST}/v2/pre-recorded/{Gladia.jobs}"})
        else:
            self.answer(404, {})

    def do_GET(self):
        self.answer(200, {"status": "done", "result": {"transcription": {
            "full_transcript": UTTERANCE,
            "utterances": [{"start": 0.4, "speaker": 0, "text": UTTERANCE}]}}})


class Team(Json):
    requests = []

    def do_POST(self):
        sent = json.loads(self.body() or b"{}")
        Team.requests.append((self.path, sent))
        if self.headers.get("Authorization") != f"Bearer {ACCESS_CODE}":
            self.answer(401, {"error": "Code refusé."})
        elif self.path == "/api/agent-access":
            self.answer(200, {"planning": True, "trello": True, "devin": True})
        elif self.path == "/api/agent-prepare" and not sent.get("clarifications"):
            self.answer(200, {"status": "needs_clarification", "question": QUESTION})
        elif self.path == "/api/agent-prepare":
            self.answer(200, {"status": "ready", "executor": "devin",
                              "destination": "https://github.com/equipe/parlevox",
                              "title": REVIEW_TITLE, "task": "Garder les espaces du transcript.",
                              "quote": "", "clarifications": sent["clarifications"],
                              "approval": "jeton-1"})
        elif self.path == "/api/agent-execute":
            self.answer(200, {"executor": "devin", "url": SESSION_URL})
        else:
            self.answer(404, {"error": "Inconnu."})


def tunnel(client, port):
    """One CONNECT: whatever host was asked, the fake service answers."""
    request = b""
    while b"\r\n\r\n" not in request:
        chunk = client.recv(4096)
        if not chunk:
            return
        request += chunk
    upstream = socket.create_connection(("127.0.0.1", port))
    client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
    pair = {client: upstream, upstream: client}
    try:
        while True:
            ready, _, _ = select.select(list(pair), [], [], 60)
            if not ready:
                return
            for side in ready:
                data = side.recv(65536)
                if not data:
                    return
                pair[side].sendall(data)
    finally:
        upstream.close()
        client.close()


def proxy(port):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen()

    def accept():
        while True:
            client, _ = listener.accept()
            threading.Thread(target=tunnel, args=(client, port), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()
    return listener.getsockname()[1]


def start(folder):
    """Starts every service; returns the environment the application needs, the command prefix
    that starts it trusting the service's certificate, the team site and the browser's record."""
    cert, key = os.path.join(folder, "gladia.pem"), os.path.join(folder, "gladia.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", f"/CN={GLADIA_HOST}", "-addext", f"subjectAltName=DNS:{GLADIA_HOST}",
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    # The application is started in a mount namespace of its own whose system certificate folder
    # holds this certificate alone (see launcher below); the machine's own folder is untouched.
    trusted = os.path.join(folder, "trusted")
    os.makedirs(trusted, exist_ok=True)
    shutil.copy(cert, trusted)
    subprocess.run(["openssl", "rehash", trusted], check=True, capture_output=True)
    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls.load_cert_chain(cert, key)
    gladia = serve(Gladia, tls)
    team = serve(Team)
    opened = os.path.join(folder, "opened.txt")
    browser = os.path.join(folder, "bin")
    os.makedirs(browser, exist_ok=True)
    opener = os.path.join(browser, "xdg-open")
    with open(opener, "w") as script:
        script.write(f'#!/bin/sh\necho "$1" >> "{opened}"\n')
    os.chmod(opener, stat.S_IRWXU)
    environment = {
        "https_proxy": f"http://127.0.0.1:{proxy(gladia.server_address[1])}",
        "no_proxy": "localhost,127.0.0.1",
        "PATH": browser + os.pathsep + os.environ["PATH"],
    }
    launcher = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                'mount --bind "$0" /etc/ssl/certs && exec "$@"', trusted]
    return environment, launcher, f"http://localhost:{team.server_address[1]}", opened

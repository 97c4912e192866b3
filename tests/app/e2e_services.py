"""The outside services of the end-to-end run, on 127.0.0.1: a speech-to-text service answering
for its real host over TLS (reached through a local CONNECT proxy, with a throw-away certificate),
pre-recorded and live, a team server, and a browser that only writes down what it was asked to
open."""
import base64
import hashlib
import json
import os
import select
import shutil
import socket
import ssl
import stat
import struct
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
# The live service hears sound, not words: each loud span of a channel is this text.
LIVE_TEXTS = ("Bonjour, ici le micro.", "Et voici l’appel.")
LIVE_PARTIAL = "Bonjour…"


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
    uploads = 0
    live_sessions = 0
    streams = {}  # the stream each live session received so far, by its socket's path
    keys = set()

    def do_POST(self):
        self.body()
        Gladia.keys.add(self.headers.get("x-gladia-key"))
        if self.path == "/v2/upload":
            Gladia.uploads += 1
            self.answer(200, {"audio_url": f"https://{GLADIA_HOST}/audio/1"})
        elif self.path == "/v2/pre-recorded":
            Gladia.jobs += 1
            self.answer(200, {"result_url": f"https://{GLADIA_HOST}/v2/pre-recorded/{Gladia.jobs}"})
        elif self.path == "/v2/live":
            Gladia.live_sessions += 1
            path = f"/v2/live?token={Gladia.live_sessions}"
            Gladia.streams[path] = Spans()
            self.answer(201, {"id": f"live-{Gladia.live_sessions}",
                              "url": f"wss://{GLADIA_HOST}{path}"})
        else:
            self.answer(404, {})

    def do_GET(self):
        if self.headers.get("Upgrade", "").lower() == "websocket":
            if self.path not in Gladia.streams:
                self.answer(404, {})
                return
            LiveSocket(self, Gladia.streams[self.path]).run()
            self.close_connection = True
            return
        self.answer(200, {"status": "done", "result": {"transcription": {
            "full_transcript": UTTERANCE,
            "utterances": [{"start": 0.4, "speaker": 0, "text": UTTERANCE}]}}})


class Spans:
    """What a live session heard, kept across its connections as the service does (a resumed
    connection goes on from the acknowledged bytes): one utterance per loud span of a channel, told
    by 100 ms windows, a partial once loud for 0.3 s, the final after 0.5 s of quiet or at the stop.
    """
    WINDOW = 1600  # frames of 16 kHz stereo
    LOUD = 0.05  # of full scale, RMS

    def __init__(self):
        self.say = None  # the current connection's
        self.received = 0
        self.pending = b""
        self.window = 0
        self.spans = [None, None]  # per channel: [id, start window, loud windows, quiet windows]
        self.count = 0

    def feed(self, pcm):
        self.pending += pcm
        size = self.WINDOW * 4
        while len(self.pending) >= size:
            samples = struct.unpack(f"<{self.WINDOW * 2}h", self.pending[:size])
            self.pending = self.pending[size:]
            for channel in (0, 1):
                power = sum(v * v for v in samples[channel::2]) / self.WINDOW
                self.step(channel, power ** 0.5 / 32768 > self.LOUD)
            self.window += 1

    def step(self, channel, loud):
        span = self.spans[channel]
        if span is None:
            if loud:
                self.count += 1
                self.spans[channel] = [f"u{self.count}", self.window, 1, 0]
            return
        if loud:
            span[2] += 1
            span[3] = 0
            if span[2] == 3:
                self.say(span[0], False, span[1] / 10, self.window / 10, channel, LIVE_PARTIAL)
        else:
            span[3] += 1
            if span[3] == 5:
                self.end(channel)

    def end(self, channel):
        span = self.spans[channel]
        self.spans[channel] = None
        if span is not None:
            end = (self.window - span[3] + 1) / 10
            self.say(span[0], True, span[1] / 10, end, channel, LIVE_TEXTS[channel])

    def stop(self):
        for channel in (0, 1):
            self.end(channel)


class LiveSocket:
    """The WebSocket of a live session, by hand (RFC 6455, server side): acknowledges each audio
    frame with its byte range, says the utterances of `Spans`, and at stop_recording sends the
    last finals, post_final_transcript and closes with 1000."""
    GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"

    def __init__(self, handler, stream):
        self.handler = handler
        self.stream = stream
        stream.say = self.say

    def run(self):
        key = self.handler.headers["Sec-WebSocket-Key"].encode()
        accept = base64.b64encode(hashlib.sha1(key + self.GUID).digest()).decode()
        self.handler.wfile.write(("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                                  "Connection: Upgrade\r\n"
                                  f"Sec-WebSocket-Accept: {accept}\r\n\r\n").encode())
        message, kind = b"", None
        while True:
            frame = self.frame()
            if frame is None:
                return
            final, opcode, payload = frame
            if opcode == 8:
                self.send(8, payload[:2])
                return
            if opcode == 9:
                self.send(10, payload)
                continue
            if opcode in (1, 2):
                message, kind = b"", opcode
            message += payload
            if not final or opcode not in (0, 1, 2):
                continue
            if kind == 2:
                self.audio(message)
            elif json.loads(message).get("type") == "stop_recording":
                self.stream.stop()
                self.json({"type": "post_final_transcript"})
                self.send(8, struct.pack(">H", 1000))

    def frame(self):
        head = self.handler.rfile.read(2)
        if len(head) < 2:
            return None
        length = head[1] & 0x7F
        if length == 126:
            length = struct.unpack(">H", self.handler.rfile.read(2))[0]
        elif length == 127:
            length = struct.unpack(">Q", self.handler.rfile.read(8))[0]
        mask = self.handler.rfile.read(4) if head[1] & 0x80 else b"\0\0\0\0"
        data = self.handler.rfile.read(length)
        payload = bytes(b ^ mask[i % 4] for i, b in enumerate(data))
        return bool(head[0] & 0x80), head[0] & 0x0F, payload

    def send(self, opcode, payload):
        size = len(payload)
        if size < 126:
            head = struct.pack(">BB", 0x80 | opcode, size)
        elif size < 65536:
            head = struct.pack(">BBH", 0x80 | opcode, 126, size)
        else:
            head = struct.pack(">BBQ", 0x80 | opcode, 127, size)
        self.handler.wfile.write(head + payload)

    def json(self, value):
        self.send(1, json.dumps(value, ensure_ascii=False).encode())

    def audio(self, pcm):
        stream = self.stream
        start, stream.received = stream.received, stream.received + len(pcm)
        self.json({"type": "audio_chunk", "acknowledged": True,
                   "data": {"byte_range": [start, stream.received]}})
        stream.feed(pcm)

    def say(self, utterance, final, start, end, channel, text):
        self.json({"type": "transcript", "data": {"id": utterance, "is_final": final, "utterance": {
            "start": start, "end": end, "channel": channel, "text": text}}})


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

#!/usr/bin/env python3
"""A small statistics receiver.

Accepts the downloader's statistics batches (HTTP POST, form body
"data=<batch>") and appends one JSON line per request to a file:

    {"time": ..., "path": "/launchersubmit/eventListSubmit",
     "body": "<raw form body>", "batch": <decoded batch or null>}

"batch" is the JSON array the downloader sent: one {"code", "info"} object
(or null) per event. The answer is {"error":0,"msg":"ok"}; --answer error
answers {"error":1}, --answer silent reads the request and never answers.

Only the Python standard library is used.

    stats_receiver.py --port 8080 --out batches.jsonl [--bind 127.0.0.1]
"""

import argparse
import json
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

MAX_BODY = 16 * 1024 * 1024


def decode_form_value(text):
    """Reverses the downloader's form encoding: "_" is a space, %XX a byte."""
    raw = urllib.parse.unquote_to_bytes(text.replace("_", " "))
    return raw.decode("utf-8", errors="replace")


def decode_batch(body):
    fields = {}
    for part in body.split("&"):
        key, sep, value = part.partition("=")
        if sep:
            fields[key] = value
    if "data" not in fields:
        return None
    try:
        return json.loads(decode_form_value(fields["data"]))
    except ValueError:
        return None


class Receiver(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, answer, out_path):
        super().__init__(address, Handler)
        self.answer = answer
        self.out_path = out_path
        self.write_lock = threading.Lock()
        self.stopping = threading.Event()

    def store(self, record):
        line = json.dumps(record, ensure_ascii=False, sort_keys=True)
        with self.write_lock:
            with open(self.out_path, "a", encoding="utf-8") as out:
                out.write(line + "\n")
                out.flush()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "lf-stats-receiver/1"

    def log_message(self, fmt, *args):
        sys.stderr.write("stats-receiver: " + (fmt % args) + "\n")

    def do_POST(self):
        try:
            length = int(self.headers.get("Content-Length", "0"))
        except ValueError:
            length = -1
        if length < 0 or length > MAX_BODY:
            self.send_error(413)
            return
        body = self.rfile.read(length).decode("latin-1")
        self.server.store({
            "time": time.time(),
            "path": self.path,
            "body": body,
            "batch": decode_batch(body),
        })
        if self.server.answer == "silent":
            # Keep the connection open without a word until the client gives
            # up or the receiver stops.
            while not self.server.stopping.wait(0.2):
                pass
            self.close_connection = True
            return
        reply = b'{"error":0,"msg":"ok"}' if self.server.answer == "ok" else b'{"error":1}'
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def do_GET(self):
        reply = b"lanternfish statistics receiver\n"
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--out", required=True, help="file that receives one JSON line per batch")
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--answer", choices=["ok", "error", "silent"], default="ok")
    args = parser.parse_args()
    server = Receiver((args.bind, args.port), args.answer, args.out)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.stopping.set()
        server.server_close()


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Four sources for one file, with lf-get --connections 8: a server that
accepts and never answers, one that sends a full 206 head and then
nothing, nginx at limit_rate 50k, and nginx without a limit. Prints lf-get's
time beside its time with the fast nginx alone, and checks the goal: the
four-source case within 1.5 times the fast source's own time plus 1 s.

  stalled_sources.py --lf-get PATH [--mib 128] [--runs 3]

Run inside a private network namespace (run_stalled_bench.sh does it).
"""
import argparse
import hashlib
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    p = s.getsockname()[1]
    s.close()
    return p


def silent_server(port, size, head_only):
    """Never answers, or answers a 206 head and then sends nothing."""
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", port))
    srv.listen(128)
    keep = []

    def serve(c):
        buf = b""
        while b"\r\n\r\n" not in buf:
            d = c.recv(65536)
            if not d:
                return
            buf += d
        if head_only:
            start = 0
            for line in buf.split(b"\r\n"):
                if line.lower().startswith(b"range:"):
                    start = int(line.split(b"=", 1)[1].split(b"-")[0])
            c.sendall(b"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes %d-%d/%d\r\n"
                      b"Content-Length: %d\r\n\r\n" % (start, size - 1, size, size - start))
        keep.append(c)

    def loop():
        while True:
            c, _ = srv.accept()
            threading.Thread(target=serve, args=(c,), daemon=True).start()

    threading.Thread(target=loop, daemon=True).start()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--lf-get", required=True)
    ap.add_argument("--mib", type=int, default=128)
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="lf-stall-")
    www = os.path.join(work, "www")
    os.makedirs(www)
    os.makedirs(os.path.join(work, "nginx"))
    size = args.mib * 1024 * 1024
    data = os.urandom(size)
    with open(os.path.join(www, "f.bin"), "wb") as f:
        f.write(data)
    digest = hashlib.md5(data).hexdigest()
    port = free_port()
    conf = os.path.join(work, "nginx.conf")
    with open(conf, "w") as f:
        f.write("""daemon off; worker_processes 1; user root; pid %(w)s/nginx.pid;
error_log %(w)s/nginx/error.log;
events { worker_connections 1024; }
http { access_log off; client_body_temp_path %(w)s/nginx; proxy_temp_path %(w)s/nginx;
  fastcgi_temp_path %(w)s/nginx; uwsgi_temp_path %(w)s/nginx; scgi_temp_path %(w)s/nginx;
  server { listen 127.0.0.1:%(p)d; root %(w)s/www;
           location /slow/ { alias %(w)s/www/; limit_rate 50k; } } }
""" % {"w": work, "p": port})
    nginx = subprocess.Popen(["nginx", "-c", conf, "-p", work + "/"])
    time.sleep(0.3)
    mute, head = free_port(), free_port()
    silent_server(mute, size, False)
    silent_server(head, size, True)
    fast = "http://127.0.0.1:%d/f.bin" % port
    four = ["http://127.0.0.1:%d/f.bin" % mute, "http://127.0.0.1:%d/f.bin" % head,
            "http://127.0.0.1:%d/slow/f.bin" % port, fast]

    def run(urls):
        out = os.path.join(work, "out.bin")
        for suffix in ("", ".lfinfo", ".lfinfodf", ".lftmp"):
            try:
                os.unlink(out + suffix)
            except FileNotFoundError:
                pass
        t0 = time.time()
        rc = subprocess.run([args.lf_get, "--connections", "8", out] + urls,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
        took = time.time() - t0
        with open(out, "rb") as f:
            ok = rc == 0 and hashlib.md5(f.read()).hexdigest() == digest
        return took, ok

    def median(v):
        return sorted(v)[len(v) // 2]

    alone, mixed, ok = [], [], True
    for _ in range(args.runs):
        t, good = run([fast])
        alone.append(t)
        ok = ok and good
        t, good = run(four)
        mixed.append(t)
        ok = ok and good
    a, m = median(alone), median(mixed)
    print("file               %d MiB, lf-get --connections 8, median of %d runs"
          % (args.mib, args.runs))
    print("fast nginx alone   %6.2f s" % a)
    print("four sources       %6.2f s  (silent, 206 head then nothing, nginx 50k, fast nginx)" % m)
    print("goal               %6.2f s  (1.5 x alone + 1 s): %s" % (1.5 * a + 1,
                                                                   "met" if m <= 1.5 * a + 1
                                                                   else "NOT met"))
    print("files right        %s" % ("yes" if ok else "NO"))
    nginx.send_signal(signal.SIGQUIT)
    nginx.wait()
    subprocess.run(["rm", "-rf", work])
    return 0 if ok and m <= 1.5 * a + 1 else 1


if __name__ == "__main__":
    sys.exit(main())

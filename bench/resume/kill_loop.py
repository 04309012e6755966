#!/usr/bin/env python3
"""Kill loop: the engine (lf-get --batch, one task per file, each with its
torrent) is killed with SIGKILL again and again after a random 1 to 5 s of
running (fixed seed), then run to the end. nginx counts every byte it
served; everything above the content size was fetched again. The bound the
engine promises: per kill, the write cache of every task plus one piece per
connection.

  kill_loop.py --lf-get PATH [--kills 30] [--seed 17] [--files 8]
               [--mib 48] [--rate 128k] [--connections 4]

Run inside a private network namespace (run_kill_bench.sh does it).
"""
import argparse
import hashlib
import os
import random
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time

PIECE = 256 * 1024
CACHE_PER_TASK = 8 * 1024 * 1024  # the piece map's default cache limit


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def served_bytes(log):
    total = 0
    try:
        with open(log) as f:
            for line in f:
                m = re.search(r'" (\d{3}) (\d+)', line)
                if m:
                    total += int(m.group(2))
    except FileNotFoundError:
        pass
    return total


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--lf-get", required=True)
    ap.add_argument("--kills", type=int, default=30)
    ap.add_argument("--seed", type=int, default=17)
    ap.add_argument("--files", type=int, default=8)
    ap.add_argument("--mib", type=int, default=48)
    ap.add_argument("--rate", default="128k")
    ap.add_argument("--connections", type=int, default=4)
    ap.add_argument("--min-run", type=float, default=1.0)
    ap.add_argument("--max-run", type=float, default=5.0)
    args = ap.parse_args()

    rng = random.Random(args.seed)
    work = tempfile.mkdtemp(prefix="lf-kill-")
    www = os.path.join(work, "www")
    out = os.path.join(work, "out")
    os.makedirs(www)
    os.makedirs(out)
    names, digests = [], []
    content = random.Random(args.seed + 1)
    for i in range(args.files):
        name = "file%d.bin" % i
        data = content.randbytes(args.mib * 1024 * 1024)
        with open(os.path.join(www, name), "wb") as f:
            f.write(data)
        digests.append(hashlib.md5(data).hexdigest())
        names.append(name)
        subprocess.run(["mktorrent", "-l", "18", "-a", "http://127.0.0.1:1/announce", "-o",
                        os.path.join(work, name + ".torrent"), os.path.join(www, name)],
                       check=True, stdout=subprocess.DEVNULL)
    port = free_port()
    os.makedirs(os.path.join(work, "nginx"))
    conf = os.path.join(work, "nginx.conf")
    with open(conf, "w") as f:
        f.write("""daemon off; worker_processes 1; user root; pid %(w)s/nginx.pid;
error_log %(w)s/nginx/error.log;
events { worker_connections 4096; }
http { access_log %(w)s/access.log; client_body_temp_path %(w)s/nginx;
  proxy_temp_path %(w)s/nginx; fastcgi_temp_path %(w)s/nginx;
  uwsgi_temp_path %(w)s/nginx; scgi_temp_path %(w)s/nginx;
  server { listen 127.0.0.1:%(p)d; root %(w)s/www; limit_rate %(r)s; } }
""" % {"w": work, "p": port, "r": args.rate})
    nginx = subprocess.Popen(["nginx", "-c", conf, "-p", work + "/"])
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), 0.1).close()
            break
        except OSError:
            time.sleep(0.05)
    batch = os.path.join(work, "batch")
    with open(batch, "w") as f:
        for n in names:
            f.write("%s %s http://127.0.0.1:%d/%s\n" % (os.path.join(out, n),
                                                          os.path.join(work, n + ".torrent"),
                                                          port, n))
    total = args.files * args.mib * 1024 * 1024
    base = [args.lf_get, "--connections", str(args.connections)]
    started = time.time()
    kills = 0
    first = True
    while kills < args.kills:
        cmd = base + ([] if first else ["--recover"]) + ["--batch", batch]
        p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait = rng.uniform(args.min_run, args.max_run)
        try:
            p.wait(timeout=wait)
            break  # finished before its kill
        except subprocess.TimeoutExpired:
            p.send_signal(signal.SIGKILL)
            p.wait()
            kills += 1
            first = False
    final_start = served_bytes(os.path.join(work, "access.log"))
    t0 = time.time()
    rc = subprocess.run(base + (["--recover"] if not first else []) + ["--batch", batch],
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
    final_seconds = time.time() - t0
    time.sleep(0.5)  # the access log line of the last response
    nginx.send_signal(signal.SIGQUIT)
    nginx.wait()
    served = served_bytes(os.path.join(work, "access.log"))
    ok = rc == 0
    for n, d in zip(names, digests):
        with open(os.path.join(out, n), "rb") as f:
            ok = ok and hashlib.md5(f.read()).hexdigest() == d
    refetched = served - total
    bound = kills * (args.files * CACHE_PER_TASK + args.files * args.connections * PIECE)
    print("content            %10.1f MiB (%d files of %d MiB, pieces of 256 KiB)"
          % (total / 2**20, args.files, args.mib))
    print("nginx              limit_rate %s per connection, %d connections per task"
          % (args.rate, args.connections))
    print("kills              %10d (seed %d, each after %.0f-%.0f s)"
          % (kills, args.seed, args.min_run, args.max_run))
    print("served in all      %10.1f MiB" % (served / 2**20))
    print("fetched again      %10.1f MiB (%.1f MiB per kill)"
          % (refetched / 2**20, refetched / 2**20 / max(kills, 1)))
    print("last run fetched   %10.1f MiB in %.1f s" % ((served - final_start) / 2**20,
                                                     final_seconds))
    print("bound              %10.1f MiB (per kill: %d x 8 MiB cache + %d x 256 KiB)"
          % (bound / 2**20, args.files, args.files * args.connections))
    print("files right        %10s" % ("yes" if ok else "NO"))
    print("wall               %10.1f s" % (time.time() - started))
    subprocess.run(["rm", "-rf", work])
    return 0 if ok and refetched <= bound else 1


if __name__ == "__main__":
    sys.exit(main())

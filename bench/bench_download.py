#!/usr/bin/env python3
"""Benchmark (not a test): download of a 16 MiB BIRD file with `Updater -G`
from the reference update server on loopback, against the floor of the same
answer fetched by curl and piped into `base64 -d`.

Goals: Updater time at most 1.5x the floor; Updater peak memory (maximum
resident set, /usr/bin/time -v) at most 4x the file size.

Usage: bench/bench_download.py [--build-dir DIR] [--runs N]
"""

import argparse
import json
import os
import re
import select
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SERIAL = "40F5849A"
BUILD = 4242
FIRMWARE = "lumivance-fw"


def timed(argv, shell=False, timeout=300):
    """Runs argv under /usr/bin/time -v; returns (seconds, max RSS in KiB)."""
    cmd = ["/usr/bin/time", "-v"] + (["sh", "-c", argv] if shell else argv)
    start = time.monotonic()
    proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, timeout=timeout)
    elapsed = time.monotonic() - start
    err = proc.stderr.decode("utf-8", "replace")
    if proc.returncode != 0:
        raise RuntimeError("command failed (%d): %s\n%s" % (proc.returncode, argv, err[-2000:]))
    rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", err).group(1))
    return elapsed, rss


def start_server(binary, root, log, seconds):
    proc = subprocess.Popen([binary, "--root", root, "--log", log, "--max-seconds", str(seconds)],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    line = b""
    deadline = time.monotonic() + 10
    while not line.endswith(b"\n") and time.monotonic() < deadline:
        if select.select([proc.stdout], [], [], 0.5)[0]:
            chunk = os.read(proc.stdout.fileno(), 4096)
            if not chunk:
                break
            line += chunk
    if not line.startswith(b"READY "):
        proc.kill()
        proc.wait(timeout=10)
        raise RuntimeError("update_server did not start: %r" % line)
    return proc, json.loads(line[6:])


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", default=os.environ.get("BUILD_DIR", os.path.join(here, "..", "build")))
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    runs = max(1, min(args.runs, 50))
    build_dir = os.path.abspath(args.build_dir)
    updater = os.path.join(build_dir, "app", "Updater")
    server_bin = os.path.join(build_dir, "tools", "update_server", "update_server")
    birdtool = os.path.join(build_dir, "tools", "birdtool", "birdtool")
    for tool in (updater, server_bin, birdtool, "/usr/bin/time", shutil.which("curl"), shutil.which("base64")):
        if not tool or not os.path.exists(tool):
            sys.exit("missing %s" % tool)

    tmp = tempfile.mkdtemp(prefix="bench-download-")
    server = None
    try:
        root = os.path.join(tmp, "root")
        os.makedirs(os.path.join(root, SERIAL))
        image = os.path.join(tmp, "image.bin")
        with open(image, "wb") as f:
            f.write(os.urandom(16 * 1024 * 1024 - 4096))  # incompressible: the file stays ~16 MiB
        bird = os.path.join(root, SERIAL, "%d.bird" % BUILD)
        subprocess.run([birdtool, "pack", "-o", bird, "--build", str(BUILD), "--version", "2.12.2",
                        "--model", "BENCH", "--firmware", image + "@0x0"], check=True, timeout=120)
        size = os.path.getsize(bird)
        with open(bird, "rb") as f:
            original = f.read()

        server, info = start_server(server_bin, root, os.path.join(tmp, "server.log"), 600)
        url = info["url"]
        target = "%s?bld=%d&fw=%s&no_cal=false&op=bird&sn=%s&" % (url, BUILD, FIRMWARE, SERIAL)
        floor_out = os.path.join(tmp, "floor.bird")
        floor_cmd = "curl -sS --fail '%s' | tail -n +2 | base64 -d > '%s'" % (target, floor_out)

        floor, subject = [], []
        for i in range(runs):  # alternate, so drift affects both alike
            floor.append(timed(floor_cmd, shell=True))
            store = os.path.join(tmp, "store%d" % i)
            subject.append(timed([updater, "-G", "-d", SERIAL, "-u", url, "-i", store]))
            with open(os.path.join(store, "updater", SERIAL, "%d.bird" % BUILD), "rb") as f:
                if f.read() != original:
                    sys.exit("Updater stored a different file")
            shutil.rmtree(store)
        with open(floor_out, "rb") as f:
            if f.read() != original:
                sys.exit("the floor pipeline produced a different file")

        f_time = statistics.median(t for t, _ in floor)
        s_time = statistics.median(t for t, _ in subject)
        s_rss = max(r for _, r in subject) * 1024
        f_rss = max(r for _, r in floor) * 1024
        print("BIRD file: %d bytes (%.1f MiB), %d runs each, medians" % (size, size / 2**20, runs))
        print("%-34s %10s %14s" % ("", "time (s)", "peak RSS (MiB)"))
        print("%-34s %10.3f %14.1f" % ("floor: curl | base64 -d", f_time, f_rss / 2**20))
        print("%-34s %10.3f %14.1f" % ("Updater -G (ping, query, list, get)", s_time, s_rss / 2**20))
        ratio = s_time / f_time
        mem = s_rss / size
        print("time ratio Updater/floor: %.2f (goal <= 1.5) %s" % (ratio, "MET" if ratio <= 1.5 else "MISSED"))
        print("peak RSS / file size:     %.2f (goal <= 4.0) %s" % (mem, "MET" if mem <= 4.0 else "MISSED"))
    finally:
        if server:
            server.terminate()
            try:
                server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait(timeout=10)
            server.stdout.close()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Update benchmark (not a test): `Updater -U` of a 1 MiB firmware image on a
simulated module over TCP, in packet mode (-m 0), in UEI byte-run mode and in
UEI mode with pooled packets, each against its protocol floor: the number of
request/reply exchanges the mode needs times the link's own single-packet
round trip, measured in the same run (bench_link_roundtrip). Also the update
through a router and the wall time of the whole -U against its transfer time.

The transfer time and the exchange counts come from the simulated module
(its `stats=` file: first firmware PREPARE to REBOOT). The Updater finds the
module by TCP/IP discovery, so everything runs inside private network
namespaces (needs root). Usage:
    bench/bench_update.py [BUILD_DIR] [--size BYTES] [--block N]
"""

import argparse
import json
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

SERIAL = "40F5849A"
GOAL = 1.3
RUNS = 3  # per mode; the run with the median transfer time is reported (the machine is shared)


def parse_args():
    p = argparse.ArgumentParser()
    p.add_argument("build_dir", nargs="?", default=os.path.join(HERE, "..", "build"))
    p.add_argument("--size", type=int, default=1 << 20, help="firmware image bytes")
    p.add_argument("--block", type=int, default=1024, help="block size the module grants")
    return p.parse_args()


ARGS = parse_args()
os.environ["BUILD_DIR"] = os.path.abspath(ARGS.build_dir)
os.environ.setdefault("UPDATER_BIN", os.path.join(os.environ["BUILD_DIR"], "app", "Updater"))
import lvtest  # noqa: E402


def link_round_trip(net):
    """Median single-packet round trips (us) of raw sockets and of the link
    against the simulator, from bench_link_roundtrip run in the host namespace."""
    binary = os.path.join(os.environ["BUILD_DIR"], "bench", "bench_link_roundtrip")
    out = subprocess.run(net.host_prefix + [binary, "2000"], capture_output=True, text=True,
                         timeout=300).stdout
    rows = {}
    for line in out.splitlines():
        m = re.match(r"^(.*?)\s+(\d+\.\d)\s+(\d+\.\d)\s", line)
        if m:
            rows[m.group(1).strip()] = float(m.group(2))
    return rows.get("floor: raw socket <-> simulator"), rows.get("link <-> simulator")


def make_bird(directory, size, serial):
    image = bytes((i * 7 + 3) & 0xFF for i in range(size))
    src = os.path.join(directory, "fw.bin")
    with open(src, "wb") as f:
        f.write(image)
    path = os.path.join(directory, "bench.bird")
    subprocess.run([lvtest.tool_bin("birdtool"), "pack", "-o", path, "--build", "900",
                    "--version", "2.13.0", "--model", "LV-Switch2", "--serial", serial,
                    "--loader", "pattern:512@0x20000000", "--firmware", src + "@0x10000"],
                   check=True, timeout=60)
    return path, image


def run_update(net, directory, modules, target, upgrade, updater_args):
    stats = os.path.join(directory, "stats.json")
    flash = os.path.join(directory, "flash.bin")
    for p in (stats, flash):
        if os.path.exists(p):
            os.remove(p)
    args = []
    for m in modules:
        args += ["--module", m]
    args += ["--upgrade", "serial=%s,stats=%s,flash=%s,%s" % (target, stats, flash, upgrade),
             "--discovery", net.DEVICE_ADDRESS]
    with lvtest.start_simulator(args, prefix=net.device_prefix, max_seconds=600):
        start = time.monotonic()
        rc, out, err = net.run_updater(updater_args, store_dir=directory, timeout=600)
        wall = time.monotonic() - start
    if rc != 0:
        raise RuntimeError("update failed: %s %s" % (out, err))
    with open(stats) as f:
        s = json.load(f)
    with open(flash, "rb") as f:
        s["flash"] = f.read()
    m = re.search(r"Update time: (\d+\.\d+) sec", out)
    s["update_time"] = float(m.group(1)) if m else float("nan")
    s["wall"] = wall
    return s


def median_run(*args):
    runs = sorted((run_update(*args) for _ in range(RUNS)), key=lambda s: s["transfer_seconds"])
    return runs[len(runs) // 2]


def exchanges(s):
    # Every DATA packet, UEI run, PREPARE, SUM and WRITE waits for its reply.
    return s["prepares"] + s["data_packets"] + s["uei_runs"] + s["sums"] + s["writes"]


def main():
    if not lvtest.PrivateNetwork.available():
        print("needs root for network namespaces")
        return 1
    with lvtest.temp_dir() as d, lvtest.PrivateNetwork() as net:
        raw_us, link_us = link_round_trip(net)
        if not link_us:
            print("bench_link_roundtrip gave no simulator rows (is it built?)")
            return 1
        bird, image = make_bird(d, ARGS.size, SERIAL)
        ip = net.DEVICE_ADDRESS
        print("Update of a %d-byte image (block size %d) over TCP to a simulated module,"
              " median of %d runs" % (ARGS.size, ARGS.block, RUNS))
        print("single-packet round trip: raw socket %.1f us, link %.1f us (loopback, same run)\n"
              % (raw_us, link_us))
        print("%-22s %9s %9s %10s %10s %9s %12s  %s" % (
            "mode", "exchanges", "packets", "transfer s", "floor s", "ratio", "bytes/s", "goal"))
        modes = [
            ("packet (-m 0)", "features=0", ["-m", "0"]),
            ("UEI byte runs", "features=0", []),
            ("UEI + pooled packets", "features=0x80000000", []),
        ]
        results = {}
        for name, features, extra in modes:
            s = median_run(net, d, ["serial=%s,model=4,hb=0,%s,tcp=%s:0" % (SERIAL, features, ip)],
                           SERIAL, "block=%d" % ARGS.block,
                           ["-U", "-d", SERIAL, "-f", bird] + extra)
            ok = s["flash"] == image
            n = exchanges(s)
            floor = n * link_us / 1e6
            ratio = s["transfer_seconds"] / floor
            packets = s["data_packets"] + s["uei_packets"] + s["prepares"] + s["sums"] + s["writes"]
            print("%-22s %9d %9d %10.3f %10.3f %8.2fx %12.0f  %s%s" % (
                name, n, packets, s["transfer_seconds"], floor, ratio,
                s["flash_bytes"] / s["transfer_seconds"],
                "met" if ratio <= GOAL else "MISSED (> %.1fx)" % GOAL,
                "" if ok else "  FLASH MISMATCH"))
            results[name] = s

        print("\nWhole -U against its transfer (seconds):")
        print("%-22s %8s %12s %10s %10s" % ("mode", "wall", "Update time", "transfer", "rest"))
        for name, s in results.items():
            print("%-22s %8.3f %12.3f %10.3f %10.3f" % (
                name, s["wall"], s["update_time"], s["transfer_seconds"],
                s["wall"] - s["transfer_seconds"]))
        print("(rest: process start, TCP/IP discovery, validation, loader, the 250 ms reboot\n"
              " passes until the link drops)")

        s = median_run(net, d, ["serial=D272031D,model=4,hb=0,tcp=%s:0" % ip,
                                "serial=%s,model=4,hb=0,router=D272031D,address=10" % SERIAL],
                       SERIAL, "block=%d" % ARGS.block,
                       ["-U", "-d", SERIAL, "-r", "D272031D", "-f", bird])
        n = exchanges(s)
        print("\nThrough a router (UEI + pooled): wall %.3f s, transfer %.3f s, %d exchanges, "
              "floor %.3f s (%.2fx), %.0f bytes/s%s" % (
                  s["wall"], s["transfer_seconds"], n, n * link_us / 1e6,
                  s["transfer_seconds"] / (n * link_us / 1e6),
                  s["flash_bytes"] / s["transfer_seconds"],
                  "" if s["flash"] == image else "  FLASH MISMATCH"))
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Discovery benchmark (not a test): wall time of `Updater -D -t TCP` with 1 and
20 simulated modules against the probe's own 2-second silence floor, and of a
router walk over the full 125-address network with 2 modules on it.

Runs inside private network namespaces (needs root). Usage:
    bench/bench_discover.py [BUILD_DIR]      (default: build)
"""

import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
if len(sys.argv) > 1:
    os.environ["BUILD_DIR"] = os.path.abspath(sys.argv[1])
else:
    os.environ.setdefault("BUILD_DIR", os.path.join(HERE, "..", "build"))
import lvtest  # noqa: E402

RUNS = 3
FLOOR = 2.0  # seconds of silence that end a TCP/IP probe


def timed(net, store, args):
    times = []
    for _ in range(RUNS):
        start = time.monotonic()
        rc, out, err = net.run_updater(args, store_dir=store, timeout=120)
        times.append(time.monotonic() - start)
        if rc != 0:
            raise RuntimeError("Updater failed: %s" % err)
    return statistics.median(times), out


def main():
    if not lvtest.PrivateNetwork.available():
        print("needs root for network namespaces")
        return 1
    rows = []
    for count in (1, 20):
        with lvtest.PrivateNetwork() as net, lvtest.temp_dir() as d:
            args = ["--discovery", net.DEVICE_ADDRESS]
            for i in range(count):
                args += ["--module", "serial=%08X,model=4,version=2.10.4,build=%d,name=M%d,tcp=%s:0"
                         % (0x10000000 + i, 100 + i, i, net.DEVICE_ADDRESS)]
            with lvtest.start_simulator(args, prefix=net.device_prefix, max_seconds=300):
                wall, out = timed(net, d, ["-D", "-t", "TCP"])
            found = sum(1 for line in out.splitlines() if line.startswith("    1000"))
            goal = FLOOR + 0.05 * count
            rows.append(("-D -t TCP, %d module(s)" % count, wall, FLOOR, goal, found))

    with lvtest.PrivateNetwork() as net, lvtest.temp_dir() as d:
        args = ["--discovery", net.DEVICE_ADDRESS,
                "--module", "serial=D272031D,model=4,version=2.10.4,build=1,tcp=%s:0" % net.DEVICE_ADDRESS,
                "--module", "serial=20000004,model=5,version=2.10.4,build=2,router=D272031D,address=4",
                "--module", "serial=200000FC,model=5,version=2.10.4,build=3,router=D272031D,address=252"]
        with lvtest.start_simulator(args, prefix=net.device_prefix, max_seconds=300):
            walk, out = timed(net, d, ["-D", "-r", "D272031D", "-t", "TCP"])
            # The same walk with -X 1 shows how many addresses were probed.
            rc, _, err = net.run_updater(["-D", "-r", "D272031D", "-t", "TCP", "-X", "1"], store_dir=d)
        probed = err.count("Searching Address")
        connected = err.count("Attempt Connect")
        found = sum(1 for line in out.splitlines() if line.startswith("    2000"))

    print("%-32s %10s %10s %10s %7s" % ("case", "wall s", "floor s", "goal s", "found"))
    for name, wall, floor, goal, found_count in rows:
        print("%-32s %10.3f %10.3f %10.3f %7d" % (name, wall, floor, goal, found_count))
    print()
    print("router walk: %.3f s for %d probed addresses (%d answered, %d listed);"
          " %.1f ms per silent address on average"
          % (walk, probed, connected, found, 1000.0 * walk / max(probed, 1)))
    return 0


if __name__ == "__main__":
    sys.exit(main())

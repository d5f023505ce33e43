#!/usr/bin/env python3
"""The main job against the bundled stand-ins, inside a private network.

Starts the reference update server (holding two builds of a module's firmware)
and a device simulator with two modules and a router with a module behind it,
then runs the Updater as a user would: discover, list the server's builds,
download the newest into the store, list the store, update the module and show
its new version. Everything happens in private network namespaces and a
temporary directory that are removed afterwards.

Usage: scripts/demo.py [BUILD_DIR]   (needs root for the network namespaces)
"""

import os
import shlex
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
os.environ["BUILD_DIR"] = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))
os.environ.setdefault("UPDATER_BIN", os.path.join(os.environ["BUILD_DIR"], "app", "Updater"))
import lvtest  # noqa: E402

SERIAL = "40F5849A"
MODEL = "LV-Switch2"  # model code 4


def make_firmware(work, path, build, version):
    """A BIRD file with a small loader and a 64 KiB firmware image, with places
    for the serial number (the Updater writes the module's own into them). The
    image carries the identity tag the simulated module reports after it reboots."""
    loader = os.path.join(work, "loader.bin")
    with open(loader, "wb") as f:
        f.write(bytes((i * 5 + 1) & 0xFF for i in range(512)))
    image = bytearray((i * 7 + build) & 0xFF for i in range(64 * 1024))
    tag = ("LVSIM-ID build=%d version=%s;" % (build, version)).encode()
    image[64:64 + len(tag)] = tag
    firmware = os.path.join(work, "firmware-%d.bin" % build)
    with open(firmware, "wb") as f:
        f.write(image)
    subprocess.run([lvtest.tool_bin("birdtool"), "pack", "-o", path, "--build", str(build),
                    "--version", version, "--model", MODEL, "--serial-offsets", "0x1010,0x1020",
                    "--loader", "%s@0x20000000" % loader, "--firmware", "%s@0x1000" % firmware],
                   check=True, timeout=30)


def show(net, store, args):
    print("\n$ Updater " + " ".join(shlex.quote(a) for a in args), flush=True)
    rc, out, err = net.run_updater(args, store_dir=store, timeout=300)
    sys.stdout.write(out)
    sys.stdout.write(err)
    print("(exit code %d)" % rc, flush=True)
    return rc


def main():
    if not lvtest.PrivateNetwork.available():
        print("demo: run as root (it makes private network namespaces)", file=sys.stderr)
        return 1
    with lvtest.temp_dir("lvdemo-") as work, lvtest.PrivateNetwork() as net:
        server_root = os.path.join(work, "server")
        os.makedirs(os.path.join(server_root, SERIAL))
        for build, version in ((1200, "2.12.0"), (1234, "2.12.3")):
            make_firmware(work, os.path.join(server_root, SERIAL, "%d.bird" % build), build, version)
        store = os.path.join(work, "store")
        ip = net.DEVICE_ADDRESS
        sim_args = [
            "--discovery", ip,
            "--module", "serial=%s,model=4,version=2.11.0,build=1100,name=Bench A,tcp=%s:0" % (SERIAL, ip),
            "--module", "serial=1A2B3C4D,model=3,version=2.10.3,build=900,name=Old hub,tcp=%s:0" % ip,
            "--module", "serial=D272031D,model=6,version=2.12.0,build=1201,name=Router,tcp=%s:0" % ip,
            "--module", "serial=22222222,model=5,version=2.12.0,build=1201,router=D272031D,address=4",
        ]
        with lvtest.start_update_server(server_root, prefix=net.host_prefix, max_seconds=600) as server, \
                lvtest.start_simulator(sim_args, prefix=net.device_prefix, max_seconds=600,
                                       log_path=os.path.join(work, "sim.log")):
            url = server.info["url"]
            print("Update server: %s   simulated modules on %s" % (url, ip))
            show(net, store, ["-h"])
            show(net, store, ["-D", "-t", "TCP"])
            show(net, store, ["-D", "-r", "D272031D", "-t", "TCP"])
            show(net, store, ["-B", "-d", SERIAL, "-u", url])
            rc = show(net, store, ["-G", "-d", SERIAL, "-u", url])
            show(net, store, ["-L", "-d", SERIAL])
            if rc != 0:
                return rc
            # Download (already stored) and update to the newest build, then look again.
            rc = show(net, store, ["-G", "-U", "-d", SERIAL, "-u", url])
            time.sleep(1.0)  # the module restarts into its new firmware (0.5 s)
            show(net, store, ["-D", "-t", "TCP"])
            if rc != 0:
                return rc
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""The update command end to end: the real Updater sends BIRD files made with
birdtool to simulated modules (directly over TCP/IP, through a router, over a
USB device node that re-enumerates) and the flashed bytes, the messages, the
exit codes and the settings are checked. Everything that may search over
TCP/IP runs inside a private network."""

import json
import os
import re
import select
import struct
import subprocess
import time
import unittest

import lvtest

SERIAL = "40F5849A"
MODEL = "LV-Switch2"  # the name of the simulator's default model code 4
TIME_TEXT = re.compile(r"^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}$")
UPDATE_TIME = re.compile(r"^Update time: \d+\.\d{4} sec$")
FIRMWARE_FAILED = "NETWORK: Failed to transfer firmware"


def image_bytes(size, seed, build=None, version=None):
    """A firmware image; with build and version it carries the identity tag
    the simulated module reads after REBOOT."""
    body = bytes((i * 7 + seed) & 0xFF for i in range(size))
    if build is not None:
        tag = ("LVSIM-ID build=%d version=%s;" % (build, version)).encode()
        body = body[:64] + tag + body[64 + len(tag):]
    return body


def patched(image, address, serial, serial_at, descriptor_at):
    """The image as the device must receive it once the serial number is set."""
    b = bytearray(image)
    if serial_at:
        o = serial_at - address
        b[o:o + 4] = struct.pack("<I", serial)
    if descriptor_at:
        o = descriptor_at - address
        for i, ch in enumerate("%08X" % serial):
            b[o + 2 * i] = ord(ch)
    return bytes(b)


def read_settings(path):
    with open(path, encoding="utf-8") as f:
        return dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)


class Fixture:
    """Writes image files and packs them with birdtool."""

    def __init__(self, directory):
        self.dir = directory
        self.count = 0

    def src(self, data):
        self.count += 1
        path = os.path.join(self.dir, "img%d.bin" % self.count)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def bird(self, name, firmware, loaders=(), model=MODEL, build=100, version="2.13.0",
             serial=None, offsets=None):
        path = os.path.join(self.dir, name)
        argv = [lvtest.tool_bin("birdtool"), "pack", "-o", path, "--build", str(build),
                "--version", version, "--model", model]
        if serial:
            argv += ["--serial", serial]
        if offsets:
            argv += ["--serial-offsets", "0x%X,0x%X" % offsets]
        for data, address in loaders:
            argv += ["--loader", "%s@0x%X" % (self.src(data), address)]
        for data, address in firmware:
            argv += ["--firmware", "%s@0x%X" % (self.src(data), address)]
        subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                       timeout=30)
        return path


LOADER = [(image_bytes(100, 1), 0x20000000)]
PACKET = ("-m", "0")


@unittest.skipUnless(lvtest.PrivateNetwork.available(), "needs root for network namespaces")
class UpdateCase(unittest.TestCase):
    def setUp(self):
        self._dirs = lvtest.temp_dir()
        self.dir = self._dirs.__enter__()
        self.net = lvtest.PrivateNetwork().__enter__()
        self.fx = Fixture(self.dir)
        self.flash = os.path.join(self.dir, "flash.bin")
        self.loader = os.path.join(self.dir, "loader.bin")
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            p.stop()
        self.net.__exit__()
        self._dirs.__exit__(None, None, None)

    def simulator(self, modules, upgrade=(), extra=()):
        args = []
        for m in modules:
            args += ["--module", m]
        for u in upgrade:
            args += ["--upgrade", u]
        args += ["--discovery", self.net.DEVICE_ADDRESS] + list(extra)
        self.sims = getattr(self, "sims", 0) + 1
        sim = lvtest.start_simulator(args, prefix=self.net.device_prefix,
                                     log_path=os.path.join(self.dir, "sim%d.log" % self.sims))
        self.procs.append(sim)
        return sim

    def device(self, upgrade="", serial=SERIAL, extra_module=""):
        opts = "flash=%s,loader=%s" % (self.flash, self.loader)
        if upgrade:
            opts += "," + upgrade
        return self.simulator(["serial=%s,model=4,tcp=%s:0%s" % (serial, self.net.DEVICE_ADDRESS,
                                                                 extra_module)],
                              upgrade=["serial=%s,%s" % (serial, opts)])

    @staticmethod
    def wait_up(sim, count=1):
        """Waits (bounded) until the module's link came back `count` times."""
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if len([e for e in sim.log() if e["event"] == "up"]) >= count:
                return
            time.sleep(0.1)
        raise AssertionError("the simulated module did not come back")

    def updater(self, *args, env=None, timeout=90):
        return self.net.run_updater(list(args), store_dir=self.dir, env=env, timeout=timeout)

    def flashed(self):
        with open(self.flash, "rb") as f:
            return f.read()

    @staticmethod
    def events(sim, kind=None):
        return [e for e in sim.log()
                if e["event"] == "upgrade" and (kind is None or e["kind"] == kind)]

    def settings(self, serial=SERIAL):
        path = os.path.join(self.dir, "updater", serial, ".settings")
        return read_settings(path) if os.path.exists(path) else {}


class UpdateDirect(UpdateCase):
    def test_packet_and_uei_modes_flash_the_personalised_image(self):
        fw = image_bytes(1500, 5, build=321, version="2.14.7")
        offsets = (0x1100, 0x1200)
        bird = self.fx.bird("fw.bird", [(fw, 0x1000)], LOADER, offsets=offsets)
        expected = patched(fw, 0x1000, 0x40F5849A, *offsets)
        self.assertNotEqual(expected, fw)
        for mode, uei in ((["-m", "0"], False), ([], True)):
            with self.subTest(uei=uei):
                for p in (self.flash, self.loader):
                    if os.path.exists(p):
                        os.remove(p)
                sim = self.device()
                rc, out, err = self.updater("-U", "-d", SERIAL, "-f", bird, *mode)
                self.assertEqual(rc, 0, err)
                lines = out.splitlines()
                self.assertEqual(lines[1:8], [
                    "Updating from Birdfile: " + bird,
                    "Transferring loader to device",
                    "Transferring loader block 1 of 1, 104 bytes",
                    "Transferred 1 blocks, 104 total bytes",
                    "Starting Load on Device",
                    "Transferring firmware block 1 of 1, 1504 bytes",
                    "Transferred 1 blocks, 1504 total bytes"])
                self.assertRegex(lines[8], UPDATE_TIME)
                self.assertEqual(len(lines), 9)
                self.assertEqual(err, "")
                self.assertEqual(self.flashed(), expected)
                with open(self.loader, "rb") as f:
                    self.assertEqual(f.read(), LOADER[0][0])
                # The device restarted into the new image and reports its build.
                reboot = self.events(sim, "reboot")
                self.assertEqual(len(reboot), 1)
                self.assertEqual(reboot[0]["new_build"], 321)
                data = [e for e in sim.log() if e["event"] == "rx" and e.get("data", "")[:5] == "5F 01"]
                self.assertEqual(bool(self.events(sim, "data_uei")), uei)
                if not uei:
                    # 26 image bytes per DATA packet at most: chunks of 1024 and 476
                    # bytes take 40 and 19 packets, the 100 loader bytes 4.
                    self.assertEqual(len(data), 40 + 19 + 4)
                    self.assertTrue(all(e["length"] <= 28 for e in data))
                else:
                    # Two chunks of the granted 1024-byte block size, each written.
                    self.assertEqual([e["count"] for e in self.events(sim, "write")], [1024, 476])
                s = self.settings()
                self.assertEqual(s["LATEST_TRANSFER"], bird)
                self.assertRegex(s["LAST_TRANSFER_DATE"], TIME_TEXT)
                sim.stop()

    def test_several_firmware_blocks_and_an_address_only_block(self):
        a, b = image_bytes(300, 9), image_bytes(77, 11)
        bird = self.fx.bird("multi.bird", [(a, 0x8000), (b"", 0x9000), (b, 0xA000)], LOADER,
                            serial=SERIAL)
        sim = self.device()
        rc, out, err = self.updater("-U", "-d", SERIAL, "-f", bird, "-m", "0")
        self.assertEqual(rc, 0, err)
        self.assertIn("Transferred 3 blocks, 389 total bytes", out.splitlines())
        self.assertEqual(self.flashed(), a + b)  # regions in address order
        prepared = [e["address"] for e in self.events(sim, "prepare") if not e["loader"]]
        self.assertEqual(prepared, [0x8000, 0x9000, 0xA000])
        self.assertEqual([e["count"] for e in self.events(sim, "write")], [300, 77])

    def test_model_mismatch_and_override(self):
        fw = image_bytes(200, 3)
        bird = self.fx.bird("hub.bird", [(fw, 0x1000)], LOADER, model="LV-Hub8", serial=SERIAL)
        sim = self.device()
        rc, out, err = self.updater("-U", "-d", SERIAL, "-f", bird)
        self.assertEqual(rc, 1)
        self.assertEqual(err.splitlines(), [
            "Connected device model and Bird file model do not match [%s] (0)" % MODEL,
            "Birdfile failed validation"])
        self.assertEqual(self.events(sim), [])
        self.assertEqual(self.settings(), {})
        rc, out, err = self.updater("-U", "-d", SERIAL, "-f", bird, "-OVERRIDE")
        self.assertEqual(rc, 0, err)
        self.assertEqual(self.flashed(), fw)

    def test_file_for_another_device_fails_validation(self):
        bird = self.fx.bird("other.bird", [(image_bytes(50, 1), 0x1000)], LOADER, serial="11111111")
        sim = self.device()
        rc, out, err = self.updater("-U", "-d", SERIAL, "-f", bird)
        self.assertEqual((rc, err.splitlines()), (1, ["Birdfile failed validation"]))
        self.assertEqual(self.events(sim), [])

    def test_device_not_found_and_bad_file(self):
        bird = self.fx.bird("ok.bird", [(image_bytes(50, 1), 0x1000)], serial="0BADCAFE")
        rc, out, err = self.updater("-U", "-d", "0BADCAFE", "-f", bird)
        self.assertEqual((rc, err.splitlines()), (1, ["Failed to connect to module [0BADCAFE]"]))
        junk = os.path.join(self.dir, "junk.bird")
        with open(junk, "wb") as f:
            f.write(b"not a bird file")
        rc, out, err = self.updater("-U", "-d", SERIAL, "-f", junk)
        self.assertEqual((rc, err.splitlines()), (1, ["Failed to load bird file"]))

    def test_progress_bar_only_on_a_terminal(self):
        bird = self.fx.bird("p.bird", [(image_bytes(3000, 2), 0x1000)], serial=SERIAL)
        sim = self.device("block=512")
        rc, out, err = self.updater("-U", "-d", SERIAL, "-f", bird)
        self.assertEqual(rc, 0, err)
        self.wait_up(sim)
        self.assertNotIn("\r", out)
        self.assertNotIn("%", out)
        # The same update with its standard output on a pseudo terminal.
        import pty
        master, slave = pty.openpty()
        argv = self.net.host_prefix + [lvtest.updater_bin(), "-U", "-d", SERIAL, "-f", bird,
                                       "-i", self.dir]
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=slave,
                                stderr=subprocess.PIPE)
        os.close(slave)
        seen = b""
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            r, _, _ = select.select([master], [], [], 0.5)
            if r:
                try:
                    chunk = os.read(master, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                seen += chunk
            elif proc.poll() is not None:
                break
        proc.wait(timeout=30)
        proc.stderr.close()
        os.close(master)
        self.assertEqual(proc.returncode, 0)
        text = seen.decode("utf-8", "replace")
        self.assertIn("(100% )", text)
        self.assertIn("( 17% )", text)  # after the first 512 of 3004 bytes


class UpdateFromStore(UpdateCase):
    def store_build(self, build, fw, latest_download=None, latest_transfer=None):
        d = os.path.join(self.dir, "updater", SERIAL)
        os.makedirs(d, exist_ok=True)
        self.fx.bird(os.path.join(d, "%d.bird" % build), [(fw, 0x1000)], LOADER, serial=SERIAL,
                     build=build)
        lines = []
        if latest_download:
            lines.append("LATEST_DOWNLOAD=%s" % latest_download)
        if latest_transfer:
            lines.append("LATEST_TRANSFER=%s" % latest_transfer)
        with open(os.path.join(d, ".settings"), "w", encoding="utf-8") as f:
            f.write("".join(l + "\n" for l in lines))

    def start_server(self, root):
        """The reference update server inside the host namespace (it binds 127.0.0.1)."""
        argv = self.net.host_prefix + [lvtest.tool_bin("update_server"), "--root", root,
                                       "--max-seconds", "120"]
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL)
        line = lvtest._read_ready_line(proc, 10)
        self.assertTrue(line.startswith(b"READY "), line)
        server = lvtest.UpdateServerHandle(proc, json.loads(line[6:].decode()), None)
        self.procs.append(server)
        return server

    def test_newest_build_not_stored_falls_back_to_latest_download(self):
        root = os.path.join(self.dir, "server")
        os.makedirs(os.path.join(root, SERIAL))
        self.fx.bird(os.path.join(root, SERIAL, "1300.bird"), [(image_bytes(64, 7), 0x1000)],
                     build=1300)
        fw = image_bytes(400, 4)
        self.store_build(1234, fw, latest_download="1234.bird")
        server = self.start_server(root)
        self.device()
        rc, out, err = self.updater("-U", "-d", SERIAL, "-u", server.url)
        self.assertEqual(rc, 0, err)
        lines = out.splitlines()
        self.assertEqual(lines[1:4], [
            "New firmware is available.  Updater will proceed if valid firmware is found locally.",
            "Updating with the Latest Download",
            "Updating firmware with build: 1234"])
        self.assertEqual(self.flashed(), fw)
        s = self.settings()
        self.assertEqual(s["LATEST_TRANSFER"], "1234.bird")
        self.assertEqual(s["LATEST_DOWNLOAD"], "1234.bird")
        self.assertRegex(s["LAST_TRANSFER_DATE"], TIME_TEXT)

    def test_latest_transfer_and_no_build(self):
        fw = image_bytes(90, 8)
        self.store_build(55, fw, latest_transfer="55.bird")
        self.device()
        # No server answers (nothing listens on that port in the namespace).
        url = "http://127.0.0.1:9/cgi/u"
        rc, out, err = self.updater("-U", "-d", SERIAL, "-u", url)
        self.assertEqual(rc, 0, err)
        self.assertEqual(out.splitlines()[1:3], ["Updating with the Latest Transfer",
                                                 "Updating firmware with build: 55"])
        self.assertEqual(self.flashed(), fw)
        rc, out, err = self.updater("-U", "-d", "12345678", "-u", url)
        self.assertEqual((rc, err.splitlines()), (1, ["Could not find valid build for this device."]))

    def test_get_then_update(self):
        root = os.path.join(self.dir, "server")
        os.makedirs(os.path.join(root, SERIAL))
        fw = image_bytes(700, 6, build=1500, version="2.15.0")
        self.fx.bird(os.path.join(root, SERIAL, "1500.bird"), [(fw, 0x1000)], LOADER,
                     serial=SERIAL, build=1500, version="2.15.0")
        self.fx.bird(os.path.join(root, SERIAL, "1499.bird"), [(image_bytes(10, 1), 0x1000)],
                     serial=SERIAL, build=1499)
        server = self.start_server(root)
        sim = self.device()
        rc, out, err = self.updater("-G", "-U", "-d", SERIAL, "-u", server.url)
        self.assertEqual(rc, 0, err)
        self.assertIn("Updating firmware with build: 1500", out.splitlines())
        self.assertEqual(self.flashed(), fw)
        self.assertEqual(self.settings()["LATEST_TRANSFER"], "1500.bird")
        self.assertEqual(self.events(sim, "reboot")[0]["new_build"], 1500)


class UpdateThroughRouter(UpdateCase):
    def test_child_updated_through_router(self):
        ip = self.net.DEVICE_ADDRESS
        fw = image_bytes(600, 12)
        bird = self.fx.bird("child.bird", [(fw, 0x1000)], LOADER, serial="22222222")
        sim = self.simulator(
            ["serial=D272031D,model=4,tcp=%s:0" % ip,
             "serial=22222222,model=4,router=D272031D,address=10"],
            upgrade=["serial=22222222,flash=%s" % self.flash])
        rc, out, err = self.updater("-U", "-d", "22222222", "-r", "D272031D", "-f", bird)
        self.assertEqual(rc, 0, err)
        self.assertRegex(out.splitlines()[-1], UPDATE_TIME)
        self.assertEqual(self.flashed(), fw)
        # Every upgrade request went to the child's address through the router.
        self.assertTrue(self.events(sim))
        self.assertTrue(all(e["serial"] == "22222222" for e in self.events(sim)))
        self.assertEqual(self.settings("22222222")["LATEST_TRANSFER"], bird)

    def test_child_not_on_the_network(self):
        ip = self.net.DEVICE_ADDRESS
        bird = self.fx.bird("c.bird", [(image_bytes(60, 1), 0x1000)], serial="33333333")
        self.simulator(["serial=D272031D,model=4,tcp=%s:0" % ip,
                        "serial=22222222,model=4,router=D272031D,address=10"])
        rc, out, err = self.updater("-U", "-d", "33333333", "-r", "D272031D", "-f", bird)
        self.assertEqual(rc, 1)
        self.assertEqual(err.splitlines(), [
            "Module address required for indirect firmware update, could not find serial "
            "number [0x33333333] on network"])


class UpdateFaults(UpdateCase):
    """Each fault of the simulated upgrade entity against the real Updater."""

    def run_fault(self, fault, loaders=LOADER, mode=("-m", "0")):
        fw = image_bytes(300, 13)
        bird = self.fx.bird("f.bird", [(fw, 0x1000)], loaders, serial=SERIAL)
        sim = self.device(fault)
        started = time.monotonic()
        rc, out, err = self.updater("-U", "-d", SERIAL, "-f", bird, *mode)
        return fw, sim, rc, out, err, time.monotonic() - started

    def test_faults_the_protocol_recovers_from(self):
        cases = [
            # A short DATA count: the same bytes go again.
            ("short-data=2", PACKET, lambda sim, out, err: self.assertEqual(
                len([e for e in sim.log() if e["event"] == "rx" and e.get("data", "")[:5] == "5F 01"]),
                4 + 12 + 2)),
            # A wrong checksum: the block is tried again, announced as retry 1.
            ("bad-sum=1", PACKET, lambda sim, out, err: (
                self.assertIn("  Retry 1", out.splitlines()),
                self.assertRegex(err, r"NETWORK: Unable to validate transfer \[00\] "
                                      r"\[[0-9A-F]{8} != [0-9A-F]{8}\]"))),
            # LOAD unanswered: the reconnection finds the device again.
            ("no-load-reply", PACKET, lambda sim, out, err: self.assertEqual(
                len([e for e in sim.log() if e["event"] == "connect"]), 2)),
            # UEI data asked for but not offered: packet mode, no error.
            ("uei=0", (), lambda sim, out, err: (
                self.assertEqual(self.events(sim, "data_uei"), []),
                self.assertTrue(any(e["event"] == "rx" and e.get("data", "")[:5] == "5F 01"
                                    for e in sim.log())))),
            # The same device offering it gets byte runs.
            ("uei=1", (), lambda sim, out, err: self.assertEqual(
                len(self.events(sim, "data_uei")), 1)),
        ]
        for fault, mode, check in cases:
            with self.subTest(fault=fault):
                if os.path.exists(self.flash):
                    os.remove(self.flash)
                fw, sim, rc, out, err, _ = self.run_fault(fault, mode=mode)
                try:
                    self.assertEqual(rc, 0, err)
                    self.assertEqual(self.flashed(), fw)
                    check(sim, out, err)
                finally:
                    sim.stop()

    def test_faults_that_fail_the_update(self):
        cases = [
            # A device that never accepts the full count: bounded resends.
            ("short-data=1000000", 5),
            # Checksum wrong every time: five attempts, then the block fails.
            ("bad-sum=100", 5),
            # PREPARE refused: no retry.
            ("prepare-fail=1", 1),
            # A block size of 0 cannot move the block on: fail, no endless loop.
            ("block=0", 5),
            # The link drops in the middle of the firmware.
            # (The retry's PREPARE finds the link gone.)
            ("drop-after-data=3", 2),
        ]
        for fault, attempts in cases:
            with self.subTest(fault=fault):
                fw, sim, rc, out, err, _ = self.run_fault(fault)
                try:
                    self.assertEqual(rc, 1, out)
                    self.assertNotIn("Update time", out)
                    self.assertEqual(out.count("Transferring firmware block 1 of 1"), attempts)
                    # A refused PREPARE sends no data, so no transfer failed.
                    self.assertEqual(FIRMWARE_FAILED in err, fault != "prepare-fail=1")
                    self.assertEqual(self.events(sim, "reboot"), [])
                    self.assertEqual(self.settings(), {})
                finally:
                    sim.stop()

    def test_failed_loader_block_stops_the_update(self):
        loaders = [(image_bytes(60, 1), 0x20000000), (image_bytes(60, 2), 0x20001000)]
        fw, sim, rc, out, err, _ = self.run_fault("bad-loader-sum=1", loaders=loaders)
        self.assertEqual(rc, 1)
        self.assertIn("Transferred 1 blocks, 64 total bytes", out.splitlines())
        self.assertNotIn("Starting Load on Device", out)
        self.assertEqual(self.events(sim, "load"), [])


@unittest.skipUnless(lvtest.PrivateNetwork.available(), "needs root for network namespaces")
class UpdateReenumeration(UpdateCase):
    """A USB device (a device node the simulator makes) that restarts into its
    loader without answering LOAD and comes back only later."""

    def test_slow_return_is_waited_for(self):
        devdir = os.path.join(self.dir, "dev")
        os.mkdir(devdir)
        fw = image_bytes(500, 21)
        bird = self.fx.bird("u.bird", [(fw, 0x1000)], LOADER, serial=SERIAL)
        sim = lvtest.start_simulator(
            ["--module", "serial=%s,model=4,usb" % SERIAL, "--device-dir", devdir,
             "--upgrade", "flash=%s,loader-drop=8500" % self.flash],
            log_path=os.path.join(self.dir, "usb.log"))
        self.procs.append(sim)
        rc, out, err = self.updater("-U", "-d", SERIAL, "-f", bird, "-X", "0x10100",
                                    env={"LUMIVANCE_DEVICE_DIR": devdir})
        self.assertEqual(rc, 0, err)
        self.assertEqual(self.flashed(), fw)
        lines = err.splitlines()
        # Five reconnections and five with the default serial number fail...
        self.assertEqual(len([l for l in lines if l.startswith("NETWORK: Attempting to reconnect")]), 10)
        self.assertIn("NETWORK: Attempting to reconnect DEFAULT sn. Attempt: 5 of 5", lines)
        # ...then the wait after the loader refreshes the USB context before
        # its third try and finds the device.
        self.assertIn("Failed enumeration after 3 tries, refreshing libusb context.", lines)
        self.assertEqual(len(self.events(sim, "reboot")), 1)


if __name__ == "__main__":
    unittest.main()

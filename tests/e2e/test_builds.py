"""Build download and build lists end to end: the Updater against the
reference update server on a directory of BIRD files made with birdtool."""

import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

import lvtest

SERIAL = "40F5849A"
VERSION_LINE = re.compile(r"^Updater \(Version: 2\.12\.2 [A-Z][a-z]{2} [ 0-9]\d \d{4}\)$")
TIME_TEXT = re.compile(r"^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}$")
FIRMWARE = "fw-mtm-1"


def read_settings(path):
    with open(path, encoding="utf-8") as f:
        return dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)


def q(op, **params):
    """The request target the Updater sends: parameters in key order, each followed by "&"."""
    params["op"] = op
    return "/cgi/u?" + "".join("%s=%s&" % (k, params[k]) for k in sorted(params))


PING = q("hi", rv="2")
QUERY = q("qu", sn=SERIAL)
LIST = q("builds", sn=SERIAL)


def bird(build):
    return q("bird", bld=str(build), fw=FIRMWARE, no_cal="false", sn=SERIAL)


class BuildsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="lvbuilds-")
        cls.root = os.path.join(cls.tmp, "root")
        dev = os.path.join(cls.root, SERIAL)
        os.makedirs(dev)
        cls.files = {
            1233: lvtest.make_bird(os.path.join(dev, "1233.bird"), 1233, "2.12.1"),
            1234: lvtest.make_bird(os.path.join(dev, "1234.bird"), 1234, "2.12.2"),
            1200: lvtest.make_bird(os.path.join(dev, "1200.bird"), 1200, "2.9.10"),
        }
        with open(os.path.join(dev, "firmware.txt"), "w") as f:
            f.write(FIRMWARE + "\n")
        os.makedirs(os.path.join(cls.root, "00F5849A"))  # a device without builds
        # Serves the whole class; the ctest time-out (300 s) bounds it too.
        cls.server = lvtest.start_update_server(cls.root, os.path.join(cls.tmp, "server.log"),
                                                max_seconds=290)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.store = tempfile.mkdtemp(prefix="store-", dir=self.tmp)
        self.device_dir = os.path.join(self.store, "updater", SERIAL)

    def run_updater(self, args, server=None, store=None):
        """Runs the Updater; returns (rc, stdout lines, stderr lines, new requests)."""
        server = server or self.server
        before = len(server.log())
        rc, out, err = lvtest.run_updater(list(args) + ["-u", server.url],
                                          store_dir=store or self.store, timeout=90)
        lines = out.splitlines()
        self.assertRegex(lines[0], VERSION_LINE)
        return rc, lines[1:], err.splitlines(), server.targets()[before:]

    def seed_previous_download(self):
        """A store that already holds build 1233 as the latest download."""
        os.makedirs(self.device_dir)
        with open(os.path.join(self.device_dir, "1233.bird"), "wb") as f:
            f.write(self.files[1233])
        with open(os.path.join(self.device_dir, ".settings"), "w") as f:
            f.write("LAST_DOWNLOAD_DATE=Wed Dec  9 15:54:18 2026\nLATEST_DOWNLOAD=1233.bird\n")

    def assert_store_unchanged(self):
        self.assertEqual(sorted(os.listdir(self.device_dir)), [".settings", "1233.bird"])
        with open(os.path.join(self.device_dir, "1233.bird"), "rb") as f:
            self.assertEqual(f.read(), self.files[1233])
        settings = read_settings(os.path.join(self.device_dir, ".settings"))
        self.assertEqual(settings["LATEST_DOWNLOAD"], "1233.bird")
        self.assertEqual(settings["LAST_DOWNLOAD_DATE"], "Wed Dec  9 15:54:18 2026")

    def assert_stored(self, build):
        with open(os.path.join(self.device_dir, "%d.bird" % build), "rb") as f:
            self.assertEqual(f.read(), self.files[build])
        settings = read_settings(os.path.join(self.device_dir, ".settings"))
        self.assertEqual(settings["LATEST_DOWNLOAD"], "%d.bird" % build)
        self.assertRegex(settings["LAST_DOWNLOAD_DATE"], TIME_TEXT)
        return settings

    # -G

    def test_get_latest_build(self):
        rc, out, err, requests = self.run_updater(["-G", "-d", SERIAL])
        self.assertEqual((rc, err), (0, []))
        self.assertEqual(out, [
            "Retrieving firmware for device with serial number 40F5849A",
            "No build specified",
            "Using Latest build",
            "Retrieving build 1234",
            "Validating build 1234 with server",
            "Build 1234 is valid",
        ])
        self.assertEqual(requests, [PING, QUERY, LIST, bird(1234)])
        settings = self.assert_stored(1234)
        self.assertIn("CREATED_TIME", settings)
        self.assertEqual(sorted(os.listdir(self.device_dir)), [".settings", "1234.bird"])

    def test_get_given_build_overwrites_an_earlier_download(self):
        os.makedirs(self.device_dir)
        with open(os.path.join(self.device_dir, "1233.bird"), "wb") as f:
            f.write(b"stale content")
        with open(os.path.join(self.device_dir, ".settings"), "w") as f:
            f.write("LAST_DOWNLOAD_DATE=Wed Dec  9 15:54:18 2026\nLATEST_DOWNLOAD=1234.bird\n")
        rc, out, err, requests = self.run_updater(["-G", "-d", SERIAL, "-b", "1233"])
        self.assertEqual((rc, err), (0, []))
        self.assertEqual(out, [
            "Retrieving firmware for device with serial number 40F5849A",
            "Retrieving firmware build 1233",
            "Retrieving build 1233",
            "Validating build 1233 with server",
            "Build 1233 is valid",
        ])
        self.assertEqual(requests, [PING, QUERY, LIST, bird(1233)])
        settings = self.assert_stored(1233)
        self.assertNotEqual(settings["LAST_DOWNLOAD_DATE"], "Wed Dec  9 15:54:18 2026")

    def test_override_skips_the_build_list(self):
        rc, out, err, requests = self.run_updater(["-G", "-d", SERIAL, "-b", "1200", "-OVERRIDE"])
        self.assertEqual((rc, err), (0, []))
        self.assertEqual(out[-2:], ["Retrieving build 1200",
                                    "Override specified, skipping validation of build 1200"])
        self.assertEqual(requests, [PING, QUERY, bird(1200)])
        self.assert_stored(1200)

    def test_build_not_offered_is_refused_before_download(self):
        self.seed_previous_download()
        rc, out, err, requests = self.run_updater(["-G", "-d", SERIAL, "-b", "999"])
        self.assertEqual(rc, 1)
        self.assertEqual(out[-2:], ["Retrieving build 999", "Validating build 999 with server"])
        self.assertEqual(err, ["No valid build 999"])
        self.assertEqual(requests, [PING, QUERY, LIST])
        self.assert_store_unchanged()

    def test_build_offered_in_the_list_but_missing_on_the_server(self):
        # -OVERRIDE skips the list, so the server itself refuses the download.
        self.seed_previous_download()
        rc, out, err, requests = self.run_updater(["-G", "-d", SERIAL, "-b", "77", "-OVERRIDE"])
        self.assertEqual(rc, 1)
        self.assertEqual(err, ["Download failed", "Failed to retrieve a valid BIRD file"])
        self.assertEqual(requests, [PING, QUERY, bird(77)])
        self.assertEqual(self.server.log()[-1]["answer"], "error no build 77 for 40F5849A")
        self.assert_store_unchanged()

    def test_device_without_builds(self):
        rc, out, err, requests = self.run_updater(["-G", "-d", "00F5849A"])
        self.assertEqual(rc, 1)
        self.assertEqual(err, ["No build information for device"])
        self.assertEqual(requests, [PING, q("qu", sn="00F5849A")])

    # -B and -L

    def test_server_build_list_newest_version_first(self):
        rc, out, err, requests = self.run_updater(["-B", "-d", SERIAL])
        self.assertEqual((rc, err), (0, []))
        self.assertEqual(out, [
            "Build List for device [40F5849A]:",
            "",
            "Build          \tVersion        ",
            "1234           \t2.12.2         ",
            "1233           \t2.12.1         ",
            "1200           \t2.9.10         ",
        ])
        self.assertEqual(requests, [PING, LIST])
        self.assertFalse(os.path.exists(self.device_dir))  # listing stores nothing

    def test_server_build_list_empty(self):
        rc, out, err, requests = self.run_updater(["-B", "-d", "00F5849A"])
        self.assertEqual((rc, out, err), (0, ["No builds found for device [00F5849A]"], []))
        self.assertEqual(requests, [PING, q("builds", sn="00F5849A")])

    def test_local_build_list(self):
        self.seed_previous_download()
        with open(os.path.join(self.device_dir, "1234.bird"), "wb") as f:
            f.write(b"birx\x01\x01" + self.files[1234][6:])  # bad header
        with open(os.path.join(self.device_dir, "1235.bird"), "wb") as f:
            f.write(self.files[1234][:40])  # good header, cut short
        with open(os.path.join(self.device_dir, "notes.txt"), "w") as f:
            f.write("not a build\n")
        rc, out, err, requests = self.run_updater(["-L", "-d", SERIAL])
        self.assertEqual((rc, err, requests), (0, [], []))
        self.assertEqual(out[:3], ["Build List for device [40F5849A]:", "", "Build          \tVersion        "])
        self.assertEqual(out[3:], ["1233           \t2.12.1         ",
                                   "1234           \t               ",
                                   "1235           \t               "])

    def test_local_build_list_of_unknown_device(self):
        rc, out, err, requests = self.run_updater(["-L", "-d", SERIAL])
        self.assertEqual((rc, out, err), (0, ["No builds found for device [40F5849A]"], []))

    # Server faults: each fails with its message, exit 1, and leaves the
    # earlier download and its settings exactly as they were.

    def test_server_faults(self):
        cases = [
            # (fault, extra args, stderr lines, requests made)
            ("not-ok", [], ["Server request failed for {url}"], [PING]),
            ("http-500", [], ["Server request failed for {url}"], [PING]),
            ("not-ok:qu", [], ["No build information for device"], [PING, QUERY]),
            ("absurd:qu", [], ["No build information for device"], [PING, QUERY]),
            ("empty:builds", [], ["No valid build 1234"], [PING, QUERY, LIST]),
            ("absurd:builds", ["-b", "1234"], ["No valid build 1234"], [PING, QUERY, LIST]),
            ("http-500:bird", [], ["Download failed", "Failed to retrieve a valid BIRD file"],
             [PING, QUERY, LIST, bird(1234)]),
            ("empty:bird", [], ["Download failed", "Failed to retrieve a valid BIRD file"],
             [PING, QUERY, LIST, bird(1234)]),
            ("bad-base64", [], [re.compile(r"^Build 1234 could not be decoded: character '\*' at offset \d+ is not base64$")],
             [PING, QUERY, LIST, bird(1234)]),
            ("bad-length", [], [re.compile(r"^Build 1234 could not be decoded: length \d+ is not a multiple of 4$")],
             [PING, QUERY, LIST, bird(1234)]),
            ("not-bird", [], ["Build 1234 from the server is not a valid BIRD file"],
             [PING, QUERY, LIST, bird(1234)]),
            ("truncated:bird", [], ["Build 1234 from the server is not a valid BIRD file"],
             [PING, QUERY, LIST, bird(1234)]),
            ("absurd:bird", [], ["Build 1234 from the server is not a valid BIRD file"],
             [PING, QUERY, LIST, bird(1234)]),
        ]
        for fault, extra, expected_err, expected_requests in cases:
            with self.subTest(fault=fault):
                shutil.rmtree(self.store)
                self.setUp()
                self.seed_previous_download()
                log = os.path.join(self.tmp, "fault-%s.log" % fault.replace(":", "-"))
                with lvtest.start_update_server(self.root, log, faults=[fault]) as server:
                    rc, out, err, requests = self.run_updater(["-G", "-d", SERIAL] + extra, server=server)
                self.assertEqual(rc, 1)
                self.assertEqual(len(err), len(expected_err), err)
                for line, want in zip(err, expected_err):
                    if isinstance(want, str):
                        self.assertEqual(line, want.format(url=server.url))
                    else:
                        self.assertRegex(line, want)
                self.assertEqual(requests, expected_requests)
                self.assert_store_unchanged()

    def test_list_faults(self):
        for fault, err_line in [("not-ok:builds", "Failed to retrieve builds for 40F5849A"),
                                ("not-ok:hi", "Server request failed for {url}")]:
            with self.subTest(fault=fault):
                log = os.path.join(self.tmp, "list-%s.log" % fault.replace(":", "-"))
                with lvtest.start_update_server(self.root, log, faults=[fault]) as server:
                    rc, out, err, requests = self.run_updater(["-B", "-d", SERIAL], server=server)
                # A failed list still exits 0 and shows an empty list.
                self.assertEqual((rc, out, err), (0, ["No builds found for device [40F5849A]"],
                                                  [err_line.format(url=server.url)]))

    def test_refused_port(self):
        with lvtest.start_update_server(self.root) as probe:
            url = probe.url
        self.seed_previous_download()
        rc, out, err = lvtest.run_updater(["-G", "-d", SERIAL, "-u", url], store_dir=self.store)
        self.assertEqual((rc, err.splitlines()), (1, ["Server request failed for " + url]))
        self.assert_store_unchanged()

    def test_stalling_download_is_abandoned(self):
        # The server takes the download request and never answers; the
        # transfer's low-speed limit ends it (about 20 s), not the test.
        self.seed_previous_download()
        log = os.path.join(self.tmp, "stall.log")
        with lvtest.start_update_server(self.root, log, faults=["stall:bird"]) as server:
            start = time.monotonic()
            rc, out, err, requests = self.run_updater(["-G", "-d", SERIAL], server=server)
            elapsed = time.monotonic() - start
        self.assertEqual(rc, 1)
        self.assertEqual(err, ["Download failed", "Failed to retrieve a valid BIRD file"])
        self.assertEqual(requests, [PING, QUERY, LIST, bird(1234)])
        self.assertEqual(server.log()[-1]["answer"], "stall")
        self.assert_store_unchanged()
        print("stalled download abandoned after %.1f s" % elapsed)

    def test_spinner_turns_during_a_slow_download(self):
        # On a terminal the spinner is redrawn while the download runs.
        import pty
        log = os.path.join(self.tmp, "slow.log")
        with lvtest.start_update_server(self.root, log, faults=["slow:bird"]) as server:
            argv = [lvtest.updater_bin(), "-G", "-d", SERIAL, "-u", server.url, "-i", self.store]
            master, slave = pty.openpty()
            proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=slave,
                                    stderr=subprocess.PIPE)
            os.close(slave)
            output = b""
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                try:
                    chunk = os.read(master, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                output += chunk
            os.close(master)
            self.assertEqual(proc.wait(timeout=30), 0, proc.stderr.read())
            proc.stderr.close()
        frames = output.count(b"(Downloading)")
        # 1.5 s at one frame per 100 ms: well over five frames.
        self.assertGreater(frames, 5, output)
        self.assert_stored(1234)

    # Store problems

    def test_device_directory_is_a_file(self):
        os.makedirs(os.path.dirname(self.device_dir))
        with open(self.device_dir, "w") as f:
            f.write("in the way\n")
        rc, out, err, requests = self.run_updater(["-G", "-d", SERIAL])
        self.assertEqual(rc, 1)
        self.assertEqual(len(err), 1)
        self.assertRegex(err[0], r"^Failed to write file with \d+$")
        with open(self.device_dir) as f:
            self.assertEqual(f.read(), "in the way\n")

    def run_unprivileged(self, args):
        """Runs the Updater as the user nobody when running as root (root ignores
        file modes), else as the current user."""
        argv = [lvtest.updater_bin()] + args + ["-u", self.server.url, "-i", self.store]
        if os.geteuid() == 0:
            if shutil.which("setpriv") is None:
                self.skipTest("setpriv is needed to drop root")
            argv = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] + argv
        proc = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=60)
        return proc.returncode, proc.stderr.decode().splitlines()

    def test_read_only_store(self):
        os.chmod(self.tmp, 0o755)
        os.chmod(self.store, 0o755)
        os.makedirs(os.path.join(self.store, "updater"), mode=0o555)
        os.chmod(os.path.join(self.store, "updater"), 0o555)
        rc, err = self.run_unprivileged(["-G", "-d", SERIAL])
        self.assertEqual((rc, err), (1, ["Could not create directory for storing BIRD file"]))
        self.assertEqual(os.listdir(os.path.join(self.store, "updater")), [])

    def test_read_only_device_directory(self):
        os.chmod(self.tmp, 0o755)
        os.chmod(self.store, 0o755)
        self.seed_previous_download()
        os.chmod(os.path.join(self.store, "updater"), 0o755)
        os.chmod(self.device_dir, 0o555)
        os.chmod(os.path.join(self.device_dir, ".settings"), 0o444)
        rc, err = self.run_unprivileged(["-G", "-d", SERIAL])
        self.assertEqual(rc, 1)
        self.assertEqual(len(err), 1, err)
        self.assertRegex(err[0], r"^Failed to write file with \d+$")
        self.assert_store_unchanged()


class HttpsTest(unittest.TestCase):
    """The server's certificate is verified: a self-signed one is refused."""

    def test_self_signed_certificate_is_refused(self):
        if shutil.which("openssl") is None:
            self.skipTest("openssl is needed to make a certificate")
        with lvtest.temp_dir() as tmp:
            root = os.path.join(tmp, "root", SERIAL)
            os.makedirs(root)
            lvtest.make_bird(os.path.join(root, "5.bird"), 5, "1.0.0")
            cert, key = os.path.join(tmp, "cert.pem"), os.path.join(tmp, "key.pem")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                            "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                            "-keyout", key, "-out", cert],
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=60)
            log = os.path.join(tmp, "server.log")
            with lvtest.start_update_server(os.path.join(tmp, "root"), log,
                                            extra_args=["--tls-cert", cert, "--tls-key", key]) as server:
                self.assertTrue(server.url.startswith("https://127.0.0.1:"))
                # The server itself works for a client that trusts its certificate.
                import ssl
                import urllib.request
                context = ssl.create_default_context(cafile=cert)
                with urllib.request.urlopen(server.url + "?op=hi&rv=2&", context=context,
                                            timeout=10) as answer:
                    self.assertEqual(answer.read(), b"ok\n")
                rc, out, err = lvtest.run_updater(["-B", "-d", SERIAL, "-u", server.url],
                                                  store_dir=os.path.join(tmp, "store"))
                self.assertEqual(err.splitlines(), ["Server request failed for " + server.url])
                self.assertEqual(server.targets(), ["/cgi/u?op=hi&rv=2&"])  # only the trusting client


if __name__ == "__main__":
    unittest.main()

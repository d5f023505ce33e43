"""The command line run as a process: usage, scan errors, ignored options,
debug log lines, the store root, the exit codes and the stream of each line.

Every run passes "-i <temporary dir>" when it gets as far as the store, so
nothing is written into the real home directory. Every run that may reach the
update server names a closed loopback port with -u, so no request (nor name
lookup) leaves the machine.
"""

import os
import re
import shutil
import socket
import subprocess
import unittest

from lvtest import run_updater, temp_dir, updater_bin

VERSION_RE = re.compile(r"^Updater \(Version: 2\.12\.2 [A-Z][a-z]{2} [1-9][0-9]? [0-9]{4}\)$")

BLOCK_A = (
    "\n"
    "Application Usage:\n"
    "Updater <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n"
    "    [-d serial_num]\n"
    "    [-t transport] [-r router_serial]\n"
    "    [-s serial_port] [-o baud_rate]\n"
    "\n"
    "  Lumivance Update and Maintenance Application\n"
    "    -H -h or --help for full usage information.\n"
    "\n"
)
BLOCK_B_FIRST = "  Parameters to commands:\n"
BLOCK_C_FIRST = "  Extended Parameters:\n"
BLOCK_D_FIRST = " Sample usage:\n"
BLOCK_D_LAST = "                               indirectly through routing device D272031D.\n\n"

MULTIPLE_URLS = ("Multiple update server URLs specified. Choose one of: --https, --http, "
                 "or -U <host:port>.")


def closed_loopback_url():
    """An update server URL on a loopback port that nothing listens on."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return "http://127.0.0.1:%d/cgi/u" % port


class CliCase(unittest.TestCase):
    def setUp(self):
        self._tmp = temp_dir()
        self.store = self._tmp.__enter__()

    def tearDown(self):
        self._tmp.__exit__(None, None, None)

    def run_cli(self, args, store=True):
        return run_updater(args, store_dir=self.store if store else None)

    def assertHeader(self, out, copyright=True):
        """stdout begins with the version line (and the copyright line)."""
        lines = out.split("\n")
        self.assertRegex(lines[0], VERSION_RE)
        if copyright:
            self.assertIn("Copyright", lines[1])
        return lines[2:] if copyright else lines[1:]


class UsageTest(CliCase):
    def test_no_arguments_prints_block_a_only(self):
        rc, out, err = self.run_cli([], store=False)
        self.assertEqual(0, rc)
        self.assertEqual([""], self.assertHeader(out))
        self.assertEqual(BLOCK_A, err)
        self.assertFalse(os.listdir(self.store))

    def test_help_options_print_blocks_a_b_d(self):
        for option in ["-h", "-H", "--help", "--he", "--hel"]:
            with self.subTest(option=option):
                rc, out, err = self.run_cli([option], store=False)
                self.assertEqual(0, rc)
                self.assertEqual([""], self.assertHeader(out))
                self.assertTrue(err.startswith(BLOCK_A + BLOCK_B_FIRST))
                self.assertNotIn(BLOCK_C_FIRST, err)
                self.assertIn(BLOCK_D_FIRST, err)
                self.assertTrue(err.endswith(BLOCK_D_LAST))

    def test_mask_before_help_adds_block_c(self):
        rc, out, err = self.run_cli(["-X", "0", "-h"], store=False)
        self.assertEqual(0, rc)
        positions = [err.find(t) for t in (BLOCK_B_FIRST, BLOCK_C_FIRST, BLOCK_D_FIRST)]
        self.assertTrue(err.startswith(BLOCK_A))
        self.assertTrue(0 < positions[0] < positions[1] < positions[2], positions)
        self.assertIn("                                DEBUG_iMXSerial     0x10000000\n\n"
                      "     -C                       - Check the given BIRDFILE\n\n", err)
        # A mask after the help option is never seen.
        rc, out, err = self.run_cli(["-h", "-X", "0"], store=False)
        self.assertNotIn(BLOCK_C_FIRST, err)

    def test_help_wins_over_commands_and_later_errors(self):
        rc, out, err = self.run_cli(["-D", "-h", "-d", "xyz"])
        self.assertEqual(0, rc)
        self.assertNotIn("Invalid serial", err)
        self.assertFalse(os.listdir(self.store))  # no command ran
        rc, out, err = self.run_cli(["-d", "xyz", "-h"], store=False)
        self.assertEqual(0, rc)
        self.assertTrue(err.startswith(
            "Invalid serial number obtained from argument [xyz]\n" + BLOCK_A + BLOCK_B_FIRST))


class ScanErrorTest(CliCase):
    def test_each_scan_error(self):
        cases = [
            (["-Y"], ["Unhandled command: [-Y]"]),
            (["-D", "-d", "0x"], ["Invalid serial number obtained from argument []"]),
            (["-D", "-d", "00000000"],
             ["Invalid serial number obtained from argument [00000000]"]),
            (["-D", "-r", "0xQ"], ["Invalid router serial number obtained from argument [Q]"]),
            (["-D", "-t", "tcp"],
             ["Invalid transport type:[tcp]", "Must be one of the following: USB, TCPIP, RECOVER"]),
            (["-D", "--http", "--http"], [MULTIPLE_URLS]),
            (["-D", "--https", "-u", "host:1"], [MULTIPLE_URLS]),
            (["-d", "G", "-Y", "-t", "x"],
             ["Invalid serial number obtained from argument [G]", "Unhandled command: [-Y]",
              "Invalid transport type:[x]", "Must be one of the following: USB, TCPIP, RECOVER"]),
        ]
        for args, errors in cases:
            with self.subTest(args=args):
                rc, out, err = self.run_cli(args)
                self.assertEqual(1, rc)
                self.assertEqual([""], self.assertHeader(out))
                self.assertEqual("\n".join(errors) + "\n" + BLOCK_A, err)
                self.assertFalse(os.listdir(self.store))

    def test_unprocessed_mask_characters_do_not_fail(self):
        rc, out, err = self.run_cli(["-X", "12z", "-C"])
        self.assertEqual(0, rc)
        self.assertEqual(
            "Invalid format for \"-X\" parameter, unprocessed characters [z]\n", err)
        self.assertEqual([""], self.assertHeader(out, copyright=False))

    def test_ignored_options_and_words(self):
        ignored = ["-GU", "-Hh", "-q", "-b123", "--htt", "stray", "-help", "--", "-D=1", "-d"]
        for option in ignored:
            with self.subTest(option=option):
                # Alone: no command, so usage block A and success.
                rc, out, err = self.run_cli([option], store=False)
                self.assertEqual((0, BLOCK_A), (rc, err))
                # With -C: the run goes on without a message.
                rc, out, err = self.run_cli(["-C", option])
                self.assertEqual((0, ""), (rc, err))
                self.assertEqual([""], self.assertHeader(out, copyright=False))


class DebugLogTest(CliCase):
    def test_masks_accumulate_and_govern_later_lines(self):
        rc, out, err = self.run_cli(["-X", "0x10000", "-X", "1", "-C", "-d", "0x40F5849A", "word"])
        self.assertEqual(0, rc)
        argv_lines = "".join("\t[%s]\n" % a for a in
                             ["-X", "0x10000", "-X", "1", "-C", "-d", "0x40F5849A", "-i",
                              self.store, "word"])
        self.assertRegex(err, r"^Discarding '0x' serial number prefix\n\nApplication "
                              r"parameters:\[Updater\]\n\t\[[^\n]*/Updater\]\n")
        self.assertTrue(err.endswith(argv_lines), err)
        self.assertNotIn("Home directory", err)  # logged before any -X

    def test_line_before_its_mask_is_not_printed(self):
        rc, out, err = self.run_cli(["-C", "-d", "0x1", "-X", "1"])
        self.assertEqual((0, ""), (rc, err))
        rc, out, err = self.run_cli(["-X", "0x1", "-C", "-d", "0x1"])
        self.assertEqual((0, "Discarding '0x' serial number prefix\n"), (rc, err))


class StoreRootTest(CliCase):
    def test_store_root_is_created_below_the_given_directory(self):
        base = os.path.join(self.store, "a", "b")
        rc, out, err = run_updater(["-C", "-i", base])
        self.assertEqual((0, ""), (rc, err))
        self.assertTrue(os.path.isdir(os.path.join(base, "updater")))
        # A second run finds it in place.
        rc, out, err = run_updater(["-I", "-i", base])
        self.assertEqual((0, ""), (rc, err))

    def test_a_file_in_the_way_fails(self):
        # A file given as -i, and a file where the updater directory belongs.
        file_as_base = os.path.join(self.store, "file")
        with open(file_as_base, "w") as f:
            f.write("x")
        file_as_root = os.path.join(self.store, "base")
        os.mkdir(file_as_root)
        with open(os.path.join(file_as_root, "updater"), "w") as f:
            f.write("x")
        for base in (file_as_base, file_as_root):
            with self.subTest(base=base):
                rc, out, err = run_updater(["-C", "-i", base])
                self.assertEqual(1, rc)
                self.assertEqual("Could not find updater directory at %s/updater\n" % base, err)
                self.assertEqual([""], self.assertHeader(out, copyright=False))


def run_with_passwd(passwd_text, args, env):
    """Runs the Updater in private user and mount namespaces in which the
    user (uid 0 there) is looked up only in passwd_text: /etc/passwd and
    /etc/nsswitch.conf are replaced by bind mounts. Returns (returncode,
    stdout, stderr), or None when namespaces are not available here."""
    if shutil.which("unshare") is None:
        return None
    with temp_dir() as d:
        passwd = os.path.join(d, "passwd")
        nsswitch = os.path.join(d, "nsswitch.conf")
        with open(passwd, "w") as f:
            f.write(passwd_text)
        with open(nsswitch, "w") as f:
            f.write("passwd: files\ngroup: files\n")
        script = ('mount --bind "$0" /etc/passwd && mount --bind "$1" /etc/nsswitch.conf '
                  '|| exit 97; shift; exec "$@"')
        argv = (["unshare", "-r", "-m", "sh", "-c", script, passwd, nsswitch, updater_bin()]
                + args)
        proc = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, env=env, timeout=60)
    if proc.returncode == 97 or b"unshare:" in proc.stderr:
        return None
    return proc.returncode, proc.stdout.decode(), proc.stderr.decode()


class DefaultStoreRootTest(CliCase):
    """Without -i the store root is <home>/.morvanex/updater, the home
    directory coming from the user database before HOME."""

    def run_default(self, passwd_text, home_env, args=("-C",)):
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin")}
        if home_env is not None:
            env["HOME"] = home_env
        result = run_with_passwd(passwd_text, list(args), env)
        if result is None:
            self.skipTest("user and mount namespaces are not available")
        return result

    def test_user_database_before_home(self):
        db_home = os.path.join(self.store, "db-home")
        env_home = os.path.join(self.store, "env-home")
        os.mkdir(db_home)
        rc, out, err = self.run_default("root:x:0:0:root:%s:/bin/sh\n" % db_home, env_home)
        self.assertEqual((0, ""), (rc, err))
        self.assertTrue(os.path.isdir(os.path.join(db_home, ".morvanex", "updater")))
        self.assertFalse(os.path.exists(env_home))

    def test_home_variable_without_a_user_entry(self):
        env_home = os.path.join(self.store, "env-home")
        rc, out, err = self.run_default("nobody:x:65534:65534::/nonexistent:/bin/sh\n", env_home)
        self.assertEqual((0, ""), (rc, err))
        self.assertTrue(os.path.isdir(os.path.join(env_home, ".morvanex", "updater")))

    def test_no_home_at_all_fails_without_touching_the_root(self):
        rc, out, err = self.run_default("nobody:x:65534:65534::/nonexistent:/bin/sh\n", None,
                                        ("-X", "0x10000", "-C"))
        self.assertEqual(1, rc)
        self.assertIn("Updater: FailedaDirectory_GetHomeDirectory()==> ", err)
        self.assertFalse(os.path.exists("/.morvanex/updater"))


class ExitCodeTest(CliCase):
    def test_exit_codes(self):
        url = closed_loopback_url()
        missing = os.path.join(self.store, "missing")
        cases = [
            # args, exit code, stderr lines that must appear, stdout lines that must appear
            (["-N"], 1, ["Must specify the serial port used for connecting"], []),
            (["-N", "-s", missing], 1, ["Got no response from chip"], []),
            (["-G"], 1, ["-G must specify a specific device via -d",
                         "--help for usage information"], []),
            (["-G", "-d", "40F5849A", "-b", "99528558", "-u", url], 1, [],
             ["Retrieving firmware for device with serial number 40F5849A",
              "Retrieving firmware build 99528558"]),
            (["-G", "-d", "40F5849A", "-u", url], 1, [],
             ["No build specified", "Using Latest build"]),
            (["-G", "-d", "40F5849A", "-u", url, "-L"], 0, [],
             ["No builds found for device [40F5849A]"]),
            (["-U"], 1, ["Must specify the specific device to be updated"], []),
            (["-U", "-d", "40F5849A", "-f", missing + ".bird"], 1, [], []),
            (["-U", "-t", "RECOVER", "-s", missing, "-f", missing + ".bird"], 1, [], []),
            (["-B"], 1, ["Error must supply a serial number for the List Builds command"], []),
            (["-L"], 1, ["Error must supply a serial number for the List Local Builds command"],
             []),
            (["-B", "-d", "40F5849A", "-u", url], 0, [],
             ["No builds found for device [40F5849A]"]),
            (["-L", "-d", "40F5849A"], 0, [], ["No builds found for device [40F5849A]"]),
            (["-C"], 0, [], []),
            (["-I"], 0, [], []),
            (["-Z", "x"], 0, [], []),
        ]
        for args, code, err_lines, out_lines in cases:
            with self.subTest(args=args):
                # Any server request (a recovery may download a loader) goes
                # to the closed loopback port, never to the default host.
                if "-u" not in args:
                    args = args + ["-u", url]
                rc, out, err = self.run_cli(args)
                self.assertEqual(code, rc, (out, err))
                for line in err_lines:
                    self.assertIn(line + "\n", err)
                    self.assertNotIn(line, out)
                rest = self.assertHeader(out, copyright=False)
                for line in out_lines:
                    self.assertIn(line, rest)
                    self.assertNotIn(line, err)

    def test_usage_after_missing_list_serial_only(self):
        rc, out, err = self.run_cli(["-B"])
        self.assertEqual(
            "Error must supply a serial number for the List Builds command\n" + BLOCK_A, err)
        rc, out, err = self.run_cli(["-G"])
        self.assertNotIn("Application Usage:", err)

    def test_commands_without_work_print_only_the_version(self):
        rc, out, err = self.run_cli(["-C", "-I", "-Z", "z"])
        self.assertEqual((0, ""), (rc, err))
        self.assertEqual([""], self.assertHeader(out, copyright=False))
        self.assertTrue(os.path.isdir(os.path.join(self.store, "updater")))

    def test_discovery_decides_the_exit_code(self):
        # -D wins over -U; the update is not attempted.
        rc, out, err = self.run_cli(["-D", "-U", "-d", "40F5849A", "-u", closed_loopback_url()])
        self.assertEqual(0, rc)
        self.assertIn("Searching for Lumivance devices\n", out)
        self.assertIn("Discovered Devices: (USB)\n", out)
        self.assertNotIn("Must specify", err)


if __name__ == "__main__":
    unittest.main()

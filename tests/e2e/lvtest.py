"""Shared helpers for the end-to-end tests (python3 stdlib only).

The tests run under ctest with these environment variables:
  UPDATER_BIN  path of the Updater executable
  BUILD_DIR    top of the CMake build tree (tool binaries live in tools/<name>/)
  SOURCE_DIR   top of the source tree

Never let the Updater write into the real home directory: pass a store
directory (run_updater(..., store_dir=d) adds "-i d").

New helpers go at the end of this file; do not change the behaviour of an
existing one.
"""

import contextlib
import os
import shutil
import subprocess
import tempfile


def build_dir():
    """Top of the build tree (BUILD_DIR), or the directory of UPDATER_BIN's parent."""
    d = os.environ.get("BUILD_DIR")
    if d:
        return d
    exe = os.environ.get("UPDATER_BIN")
    if exe:
        return os.path.dirname(os.path.dirname(os.path.abspath(exe)))
    raise RuntimeError("BUILD_DIR is not set")


def updater_bin():
    """Path of the Updater executable (UPDATER_BIN, else $BUILD_DIR/app/Updater)."""
    exe = os.environ.get("UPDATER_BIN")
    if exe:
        return exe
    return os.path.join(build_dir(), "app", "Updater")


def tool_bin(name):
    """Path of a stand-in tool: $BUILD_DIR/tools/<name>/<name>."""
    return os.path.join(build_dir(), "tools", name, name)


def run_updater(args, store_dir=None, env=None, timeout=60, prefix=None):
    """Runs the Updater with the argument list and returns (returncode, stdout, stderr).

    Output is decoded as UTF-8 text (undecodable bytes replaced). When store_dir
    is given, "-i store_dir" is appended to the arguments. env, when given, is
    merged over a copy of the current environment. The run is killed after
    timeout seconds (subprocess.TimeoutExpired is raised). prefix (e.g.
    PrivateNetwork.host_prefix) goes before the binary.
    """
    argv = list(prefix or []) + [updater_bin()] + [str(a) for a in args]
    if store_dir is not None:
        argv += ["-i", str(store_dir)]
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    proc = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=full_env, timeout=timeout)
    return (proc.returncode, proc.stdout.decode("utf-8", "replace"),
            proc.stderr.decode("utf-8", "replace"))


@contextlib.contextmanager
def temp_dir(prefix="lvtest-"):
    """A fresh temporary directory, removed with everything in it afterwards."""
    d = tempfile.mkdtemp(prefix=prefix)
    try:
        yield d
    finally:
        shutil.rmtree(d, ignore_errors=True)



class _StandInProcess:
    """A running stand-in process (simulator or update server): its ready-line
    information, its JSON-lines log and a bounded stop."""

    def __init__(self, proc, info, log_path):
        self.proc = proc
        self.info = info            # the ready line's JSON object
        self.log_path = log_path

    def log(self):
        """The process's JSON-lines log read so far, as a list of dicts."""
        import json
        if not self.log_path or not os.path.exists(self.log_path):
            return []
        with open(self.log_path, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.endswith("\n")]

    def stop(self, timeout=10):
        """SIGTERM, then wait (SIGKILL after timeout). Returns the exit code."""
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=timeout)
        if self.proc.stdout:
            self.proc.stdout.close()
        return self.proc.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def _start_stand_in(argv, name, ready_timeout, env=None):
    """Starts argv and waits for its "READY {json}" line. Returns (proc, info);
    raises RuntimeError with the process's stderr when it exits or stays silent."""
    import json
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=full_env)
    line = _read_ready_line(proc, ready_timeout)
    if not line.startswith(b"READY ") or not line.endswith(b"\n"):
        if proc.poll() is None:
            proc.kill()
        proc.wait(timeout=10)
        err = proc.stderr.read().decode("utf-8", "replace")
        proc.stdout.close()
        proc.stderr.close()
        raise RuntimeError("%s did not become ready: %r %s" % (name, line, err))
    proc.stderr.close()
    return proc, json.loads(line[len(b"READY "):].decode("utf-8"))


def _read_ready_line(proc, timeout):
    """Reads the first stdout line of proc within timeout seconds (b"" when none)."""
    import select
    import time
    deadline = time.monotonic() + timeout
    line = b""
    while not line.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0:
            break
        if select.select([proc.stdout], [], [], min(left, 0.5))[0]:
            chunk = os.read(proc.stdout.fileno(), 4096)
            if not chunk:
                break
            line += chunk
        elif proc.poll() is not None:
            break
    return line


class SimulatorHandle(_StandInProcess):
    """A running device simulator (see start_simulator)."""

    def __init__(self, proc, info, log_path):
        super().__init__(proc, info, log_path)
        self.modules = info["modules"]

    def module(self, serial):
        """The ready-line entry of the module with that serial text ("40F5849A")."""
        for m in self.modules:
            if m["serial"] == serial.upper():
                return m
        raise KeyError(serial)


def start_simulator(args, log_path=None, max_seconds=120, env=None, ready_timeout=10,
                    prefix=None):
    """Starts $BUILD_DIR/tools/simulator/simulator with the argument list.

    Adds "--log log_path" when log_path is given and "--max-seconds max_seconds"
    unless the arguments already bound the run. prefix (e.g. ["unshare", "-n"])
    goes before the binary. Waits up to ready_timeout seconds for the ready line
    ("READY {json}") and returns a SimulatorHandle; raises RuntimeError with the
    simulator's stderr when it exits or stays silent instead.
    """
    argv = list(prefix or []) + [tool_bin("simulator")] + [str(a) for a in args]
    if log_path:
        argv += ["--log", str(log_path)]
    if "--max-seconds" not in args:
        argv += ["--max-seconds", str(max_seconds)]
    proc, info = _start_stand_in(argv, "simulator", ready_timeout, env)
    return SimulatorHandle(proc, info, log_path)


class PrivateNetwork:
    """Two private network namespaces joined by a veth pair, for every test that
    multicasts or broadcasts (TCP/IP discovery, an update that falls back to it).

    "host" holds the tool (vA, HOST_ADDRESS) and "device" the simulated modules
    (vB, DEVICE_ADDRESS); each has its own loopback up. Nothing sent inside them
    reaches the machine's real network. Use as a context manager; run commands
    with `host_prefix` / `device_prefix` (e.g. start_simulator(..., prefix=net.device_prefix))
    or run_updater(). Needs root (CI runs as root); `available()` tells.
    """

    HOST_ADDRESS = "10.77.0.1"
    DEVICE_ADDRESS = "10.77.0.2"
    _counter = 0

    @staticmethod
    def available():
        """True when network namespaces can be made here (root and iproute2)."""
        return os.geteuid() == 0 and shutil.which("ip") is not None

    def __init__(self):
        PrivateNetwork._counter += 1
        tag = "%d_%d" % (os.getpid(), PrivateNetwork._counter)
        self.host = "lvh" + tag
        self.device = "lvd" + tag
        self.host_prefix = ["ip", "netns", "exec", self.host]
        self.device_prefix = ["ip", "netns", "exec", self.device]

    def _ip(self, *args):
        subprocess.run(["ip"] + list(args), check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, timeout=20)

    def __enter__(self):
        try:
            self._ip("netns", "add", self.host)
            self._ip("netns", "add", self.device)
            for ns in (self.host, self.device):
                self._ip("-n", ns, "link", "set", "lo", "up")
            self._ip("-n", self.host, "link", "add", "vA", "type", "veth", "peer", "name", "vB",
                     "netns", self.device)
            self._ip("-n", self.host, "addr", "add", self.HOST_ADDRESS + "/24", "dev", "vA")
            self._ip("-n", self.device, "addr", "add", self.DEVICE_ADDRESS + "/24", "dev", "vB")
            self._ip("-n", self.host, "link", "set", "vA", "up")
            self._ip("-n", self.device, "link", "set", "vB", "up")
        except Exception:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        for ns in (self.host, self.device):
            subprocess.run(["ip", "netns", "del", ns], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=20)

    def run_updater(self, args, store_dir=None, env=None, timeout=60):
        """run_updater inside the host namespace; returns (returncode, stdout, stderr)."""
        return run_updater(args, store_dir, env, timeout, prefix=self.host_prefix)


class UpdateServerHandle(_StandInProcess):
    """A running reference update server (see start_update_server); log() gives
    one dict per request."""

    def __init__(self, proc, info, log_path):
        super().__init__(proc, info, log_path)
        self.port = info["port"]
        self.url = info["url"]

    def targets(self):
        """The request targets ("/cgi/u?op=hi&rv=2&") received so far, in order."""
        return [entry["target"] for entry in self.log()]


def start_update_server(root, log_path=None, faults=(), max_seconds=120, extra_args=(),
                        ready_timeout=10, prefix=None):
    """Starts $BUILD_DIR/tools/update_server/update_server on the directory root
    (127.0.0.1, an ephemeral port), with "--fault F" for each fault and the log
    in log_path. Returns an UpdateServerHandle once the READY line arrived;
    raises RuntimeError with the server's stderr otherwise. prefix (e.g.
    PrivateNetwork.host_prefix) goes before the binary.
    """
    argv = list(prefix or []) + [tool_bin("update_server"), "--root", str(root),
                                 "--max-seconds", str(max_seconds)]
    if log_path:
        argv += ["--log", str(log_path)]
    for fault in faults:
        argv += ["--fault", fault]
    argv += [str(a) for a in extra_args]
    proc, info = _start_stand_in(argv, "update_server", ready_timeout)
    return UpdateServerHandle(proc, info, log_path)


def make_bird(path, build, version, model="TEST-MODEL", extra=()):
    """Packs a small BIRD file with birdtool (info block: build, version, model;
    one firmware block whose bytes depend on the build). Returns its bytes."""
    argv = [tool_bin("birdtool"), "pack", "-o", str(path), "--build", str(build),
            "--version", version, "--model", model,
            "--firmware", "fill:%d:0x%02X@0x1000" % (512 + build % 1000, build % 251)]
    subprocess.run(argv + [str(a) for a in extra], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE, timeout=30)
    with open(path, "rb") as f:
        return f.read()

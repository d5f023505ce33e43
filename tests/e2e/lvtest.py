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


def run_updater(args, store_dir=None, env=None, timeout=60):
    """Runs the Updater with the argument list and returns (returncode, stdout, stderr).

    Output is decoded as UTF-8 text (undecodable bytes replaced). When store_dir
    is given, "-i store_dir" is appended to the arguments. env, when given, is
    merged over a copy of the current environment. The run is killed after
    timeout seconds (subprocess.TimeoutExpired is raised).
    """
    argv = [updater_bin()] + [str(a) for a in args]
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

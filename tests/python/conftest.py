"""Shared set-up of the velqor test suite.

The module under test is the installed one, unless VELQOR_BUILD_DIR names a
build directory that holds velqor's shared object: that directory is then put
first on sys.path, for this process and for every child process the tests
start.
"""

import os
import subprocess
import sys
import textwrap

import pytest

BUILD_DIR = os.environ.get("VELQOR_BUILD_DIR")
if BUILD_DIR:
    BUILD_DIR = os.path.abspath(BUILD_DIR)
    sys.path.insert(0, BUILD_DIR)

# Panics in this process write their failure report to standard error; keep
# each report to one line. The style is read at the first panic, so this must
# happen before any test runs. Child processes choose their own style.
os.environ["RUST_BACKTRACE"] = "0"

import velqor  # noqa: E402

# Set by the sanitizer build of the suite: address-space limits do not work
# under AddressSanitizer's shadow memory.
SANITIZED = os.environ.get("VELQOR_SANITIZED") == "1"

# Interpreter options of this process (-X dev) that child processes repeat.
_CHILD_FLAGS = ["-X", "dev"] if sys.flags.dev_mode else []

# Variables that change the module's behaviour; a child gets only the ones a
# test asks for.
_BEHAVIOUR_VARIABLES = ("RUST_BACKTRACE", "RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS", "RUST_MIN_STACK")


def child_env(**overrides):
    """The environment of a child process: this one's, with the module's path,
    without the behaviour variables, plus `overrides` (None removes one)."""
    env = dict(os.environ)
    for name in _BEHAVIOUR_VARIABLES:
        env.pop(name, None)
    if BUILD_DIR:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [BUILD_DIR, env.get("PYTHONPATH")]))
    for name, value in overrides.items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value
    return env


def run_python(code, timeout=60, **env_overrides):
    """Runs `code` in a fresh interpreter; returns the completed process with
    text stdout and stderr."""
    return subprocess.run(
        [sys.executable, *_CHILD_FLAGS, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=child_env(**env_overrides),
        timeout=timeout,
        errors="surrogateescape",
    )


@pytest.fixture(scope="session")
def panic_type():
    """The PanicException type, reached through a caught panic."""
    try:
        velqor.QGate([])
    except BaseException as caught:  # noqa: BLE001 - PanicException is a BaseException
        return type(caught)
    pytest.fail("QGate([]) did not panic")

"""Helpers shared by the test modules: child interpreters with a chosen
environment, whether the module under test is the sanitizer build, and the
gates most tests use (their matrices are defined once, in model.py)."""

import os
import subprocess
import sys
import textwrap

import pytest

import velqor
from model import FIXED_GATES

IDENTITY = [[1, 0], [0, 1]]
HADAMARD = FIXED_GATES["H"]
PAULI_X = FIXED_GATES["X"]
HADAMARD_GATE = velqor.QGate(HADAMARD)
X_GATE = velqor.QGate(PAULI_X)

BUILD_DIR = os.environ.get("VELQOR_BUILD_DIR")
if BUILD_DIR:
    BUILD_DIR = os.path.abspath(BUILD_DIR)

# Set by the sanitizer build of the suite: address-space limits do not work
# under AddressSanitizer's shadow memory.
SANITIZED = os.environ.get("VELQOR_SANITIZED") == "1"

# Set by the aarch64 leg, which runs the suite under qemu-user: the emulator
# applies no address-space limit to the program it runs.
EMULATED = os.environ.get("VELQOR_EMULATED") == "1"

# The tests that refuse memory through an address-space limit, skipped where
# no such limit holds.
needs_address_limit = pytest.mark.skipif(
    SANITIZED or EMULATED,
    reason="address-space limits do not work under AddressSanitizer"
    if SANITIZED
    else "qemu-user applies no address-space limit",
)

# Interpreter options of this process (-X dev) that child processes repeat.
_CHILD_FLAGS = ["-X", "dev"] if sys.flags.dev_mode else []

# Variables that change the module's behaviour; a child gets only the ones a
# test asks for.
_BEHAVIOUR_VARIABLES = ("RUST_BACKTRACE", "RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS", "RUST_MIN_STACK", "VELQOR_SEED")


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

"""Shared set-up of the velqor test suite.

The module under test is the installed one, unless VELQOR_BUILD_DIR names a
build directory that holds velqor's shared object: that directory is then put
first on sys.path, for this process and (through support.child_env) for every
child process the tests start. Helpers the tests import live in support.py.
"""

import os
import sys

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


@pytest.fixture(scope="session")
def panic_type():
    """The PanicException type, reached through a caught panic."""
    try:
        velqor.QGate([])
    except BaseException as caught:  # noqa: BLE001 - PanicException is a BaseException
        return type(caught)
    pytest.fail("QGate([]) did not panic")

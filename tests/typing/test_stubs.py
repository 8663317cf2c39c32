"""The installed stubs against the installed module and two user scripts.

Run with the interpreter that has velqor, mypy and basedpyright installed (the
test command's tools environment). stubtest compares the stubs with the
module; the scripts check that both type checkers find the stubs and judge
calls by them, for the oldest and the newest Python version velqor supports
(the classifiers of pyproject.toml).
"""

import ast
import importlib.util
import json
import os
import pathlib
import re
import subprocess
import sys
import tomllib

import pytest

import velqor

HERE = pathlib.Path(__file__).resolve().parent
BIN = pathlib.Path(sys.executable).parent
SCRIPTS = {"clean": HERE / "clean.py", "misuse": HERE / "misuse.py"}


def supported_versions():
    """The Python versions of pyproject.toml's classifiers, oldest first."""
    project = tomllib.loads((HERE.parents[1] / "pyproject.toml").read_text())["project"]
    prefix = "Programming Language :: Python :: 3."
    minors = sorted(int(c[len(prefix):]) for c in project["classifiers"] if c.startswith(prefix) and c[len(prefix):].isdigit())
    return [f"3.{minor}" for minor in minors]


CHECKED_VERSIONS = [supported_versions()[0], supported_versions()[-1]]


def installed_stubs():
    """The two installed stub files: beside the module and in velqor-stubs."""
    beside = pathlib.Path(importlib.util.find_spec("velqor").origin).with_name("velqor.pyi")
    package = pathlib.Path(importlib.util.find_spec("velqor-stubs").submodule_search_locations[0])
    return beside, package / "__init__.pyi"


def planted_lines(path):
    return {n for n, line in enumerate(path.read_text().splitlines(), 1) if line.endswith("# planted")}


def mypy_error_lines(path, version):
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--python-version", version, "--cache-dir", os.devnull,
         "--no-error-summary", str(path)],
        capture_output=True, text=True, cwd=HERE,
    )
    assert out.returncode in (0, 1), out.stdout + out.stderr
    return {int(m.group(1)) for m in re.finditer(r"^[^:\n]+:(\d+): error:", out.stdout, re.M)}, out.stdout


def pyright_error_lines(path, version):
    out = subprocess.run(
        [str(BIN / "basedpyright"), "--outputjson", "-p", str(HERE / "pyrightconfig.json"),
         "--pythonpath", sys.executable, "--pythonversion", version, str(path)],
        capture_output=True, text=True, cwd=HERE,
    )
    assert out.returncode in (0, 1), out.stdout + out.stderr
    report = json.loads(out.stdout)
    diagnostics = report["generalDiagnostics"]
    lines = {d["range"]["start"]["line"] + 1 for d in diagnostics if d["severity"] == "error"}
    return lines, json.dumps(diagnostics, indent=1)


def test_both_installed_copies_are_the_same_stub():
    beside, package = installed_stubs()
    assert beside.read_bytes() == package.read_bytes()


@pytest.mark.parametrize("version", CHECKED_VERSIONS)
@pytest.mark.parametrize("checker", [mypy_error_lines, pyright_error_lines], ids=["mypy", "pyright"])
@pytest.mark.parametrize("script", sorted(SCRIPTS))
def test_checker_reports_exactly_the_planted_errors(checker, script, version):
    path = SCRIPTS[script]
    reported, output = checker(path, version)
    assert reported == planted_lines(path), output


def test_clean_script_runs():
    out = subprocess.run([sys.executable, str(SCRIPTS["clean"])], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("['QGate', 'Register']")


def constructor_parameters():
    """{class name: parameter names of __new__ after cls} from the installed stub."""
    tree = ast.parse(installed_stubs()[0].read_text())
    return {
        node.name: [a.arg for a in item.args.args[1:]]
        for node in tree.body if isinstance(node, ast.ClassDef)
        for item in node.body if isinstance(item, ast.FunctionDef) and item.name == "__new__"
    }


@pytest.mark.parametrize("name, arguments", [("QGate", [[[0, 1], [1, 0]]]), ("Register", [3])])
def test_constructor_keywords_of_the_stub_work_at_run_time(name, arguments):
    """stubtest cannot see the constructors' parameters (they have no text
    signature): the names in the stub must be the ones the module accepts."""
    cls = getattr(velqor, name)
    parameters = constructor_parameters()[name]
    instance = cls(**dict(zip(parameters, arguments, strict=True)))
    assert type(instance) is cls
    if name == "Register":
        assert len(instance.probabilities()) == 2**3

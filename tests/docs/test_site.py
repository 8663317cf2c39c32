"""The user guide builds with `mkdocs build --strict`, and a dangling reference
fails that build: each case plants one in a copy of the guide and its sources
(mkdocs.yml, docs/, README.md, the stub) and asserts the build fails naming it.
Run with the tools environment's interpreter (mkdocs and pymdown-extensions
installed)."""

import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
MKDOCS = pathlib.Path(sys.executable).parent / "mkdocs"


@pytest.fixture
def guide(tmp_path):
    """A copy of everything the guide's build reads."""
    copy = tmp_path / "guide"
    copy.mkdir()
    for name in ("mkdocs.yml", "README.md"):
        shutil.copy(ROOT / name, copy / name)
    for name in ("docs", "stubs"):
        shutil.copytree(ROOT / name, copy / name)
    return copy


def build(guide):
    return subprocess.run([str(MKDOCS), "build", "--strict", "--site-dir", str(guide / "site")],
                          capture_output=True, text=True, cwd=guide, timeout=120)


def replace_once(path, old, new):
    text = path.read_text()
    assert text.count(old) == 1, f"{path.name} no longer holds {old!r} once"
    path.write_text(text.replace(old, new))


def test_the_unchanged_copy_builds(guide):
    out = build(guide)
    assert out.returncode == 0, out.stderr
    api = (guide / "site" / "api" / "index.html").read_text()
    assert '<a href="../threads/">Threads</a>' in api  # a README link, made a page link


# Each plant: (file, text, replacement, what the failed build says).
PLANTS = {
    "page link to a missing page": (
        "docs/index.md", "[Errors](errors.md)", "[Errors](error.md)",
        "contains a link 'error.md', but the target is not found among documentation files"),
    "page link to a missing heading": (
        "docs/errors.md", "(distributed.md#a-panic-inside-a-task)", "(distributed.md#a-panic)",
        "contains a link 'distributed.md#a-panic', but the doc 'distributed.md' does not contain an anchor '#a-panic'"),
    "reference that the including page leaves undefined": (
        "docs/api.md", "[threads]: threads.md\n", "",
        "Doc file 'api.md': the reference [Threads][threads] has no definition on the page"),
    "reference that the README leaves undefined": (
        "README.md", "[threads]: docs/threads.md\n", "",
        "README.md: the reference [Threads][threads] has no definition"),
    "README link to a missing page": (
        "README.md", "[reproducibility]: docs/reproducibility.md", "[reproducibility]: docs/reproduce.md",
        "README.md: the link to 'docs/reproduce.md' leads nowhere: no file docs/reproduce.md"),
    "README link to a missing heading": (
        "README.md", "[configuration]: #configuration", "[configuration]: #settings",
        "README.md: the link to '#settings' leads nowhere: no heading #settings in README.md"),
    "snippet of a README section that is not there": (
        "docs/errors.md", '--8<-- "README.md:stability"', '--8<-- "README.md:stable"',
        "Snippet section 'stable' could not be located"),
}


@pytest.mark.parametrize("plant", sorted(PLANTS))
def test_a_planted_dangling_reference_fails_the_strict_build(guide, plant):
    path, old, new, message = PLANTS[plant]
    replace_once(guide / path, old, new)
    out = build(guide)
    assert out.returncode != 0, out.stderr
    assert message in out.stderr

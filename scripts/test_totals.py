"""Adds up the JUnit reports of one run of the test command and prints the total
in pytest's closing-line form, e.g. "==== 1200 passed, 30 skipped in 560.12s (0:09:20) ====".

    python scripts/test_totals.py REPORT_DIR SECONDS [FAILED_PHASE]

Every <testcase> of every *.xml file in REPORT_DIR counts once: failed when it
holds a <failure> or <error>, skipped when it holds <skipped> or was not run
(GoogleTest's result="skipped", CTest's status="notrun"), passed otherwise.
FAILED_PHASE names a phase that stopped the run; when no report counted a
failure, that phase counts as one error. Exits 1 when anything failed.
"""

import datetime
import pathlib
import sys
import xml.etree.ElementTree as ElementTree


def outcome(case):
    """'failed', 'skipped' or 'passed' for one <testcase> element."""
    if case.find("failure") is not None or case.find("error") is not None:
        return "failed"
    if case.find("skipped") is not None or case.get("result") == "skipped" or case.get("status") in ("notrun", "disabled"):
        return "skipped"
    return "passed"


def main(report_dir, seconds, failed_phase=""):
    counts = {"failed": 0, "passed": 0, "skipped": 0, "error": 0}
    for report in sorted(pathlib.Path(report_dir).glob("*.xml")):
        for case in ElementTree.parse(report).iter("testcase"):
            counts[outcome(case)] += 1
    if failed_phase and counts["failed"] == 0:
        counts["error"] = 1
    seconds = float(seconds)
    parts = [f"{counts[key]} {key}" for key in ("failed", "passed", "skipped", "error") if counts[key]]
    line = f" {', '.join(parts) or 'no tests ran'} in {seconds:.2f}s ({datetime.timedelta(seconds=round(seconds))}) "
    print(line.center(max(len(line) + 2, 78), "="))
    return 1 if counts["failed"] or counts["error"] else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))

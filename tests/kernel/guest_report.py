"""pytest plugin for the in-guest run: one console line per test outcome.

The host reads ``@@VORN-RESULT@@ {json}`` lines back from the serial
console; each carries the test's node id, the phase, the outcome and, for a
failure or skip, the text pytest would show.
"""

import json
import sys

RESULT = "@@VORN-RESULT@@ "


def pytest_runtest_logreport(report):
    if report.when != "call" and report.outcome == "passed":
        return
    message = ""
    if report.skipped and isinstance(report.longrepr, tuple):
        message = str(report.longrepr[2])
    elif report.failed:
        message = report.longreprtext[-6000:]
    line = json.dumps({"nodeid": report.nodeid, "when": report.when, "outcome": report.outcome,
                       "message": message, "duration": round(report.duration, 3)})
    sys.__stdout__.write("\n" + RESULT + line + "\n")
    sys.__stdout__.flush()

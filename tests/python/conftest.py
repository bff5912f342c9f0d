"""Test-session set-up: the helpers in tests/support import as top-level modules
(``from shared_data import require``), and the summary lists each skip reason once."""

from __future__ import annotations

import sys
from collections import Counter
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))

from shared_data import SHARED_MISSING


def _reason(report: pytest.TestReport) -> str:
    longrepr = report.longrepr
    reason = longrepr[2] if isinstance(longrepr, tuple) else str(longrepr)
    return reason.removeprefix("Skipped: ")


def pytest_terminal_summary(terminalreporter: pytest.TerminalReporter) -> None:
    skipped = terminalreporter.stats.get("skipped", [])
    reasons = Counter(_reason(report) for report in skipped)
    if not reasons:
        return
    terminalreporter.section("skipped", sep="-")
    for reason, count in sorted(reasons.items(), key=lambda item: (-item[1], item[0])):
        if reason == SHARED_MISSING:
            terminalreporter.write_line(f"{SHARED_MISSING}: {count} tests skipped")
        else:
            terminalreporter.write_line(f"{count} skipped: {reason}")

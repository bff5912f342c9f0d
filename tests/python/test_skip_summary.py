"""The test summary names each skip reason once, and counts the tests that lack the shared corpora."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

SAMPLE_TESTS = """
import pytest
from shared_data import SHARED_MISSING, require

@pytest.mark.parametrize("n", range(3))
def test_needs_a_corpus(n):
    require("corpora/no-such-corpus/none.txt")

@pytest.mark.parametrize("n", range(2))
def test_needs_a_module(n):
    pytest.importorskip("no_such_module_here")

def test_runs():
    pass

@pytest.mark.skip(reason="")
def test_without_reason():
    pass
"""


def test_each_reason_is_listed_once_with_its_count(tmp_path: Path) -> None:
    shutil.copy(HERE / "conftest.py", tmp_path / "conftest.py")
    (tmp_path / "test_sample.py").write_text(SAMPLE_TESTS, encoding="utf-8")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(HERE.parent / "support"), os.environ.get("PYTHONPATH", "")]))
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(tmp_path)],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    lines = result.stdout.splitlines()
    assert result.returncode == 0, result.stdout + result.stderr
    assert lines.count("shared corpora not found: 3 tests skipped") == 1, result.stdout
    module_lines = [line for line in lines if "no_such_module_here" in line]
    assert len(module_lines) == 1 and module_lines[0].startswith("2 skipped: "), result.stdout
    assert "1 passed, 6 skipped" in result.stdout

"""The shared corpora for the tests: found by tools/corpora.py (a `shared` folder beside the
repository or one of its parents); a test that needs one and runs without it is skipped with
the single reason ``SHARED_MISSING``, which the test summary counts once."""

from __future__ import annotations

import os
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools"))
import corpora  # noqa: E402

SHARED_MISSING = "shared corpora not found"
BENCH_TEXT = "corpora/zh-text/bench-zh.txt"
UD_FILES = ("corpora/ud-zh-gsdsimp/zh_gsdsimp-ud-dev.conllu", "corpora/ud-zh-gsdsimp/zh_gsdsimp-ud-test.conllu")


def shared_file(relative: str) -> Path | None:
    """``relative`` (such as ``corpora/zh-text/bench-zh.txt``) in the shared folder, or None."""
    found = corpora.find_corpora_dir(str(REPO))
    if found is None:
        return None
    candidate = Path(os.path.dirname(found)) / relative
    return candidate if candidate.is_file() else None


def require(relative: str) -> Path:
    path = shared_file(relative)
    if path is None:
        pytest.skip(SHARED_MISSING)
    return path


def bench_lines(limit: int | None = None) -> list[str]:
    lines = require(BENCH_TEXT).read_text(encoding="utf-8").splitlines()
    return lines if limit is None else lines[:limit]


def ud_sentences() -> list[list[str]]:
    """The gold word lists of the UD Chinese treebank's dev and test sentences."""
    sentences: list[list[str]] = []
    for relative in UD_FILES:
        words: list[str] = []
        for line in require(relative).read_text(encoding="utf-8").splitlines():
            if not line:
                if words:
                    sentences.append(words)
                words = []
            elif not line.startswith("#"):
                columns = line.split("\t")
                if columns[0].isdigit():
                    words.append(columns[1])
        if words:
            sentences.append(words)
    return sentences

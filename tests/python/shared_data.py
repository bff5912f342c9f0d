"""Locating the shared corpora, which live in a `shared` folder beside the repository (or
beside one of its parent folders, for a worktree checked out below the main one)."""

from __future__ import annotations

from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
BENCH_TEXT = "corpora/zh-text/bench-zh.txt"
UD_FILES = ("corpora/ud-zh-gsdsimp/zh_gsdsimp-ud-dev.conllu", "corpora/ud-zh-gsdsimp/zh_gsdsimp-ud-test.conllu")


def shared_file(relative: str) -> Path | None:
    for base in REPO.parents:
        candidate = base / "shared" / relative
        if candidate.is_file():
            return candidate
    return None


def require(relative: str) -> Path:
    path = shared_file(relative)
    if path is None:
        pytest.skip(f"shared/{relative} not found beside the repository {REPO} or its parents")
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

"""`lumotext index build` and `lumotext search`, run as subprocesses: results equal the Python
API's, document numbers are line numbers, errors exit with status 1 and a message (usage errors,
status 2, are in test_cli_options.py)."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest

from lumotext import Analyzer, Index

LINES = ["北京的天气很好", "上海是一个城市", "", "北京和上海", "ＣＭＲＣ 数据集"]


def lumotext(*args: object, stdin: bytes = b"") -> subprocess.CompletedProcess[bytes]:
    return subprocess.run(
        [sys.executable, "-m", "lumotext", *map(str, args)], input=stdin, capture_output=True, timeout=300
    )


@pytest.fixture()
def corpus(tmp_path: Path) -> Path:
    path = tmp_path / "corpus.txt"
    path.write_text("\n".join(LINES[:3]) + "\n", encoding="utf-8")
    (tmp_path / "more.txt").write_text("\n".join(LINES[3:]) + "\n", encoding="utf-8")
    return path


def test_build_and_search_give_the_api_results(corpus: Path, tmp_path: Path) -> None:
    out = tmp_path / "ix"
    built = lumotext("index", "build", corpus, tmp_path / "more.txt", "--out", out, "--no-progress")
    assert built.returncode == 0, built.stderr
    queries = tmp_path / "queries.txt"
    queries.write_text("上海\ncmrc\n", encoding="utf-8")
    found = lumotext("search", out, "北京", "--queries", queries, "-k", "3")
    assert found.returncode == 0, found.stderr
    rows = [json.loads(line) for line in found.stdout.decode().splitlines()]
    index = Index()
    index.add(LINES)
    assert [r["query"] for r in rows] == ["北京", "上海", "cmrc"]
    for row in rows:
        want = index.search(row["query"], k=3)
        assert [n for n, _ in row["hits"]] == [n for n, _ in want]
        assert [s for _, s in row["hits"]] == pytest.approx([s for _, s in want], rel=1e-5)
    assert rows[2]["hits"][0][0] == 4  # numbers are line numbers across the files


def test_build_options_reach_the_saved_index(corpus: Path, tmp_path: Path) -> None:
    out = tmp_path / "ix"
    result = lumotext(
        "index", "build", corpus, "--out", out, "--k1", "1.5", "--bigram-weight", "0", "--stop-words", "none"
    )
    assert result.returncode == 0, result.stderr
    loaded = Index.load(out)
    assert loaded.k1 == 1.5
    assert loaded.analyzer.settings == Analyzer(stop_words=None, bigram_weight=0).settings


@pytest.mark.parametrize(
    "args, message",
    [
        (["search", "{tmp}/missing", "北京"], "no saved index"),
        (["search", "{corpus}", "北京"], "not a directory"),
        (["search", "{tmp}"], "give queries"),
        (["search", "{tmp}", "北京"], "not a saved lumotext index"),
        (["index", "build", "{corpus}", "--out", "{corpus}"], "not a saved index"),
        (["index", "build", "{corpus}", "--out", "{tmp}/no/such/dir"], "does not exist"),
        (["index", "build", "{tmp}/missing.txt", "--out", "{tmp}/ix"], "cannot read"),
    ],
)
def test_errors_exit_with_status_1_and_a_message(corpus: Path, tmp_path: Path, args: list[str], message: str) -> None:
    result = lumotext(*[a.format(tmp=tmp_path, corpus=corpus) for a in args])
    assert result.returncode == 1
    assert message in result.stderr.decode(), result.stderr.decode()
    assert b"Traceback" not in result.stderr


@pytest.mark.parametrize("store", [True, False])
def test_search_prints_the_hits_texts(corpus: Path, tmp_path: Path, store: bool) -> None:
    out = tmp_path / "ix"
    options = [] if store else ["--no-store"]
    built = lumotext("index", "build", corpus, tmp_path / "more.txt", "--out", out, "--no-progress", *options)
    assert built.returncode == 0, built.stderr
    assert Index.load(out).stores_documents == store
    want = Index.load(out).search("北京", k=3)
    shown = lumotext("search", out, "北京", "火星", "-k", "3")
    assert shown.returncode == 0, shown.stderr
    lines = shown.stdout.decode().splitlines()
    assert lines[0] == "query: 北京" and lines[len(want) + 1 :] == ["query: 火星", "  (no document matches)"]
    for line, (number, score) in zip(lines[1:], want):
        fields = line.split()
        assert fields[:2] == [f"{score:.4f}", f"#{number}"]
        assert fields[2:] == ([LINES[number]] if store else [])
    as_json = json.loads(lumotext("search", out, "北京", "-k", "3", "--json").stdout)
    assert as_json["hits"] == [[n, pytest.approx(s, rel=1e-5)] for n, s in want]
    assert as_json.get("texts") == ([LINES[n] for n, _ in want] if store else None)

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
from lumotext.index import DEFAULTS

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


# --- changing a saved index in place -----------------------------------------------------------


def run(*args: object) -> tuple[int, str]:
    """The command in this process (quicker than a subprocess): its exit status and stderr."""
    import contextlib
    import io

    from lumotext.cli import main

    err = io.StringIO()
    with contextlib.redirect_stderr(err):
        try:
            status = main([str(a) for a in args])
        except SystemExit as exit:
            status = int(exit.code or 0)
    return status, err.getvalue()


def built(corpus: Path, tmp_path: Path, *options: str, more: bool = False) -> Path:
    out = tmp_path / "ix"
    files = [corpus, tmp_path / "more.txt"] if more else [corpus]
    status, err = run("index", "build", *files, "--out", out, "--no-progress", *options)
    assert status == 0, err
    return out


def same_results(loaded: Index, expected: Index) -> None:
    assert len(loaded) == len(expected)
    assert loaded.live_documents() == expected.live_documents()
    for query in ("北京", "上海", "城市", "cmrc", "天气很好"):
        got, want = loaded.search(query, k=5), expected.search(query, k=5)
        assert [n for n, _ in got] == [n for n, _ in want], query
        assert [s for _, s in got] == pytest.approx([s for _, s in want], rel=1e-5), query


@pytest.mark.parametrize(
    "options, analyzer, k1, b",
    [
        ([], Analyzer(), DEFAULTS["k1"], DEFAULTS["b"]),
        (["--stop-words", "none", "--bigram-weight", "0", "--k1", "1.5", "--b", "0.3"], None, 1.5, 0.3),
    ],
)
def test_add_continues_the_numbers_under_the_saved_settings(
    corpus: Path, tmp_path: Path, options: list[str], analyzer: Analyzer | None, k1: float, b: float
) -> None:
    ix = built(corpus, tmp_path, *options)
    status, err = run("index", "add", ix, tmp_path / "more.txt", "--no-progress")
    assert status == 0, err
    assert "added 2 documents (numbers 3-4)" in err
    expected = Index(analyzer or Analyzer(stop_words=None, bigram_weight=0), k1=k1, b=b)
    expected.add(LINES)
    loaded = Index.load(ix)
    assert (loaded.k1, loaded.b) == (k1, b)
    assert loaded.analyzer.settings == expected.analyzer.settings
    same_results(loaded, expected)


def test_remove_takes_documents_out_and_numbers_stay(corpus: Path, tmp_path: Path) -> None:
    ix = built(corpus, tmp_path, more=True)
    status, err = run("index", "remove", ix, 0, 3, 3)  # a number given twice is removed once
    assert status == 0, err
    expected = Index()
    expected.add(LINES)
    expected.remove([0, 3])
    same_results(Index.load(ix), expected)
    status, err = run("index", "add", ix, corpus, "--no-progress")
    assert status == 0, err
    assert "(numbers 5-7)" in err  # removed numbers are never given out again


@pytest.mark.parametrize(
    "args, removed, message",
    [
        (["--ids", "c", "a", "c"], [2, 0], "removed 2 documents"),  # an id given twice is removed once
        (["3", "--ids", "b"], [1, 3], "removed 2 documents"),
        (["1", "--ids", "b"], [1], "removed 1 document "),  # the same document by number and by id
        (["--ids", "a", "zz"], None, "no document of the index"),
        (["--ids", ""], None, "has the id ''"),
    ],
)
def test_remove_by_ids_given_in_python(
    tmp_path: Path, args: list[str], removed: list[int] | None, message: str
) -> None:
    ix = tmp_path / "ix"
    index = Index()
    index.add(LINES, ids=["a", "b", "c", "d", "e"])
    index.save(ix)
    before = commit_bytes(ix)
    status, err = run("index", "remove", ix, *args)
    assert message in err, err
    loaded = Index.load(ix)
    if removed is None:
        assert status == 1 and commit_bytes(ix) == before and len(loaded) == len(LINES)
        return
    assert status == 0, err
    assert loaded.live_documents() == [n for n in range(len(LINES)) if n not in removed]
    assert all(loaded.document(n).id == "abcde"[n] for n in loaded.live_documents())


def commit_bytes(ix: Path) -> bytes:
    return (ix / "lumotext.commit").read_bytes()


@pytest.mark.parametrize(
    "args, message",
    [
        (["remove", "{ix}", "1", "9"], "document 9 is not in the index"),
        (["remove", "{ix}", "0", "0", "7"], "document 7 is not in the index"),
        (["add", "{ix}", "{tmp}/missing.txt"], "cannot read"),
        (["add", "{ix}", "{tmp}/bad.txt"], "invalid UTF-8"),
        (["add", "{tmp}/missing", "{corpus}"], "no saved index"),
        (["remove", "{corpus}", "1"], "not a directory"),
        (["info", "{tmp}"], "not a saved lumotext index"),
    ],
)
def test_a_failed_change_leaves_the_saved_index_as_it_was(
    corpus: Path, tmp_path: Path, args: list[str], message: str
) -> None:
    ix = built(corpus, tmp_path)
    (tmp_path / "bad.txt").write_bytes("上海\n".encode() + b"\xff\xfe\n")
    before = commit_bytes(ix)
    status, err = run("index", *[a.format(ix=ix, tmp=tmp_path, corpus=corpus) for a in args])
    assert status == 1
    assert message in err, err
    assert commit_bytes(ix) == before
    assert len(Index.load(ix)) == 3


@pytest.mark.parametrize(
    "args, message",
    [
        (["remove", "{ix}"], "give document numbers, or ids with --ids"),
        (["remove", "{ix}", "--ids"], "argument --ids: expected at least one argument"),
        (["remove", "{ix}", "-1"], "argument NUMBER: expected a document number"),
        (["remove", "{ix}", "two"], "argument NUMBER: expected a document number"),
        (["add", "{ix}", "{corpus}", "--threads", "0"], "argument --threads"),
        (["info"], "the following arguments are required: DIR"),
        (["compact"], "the following arguments are required: DIR"),
    ],
)
def test_usage_errors_exit_with_status_2(corpus: Path, tmp_path: Path, args: list[str], message: str) -> None:
    ix = built(corpus, tmp_path)
    before = commit_bytes(ix)
    status, err = run("index", *[a.format(ix=ix, corpus=corpus) for a in args])
    assert status == 2
    assert f"usage: lumotext index {args[0]}" in err and message in err, err
    assert commit_bytes(ix) == before


def test_info_describes_the_saved_index(corpus: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    ix = built(corpus, tmp_path, "--k1", "0.9", "--b", "0.4", "--stop-words", "none")
    assert run("index", "add", ix, tmp_path / "more.txt", "--no-progress")[0] == 0
    assert run("index", "remove", ix, 1)[0] == 0
    capsys.readouterr()
    assert run("index", "info", ix, "--json")[0] == 0
    info = json.loads(capsys.readouterr().out)
    loaded = Index.load(ix)
    assert info == {
        "documents": 4,
        "removed": 1,
        "next_number": 5,
        "terms": loaded.term_count,
        "segments": 2,  # one per add; small segments are merged only in larger runs
        "bytes_on_disk": sum(p.stat().st_size for p in ix.iterdir() if p.is_file()),
        "k1": 0.9,
        "b": 0.4,
        "analyzer": Analyzer(stop_words=None).settings,
    }
    assert run("index", "info", ix)[0] == 0
    text = capsys.readouterr().out.splitlines()
    assert text[:2] == ["documents: 4 (1 removed, next number 5)", f"terms: {loaded.term_count}"]
    assert "segments: 2" in text and "k1: 0.9" in text and "b: 0.4" in text
    assert [line for line in text if line.startswith("analyzer: ")] == [
        'analyzer: stop_words=null mode="default" fold_traditional=true hmm=true bigram_weight=0.5 '
        f"user_dict=null rules={loaded.analyzer.settings['rules']}"
    ]


def test_compact_rewrites_the_saved_index_as_one_segment(corpus: Path, tmp_path: Path) -> None:
    ix = built(corpus, tmp_path)
    assert run("index", "add", ix, tmp_path / "more.txt", "--no-progress")[0] == 0
    assert run("index", "remove", ix, 1)[0] == 0
    before = Index.load(ix)
    assert before._native.engine_stats()["segments"] == 2
    status, err = run("index", "compact", ix)
    assert status == 0, err
    assert "from 2 segments to 1" in err
    after = Index.load(ix)
    assert after._native.engine_stats()["segments"] == 1
    same_results(after, before)
    assert (after.document(0).text, len(after)) == (before.document(0).text, len(before))


def test_changes_side_by_side_all_land(corpus: Path, tmp_path: Path) -> None:
    # Each command loads, changes and saves; without taking turns, the last save would drop
    # what the others added in the meantime.
    ix = built(corpus, tmp_path)
    lines = tmp_path / "lines.txt"
    lines.write_text("".join(f"第{i}行 北京 上海 长江大桥\n" for i in range(3000)), encoding="utf-8")
    command = [sys.executable, "-m", "lumotext", "index"]
    running = [subprocess.Popen([*command, "add", str(ix), str(lines), "--threads", "1"]) for _ in range(3)]
    running.append(subprocess.Popen([*command, "remove", str(ix), "1"]))
    assert [p.wait(timeout=300) for p in running] == [0, 0, 0, 0]
    loaded = Index.load(ix)
    assert len(loaded) == 3 + 3 * 3000 - 1
    assert 1 not in loaded.live_documents()

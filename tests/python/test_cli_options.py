"""The lumotext command's options, alike in every subcommand: the defaults its help shows are
the ones in force, a value out of range is a usage error (exit status 2, argparse's message),
and its limits are the API's. Also what ``cut --fold`` and ``--stop-words`` do, and what
``index build`` reports."""

from __future__ import annotations

import argparse
import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

from lumotext import Analyzer, Index, cli, cli_index, make_jieba
from lumotext._cli_args import (
    MAX_K,
    MAX_THREADS,
    b_parameter,
    bigram_weight,
    default_threads,
    index_k1_parameter,
)
from lumotext.index import DEFAULTS, fold_text
from lumotext.models import BM25_DEFAULTS

TRADITIONAL = ["ＣＭＲＣ 數據集的發佈", "北京的天氣很好", "Ｈｅｌｌｏ　世界"]


def run(capsys: pytest.CaptureFixture[str], *args: object) -> tuple[int, str, str]:
    """``lumotext ARGS`` in this process: exit status, standard output and standard error."""
    try:
        status = cli.main([str(arg) for arg in args])
    except SystemExit as stop:
        status = stop.code if isinstance(stop.code, int) else 1
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def lumotext(*args: object, stdin: bytes = b"") -> subprocess.CompletedProcess[bytes]:
    return subprocess.run(
        [sys.executable, "-m", "lumotext", *map(str, args)], input=stdin, capture_output=True, timeout=300
    )


def write(path: Path, text: str) -> Path:
    path.write_text(text, encoding="utf-8")
    return path


# --- defaults -------------------------------------------------------------------------------------

# Each subcommand, and the arguments it requires.
SUBCOMMANDS = {
    "cut": (["cut"], []),
    "train": (["bm25", "train"], ["--out", "m.json"]),
    "encode": (["bm25", "encode"], ["--model", "m.json"]),
    "build": (["index", "build"], ["--out", "ix"]),
    "search": (["search"], ["ix", "q"]),
}
COMMANDS = {name: words + required for name, (words, required) in SUBCOMMANDS.items()}

# (command, option, the attribute it sets, the default that must be in force)
DEFAULTS_IN_FORCE = [
    ("build", "--k1", "k1", DEFAULTS["k1"]),
    ("build", "--b", "b", DEFAULTS["b"]),
    ("build", "--bigram-weight", "bigram_weight", DEFAULTS["bigram_weight"]),
    ("build", "--stop-words", "stop_words", DEFAULTS["stop_words"]),
    ("search", "-k", "k", DEFAULTS["k"]),
    ("train", "--b", "b", BM25_DEFAULTS["b"]),
    ("train", "--k1", "k1", BM25_DEFAULTS["k1"]),
    *((command, "--threads", "threads", default_threads()) for command in COMMANDS),
]


def help_entry(text: str, option: str) -> str:
    """The help of ``option`` in a --help text, on one line."""
    entries = re.split(r"\n  (?=-)", text)
    found = [entry for entry in entries if re.match(rf"{re.escape(option)}[ ,\n]", entry)]
    assert len(found) == 1, (option, text)
    return " ".join(found[0].split())


@pytest.mark.parametrize("command, option, attribute, default", DEFAULTS_IN_FORCE)
def test_help_shows_the_default_in_force(capsys, command, option, attribute, default):
    status, out, _ = run(capsys, *SUBCOMMANDS[command][0], "--help")
    assert status == 0
    shown = re.findall(r"\(default:? ([^)\s:]+)", help_entry(out, option))
    assert shown == [str(default)], help_entry(out, option)
    # The value parsed when the option is left out is the one the help names.
    assert getattr(cli.build_parser().parse_args(COMMANDS[command]), attribute) == default


def test_bm25_defaults_are_the_encoders_own():
    from pylumotext import BM25

    assert (BM25_DEFAULTS["b"], BM25_DEFAULTS["k1"]) == (BM25().b(), BM25().k1())


# --- usage errors ---------------------------------------------------------------------------------

BAD_VALUES = [
    *(
        (command, option, value, message)
        for command in COMMANDS
        for option, value, message in [
            ("--threads", "0", "expected a positive whole number, got '0'"),
            ("--threads", "many", "expected a positive whole number, got 'many'"),
            ("--threads", str(MAX_THREADS + 1), f"expected at most {MAX_THREADS} threads"),
            ("--threads", "1000", f"expected at most {MAX_THREADS} threads, got '1000'"),
            ("--threads", str(2**32), f"expected at most {MAX_THREADS} threads"),
        ]
    ),
    *(
        (command, option, value, message)
        for command in ("train", "build")
        for option, value, message in [
            ("--b", "1.5", "expected a number from 0 to 1, got '1.5'"),
            ("--b", "-0.25", "expected a number from 0 to 1, got '-0.25'"),
            ("--b", "nan", "expected a finite number, got 'nan'"),
            ("--k1", "inf", "expected a finite number, got 'inf'"),
            ("--k1", "x", "expected a number, got 'x'"),
        ]
    ),
    ("train", "--k1", "-1", "expected a number of at least 0, got '-1'"),
    ("build", "--k1", "-1", "expected a number from 0 to 10000, got '-1'"),
    ("build", "--k1", "20000", "expected a number from 0 to 10000, got '20000'"),
    ("build", "--bigram-weight", "-1", "expected a number from 0 to 1e+06, got '-1'"),
    ("build", "--bigram-weight", "1e7", "expected a number from 0 to 1e+06, got '1e7'"),
    ("search", "-k", "0", "expected a positive whole number, got '0'"),
    ("search", "-k", str(2**64), f"expected at most {MAX_K} results, got '{2**64}'"),
    ("search", "-k", "ten", "expected a positive whole number, got 'ten'"),
]


@pytest.mark.parametrize("command, option, value, message", BAD_VALUES)
def test_values_out_of_range_are_usage_errors(capsys, tmp_path, monkeypatch, command, option, value, message):
    monkeypatch.chdir(tmp_path)
    status, out, err = run(capsys, *COMMANDS[command], option, value)
    assert status == 2
    assert "usage: lumotext" in err and f"error: argument {option}: {message}" in err, err
    assert out == "" and list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    "args", [["index", "build", "--out", "ix", "--threads", str(2**32)], ["search", "ix", "q", "-k", str(2**64)]]
)
def test_values_that_ended_in_tracebacks_are_usage_errors(tmp_path, args):
    result = subprocess.run(
        [sys.executable, "-m", "lumotext", *args], capture_output=True, cwd=tmp_path, timeout=120, input=b"a\n"
    )
    assert result.returncode == 2
    assert b"usage: lumotext" in result.stderr and b"Traceback" not in result.stderr


@pytest.mark.parametrize(
    "command, args",
    [
        ("build", ["--threads", str(MAX_THREADS), "--b", "1", "--k1", "0", "--bigram-weight", "1e6"]),
        ("build", ["--threads", "1", "--b", "0", "--bigram-weight", "0"]),
        ("search", ["-k", str(MAX_K), "--threads", str(MAX_THREADS)]),
    ],
)
def test_the_limits_themselves_are_accepted(capsys, tmp_path, monkeypatch, command, args):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "docs.txt").write_text("北京的天气\n上海\n", encoding="utf-8")
    assert run(capsys, *COMMANDS["build"], "docs.txt")[0] == 0
    words = COMMANDS[command] + (["docs.txt"] if command == "build" else [])
    status, out, err = run(capsys, *words, *args)
    assert status == 0, err


@pytest.mark.parametrize(
    "parse, make",
    [
        (b_parameter, lambda value: Index(Analyzer(stop_words=None), b=value)),
        (index_k1_parameter, lambda value: Index(Analyzer(stop_words=None), k1=value)),
        (bigram_weight, lambda value: Analyzer(stop_words=None, bigram_weight=value)),
    ],
)
@pytest.mark.parametrize(
    "value", ["-1e-9", "0", "1", "1.000000001", "10000", "10000.01", "1000000", "1000000.1", "1e300"]
)
def test_the_command_line_takes_what_the_api_takes(parse, make, value):
    """The option types state the index's ranges again, for argparse's messages: they must
    agree with the API at every edge."""
    try:
        parse(value)
        by_command_line = True
    except argparse.ArgumentTypeError:
        by_command_line = False
    try:
        make(float(value))
        by_api = True
    except ValueError:
        by_api = False
    assert by_command_line == by_api


def test_a_setting_the_index_refuses_is_still_a_usage_error(capsys, tmp_path, monkeypatch):
    # Were an option type to let a value through, the index's own check makes it exit 2 too.
    monkeypatch.setattr(cli_index, "b_parameter", float)
    status, out, err = run(capsys, "index", "build", "--out", tmp_path / "ix", "--b", "3", write(tmp_path / "d", "a\n"))
    assert status == 2
    assert "usage: lumotext index build" in err and "lumotext index build: error: b must be between 0 and 1" in err
    assert not (tmp_path / "ix").exists()


# --- cut: folding and stop words --------------------------------------------------------------------


@pytest.fixture(scope="module")
def jieba():
    return make_jieba()


@pytest.fixture
def traditional(tmp_path):
    return write(tmp_path / "zh.txt", "\n".join(TRADITIONAL) + "\n")


def test_fold_gives_the_words_of_the_analyzer(capsys, jieba, traditional):
    status, out, err = run(capsys, "cut", "--fold", "--format", "jsonl", traditional)
    assert status == 0, err
    words = [json.loads(line) for line in out.splitlines()]
    assert words == [jieba.cut(fold_text(line)) for line in TRADITIONAL]
    assert words != [jieba.cut(line) for line in TRADITIONAL]
    # The analyzer folds the same way: its terms are the folded words with a letter, digit or ideograph.
    analyzer = Analyzer(stop_words=None, bigram_weight=0)
    for line, cut_words in zip(TRADITIONAL, words):
        assert analyzer.analyze(line) == [w for w in cut_words if any(c.isalnum() for c in w)]


@pytest.mark.parametrize("fold", [False, True])
@pytest.mark.parametrize("output", ["text", "jsonl"])
def test_stop_words_are_dropped(capsys, jieba, tmp_path, traditional, fold, output):
    stop = write(tmp_path / "stop.txt", "的\n 發佈 \n\n")
    flags = ["--fold"] if fold else []
    status, out, err = run(capsys, "cut", *flags, "--format", output, "--stop-words", stop, traditional)
    assert status == 0, err
    dropped = {"的", "发布"} if fold else {"的", "發佈"}
    expected = []
    for line in TRADITIONAL:
        words = jieba.cut(fold_text(line) if fold else line)
        kept = [w for w in words if w not in dropped]
        expected.append(kept if output == "jsonl" else " ".join(w for w in kept if not w.isspace()))
    assert any(dropped & set(jieba.cut(line)) for line in TRADITIONAL)  # there are words to drop
    assert [json.loads(line) if output == "jsonl" else line for line in out.splitlines()] == expected


@pytest.mark.parametrize("tokenized", [False, True])
def test_train_drops_stop_words_too(capsys, tmp_path, tokenized):
    stop = write(tmp_path / "stop.txt", "的\n")
    docs = write(tmp_path / "docs.txt", "北京 的 天气\n" if tokenized else "北京的天气\n")
    flags = ["--tokenized"] if tokenized else []
    status, _, err = run(capsys, "bm25", "train", *flags, "--stop-words", stop, "--out", tmp_path / "m.json", docs)
    assert status == 0, err
    model = json.loads((tmp_path / "m.json").read_text(encoding="utf-8"))
    assert set(model["_doc_token_frequency"]) == {"北京", "天气"}


# --- index build --------------------------------------------------------------------------------------


def test_build_reports_what_it_built_when_stderr_is_not_a_terminal(tmp_path):
    docs = write(tmp_path / "docs.txt", "北京的天气\n\n上海\n")
    result = lumotext("index", "build", docs, "--out", tmp_path / "ix")
    assert result.returncode == 0, result.stderr
    index = Index.load(tmp_path / "ix")
    report = result.stderr.decode()
    assert re.fullmatch(
        rf"lumotext: indexed 3 documents \({index.term_count} terms\) into {re.escape(str(tmp_path / 'ix'))} "
        r"in \d+\.\d s\n",
        report,
    ), report
    assert index.term_count > 0


# --- engines ---------------------------------------------------------------------------------------------


def test_one_collection_mismatch_error_for_every_engine():
    import lumotext

    for name in ("lumotext.qdrant", "lumotext.milvus"):
        module = pytest.importorskip(name)
        assert module.CollectionMismatchError is lumotext.CollectionMismatchError

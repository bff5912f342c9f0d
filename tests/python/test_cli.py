"""The lumotext command, run as a subprocess: output formats, order, progress bar, errors, exit codes."""

from __future__ import annotations

import fcntl
import json
import os
import pty
import shutil
import struct
import subprocess
import sys
import termios
from pathlib import Path

import pytest
from pylumotext import BM25
from shared_data import bench_lines

from lumotext import index_tokens, load_model, make_jieba, model_text

TOKENIZED = ["长江 大桥 通车", "", "大桥 今天 今天", "通车 时间"]


def lumotext(*args, stdin=b"", cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "lumotext", *map(str, args)], input=stdin, capture_output=True, cwd=cwd, timeout=300
    )


def lines_of(result):
    return result.stdout.decode("utf-8").splitlines()


def write(path: Path, data: bytes | str) -> Path:
    path.write_bytes(data if isinstance(data, bytes) else data.encode("utf-8"))
    return path


@pytest.fixture(scope="module")
def jieba():
    return make_jieba()


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    lines = bench_lines(400) + ["", "  两个 空格", "tab\t分隔"]
    return write(tmp_path_factory.mktemp("cut") / "sample.txt", "\n".join(lines) + "\n"), lines


@pytest.fixture
def tokenized(tmp_path):
    return write(tmp_path / "docs.txt", "\n".join(TOKENIZED) + "\n")


@pytest.fixture
def trained_model(tmp_path, tokenized):
    path = tmp_path / "model.json"
    assert lumotext("bm25", "train", "--tokenized", "--out", path, tokenized).returncode == 0
    return path


def reference_model(documents):
    model = BM25()
    for tokens in documents:
        if tokens:
            model.train(tokens)
    return model


def as_saved(model):
    """The model as the command reads it back from its file (the average to six decimals)."""
    return load_model(model_text(model))


# --- entry points and help ----------------------------------------------------------------


@pytest.mark.parametrize("via", ["module", "script"])
def test_entry_points_show_help(via):
    if via == "script":
        script = shutil.which("lumotext", path=str(Path(sys.executable).parent))
        assert script, "the lumotext console script is not installed beside the interpreter"
        result = subprocess.run([script, "--help"], capture_output=True, timeout=60)
    else:
        result = lumotext("--help")
    assert result.returncode == 0
    text = result.stdout.decode()
    assert "cut" in text and "bm25" in text and "examples:" in text


@pytest.mark.parametrize("command", [["cut"], ["bm25", "train"], ["bm25", "encode"]])
def test_every_command_explains_its_options(command):
    text = lumotext(*command, "--help").stdout.decode()
    for option in ("--errors", "--progress", "FILE"):
        assert option in text


# --- cut -------------------------------------------------------------------------------------


def test_cut_text_format(jieba, sample):
    path, lines = sample
    result = lumotext("cut", path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == b""
    assert lines_of(result) == [" ".join(index_tokens(jieba.cut(line))) for line in lines]


@pytest.mark.parametrize("search", [False, True])
def test_cut_jsonl_keeps_every_word(jieba, sample, search):
    path, lines = sample
    result = lumotext("cut", "--format", "jsonl", *(["--search"] if search else []), path)
    assert result.returncode == 0, result.stderr
    cut = jieba.cut_for_search if search else jieba.cut
    assert [json.loads(line) for line in lines_of(result)] == [cut(line) for line in lines]
    assert any(" " in json.loads(line) for line in lines_of(result))


@pytest.mark.parametrize("threads", [2, 4])
def test_cut_with_threads_keeps_the_order(sample, threads):
    path, _ = sample
    single = lumotext("cut", "--format", "jsonl", path)
    threaded = lumotext("cut", "--format", "jsonl", "--threads", threads, path)
    assert threaded.returncode == 0
    assert threaded.stdout == single.stdout


def test_cut_reads_standard_input_and_several_files(jieba, tmp_path):
    first = write(tmp_path / "a.txt", "长江大桥\n")
    second = write(tmp_path / "b.txt", "今天通车\r\n")  # CRLF
    result = lumotext("cut", first, "-", second, stdin="\ufeff明天下雨".encode())
    expected = [" ".join(index_tokens(jieba.cut(t))) for t in ("长江大桥", "明天下雨", "今天通车")]
    assert lines_of(result) == expected


def test_cut_with_overridden_data(tmp_path):
    paths = {
        "--dict": write(tmp_path / "dict.txt", "长江 10 ns\n大桥 10 n\n长江大桥 1000 ns\n通车 10 v\n"),
        "--hmm": write(
            tmp_path / "hmm.txt",
            "# start B E M S\n-0.6 -3.14e+100 -3.14e+100 -0.8\n"
            "-3.14e+100 -0.1 -2.3 -3.14e+100\n-0.6 -3.14e+100 -3.14e+100 -0.8\n"
            "-3.14e+100 -0.3 -1.4 -3.14e+100\n-0.6 -3.14e+100 -3.14e+100 -0.8\n"
            "今:-1.0,明:-1.0\n天:-1.0\n天:-3.0\n好:-1.0\n",
        ),
        "--idf": write(tmp_path / "idf.txt", "长江 5.0\n"),
        "--stop-words": write(tmp_path / "stop.txt", "的\n"),
        "--user-dict": write(tmp_path / "user.txt", "通车时间 n\n"),
    }
    args = [item for option, path in paths.items() for item in (option, path)]
    result = lumotext("cut", *args, stdin="长江大桥通车时间\n".encode())
    assert result.returncode == 0, result.stderr
    assert lines_of(result) == ["长江大桥 通车时间"]
    args = [item for option, path in paths.items() if option != "--user-dict" for item in (option, path)]
    without_user = lumotext("cut", *args, "--user-dict", "", stdin="长江大桥通车时间\n".encode())
    assert lines_of(without_user)[0].startswith("长江大桥 通车 ")


# --- bm25 train and encode ---------------------------------------------------------------------


def test_train_tokenized_writes_the_model_of_the_lines(tmp_path, tokenized):
    out = tmp_path / "model.json"
    result = lumotext("bm25", "train", "--tokenized", "--b", "0.5", "--k1", "2", "--out", out, tokenized)
    assert result.returncode == 0, result.stderr
    assert result.stdout == b"" and result.stderr == b""
    expected = BM25(0.5, 2.0)
    for line in TOKENIZED:
        if line:
            expected.train(line.split())
    assert out.read_text(encoding="utf-8") == model_text(expected)


def test_train_segments_with_the_default_data(jieba, tmp_path):
    lines = bench_lines(300)
    corpus = write(tmp_path / "corpus.txt", "\n".join(lines))
    out = tmp_path / "model.json"
    result = lumotext("bm25", "train", "--threads", "2", "--out", out, corpus)
    assert result.returncode == 0, result.stderr
    expected = reference_model(index_tokens(jieba.cut(line)) for line in lines)
    assert out.read_text(encoding="utf-8") == model_text(expected)


@pytest.mark.parametrize("query", [False, True])
def test_encode_tokenized_gives_one_object_per_line(tmp_path, tokenized, trained_model, query):
    result = lumotext(
        "bm25", "encode", "--tokenized", "--model", trained_model, *(["--query"] if query else []), tokenized
    )
    assert result.returncode == 0, result.stderr
    model = as_saved(reference_model(line.split() for line in TOKENIZED))
    encode = model.encode_query if query else model.encode_document
    assert [json.loads(line) for line in lines_of(result)] == [encode(line.split()) for line in TOKENIZED]
    assert lines_of(result)[1] == "{}"


FREQUENT = ["的 的 水", "的 的 电 的", "的 坝"]  # 的 occurs more often than there are documents


@pytest.mark.parametrize("query", [False, True])
def test_encode_sparse_format_gives_the_engine_shape(tmp_path, query):
    from lumotext.sparse import to_sparse_vector

    model = reference_model(line.split() for line in FREQUENT)
    path = write(tmp_path / "model.json", model_text(model))
    inputs = write(tmp_path / "lines.txt", "水 电\n的 水\n\n")
    flags = ["--query"] if query else []
    result = lumotext("bm25", "encode", "--tokenized", "--format", "sparse", "--model", path, *flags, inputs)
    assert result.returncode == 0, result.stderr
    model = as_saved(model)
    encode = model.encode_query if query else model.encode_document
    vectors = [encode(line.split()) for line in ["水 电", "的 水", ""]]
    assert [json.loads(line) for line in lines_of(result)] == [to_sparse_vector(vector) for vector in vectors]
    # Query weights of frequent tokens are negative: written as they are, with one warning that
    # names the engines that refuse them. Document weights never are.
    warnings = result.stderr.decode("utf-8").splitlines()
    if query:
        assert min(vectors[1].values()) < 0
        assert len(warnings) == 1 and "output line 2: the vector has negative weights" in warnings[0]
        assert "Milvus and Elasticsearch" in warnings[0]
    else:
        assert warnings == []


def test_encode_segments_queries(jieba, tmp_path, trained_model):
    result = lumotext("bm25", "encode", "--query", "--model", trained_model, stdin="长江大桥 今天通车\n".encode())
    model = as_saved(reference_model(line.split() for line in TOKENIZED))
    assert json.loads(result.stdout) == model.encode_query(index_tokens(jieba.cut("长江大桥 今天通车")))


# --- progress bar --------------------------------------------------------------------------------


@pytest.mark.parametrize("flag, shown", [([], False), (["--progress"], True), (["--no-progress"], False)])
def test_progress_bar_only_on_request_when_not_a_terminal(tmp_path, tokenized, flag, shown):
    result = lumotext(
        "bm25",
        "encode",
        "--tokenized",
        "--model",
        write(tmp_path / "m.json", model_text(reference_model([["a"]]))),
        *flag,
        tokenized,
    )
    assert result.returncode == 0
    assert (b"encode" in result.stderr and b"100%" in result.stderr) is shown
    assert shown or result.stderr == b""
    assert len(lines_of(result)) == len(TOKENIZED)  # never mixed into the output


@pytest.mark.parametrize("flag, shown", [([], True), (["--no-progress"], False)])
def test_progress_bar_on_a_terminal(tmp_path, tokenized, flag, shown):
    primary, secondary = pty.openpty()
    fcntl.ioctl(secondary, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # a terminal has a size
    try:
        process = subprocess.Popen(
            [
                sys.executable,
                "-m",
                "lumotext",
                "bm25",
                "train",
                "--tokenized",
                "--out",
                tmp_path / "m.json",
                *flag,
                tokenized,
            ],
            stdout=subprocess.PIPE,
            stderr=secondary,
            stdin=subprocess.DEVNULL,
        )
        os.close(secondary)
        secondary = -1
        terminal = b""
        while True:
            try:
                chunk = os.read(primary, 4096)
            except OSError:  # the terminal closed when the process ended
                break
            if not chunk:
                break
            terminal += chunk
        stdout, _ = process.communicate(timeout=120)
    finally:
        os.close(primary)
        if secondary >= 0:
            os.close(secondary)
    assert process.returncode == 0
    assert stdout == b""
    assert (b"train" in terminal and b"100%" in terminal) is shown
    assert (b"trained on 3 documents (1 empty lines skipped)" in terminal) is shown


# --- errors --------------------------------------------------------------------------------------


@pytest.fixture
def bad_utf8(tmp_path):
    return write(tmp_path / "bad.txt", "长江 大桥\n".encode() + b"ok \xff\xfe tail\n" + "通车\n".encode())


def test_invalid_utf8_names_file_and_line(bad_utf8, trained_model):
    result = lumotext("bm25", "encode", "--tokenized", "--model", trained_model, bad_utf8)
    assert result.returncode == 1
    assert f"lumotext: error: {bad_utf8}:2: invalid UTF-8 at byte 4 of the line".encode() in result.stderr
    assert b"--errors replace" in result.stderr
    assert len(lines_of(result)) == 1  # what came before the bad line is out


def test_errors_replace_goes_on(bad_utf8, trained_model):
    result = lumotext("bm25", "encode", "--tokenized", "--errors", "replace", "--model", trained_model, bad_utf8)
    assert result.returncode == 0
    assert f"lumotext: warning: {bad_utf8}:2: invalid UTF-8".encode() in result.stderr
    vectors = [json.loads(line) for line in lines_of(result)]
    assert len(vectors) == 3 and "\ufffd\ufffd" in vectors[1]


def test_invalid_utf8_on_standard_input(jieba):
    result = lumotext("cut", stdin=b"\xe9\x95\xbf\n\xe9\x95\n")
    assert result.returncode == 1
    assert b"<stdin>:2: invalid UTF-8" in result.stderr
    assert lines_of(result) == [" ".join(index_tokens(jieba.cut("长")))]


def model_file(tmp_path, text):
    return write(tmp_path / "model.json", text)


@pytest.mark.parametrize(
    "make_args, message",
    [
        (lambda t: ["cut", t / "missing.txt"], "cannot read '{t}/missing.txt': No such file or directory"),
        (lambda t: ["bm25", "encode", "--tokenized", "--model", t / "m.json", t], "cannot read '{t}': Is a directory"),
        (lambda t: ["bm25", "encode", "--model", t / "none.json"], "--model: cannot read '{t}/none.json'"),
        (
            lambda t: ["bm25", "encode", "--model", model_file(t, "{ not json")],
            "--model: {t}/model.json: not a BM25 model: load doc_count failed",
        ),
        (
            lambda t: ["bm25", "encode", "--model", model_file(t, model_text(BM25()))],
            "--model: {t}/model.json: the model was trained on no documents",
        ),
        (
            # Documents but no length: the encoder would refuse every line, so the model is refused.
            lambda t: [
                "bm25",
                "encode",
                "--model",
                model_file(
                    t,
                    model_text(reference_model([["a"]])).replace(
                        '"_doc_length_average" : 1.000000', '"_doc_length_average" : 0.000000'
                    ),
                ),
            ],
            "--model: {t}/model.json: the model cannot encode: its average document length is 0",
        ),
        (
            lambda t: [
                "bm25",
                "encode",
                "--model",
                model_file(t, model_text(reference_model([["a"]])).replace("0.750000", "1")),
            ],
            "--model: {t}/model.json: not a BM25 model: load b failed",
        ),
        (
            lambda t: ["bm25", "encode", "--model", write(t / "model.json", b"\xff{}")],
            "--model: {t}/model.json: not a BM25 model: invalid UTF-8 at byte 1",
        ),
        (
            lambda t: ["bm25", "train", "--out", t / "no" / "m.json", "--tokenized"],
            "--out: directory '{t}/no' does not exist",
        ),
        (lambda t: ["bm25", "train", "--out", t, "--tokenized"], "--out: '{t}' is a directory"),
        (
            lambda t: ["bm25", "train", "--out", t / "m.json", "--tokenized"],
            "no documents to train on: all 2 input lines are empty; no model written",
        ),
        (
            lambda t: ["bm25", "train", "--out", t / "m.json", "--tokenized", write(t / "empty.txt", b"")],
            "no documents to train on: the input is empty; no model written",
        ),
        (lambda t: ["cut", "--dict", t / "nodict.txt"], "--dict: cannot read '{t}/nodict.txt'"),
        (lambda t: ["cut", "--user-dict", t / "u1.txt"], "--user-dict: cannot read '{t}/u1.txt'"),
        (
            lambda t: ["cut", "--stop-words", t / "stop.txt"],
            "--stop-words: cannot read '{t}/stop.txt': No such file or directory",
        ),
        (
            lambda t: ["index", "build", "--out", t / "ix", "--stop-words", write(t / "stop.txt", b"\xff\n")],
            "--stop-words: {t}/stop.txt: invalid UTF-8 at byte 1",
        ),
        (lambda t: ["cut", "--hmm", write(t / "hmm.txt", "0 0 0\n")], "cannot load the segmenter data"),
    ],
)
def test_runtime_errors_exit_1_with_a_message(tmp_path, make_args, message):
    existing = write(tmp_path / "m.json", model_text(reference_model([["a"]]))).read_bytes()
    result = lumotext(*make_args(tmp_path), stdin=b"\n \n")
    assert result.returncode == 1, result.stderr
    stderr = result.stderr.decode()
    assert f"lumotext: error: {message.format(t=tmp_path)}" in stderr, stderr
    assert "Traceback" not in stderr
    assert (tmp_path / "m.json").read_bytes() == existing  # a failed run replaces no model


@pytest.mark.parametrize(
    "args, message",
    [
        ([], "the following arguments are required: COMMAND"),
        (["split"], "invalid choice: 'split'"),
        (["bm25"], "the following arguments are required: COMMAND"),
        (["bm25", "train"], "the following arguments are required: --out"),
        (["bm25", "encode", "x.txt"], "the following arguments are required: --model"),
        (["cut", "--threads", "0"], "argument --threads: expected a positive whole number, got '0'"),
        (["cut", "--threads", "many"], "argument --threads: expected a positive whole number"),
        # Each worker reads batches ahead: a thousand of them only cost memory.
        (["cut", "--threads", "65"], "argument --threads: expected at most 64 threads, got '65'"),
        (
            ["bm25", "train", "--out", "m.json", "--threads", "1000"],
            "argument --threads: expected at most 64 threads, got '1000'",
        ),
        (["cut", "--format", "xml"], "argument --format: invalid choice: 'xml'"),
        (["cut", "--errors", "ignore"], "argument --errors: invalid choice: 'ignore'"),
        (["bm25", "train", "--out", "m.json", "--b", "nan"], "argument --b: expected a finite number, got 'nan'"),
        (["bm25", "train", "--out", "m.json", "--k1", "x"], "argument --k1: expected a number, got 'x'"),
        (["bm25", "train", "--out", "m.json", "--b", "1.5"], "argument --b: expected a number from 0 to 1, got '1.5'"),
        (
            ["bm25", "train", "--out", "m.json", "--b", "-0.25"],
            "argument --b: expected a number from 0 to 1, got '-0.25'",
        ),
        (
            ["bm25", "train", "--out", "m.json", "--k1", "-1"],
            "argument --k1: expected a number of at least 0, got '-1'",
        ),
        (["cut", "--no-such-option"], "unrecognized arguments: --no-such-option"),
    ],
)
def test_usage_errors_exit_2(tmp_path, args, message):
    result = lumotext(*args, cwd=tmp_path)
    assert result.returncode == 2
    stderr = result.stderr.decode()
    assert "usage: lumotext" in stderr and message in stderr, stderr
    assert not (tmp_path / "m.json").exists()


@pytest.mark.parametrize("args", [["--threads", "64", "--b", "0", "--k1", "0"], ["--b", "1"]])
def test_limits_themselves_are_accepted(tmp_path, args):
    result = lumotext("bm25", "train", "--tokenized", "--out", tmp_path / "m.json", *args, stdin="a b\n".encode())
    assert result.returncode == 0, result.stderr


def test_a_closed_pipe_ends_quietly_with_the_sigpipe_status(sample):
    path, _ = sample
    process = subprocess.Popen(
        [sys.executable, "-m", "lumotext", "cut", *[path] * 10], stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    process.stdout.readline()
    process.stdout.close()
    _, stderr = process.communicate(timeout=120)
    assert process.returncode == 141
    assert stderr == b""


def test_piped_into_head_like_any_unix_tool(sample):
    path, _ = sample
    script = (
        f'{sys.executable} -m lumotext cut {" ".join([str(path)] * 10)} | head -1 >/dev/null; echo "${{PIPESTATUS[0]}}"'
    )
    result = subprocess.run(["bash", "-c", script], capture_output=True, timeout=120)
    assert result.stdout.decode().strip() == "141"
    assert result.stderr == b""


def test_a_closed_standard_output_is_an_error_without_traceback(sample, tmp_path):
    path, _ = sample
    cut = subprocess.run(
        ["bash", "-c", f"{sys.executable} -m lumotext cut {path} >&-"], capture_output=True, timeout=120
    )
    assert cut.returncode == 1
    assert cut.stderr.decode() == "lumotext: error: cannot write to standard output: it is closed\n"
    # A command that writes nothing there does not mind.
    train = subprocess.run(
        ["bash", "-c", f"{sys.executable} -m lumotext bm25 train --out {tmp_path / 'm.json'} {path} >&-"],
        capture_output=True,
        timeout=120,
    )
    assert train.returncode == 0, train.stderr
    assert (tmp_path / "m.json").is_file()


# Code run before main in a child: what fails, and how.
RUN_MAIN = "import sys\nfrom lumotext import cli\n{setup}\nsys.exit(cli.main({argv!r}))\n"


def run_main(setup, argv, stdin=b"a b\n"):
    script = RUN_MAIN.format(setup=setup, argv=[str(a) for a in argv])
    return subprocess.run([sys.executable, "-c", script], input=stdin, capture_output=True, timeout=120)


def test_running_out_of_memory_is_reported_without_traceback():
    result = run_main("def exhausted(*args, **kwargs):\n    raise MemoryError\ncli.segment_many = exhausted", ["cut"])
    assert result.returncode == 1
    assert result.stderr.decode() == "lumotext: error: out of memory\n"


# --- optional dependencies ------------------------------------------------------------------------

HIDE = "import sys; sys.modules[{name!r}] = None; "


@pytest.mark.parametrize(
    "name, code, expected",
    [
        (
            "tqdm",
            "from lumotext.cli import main; sys.exit(main(['bm25', 'train', '--tokenized', '--progress', '--out', {out!r}]))",
            "lumotext: warning: the progress bar needs tqdm",
        ),
        (
            "scipy",
            "from lumotext.sparse import to_csr_matrix; to_csr_matrix([])",
            "a CSR matrix needs the scipy extra: pip install '.[scipy]' in the pylumotext source tree",
        ),
        ("dask", "import lumotext.dask", "lumotext.dask needs the dask extra: pip install '.[dask]'"),
    ],
)
def test_missing_optional_packages_are_explained(tmp_path, name, code, expected):
    script = HIDE.format(name=name) + code.format(out=str(tmp_path / "m.json"))
    result = subprocess.run([sys.executable, "-c", script], input=b"a b\n", capture_output=True, timeout=120)
    assert expected in result.stderr.decode(), result.stderr
    if name == "tqdm":
        assert result.returncode == 0
        assert (tmp_path / "m.json").is_file()

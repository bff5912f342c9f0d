"""The BM25 model file from Python: dump writes it, load reads its text back."""

import json
import math
import os
import pathlib
import shutil
import stat
import tempfile

import pytest

import pylumotext
from pylumotext import BM25

EXAMPLE = (
    "{\n"
    '  "_b" : 0.750000,\n'
    '  "_doc_count" : 1,\n'
    '  "_doc_length_average" : 2.000000,\n'
    '  "_doc_token_frequency" : {\n'
    '    "a" : 1,\n'
    '    "b" : 1\n'
    "  },\n"
    '  "_k1" : 1.200000\n'
    "}"
)

UNTRAINED = (
    "{\n"
    '  "_b" : 0.750000,\n'
    '  "_doc_count" : 0,\n'
    '  "_doc_length_average" : 0.000000,\n'
    '  "_doc_token_frequency" : {\n'
    "\n"
    "  },\n"
    '  "_k1" : 1.200000\n'
    "}"
)


def read(path):
    with open(path, "rb") as f:
        return f.read().decode("utf-8", "surrogateescape")


def dumped(model, tmp_path, name="model.json"):
    path = tmp_path / name
    model.dump(str(path))
    return read(path)


def document(**members):
    """A model document with the given members replacing the defaults; None drops one."""
    base = {
        "_b": "0.5",
        "_doc_count": "3",
        "_doc_length_average": "2.5",
        "_doc_token_frequency": '{"x": 4, "y": 1}',
        "_k1": "1.5",
    }
    base.update(members)
    body = ",\n".join(f'"{k}": {v}' for k, v in base.items() if v is not None)
    return "{" + body + "}"


@pytest.fixture
def trained():
    model = BM25(0.6, 1.4)
    model.train(["a", "b", "a"])
    model.train(["c", "a"])
    return model


def test_example_model_is_ten_lines(tmp_path):
    model = BM25(0.75, 1.2)
    model.train(["a", "b"])
    text = dumped(model, tmp_path)
    assert text == EXAMPLE
    assert len(text.split("\n")) == 10
    assert not text.endswith("\n")


def test_untrained_model_dumps_zero_statistics_and_loads_back(tmp_path):
    text = dumped(BM25(), tmp_path)
    assert text == UNTRAINED
    model = BM25()
    model.load(text)
    with pytest.raises(RuntimeError, match="^BM25 has not been initialized$"):
        model.encode_query(["a"])


@pytest.mark.parametrize(
    "b, k1, docs, b_back, k1_back, average_text",
    [
        (0.75, 1.2, [["a", "b"]], 0.75, 1.2, "2.000000"),
        (0.5, 1e-07, [["a", "b"], ["a", "b", "c", "d", "e"], ["f"]], 0.5, 0.0, "2.666667"),
        (1.0 / 3.0, 2.0, [["x"] * 7], 0.333333, 2.0, "7.000000"),
        (-0.25, 0.0, [["p", "q", "p"]], -0.25, 0.0, "3.000000"),
    ],
)
def test_round_trip_keeps_counts_and_six_decimals(tmp_path, b, k1, docs, b_back, k1_back, average_text):
    model = BM25(b, k1)
    for doc in docs:
        model.train(doc)
    text = dumped(model, tmp_path)
    assert f'"_doc_length_average" : {average_text},' in text
    loaded = BM25()
    loaded.load(text)
    assert loaded.b() == b_back
    assert loaded.k1() == k1_back
    tokens = sorted({t for doc in docs for t in doc}) + ["unseen"]
    # Query weights depend only on the document count and the token counts, which are exact.
    assert loaded.encode_query(tokens) == model.encode_query(tokens)
    assert dumped(loaded, tmp_path, "again.json") == text


def test_eight_thirds_average_comes_back_rounded(tmp_path):
    model = BM25()
    for doc in (["a", "b"], ["a", "b", "c", "d", "e"], ["f"]):
        model.train(doc)
    loaded = BM25()
    loaded.load(dumped(model, tmp_path))
    # encode_document uses the average: 2.666667 instead of 8/3.
    length, tf = 2.0, 1.0
    norm = ((length / 2.666667) * 0.75 + 0.25) * 1.2
    assert loaded.encode_document(["a", "b"])["a"] == pytest.approx(tf / (norm + tf), rel=1e-15)
    assert loaded.encode_document(["a", "b"])["a"] != model.encode_document(["a", "b"])["a"]


def test_integer_tokens_come_back_as_their_decimal_text(tmp_path):
    model = BM25()
    model.train([42, 42, -7])
    model.train(["42", "z"])
    text = dumped(model, tmp_path)
    assert '"-7" : 1' in text and '"42" : 3' in text
    loaded = BM25()
    loaded.load(text)
    assert loaded.encode_query([42]) == model.encode_query([42])
    assert loaded.encode_query([42, 5]) == model.encode_query([42, 5])
    assert loaded.encode_query(["42", "z"]) == model.encode_query(["42", "z"])


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "json data should not be empty"),
        (document(_doc_token_frequency='{"x": 4, "y": 1.0}'), "load doc_token_frequency failed"),
        (document(_doc_token_frequency='{"x": "4"}'), "load doc_token_frequency failed"),
        (document(_doc_count=None), "load doc_count failed"),
        (document(_doc_count="3.0"), "load doc_count failed"),
        (document(_doc_length_average="2"), "load doc_length_average failed"),
        (document(_doc_length_average=None), "load doc_length_average failed"),
        (document(_b="1"), "load b failed"),
        (document(_b="true"), "load b failed"),
        (document(_k1=None), "load k1 failed"),
        (document(_k1='"1.5"'), "load k1 failed"),
        ("[1, 2] ", "load doc_count failed"),
        ("hello", "load doc_count failed"),
        # The first faulty member in the order of the checks is the one reported.
        (document(_doc_count="1.0", _b="1"), "load doc_count failed"),
    ],
)
def test_load_errors_leave_the_model_unchanged(trained, tmp_path, text, message):
    before = dumped(trained, tmp_path, "before.json")
    before_query = trained.encode_query(["a", "b", "c", "x"])
    with pytest.raises(RuntimeError, match="^" + message + "$"):
        trained.load(text)
    assert dumped(trained, tmp_path, "after.json") == before
    assert trained.encode_query(["a", "b", "c", "x"]) == before_query


@pytest.mark.parametrize(
    "text, error",
    [
        (document(_doc_count="99999999999999999999"), IndexError),
        (document(_doc_token_frequency='{"x": 9223372036854775808}'), IndexError),
        (document(_k1="-"), ValueError),
        (document(_b="1e,"), ValueError),
    ],
)
def test_unconvertible_numbers_raise_and_leave_the_model_unchanged(trained, tmp_path, text, error):
    before = dumped(trained, tmp_path, "before.json")
    with pytest.raises(error):
        trained.load(text)
    assert dumped(trained, tmp_path, "after.json") == before


def test_bad_b_reports_and_changes_nothing(trained):
    trained.load(document())
    with pytest.raises(RuntimeError, match="^load b failed$"):
        trained.load(document(_b="1", _doc_count="10", _doc_token_frequency='{"x": 100}'))
    assert trained.b() == 0.5
    assert trained.encode_query(["x"]) == BM25Loaded(document()).encode_query(["x"])


def BM25Loaded(text):
    model = BM25()
    model.load(text)
    return model


def test_counts_overwrite_per_key_and_other_keys_stay(trained, tmp_path):
    trained.load(document(_doc_token_frequency='{"a": 10, "new": 2}'))
    text = dumped(trained, tmp_path)
    counts = json.loads(text)["_doc_token_frequency"]
    assert counts == {"a": 10, "b": 1, "c": 1, "new": 2}
    assert json.loads(text)["_doc_count"] == 3


def test_missing_token_member_keeps_existing_counts(trained, tmp_path):
    trained.load(document(_doc_token_frequency=None))
    counts = json.loads(dumped(trained, tmp_path))["_doc_token_frequency"]
    assert counts == {"a": 3, "b": 1, "c": 1}


def test_load_leaves_the_length_total_alone(tmp_path):
    model = BM25()
    model.load(document(_doc_count="2", _doc_length_average="3.0"))
    model.train(["a", "b", "c", "d"])
    # The total stays 0 from construction: (0 + 4) / (2 + 1).
    assert json.loads(dumped(model, tmp_path))["_doc_length_average"] == pytest.approx(1.333333)


def test_counts_keep_sixty_four_bits(tmp_path):
    model = BM25()
    model.load(document(_doc_count=str(2**33), _doc_token_frequency=f'{{"big": {2**40}, "max": {2**63 - 1}}}'))
    text = dumped(model, tmp_path)
    parsed = json.loads(text)
    assert parsed["_doc_count"] == 2**33
    assert parsed["_doc_token_frequency"]["big"] == 2**40
    assert parsed["_doc_token_frequency"]["max"] == 2**63 - 1


SPECIAL_TOKENS = [
    'say "hi"',
    "back\\slash",
    "ends with \\",
    "\\u0041 looks like an escape",
    "\\\\u",
    "tab\there",
    "line\nfeed",
    "\x00nul",
    "\x7f del",
    "\u4e2d\u6587",
    "\U0001f600",
] + [chr(c) + "x" for c in range(32)]


def test_special_tokens_round_trip_and_file_stays_json(tmp_path):
    model = BM25()
    model.train(SPECIAL_TOKENS + ["plain", "plain"])
    text = dumped(model, tmp_path)
    counts = json.loads(text)["_doc_token_frequency"]
    assert set(counts) == set(SPECIAL_TOKENS) | {"plain"}
    assert counts["plain"] == 2
    assert '"plain" : 2' in text  # tokens without special bytes are written as they are
    assert '"\u4e2d\u6587" : 1' in text
    loaded = BM25Loaded(text)
    for token in SPECIAL_TOKENS:
        assert loaded.encode_query([token]) == model.encode_query([token]), repr(token)
    assert loaded.encode_query(SPECIAL_TOKENS) == model.encode_query(SPECIAL_TOKENS)
    assert dumped(loaded, tmp_path, "again.json") == text


def test_model_written_by_python_json_loads(tmp_path):
    # ensure_ascii writes every non-ASCII token as \u escapes.
    text = json.dumps(
        {"_b": 0.5, "_doc_count": 2, "_doc_length_average": 1.5, "_k1": 1.25,
         "_doc_token_frequency": {"\u4e2d": 2, "\U0001f600": 1, 'q"': 1, "a\\b": 1}}
    )
    loaded = BM25Loaded(text)
    counts = json.loads(dumped(loaded, tmp_path))["_doc_token_frequency"]
    assert counts == {"\u4e2d": 2, "\U0001f600": 1, 'q"': 1, "a\\b": 1}


@pytest.fixture
def earlier(tmp_path):
    path = tmp_path / "model.json"
    path.write_text(EXAMPLE)
    return path


def test_missing_directory_raises_and_creates_nothing(tmp_path, trained):
    target = tmp_path / "missing" / "model.json"
    with pytest.raises(RuntimeError, match="^Failed to dump: Unable to open file$"):
        trained.dump(str(target))
    assert not (tmp_path / "missing").exists()


def test_directory_as_path_raises(tmp_path, trained):
    with pytest.raises(RuntimeError, match="^Failed to dump: Unable to open file$"):
        trained.dump(str(tmp_path))
    assert os.listdir(tmp_path) == []


def test_successful_dump_replaces_the_earlier_file(earlier, trained):
    trained.dump(str(earlier))
    assert json.loads(earlier.read_text())["_doc_count"] == 2
    assert os.listdir(earlier.parent) == ["model.json"]


def test_full_device_raises_write_error(trained):
    if not os.path.exists("/dev/full"):
        pytest.skip("/dev/full is not available")
    with pytest.raises(RuntimeError, match="^Failed to dump: Unable to write file"):
        trained.dump("/dev/full")


def test_null_device_is_written_in_place(trained):
    trained.dump("/dev/null")
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)


@pytest.mark.parametrize("field, setter", [("_b", "b"), ("_k1", "k1")])
@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf])
def test_non_finite_parameters_are_refused(earlier, trained, field, setter, value):
    getattr(trained, setter)(value)
    with pytest.raises(RuntimeError, match=f"^Failed to dump: {field} is not a finite number$"):
        trained.dump(str(earlier))
    with pytest.raises(RuntimeError, match=field):
        trained.dump(str(earlier.parent / "new.json"))
    assert earlier.read_text() == EXAMPLE
    assert os.listdir(earlier.parent) == ["model.json"]


def test_non_finite_average_is_refused(earlier):
    model = BM25Loaded(document(_doc_length_average="1.0e999"))
    with pytest.raises(RuntimeError, match="^Failed to dump: _doc_length_average is not a finite number$"):
        model.dump(str(earlier))
    assert earlier.read_text() == EXAMPLE


def run_as_unprivileged(action):
    """Runs `action` in a forked child that gave up root; returns what it reports."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # child
        os.close(read_end)
        try:
            os.setgid(65534)
            os.setuid(65534)
            report = action()
        except BaseException as e:  # noqa: BLE001 - everything goes back to the parent
            report = f"{type(e).__name__}: {e}"
        os.write(write_end, report.encode())
        os._exit(0)
    os.close(write_end)
    chunks = []
    while chunk := os.read(read_end, 4096):
        chunks.append(chunk)
    os.close(read_end)
    os.waitpid(pid, 0)
    return b"".join(chunks).decode()


@pytest.fixture
def searchable_tmp():
    """A temporary directory that an unprivileged user can reach (pytest's own is private)."""
    path = pathlib.Path(tempfile.mkdtemp(prefix="lumotext-"))
    os.chmod(path, 0o755)
    yield path
    shutil.rmtree(path, ignore_errors=True)


def test_read_only_directory_raises_and_keeps_the_earlier_file(searchable_tmp, trained):
    # Root writes into a read-only directory anyway, so as root the dump runs in a child
    # process that has given up root and owns the directory, whose write bits are cleared.
    directory = searchable_tmp / "readonly"
    directory.mkdir()
    target = directory / "model.json"
    target.write_text(EXAMPLE)

    def dump():
        try:
            trained.dump(str(target))
        except RuntimeError as e:
            return f"RuntimeError: {e}"
        return "returned"

    if os.geteuid() == 0:
        if not hasattr(os, "fork"):
            pytest.skip("running as root without fork: a read-only directory does not stop root")
        parent = searchable_tmp
        while parent != parent.parent:
            if not os.stat(parent).st_mode & stat.S_IXOTH:
                pytest.skip(f"{parent} is not searchable by an unprivileged user")
            parent = parent.parent
        os.chmod(target, 0o644)
        os.chown(directory, 65534, 65534)
    os.chmod(directory, 0o555)
    try:
        outcome = run_as_unprivileged(dump) if os.geteuid() == 0 else dump()
    finally:
        os.chmod(directory, 0o755)
    assert outcome == "RuntimeError: Failed to dump: Unable to open file"
    assert target.read_text() == EXAMPLE
    assert os.listdir(directory) == ["model.json"]


def test_load_and_dump_take_one_positional_string():
    assert BM25.load.__doc__.startswith("load(self: pylumotext.BM25, arg0: str) -> None")
    assert BM25.dump.__doc__.startswith("dump(self: pylumotext.BM25, arg0: str) -> None")
    model = BM25()
    with pytest.raises(TypeError):
        model.load(text=UNTRAINED)
    with pytest.raises(TypeError):
        model.dump(path="x")
    with pytest.raises(TypeError):
        model.load(123)
    with pytest.raises(TypeError):
        model.dump()


def test_load_and_dump_sit_between_train_and_encode_document():
    names = [name for name in vars(BM25) if not name.startswith("_")]
    assert names.index("train") < names.index("load") < names.index("dump") < names.index("encode_document")
    assert pylumotext.BM25 is BM25

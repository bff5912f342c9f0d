"""The BM25 model file from Python: dump writes it to a path, load reads its text back."""

import fcntl
import json
import math
import os
import pathlib
import shutil
import stat
import subprocess
import sys
import tempfile

import pytest
from pylumotext import BM25

EXAMPLE = """{
  "_b" : 0.750000,
  "_doc_count" : 1,
  "_doc_length_average" : 2.000000,
  "_doc_token_frequency" : {
    "a" : 1,
    "b" : 1
  },
  "_k1" : 1.200000
}"""

UNTRAINED = (
    '{\n  "_b" : 0.750000,\n  "_doc_count" : 0,\n  "_doc_length_average" : 0.000000,\n'
    '  "_doc_token_frequency" : {\n\n  },\n  "_k1" : 1.200000\n}'
)

UNABLE_TO_OPEN = "^Failed to dump: Unable to open file$"


def dumped(model, directory, name="model.json"):
    path = directory / name
    model.dump(str(path))
    return path.read_bytes().decode("utf-8")


def loaded(text):
    model = BM25()
    model.load(text)
    return model


def document(**members):
    """A model document; keyword members replace the defaults, None leaves one out."""
    base = {
        "_b": "0.5",
        "_doc_count": "3",
        "_doc_length_average": "2.5",
        "_doc_token_frequency": '{"x": 4, "y": 1}',
        "_k1": "1.5",
    }
    base.update(members)
    return "{" + ", ".join(f'"{k}": {v}' for k, v in base.items() if v is not None) + "}"


@pytest.fixture
def trained():
    model = BM25(0.6, 1.4)
    model.train(["a", "b", "a"])
    model.train(["c", "a"])
    return model


@pytest.fixture
def earlier(tmp_path):
    path = tmp_path / "model.json"
    path.write_text(EXAMPLE)
    return path


def test_example_model_is_exactly_ten_lines(tmp_path):
    model = BM25(0.75, 1.2)
    model.train(["a", "b"])
    assert dumped(model, tmp_path) == EXAMPLE
    assert dumped(BM25(), tmp_path) == UNTRAINED
    with pytest.raises(RuntimeError, match="^BM25 has not been initialized$"):
        loaded(UNTRAINED).encode_query(["a"])


@pytest.mark.parametrize(
    "b, k1, docs, b_back, k1_back, average",
    [
        (0.75, 1.2, [["a", "b"]], 0.75, 1.2, "2.000000"),
        (0.5, 1e-07, [["a", "b"], ["a", "b", "c", "d", "e"], ["f"]], 0.5, 0.0, "2.666667"),
        (1 / 3, -2.0, [["x"] * 7, [42, 42, -7], ["42"]], 0.333333, -2.0, "3.666667"),
    ],
)
def test_round_trip_is_exact_but_for_six_decimals(tmp_path, b, k1, docs, b_back, k1_back, average):
    model = BM25(b, k1)
    for doc in docs:
        model.train(doc)
    text = dumped(model, tmp_path)
    assert f'"_doc_length_average" : {average},' in text
    back = loaded(text)
    assert (back.b(), back.k1()) == (b_back, k1_back)
    strings = sorted({str(t) for doc in docs for t in doc}) + ["unseen"]
    assert back.encode_query(strings) == model.encode_query(strings)  # counts are exact
    assert back.encode_query([42, -7, 5]) == model.encode_query([42, -7, 5])
    assert dumped(back, tmp_path, "again.json") == text
    avg = float(average)
    norm = ((2 / avg) * b_back + (1 - b_back)) * k1_back
    assert back.encode_document(["a", "b"])["a"] == pytest.approx(1 / (norm + 1), rel=1e-12)


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "json data should not be empty"),
        (document(_doc_token_frequency='{"x": 4, "y": 1.0}'), "load doc_token_frequency failed"),
        (document(_doc_token_frequency='{"x": "4"}'), "load doc_token_frequency failed"),
        (document(_doc_count=None), "load doc_count failed"),
        (document(_doc_count="3.0"), "load doc_count failed"),
        (document(_doc_length_average="2"), "load doc_length_average failed"),
        (document(_b="1"), "load b failed"),
        (document(_b="true"), "load b failed"),
        (document(_k1=None), "load k1 failed"),
        (document(_k1='"1.5"'), "load k1 failed"),
        ("[1, 2] ", "load doc_count failed"),
        ("hello", "load doc_count failed"),
        (document(_doc_count="1.0", _b="1"), "load doc_count failed"),  # the first in check order
    ],
)
def test_load_errors_leave_the_model_unchanged(trained, tmp_path, text, message):
    before = dumped(trained, tmp_path, "before.json")
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        trained.load(text)
    assert dumped(trained, tmp_path, "after.json") == before
    assert trained.encode_query(["a", "x"]) == loaded(before).encode_query(["a", "x"])


@pytest.mark.parametrize(
    "text, error",
    [
        (document(_doc_count="99999999999999999999"), IndexError),
        (document(_doc_token_frequency='{"x": 9223372036854775808}'), IndexError),
        (document(_k1="-"), ValueError),
        (document(_b="1e,"), ValueError),
    ],
)
def test_unconvertible_numbers_raise_and_change_nothing(trained, tmp_path, text, error):
    before = dumped(trained, tmp_path, "before.json")
    with pytest.raises(error):
        trained.load(text)
    assert dumped(trained, tmp_path, "after.json") == before


def test_successful_load_merges_counts_and_rebuilds_the_length_total(trained, tmp_path):
    trained.load(document(_doc_token_frequency='{"a": 10, "new": 2}'))
    saved = json.loads(dumped(trained, tmp_path))
    assert saved["_doc_token_frequency"] == {"a": 10, "b": 1, "c": 1, "new": 2}
    assert (saved["_doc_count"], saved["_b"], saved["_k1"]) == (3, 0.5, 1.5)
    trained.load(document(_doc_token_frequency=None))  # counts stay when the member is absent
    assert json.loads(dumped(trained, tmp_path))["_doc_token_frequency"]["new"] == 2
    model = loaded(document(_doc_count="2", _doc_length_average="3.0"))
    model.train(["a", "b", "c", "d"])  # the total is 2 * 3.0: (6 + 4) / (2 + 1)
    assert json.loads(dumped(model, tmp_path))["_doc_length_average"] == 3.333333


def test_counts_keep_sixty_four_bits(tmp_path):
    big = f'{{"big": {2**40}, "max": {2**63 - 1}}}'
    saved = json.loads(dumped(loaded(document(_doc_count=str(2**33), _doc_token_frequency=big)), tmp_path))
    assert saved["_doc_count"] == 2**33
    assert saved["_doc_token_frequency"] == {"big": 2**40, "max": 2**63 - 1}


SPECIAL_TOKENS = [
    'say "hi"',
    "back\\slash",
    "ends with \\",
    "\\u0041 is no escape",
    "\\\\u",
    "tab\there",
    "\x00nul",
    "\x7f del",
    "\u4e2d\u6587",
    "\U0001f600",
] + [chr(c) + "x" for c in range(32)]


def test_special_tokens_round_trip_and_the_file_stays_json(tmp_path):
    model = BM25()
    model.train(SPECIAL_TOKENS + ["plain", "plain"])
    text = dumped(model, tmp_path)
    counts = json.loads(text)["_doc_token_frequency"]
    assert counts == {**{t: 1 for t in SPECIAL_TOKENS}, "plain": 2}
    assert '    "plain" : 2' in text and '    "\u4e2d\u6587" : 1' in text  # written as they are
    back = loaded(text)
    for token in SPECIAL_TOKENS:
        assert back.encode_query([token, "plain"]) == model.encode_query([token, "plain"]), repr(token)
    assert dumped(back, tmp_path, "again.json") == text


def test_model_written_by_python_json_loads(tmp_path):
    tokens = {"\u4e2d": 2, "\U0001f600": 1, 'q"': 1, "a\\b": 1, "\n": 1}
    text = json.dumps(
        {"_b": 0.5, "_doc_count": 2, "_doc_length_average": 1.5, "_k1": 1.25, "_doc_token_frequency": tokens}
    )  # non-ASCII as \u escapes
    assert json.loads(dumped(loaded(text), tmp_path))["_doc_token_frequency"] == tokens


@pytest.mark.parametrize(
    "path",
    [
        lambda d: d / "missing" / "model.json",
        lambda d: d,
        lambda d: f"{d}/",
        lambda d: "",
        lambda d: f"{d}/model.json\0tail",
        lambda d: d / "loop",
    ],
)
def test_unopenable_paths_raise_and_create_nothing(tmp_path, trained, path):
    (tmp_path / "loop").symlink_to("loop")
    with pytest.raises(RuntimeError, match=UNABLE_TO_OPEN):
        trained.dump(str(path(tmp_path)))
    assert os.listdir(tmp_path) == ["loop"]


def test_dump_replaces_keeping_mode_and_following_links(earlier, trained):
    os.chmod(earlier, 0o640)
    (earlier.parent / "link.json").symlink_to("model.json")
    (earlier.parent / "dangling.json").symlink_to("sub/new.json")
    (earlier.parent / "sub").mkdir()
    trained.dump(str(earlier.parent / "link.json"))
    trained.dump(str(earlier.parent / "dangling.json"))
    assert json.loads(earlier.read_text())["_doc_count"] == 2
    assert stat.S_IMODE(os.stat(earlier).st_mode) == 0o640
    assert (earlier.parent / "sub" / "new.json").read_text() == earlier.read_text()
    assert os.path.islink(earlier.parent / "link.json") and os.path.islink(earlier.parent / "dangling.json")
    assert sorted(os.listdir(earlier.parent)) == ["dangling.json", "link.json", "model.json", "sub"]


def test_devices_are_written_in_place():
    model = BM25()
    model.dump("/dev/null")
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)
    if os.path.exists("/dev/full"):
        with pytest.raises(RuntimeError, match="^Failed to dump: Unable to write file: No space left on device$"):
            model.dump("/dev/full")


# An infinite average cannot be loaded (the parser refuses numbers beyond a double's range),
# so only the parameters, which the setters take unchecked, can reach dump non-finite.
@pytest.mark.parametrize("field, value", [(f, v) for f in ("_b", "_k1") for v in (math.nan, math.inf, -math.inf)])
def test_non_finite_values_are_refused_and_nothing_is_written(earlier, field, value):
    model = BM25()
    getattr(model, field[1:])(value)
    for target in (earlier, earlier.parent / "new.json"):
        with pytest.raises(RuntimeError, match=f"^Failed to dump: {field} is not a finite number$"):
            model.dump(str(target))
    assert earlier.read_text() == EXAMPLE
    assert os.listdir(earlier.parent) == ["model.json"]


NOBODY = 65534


@pytest.fixture
def shared_dir():
    """A fresh directory outside pytest's private one, removed afterwards; its mode is the test's."""
    base = pathlib.Path(tempfile.mkdtemp())
    yield base
    shutil.rmtree(base, ignore_errors=True)


# (mode of the directory holding the link, owner of that directory, owner of the link, followed):
# a link is followed as the kernel follows one (fs.protected_symlinks): always when it is the
# caller's, otherwise only when the directory is not both sticky and world-writable, or the link
# belongs to the directory's owner. Someone else's link in /tmp must not choose what gets replaced.
@pytest.mark.skipif(os.geteuid() != 0, reason="giving a link to another user needs root")
@pytest.mark.parametrize(
    "mode, dir_owner, link_owner, followed",
    [
        (0o1777, 0, NOBODY, False),
        (0o1777, 0, 0, True),
        (0o1777, NOBODY, NOBODY, True),
        (0o0777, 0, NOBODY, True),
        (0o1775, 0, NOBODY, True),
    ],
)
def test_links_in_sticky_world_writable_directories(shared_dir, trained, mode, dir_owner, link_owner, followed):
    victim_dir = shared_dir / "elsewhere"
    victim_dir.mkdir()
    victim = victim_dir / "precious.json"
    victim.write_text(EXAMPLE)
    public = shared_dir / "public"
    public.mkdir()
    link = public / "model.json"
    link.symlink_to(victim)
    os.lchown(link, link_owner, link_owner)
    os.chown(public, dir_owner, dir_owner)
    os.chmod(public, mode)
    if followed:
        trained.dump(str(link))
        assert json.loads(victim.read_text())["_doc_count"] == 2
    else:
        with pytest.raises(
            RuntimeError,
            match=f"^Failed to dump: not following the symbolic link {link}: "
            f"it belongs to uid {NOBODY}, neither the caller nor the owner",
        ):
            trained.dump(str(link))
        assert victim.read_text() == EXAMPLE
    assert os.path.islink(link)
    assert sorted(os.listdir(public)) == ["model.json"]
    assert sorted(os.listdir(victim_dir)) == ["precious.json"]


STALE = ".model.json.lumotext-tmp-0123456789abcdef"


def test_a_dump_removes_temporaries_that_killed_processes_left(earlier, trained):
    directory = earlier.parent
    (directory / STALE).write_text("half a model")
    (directory / ".model.json.lumotext-tmp-00000000000000ff").write_text("another")
    # Kept: a temporary file still locked by a live writer, other names, a link of our naming.
    live = directory / ".model.json.lumotext-tmp-fedcba9876543210"
    live.write_text("being written")
    keep = [
        live.name,
        ".model.json.lumotext-tmp-short",
        ".other.json.lumotext-tmp-0123456789abcdef",
        ".model.json.lumotext-tmp-0123456789ABCDEF",
        ".model.json.lumotext-tmp-1111111111111111",
    ]
    for name in keep[1:4]:
        (directory / name).write_text("not ours to remove")
    (directory / keep[4]).symlink_to("model.json")
    with open(live, "rb") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        trained.dump(str(earlier))
    assert json.loads(earlier.read_text())["_doc_count"] == 2
    assert sorted(os.listdir(directory)) == sorted(keep + ["model.json"])


def test_temporary_names_cannot_be_taken_ahead_of_time(tmp_path):
    # Names made of the process id and a counter can all be taken by someone else first, and
    # the dump then fails; random names cannot be guessed.
    script = (
        "import os, sys\n"
        "from pylumotext import BM25\n"
        "m = BM25(); m.train(['a'])\n"
        "d = sys.argv[1]\n"
        "for i in range(300): os.mkdir(f'{d}/.model.json.tmp{os.getpid()}.{i}')\n"
        "m.dump(f'{d}/model.json')\n"
    )
    result = subprocess.run([sys.executable, "-c", script, str(tmp_path)], capture_output=True, timeout=120)
    assert result.returncode == 0, result.stderr.decode()
    assert json.loads((tmp_path / "model.json").read_text())["_doc_count"] == 1


def run_unprivileged(action):
    """Runs `action` in a forked child that has given up root; returns its report."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        try:
            os.setgid(65534)
            os.setuid(65534)
            report = action()
        except BaseException as e:  # everything goes back to the parent
            report = f"{type(e).__name__}: {e}"
        os.write(write_end, report.encode())
        os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as reader:
        report = reader.read().decode()
    os.waitpid(pid, 0)
    return report


@pytest.mark.parametrize("read_only", ["directory", "file"])
def test_read_only_targets_raise_and_keep_the_earlier_file(trained, read_only):
    # Root writes anyway, so as root the dump runs in a child that has given up root and owns
    # the directory and the file.
    base = pathlib.Path(tempfile.mkdtemp())  # pytest's own directory is private to root
    try:
        os.chmod(base, 0o755)
        directory = base / "models"
        directory.mkdir()
        target = directory / "model.json"
        target.write_text(EXAMPLE)
        as_root = os.geteuid() == 0
        if as_root:
            if any(not os.stat(p).st_mode & stat.S_IXOTH for p in base.parents):
                pytest.skip(f"{base} is not reachable by an unprivileged user")
            os.chown(directory, 65534, 65534)
            os.chown(target, 65534, 65534)
        os.chmod(directory if read_only == "directory" else target, 0o555 if read_only == "directory" else 0o444)

        def dump():
            try:
                trained.dump(str(target))
            except RuntimeError as e:
                return f"RuntimeError: {e}"
            return "returned"

        outcome = run_unprivileged(dump) if as_root else dump()
        os.chmod(directory, 0o755)
        assert outcome == "RuntimeError: Failed to dump: Unable to open file"
        assert target.read_text() == EXAMPLE
        assert os.listdir(directory) == ["model.json"]
    finally:
        shutil.rmtree(base, ignore_errors=True)


def test_load_and_dump_take_one_positional_str_and_sit_after_train():
    assert BM25.load.__doc__.startswith("load(self: pylumotext.BM25, arg0: str) -> None")
    assert BM25.dump.__doc__.startswith("dump(self: pylumotext.BM25, arg0: str) -> None")
    for call in (lambda m: m.load(text=UNTRAINED), lambda m: m.dump(path="x"), lambda m: m.load(1), lambda m: m.dump()):
        with pytest.raises(TypeError):
            call(BM25())
    names = [name for name in vars(BM25) if not name.startswith("_")]
    assert names.index("train") < names.index("load") < names.index("dump") < names.index("encode_document")

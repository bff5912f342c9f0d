"""The saved index: a directory of immutable data files and one commit file. Round trips, damage
anywhere refused, foreign directories left alone, saves beside writer threads and beside loading
processes, kills at any instant, long names, and indexes of the first format."""

from __future__ import annotations

import os
import random
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from lumotext import Analyzer, Index

COMMIT = "lumotext.commit"
FIXTURES = Path(__file__).parent / "fixtures"
DOCS = ["北京 天气 很好", "上海 城市", "北京 上海 北京", "中国 文化"]
QUERIES = ["北京", "上海", "文化", "北京天气", "城市 中国"]


def small_index() -> Index:
    index = Index(Analyzer(bigram_weight=0.3, stop_words=["天气"]), k1=1.5, b=0.6)
    index.add(DOCS)
    index.remove([1])
    return index


def results(index: Index) -> list[list[tuple[int, float]]]:
    return [index.search(q, k=10) for q in QUERIES]


def data_file(directory: Path, name: str) -> Path:
    (path,) = directory.glob(name + ".*")
    return path


def listing(directory: Path) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in sorted(directory.iterdir())}


@pytest.fixture()
def saved(tmp_path: Path) -> Path:
    small_index().save(tmp_path / "ix")
    return tmp_path / "ix"


def test_a_loaded_index_keeps_parameters_analyzer_numbers_and_scores(saved: Path) -> None:
    loaded = Index.load(saved)
    assert (loaded.k1, loaded.b) == (1.5, 0.6)
    assert loaded.analyzer.settings == Analyzer(bigram_weight=0.3, stop_words=["天气"]).settings
    assert loaded.live_documents() == [0, 2, 3]
    assert results(loaded) == results(small_index())
    assert loaded.add(["火星"]) == range(4, 5)


def _data_files(directory: Path) -> dict[str, int]:
    return {p.name: p.stat().st_ino for p in directory.iterdir() if not p.name.startswith(".") and p.name != COMMIT}


def test_a_second_save_writes_only_what_changed_and_keeps_one_commit_back(saved: Path) -> None:
    loaded = Index.load(saved)
    first = _data_files(saved)
    loaded.remove([0])  # changes a segment's live-documents bitset only
    loaded.save(saved)
    second = _data_files(saved)
    assert {name: second[name] for name in first} == first  # the replaced commit's files stay as they were
    assert [".live." in name for name in set(second) - set(first)] == [True]
    loaded.save(saved)  # nothing changed: nothing written, the files of the first commit go
    third = _data_files(saved)
    assert third == {name: inode for name, inode in second.items() if name in third}
    assert len(third) == len(first)
    assert Index.load(saved).live_documents() == [2, 3]


def _flip(path: Path, at: int, bit: int = 0x01) -> None:
    data = bytearray(path.read_bytes())
    data[at] ^= bit
    path.write_bytes(bytes(data))


def _replace_in_commit(directory: Path, old: bytes, new: bytes) -> None:
    path = directory / COMMIT
    data = path.read_bytes()
    assert old in data
    path.write_bytes(data.replace(old, new, 1))


@pytest.mark.parametrize(
    "damage, error, message",
    [
        (lambda d: data_file(d, "seg_*.seg").write_bytes(b"\0" * 4), ValueError, "bytes"),
        (lambda d: _flip(data_file(d, "seg_*.seg"), -1, 0x40), ValueError, "checksum"),
        (lambda d: _flip(data_file(d, "terms_*.lex"), 0), ValueError, "checksum"),
        (lambda d: data_file(d, "seg_*.live.*").unlink(), FileNotFoundError, "live"),
        (lambda d: (d / COMMIT).unlink(), ValueError, "not a saved"),
        (lambda d: (d / COMMIT).write_text("{}"), ValueError, "not the commit file"),
        (lambda d: _replace_in_commit(d, b"lumotext-index 2", b"lumotext-index 3"), ValueError, "version 3"),
        (lambda d: _replace_in_commit(d, b"k1 1.5", b"k1 1.3"), ValueError, "checksum"),
        (lambda d: _replace_in_commit(d, b'"bigram_weight": 0.3', b'"bigram_weight": 0.4'), ValueError, "checksum"),
        (lambda d: (d / COMMIT).write_bytes((d / COMMIT).read_bytes()[:-20]), ValueError, "checksum"),
    ],
)
def test_damaged_saves_are_refused(saved: Path, damage, error, message) -> None:  # type: ignore[no-untyped-def]
    damage(saved)
    with pytest.raises(error, match=message):
        Index.load(saved)


def test_a_flipped_bit_anywhere_in_the_commit_file_is_refused(saved: Path) -> None:
    original = (saved / COMMIT).read_bytes()
    for at in range(len(original)):
        damaged = bytearray(original)
        damaged[at] ^= 1 << (at % 8)
        (saved / COMMIT).write_bytes(bytes(damaged))
        with pytest.raises(ValueError):
            Index.load(saved)
    (saved / COMMIT).write_bytes(original)
    assert len(Index.load(saved)) == 3


def test_unverified_load_still_checks_structure(saved: Path) -> None:
    segment = data_file(saved, "seg_*.seg")
    _flip(segment, 8)  # the document count in the segment's header
    with pytest.raises(ValueError, match="checksum"):
        Index.load(saved)
    with pytest.raises(ValueError, match="segment"):
        Index.load(saved, verify=False)


@pytest.mark.parametrize("target", ["missing", "file"])
def test_load_of_a_non_directory_is_an_os_error(tmp_path: Path, target: str) -> None:
    path = tmp_path / "x"
    if target == "file":
        path.write_text("hi")
    with pytest.raises(FileNotFoundError if target == "missing" else NotADirectoryError):
        Index.load(path)


def _web_app(directory: Path) -> None:
    directory.mkdir()
    (directory / "manifest.json").write_text('{"name": "my app", "format": "lumotext-index", "version": 1}')
    (directory / "index.html").write_text("<html></html>")
    (directory / "notes.txt").write_text("keep")


@pytest.mark.parametrize("kind", ["web_app", "notes", "file", "first_format_lookalike"])
def test_anything_but_an_index_or_an_empty_directory_is_refused_and_untouched(tmp_path: Path, kind: str) -> None:
    target = tmp_path / "target"
    if kind == "web_app":
        _web_app(target)
    elif kind == "notes":
        target.mkdir()
        (target / "notes.txt").write_text("keep")
    elif kind == "file":
        target.write_text("a file")
    else:
        target.mkdir()
        (target / "manifest.json").write_text('{"format": "lumotext-index", "version": 7}')
    before = listing(target) if target.is_dir() else target.read_bytes()
    with pytest.raises(FileExistsError, match="not a saved lumotext index"):
        small_index().save(target)
    assert (listing(target) if target.is_dir() else target.read_bytes()) == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["target"]


def test_the_command_line_refuses_a_foreign_directory_before_indexing(tmp_path: Path) -> None:
    _web_app(tmp_path / "site")
    before = listing(tmp_path / "site")
    (tmp_path / "docs.txt").write_text("北京\n上海\n", encoding="utf-8")
    result = subprocess.run(
        [sys.executable, "-m", "lumotext", "index", "build", tmp_path / "docs.txt", "--out", tmp_path / "site"],
        capture_output=True,
        timeout=120,
    )
    assert result.returncode == 1
    assert b"not a saved index" in result.stderr
    assert listing(tmp_path / "site") == before


def test_an_empty_directory_and_a_long_name_save_again_and_again(tmp_path: Path) -> None:
    empty = tmp_path / "empty"
    empty.mkdir()
    small_index().save(empty)
    long = tmp_path / ("长" * 10 + "x" * 190)  # 220 bytes, under the 255-byte name limit
    index = small_index()
    for _ in range(3):
        index.save(long)
        index.add(["火星"])
    assert len(Index.load(long)) == 5
    assert len(Index.load(empty)) == 3
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([empty.name, long.name])


def test_save_beside_a_writer_thread_always_loads(tmp_path: Path) -> None:
    index = Index(Analyzer(bigram_weight=0.3))
    index.add([f"北京 上海 {i}" for i in range(2000)])
    stop = threading.Event()

    def write() -> None:
        rng = random.Random(7)
        while not stop.is_set():
            numbers = index.add(["北京 城市 天气"] * 50)
            index.remove(rng.sample(list(numbers), 25))

    writer = threading.Thread(target=write)
    writer.start()
    try:
        for _ in range(8):
            index.save(tmp_path / "ix")
            loaded = Index.load(tmp_path / "ix")
            assert len(loaded) == len(loaded.live_documents())
            assert loaded.search("北京", k=1)
    finally:
        stop.set()
        writer.join()


SAVER = """
import sys
from lumotext import Index
path, rounds = sys.argv[1], int(sys.argv[2])
small, large = Index(), Index()
small.add(["北京"] * 10)
large.add(["上海 北京"] * 3000)
print("ready", flush=True)
for i in range(rounds):
    (small if i % 2 else large).save(path)
"""


def test_loads_beside_a_saving_process_never_fail(tmp_path: Path) -> None:
    path = tmp_path / "ix"
    Index().save(path)
    saver = subprocess.Popen(
        [sys.executable, "-c", SAVER, str(path), "40"], stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    assert saver.stdout is not None and saver.stdout.readline() == b"ready\n"
    sizes = set()
    deadline = time.monotonic() + 8
    while saver.poll() is None and time.monotonic() < deadline:
        sizes.add(len(Index.load(path)))
    saver.kill()
    saver.wait()
    assert sizes <= {0, 10, 3000}
    assert {10, 3000} <= sizes, sizes  # the loads really ran beside saves of both


def test_loads_beside_a_saving_thread_never_fail(tmp_path: Path) -> None:
    path = tmp_path / "ix"
    small, large = Index(), Index()
    small.add(["北京"] * 10)
    large.add(["上海 北京"] * 3000)
    small.save(path)
    stop = threading.Event()
    saves = []

    def save() -> None:
        while not stop.is_set():
            (small if len(saves) % 2 else large).save(path)
            saves.append(1)

    saver = threading.Thread(target=save)
    saver.start()
    try:
        sizes = set()
        deadline = time.monotonic() + 5
        while len(saves) < 20 and time.monotonic() < deadline:
            sizes.add(len(Index.load(path)))  # the native load and save both run without the GIL
    finally:
        stop.set()
        saver.join()
    assert sizes <= {10, 3000}
    assert len(saves) >= 20


# fork(), not a new interpreter per kill (a second each): the child only runs the native save,
# which takes no lock that another thread of this process holds.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_save_killed_at_any_instant_leaves_a_loadable_commit(tmp_path: Path) -> None:
    path = tmp_path / "ix"
    versions = []
    for n in (150, 170):
        index = Index()
        index.add([f"北京 上海 {i}" for i in range(n)])
        versions.append(index)
    versions[0].save(path)
    rng = random.Random(11)
    seen = set()
    for attempt in range(24):
        pid = os.fork()
        if pid == 0:  # pragma: no cover - the child is killed
            try:
                while True:
                    versions[attempt % 2].save(path)
            finally:
                os._exit(0)
        time.sleep(rng.uniform(0.0, 0.2))  # a save takes tens of milliseconds (fsync)
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        loaded = len(Index.load(path))
        assert loaded in (150, 170)
        seen.add(loaded)
    assert seen == {150, 170}
    versions[1].save(path)
    names = [p.name for p in path.iterdir()]
    assert not [n for n in names if n.startswith(".lumotext-tmp-")], names
    assert len([n for n in names if not n.startswith(".") and n != COMMIT]) <= 16  # this commit's and the last


def test_first_format_indexes_load_and_a_save_converts_them(tmp_path: Path) -> None:
    old = tmp_path / "old"
    shutil.copytree(FIXTURES / "index_v1", old)
    loaded = Index.load(old)
    assert (loaded.k1, loaded.b) == (1.5, 0.6)
    # Saved before the term rules were named: it keeps analyzing by the first ones.
    assert loaded.analyzer.settings == {**small_index().analyzer.settings, "rules": 1}
    assert results(loaded) == results(small_index())
    loaded.add(["火星"])
    loaded.save(old)
    assert "manifest.json" not in os.listdir(old) and "live.u8" not in os.listdir(old)
    assert len(Index.load(old)) == 4


def test_an_index_saved_under_earlier_defaults_scores_as_it_did(tmp_path: Path) -> None:
    # Saved by Index() when the defaults were k1 1.2, b 0.75 and bigram weight 0.5: its commit
    # and settings carry them, so changing the defaults changes no saved index.
    old = tmp_path / "old"
    shutil.copytree(FIXTURES / "index_earlier_defaults", old)
    then = Index(Analyzer(stop_words="default", bigram_weight=0.5), k1=1.2, b=0.75)
    then.add(DOCS)
    then.remove([1])
    loaded = Index.load(old)
    assert (loaded.k1, loaded.b, loaded.analyzer.settings["bigram_weight"]) == (1.2, 0.75, 0.5)
    assert results(loaded) == results(then)
    loaded.add(["火星"])
    loaded.save(old)
    again = Index.load(old)
    assert (again.k1, again.b, again.analyzer.settings) == (1.2, 0.75, then.analyzer.settings)


def test_segments_of_the_earlier_layout_load_and_search_as_built_now(tmp_path: Path) -> None:
    # Saved when term entries and block headers took 24 bytes each (400 documents, three removed,
    # texts stored): read and searched as an index built now from the same documents.
    rng = random.Random(41)
    words = ["北京", "上海", "天气", "很好", "城市", "中国", "文化", "长江", "大桥", "火车站", "春节", "地铁"]
    docs = [" ".join(rng.choices(words, k=rng.randint(1, 12))) for _ in range(400)]
    now = Index()
    now.add(docs)
    now.remove([3, 150, 399])
    old = tmp_path / "old"
    shutil.copytree(FIXTURES / "index_packed_lengths", old)
    loaded = Index.load(old)
    queries = [*words, "北京 上海 长江大桥", "春节 火车站 地铁 城市"]
    for k in (1, 10, 400):
        assert [loaded.search(q, k=k) for q in queries] == [now.search(q, k=k) for q in queries]
    assert [loaded.document(n).text for n in loaded.live_documents()] == [docs[n] for n in now.live_documents()]
    loaded.add(["长江 长江 大桥"])
    loaded.save(old)
    now.add(["长江 长江 大桥"])
    again = Index.load(old)
    assert [again.search(q, k=20) for q in queries] == [now.search(q, k=20) for q in queries]


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda d: _flip(d / "posting_docs.u32", 0), "checksum"),
        (lambda d: (d / "manifest.json").write_text('{"format": "lumotext-index", "version": 1}'), "byte_order"),
        (lambda d: (d / "live.u8").write_bytes(b"\1"), "bytes"),
    ],
)
def test_damaged_first_format_indexes_are_refused(tmp_path: Path, damage, message) -> None:  # type: ignore[no-untyped-def]
    old = tmp_path / "old"
    shutil.copytree(FIXTURES / "index_v1", old)
    damage(old)
    with pytest.raises(ValueError, match=message):
        Index.load(old)

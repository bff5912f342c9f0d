"""The Python face of Jieba: construction, conversions, failures, and cutting from many threads.

Every test builds its own tiny data set in tmp_path: a dictionary whose weights decide the
routes clearly and an HMM model in which 甲 opens a word, 乙 closes it, 中 sits inside and 单
stands alone.
"""

import random
import re
import threading
import time

import pytest

from pylumotext import Jieba

MAIN_DICT = "\n".join(
    ["甲乙丙丁 50 n", "甲乙 5 n", "乙丙 5 n", "丙丁 5 n", "天 5 n", "地 5 n"]
) + "\n"
MIN = "-3.14e+100"
HMM_MODEL = "\n".join(
    [
        "# start B E M S",
        f"-1 {MIN} {MIN} -2",
        "# transitions from B, E, M, S",
        f"{MIN} -1 -2 {MIN}",
        f"-1 {MIN} {MIN} -2",
        f"{MIN} -1 -2 {MIN}",
        f"-1 {MIN} {MIN} -2",
        "# emissions of B, E, M, S",
        "甲:-1,乙:-8,中:-8,单:-8",
        "甲:-8,乙:-1,中:-8,单:-8",
        "甲:-8,乙:-8,中:-1,单:-8",
        "甲:-8,乙:-8,中:-8,单:-1",
    ]
) + "\n"
USER_DICT = "中\n"
IDF = "甲乙 2.5\n天 1.5\n"
STOP_WORDS = "的\n"

RECORD = r"\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} "


def write_files(directory, **overrides):
    contents = {
        "dict_path": MAIN_DICT,
        "hmm_path": HMM_MODEL,
        "user_dict_path": USER_DICT,
        "idf_path": IDF,
        "stop_word_path": STOP_WORDS,
    }
    paths = {}
    for name, text in contents.items():
        path = directory / f"{name}.txt"
        path.write_text(overrides.get(name, text), encoding="utf-8")
        paths[name] = str(path)
    return paths


@pytest.fixture
def paths(tmp_path):
    return write_files(tmp_path)


@pytest.fixture
def tok(paths):
    return Jieba(**paths)


def test_signatures(tok):
    assert Jieba.__init__.__doc__.startswith(
        "__init__(self: pylumotext.Jieba, dict_path: str, hmm_path: str, user_dict_path: str, "
        "idf_path: str, stop_word_path: str) -> None"
    )
    assert Jieba.cut.__doc__.startswith("cut(self: pylumotext.Jieba, sentence: str) -> list[str]")
    assert Jieba.cut_for_search.__doc__.startswith(
        "cut_for_search(self: pylumotext.Jieba, sentence: str) -> list[str]"
    )
    assert not any(not name.startswith("_") for name in set(vars(Jieba)) - {"cut", "cut_for_search"})


def test_positional_and_keyword_construction(paths):
    order = ["dict_path", "hmm_path", "user_dict_path", "idf_path", "stop_word_path"]
    by_position = Jieba(*(paths[name] for name in order))
    by_keyword = Jieba(**{name: paths[name] for name in reversed(order)})
    assert by_position.cut("甲中乙") == by_keyword.cut("甲中乙") == ["甲", "中", "乙"]


@pytest.mark.parametrize(
    "sentence, cut, search",
    [
        ("", [], []),
        ("a b", ["a", " ", "b"], ["a", " ", "b"]),
        ("a  b", ["a", " ", " ", "b"], ["a", " ", " ", "b"]),
        ("甲乙丙丁", ["甲乙丙丁"], ["甲乙", "乙丙", "丙丁", "甲乙丙丁"]),
        # 中 is a one-rune user word: the HMM does not join it with its neighbours.
        ("甲中乙 甲乙", ["甲", "中", "乙", " ", "甲乙"], ["甲", "中", "乙", " ", "甲乙"]),
        ("天地，iPhone15。", ["天", "地", "，", "iPhone15", "。"], ["天", "地", "，", "iPhone15", "。"]),
        ("甲乙丙丁甲乙", ["甲乙丙丁", "甲乙"], ["甲乙", "乙丙", "丙丁", "甲乙丙丁", "甲乙"]),
    ],
)
def test_cut_results(tok, sentence, cut, search):
    assert tok.cut(sentence) == cut
    assert tok.cut_for_search(sentence) == search


def test_empty_user_dictionary_path(paths):
    paths["user_dict_path"] = ""
    tok = Jieba(**paths)
    # Without the user word the HMM joins the run 甲 中 乙.
    assert tok.cut("甲中乙") == ["甲中乙"]


@pytest.mark.parametrize("method", ["cut", "cut_for_search"])
def test_sentence_forms(tok, method):
    cut = getattr(tok, method)
    sentence = "甲乙丙丁 ab12，天地"
    expected = cut(sentence)
    assert cut(sentence=sentence) == expected
    assert cut(sentence.encode()) == expected
    assert cut(bytearray(sentence.encode())) == expected
    assert all(type(word) is str for word in expected)
    with pytest.raises(TypeError):
        cut(12)
    with pytest.raises(TypeError):
        cut(text=sentence)


@pytest.mark.parametrize("method", ["cut", "cut_for_search"])
@pytest.mark.parametrize("data", [b"\xff", b"ab\xe4\xb8", "甲乙".encode() + b"\xf8"])
def test_undecodable_bytes(tok, capfd, method, data):
    assert getattr(tok, method)(data) == []
    err = capfd.readouterr().err
    assert re.fullmatch(RECORD + r"csrc/tokenizer/jieba/PreFilter:24 ERROR decode failed\. \n", err), err


def test_leniently_decoded_word_fails_conversion(tok):
    # E4 41 42 decodes as one rune, but the word is no valid UTF-8 for Python.
    with pytest.raises(UnicodeDecodeError):
        tok.cut(b"\xe4\x41\x42")
    assert tok.cut("甲乙") == ["甲乙"]


ALPHABET = list("甲乙丙丁中天地单丢aZ19.,") + [" ", "\t", "\n", "\r", "，", "。", "\u3000", "é", "😀"]


def test_cut_concatenates_back_to_the_sentence(tok):
    rng = random.Random(20240501)
    for _ in range(400):
        sentence = "".join(rng.choice(ALPHABET) for _ in range(rng.randrange(0, 40)))
        words = tok.cut(sentence)
        assert "".join(words) == sentence
        assert all(words)
        search = tok.cut_for_search(sentence)
        # The search words hold the cut words in order, each after its dictionary parts.
        it = iter(search)
        assert all(any(word == s for s in it) for word in words), (sentence, words, search)


BROKEN_HMM = "\n".join(["0 0 0 0", "0 0 0 0", "0 0 0", "0 0 0 0", "0 0 0 0", "a:1", "a:1", "a:1", "a:1"])


@pytest.mark.parametrize(
    "name, content, label, message",
    [
        ("dict_path", None, "DictTrie", r"exp: \[ifs\.is_open\(\)\] false\. open .*dict_path\.missing failed\."),
        ("dict_path", "甲乙丙丁 50 n\n甲乙 5\n", "DictTrie",
         r"exp: \[buf\.size\(\) == DICT_COLUMN_NUM\] false\. split result illegal, line:甲乙 5"),
        ("dict_path", "甲乙  5 n\n", "DictTrie",
         r"exp: \[buf\.size\(\) == DICT_COLUMN_NUM\] false\. split result illegal, line:甲乙  5 n"),
        ("user_dict_path", None, "DictTrie", r"exp: \[ifs\.is_open\(\)\] false\. open .*user_dict_path\.missing failed"),
        ("hmm_path", None, "HMMModel", r"exp: \[ifile\.is_open\(\)\] false\. open .*hmm_path\.missing failed"),
        ("hmm_path", BROKEN_HMM, "HMMModel", r"exp: \[tmp\.size\(\) == STATUS_SUM\] false\. "),
        ("hmm_path", "0 0 0 0\n", "HMMModel", r"exp: \[GetLine\(ifile, line\)\] false\. "),
        ("idf_path", None, "KeywordExtractor", r"exp: \[ifs\.is_open\(\)\] false\. open .*idf_path\.missing failed"),
        ("stop_word_path", None, "KeywordExtractor",
         r"exp: \[ifs\.is_open\(\)\] false\. open .*stop_word_path\.missing failed"),
    ],
)
def test_construction_failures(tmp_path, capfd, name, content, label, message):
    paths = write_files(tmp_path)
    if content is None:
        paths[name] = str(tmp_path / f"{name}.missing")
    else:
        (tmp_path / "broken.txt").write_text(content, encoding="utf-8")
        paths[name] = str(tmp_path / "broken.txt")
    capfd.readouterr()
    with pytest.raises(RuntimeError) as info:
        Jieba(**paths)
    text = str(info.value)
    assert re.fullmatch(RECORD + rf"csrc/tokenizer/jieba/{label}:\d+ FATAL " + message, text), text
    # The record went to standard error before the exception, as the last line there.
    err = capfd.readouterr().err
    assert err.endswith(text + "\n"), err


def test_construction_argument_types(paths):
    with pytest.raises(TypeError):
        Jieba(1, paths["hmm_path"], "", paths["idf_path"], paths["stop_word_path"])
    with pytest.raises(TypeError):
        Jieba(paths["dict_path"], paths["hmm_path"])


@pytest.mark.parametrize("method", ["cut", "cut_for_search"])
def test_unconstructed_instance(method):
    # __new__ without __init__ leaves no native object behind the Python one.
    bare = Jieba.__new__(Jieba)
    with pytest.raises(RuntimeError):
        getattr(bare, method)("甲乙")


def long_sentence(tok, minimum_seconds):
    """A sentence whose cut takes at least `minimum_seconds` on this machine, found by doubling."""
    sentence = "甲乙丙丁中天地单甲中乙，abc123 "
    while True:
        start = time.perf_counter()
        tok.cut(sentence)
        if time.perf_counter() - start >= minimum_seconds or len(sentence) > 1 << 26:
            return sentence
        sentence *= 2


def test_gil_is_released_while_cutting(tok):
    sentence = long_sentence(tok, 0.2)
    for method in (tok.cut, tok.cut_for_search):
        ticks = []
        stop = threading.Event()

        def heartbeat():
            while not stop.is_set():
                ticks.append(time.monotonic())
                time.sleep(0.001)

        beat = threading.Thread(target=heartbeat)
        beat.start()
        try:
            time.sleep(0.01)
            start = time.monotonic()
            method(sentence)
            end = time.monotonic()
        finally:
            stop.set()
            beat.join()
        during = [t for t in ticks if start < t < end]
        # With the lock held for the whole cut the heartbeat could not tick at all.
        assert len(during) >= 5, (method.__name__, len(during), end - start)


def test_threads_get_the_single_threaded_results(tok):
    rng = random.Random(7)
    sentences = [
        "".join(rng.choice(ALPHABET) for _ in range(rng.randrange(1, 300))) for _ in range(60)
    ] + ["甲乙丙丁中天地单甲中乙" * 200]
    expected = [(tok.cut(s), tok.cut_for_search(s)) for s in sentences]
    results = {}
    barrier = threading.Barrier(4)

    def worker(index):
        barrier.wait()
        order = list(range(len(sentences)))
        random.Random(index).shuffle(order)
        got = {}
        for _ in range(5):
            for i in order:
                got.setdefault(i, set()).add(
                    (tuple(tok.cut(sentences[i])), tuple(tok.cut_for_search(sentences[i])))
                )
        results[index] = got

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 4
    for got in results.values():
        for i, (cut, search) in enumerate(expected):
            assert got[i] == {(tuple(cut), tuple(search))}

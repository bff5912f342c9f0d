"""The Python face of Jieba: construction, conversions, failures, and cutting from many threads.

Each test writes a tiny data set into tmp_path: dictionary weights that decide the routes
clearly, and an HMM model in which 甲 opens a word, 乙 closes it, 中 sits inside, 单 stands alone.
"""

import random
import re
import threading
import time

import pytest
from pylumotext import Jieba

MIN = "-3.14e+100"
FILES = {
    "dict_path": "甲乙丙丁 50 n\n甲乙 5 n\n乙丙 5 n\n丙丁 5 n\n天 5 n\n地 5 n\n",
    "hmm_path": f"-1 {MIN} {MIN} -2\n{MIN} -1 -2 {MIN}\n-1 {MIN} {MIN} -2\n{MIN} -1 -2 {MIN}\n"
    f"-1 {MIN} {MIN} -2\n甲:-1,乙:-8,中:-8,单:-8\n甲:-8,乙:-1,中:-8,单:-8\n"
    "甲:-8,乙:-8,中:-1,单:-8\n甲:-8,乙:-8,中:-8,单:-1\n",
    "user_dict_path": "中\n",
    "idf_path": "甲乙 2.5\n",
    "stop_word_path": "的\n",
}
RECORD = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d csrc/tokenizer/jieba/"
ALPHABET = list("甲乙丙丁中天地单丢aZ19.,") + [" ", "\t", "\n", "\r", "，", "。", "\u3000", "é", "😀"]


def write_files(directory, **overrides):
    paths = {}
    for name, text in FILES.items():
        (directory / name).write_text(text + overrides.get(name, ""), encoding="utf-8")
        paths[name] = str(directory / name)
    return paths


@pytest.fixture
def tok(tmp_path):
    return Jieba(**write_files(tmp_path))


def test_signatures():
    assert Jieba.__init__.__doc__.startswith(
        "__init__(self: pylumotext.Jieba, dict_path: str, hmm_path: str, user_dict_path: str, "
        "idf_path: str, stop_word_path: str) -> None"
    )
    for name in ("cut", "cut_for_search"):
        assert getattr(Jieba, name).__doc__.startswith(f"{name}(self: pylumotext.Jieba, sentence: str) -> list[str]")
    assert {n for n in vars(Jieba) if not n.startswith("_")} == {"cut", "cut_for_search"}


def test_construction_by_position_keyword_and_empty_user_dictionary(tmp_path):
    paths = write_files(tmp_path)
    assert (
        Jieba(*paths.values()).cut("甲中乙")
        == Jieba(**dict(reversed(paths.items()))).cut("甲中乙")
        == ["甲", "中", "乙"]
    )
    # Without the one-rune user word 中 the HMM joins the run.
    assert Jieba(**{**paths, "user_dict_path": ""}).cut("甲中乙") == ["甲中乙"]


@pytest.mark.parametrize(
    "sentence, cut, search",
    [
        ("", [], []),
        ("a b", ["a", " ", "b"], None),
        ("a  b", ["a", " ", " ", "b"], None),
        ("甲乙丙丁甲乙", ["甲乙丙丁", "甲乙"], ["甲乙", "乙丙", "丙丁", "甲乙丙丁", "甲乙"]),
        ("甲中乙 甲乙", ["甲", "中", "乙", " ", "甲乙"], None),
        ("天地，iPhone15。", ["天", "地", "，", "iPhone15", "。"], None),
    ],
)
def test_cut_results(tok, sentence, cut, search):
    assert tok.cut(sentence) == cut
    assert tok.cut_for_search(sentence) == (cut if search is None else search)


@pytest.mark.parametrize("method", ["cut", "cut_for_search"])
def test_sentence_forms(tok, capfd, method):
    cut = getattr(tok, method)
    sentence = "甲乙丙丁 ab12，天地"
    expected = cut(sentence)
    assert cut(sentence=sentence) == cut(sentence.encode()) == cut(bytearray(sentence.encode())) == expected
    for wrong in ((12,), ([sentence],)):
        with pytest.raises(TypeError):
            cut(*wrong)
    for data in (b"\xff", b"ab\xe4\xb8", "甲乙".encode() + b"\xf8"):
        assert cut(data) == []
        err = capfd.readouterr().err
        assert re.fullmatch(RECORD + r"PreFilter:24 ERROR decode failed\. \n", err), err


@pytest.mark.parametrize("word", ["café", "éà", "Ωmega", "甲😀乙", "x\x7f", "\u00ff\u0100", "\U0010ffff\u00e9"])
def test_words_of_every_width_come_back_exactly(tmp_path, word):
    tok = Jieba(**write_files(tmp_path, dict_path=f"{word} 500 n\n"))
    assert tok.cut(f"甲乙 {word}，{word}".encode()) == ["甲乙", " ", word, "，", word]


# Overlong, surrogate, above U+10FFFF, false continuation bytes, a stray continuation byte: the
# segmenter's decoder is lenient and makes a word of them, Python's str is not.
@pytest.mark.parametrize(
    "data",
    [b"\xc0\x80", b"\xe0\x80\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe4\x41\x42", "甲乙".encode() + b"\x80a"],
)
def test_words_python_cannot_decode_raise(tok, data):
    with pytest.raises(UnicodeDecodeError):
        tok.cut(data)


def test_cut_concatenates_back_to_the_sentence(tok):
    rng = random.Random(20240501)
    for _ in range(400):
        sentence = "".join(rng.choice(ALPHABET) for _ in range(rng.randrange(0, 40)))
        words = tok.cut(sentence)
        assert "".join(words) == sentence and all(words)
        # The search words hold the cut words in order, each after its dictionary parts.
        rest = iter(tok.cut_for_search(sentence))
        assert all(any(word == s for s in rest) for word in words), sentence


@pytest.mark.parametrize(
    "name, content, message",
    [
        ("dict_path", None, r"DictTrie:\d+ FATAL exp: \[ifs\.is_open\(\)\] false\. open .*dict_path\.missing failed\."),
        (
            "dict_path",
            "甲乙 5\n",
            r"DictTrie:\d+ FATAL exp: \[buf\.size\(\) == DICT_COLUMN_NUM\] false\. "
            r"split result illegal, line:甲乙 5",
        ),
        (
            "user_dict_path",
            None,
            r"DictTrie:\d+ FATAL exp: \[ifs\.is_open\(\)\] false\. open .*user_dict_path\.missing failed",
        ),
        ("hmm_path", None, r"HMMModel:\d+ FATAL exp: \[ifile\.is_open\(\)\] false\. open .*hmm_path\.missing failed"),
        ("hmm_path", "0 0 0 0\n0 0 0\n", r"HMMModel:\d+ FATAL exp: \[tmp\.size\(\) == STATUS_SUM\] false\. "),
        ("hmm_path", "0 0 0 0\n", r"HMMModel:\d+ FATAL exp: \[GetLine\(ifile, line\)\] false\. "),
        ("hmm_path", "0 0 0 0\n" * 5 + "a\n", r"HMMModel:\d+ FATAL exp: \[LoadEmitProb\(line, emitProbB\)\] false\. "),
        (
            "idf_path",
            None,
            r"KeywordExtractor:\d+ FATAL exp: \[ifs\.is_open\(\)\] false\. open .*idf_path\.missing failed",
        ),
        (
            "stop_word_path",
            None,
            r"KeywordExtractor:\d+ FATAL exp: \[ifs\.is_open\(\)\] false\. "
            r"open .*stop_word_path\.missing failed",
        ),
    ],
)
def test_construction_failures(tmp_path, capfd, name, content, message):
    paths = write_files(tmp_path)
    paths[name] = str(tmp_path / f"{name}.missing")
    if content is not None:
        (tmp_path / f"{name}.missing").write_text(content, encoding="utf-8")
    capfd.readouterr()
    with pytest.raises(RuntimeError) as info:
        Jieba(**paths)
    assert re.fullmatch(RECORD + message, str(info.value)), str(info.value)
    # The record reached standard error before the exception, as the last line there.
    assert capfd.readouterr().err.endswith(str(info.value) + "\n")


def test_wrong_construction_and_unconstructed_instance(tmp_path):
    paths = write_files(tmp_path)
    with pytest.raises(TypeError):
        Jieba(1, *list(paths.values())[1:])
    with pytest.raises(TypeError):
        Jieba(paths["dict_path"])
    bare = Jieba.__new__(Jieba)  # no native object behind it
    for method in (bare.cut, bare.cut_for_search):
        with pytest.raises(RuntimeError):
            method("甲乙")


def test_gil_is_released_while_cutting(tok):
    sentence = "甲乙丙丁中天地单甲中乙，abc123 "
    while True:  # long enough for the cut to take at least 0.2 s here
        start = time.perf_counter()
        tok.cut(sentence)
        if time.perf_counter() - start >= 0.2 or len(sentence) > 1 << 26:
            break
        sentence *= 2
    for method in (tok.cut, tok.cut_for_search):
        ticks, stop = [], threading.Event()

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
        # Had the cut kept the lock, the heartbeat could not have ticked meanwhile.
        assert sum(start < t < end for t in ticks) >= 5, method.__name__


def test_threads_get_the_single_threaded_results(tok):
    rng = random.Random(7)
    sentences = ["".join(rng.choice(ALPHABET) for _ in range(rng.randrange(1, 300))) for _ in range(60)]
    sentences.append("甲乙丙丁中天地单甲中乙" * 200)
    expected = [(tok.cut(s), tok.cut_for_search(s)) for s in sentences]
    results, barrier = {}, threading.Barrier(4)

    def worker(index):
        order = list(range(len(sentences)))
        random.Random(index).shuffle(order)
        barrier.wait()
        got = [(i, tok.cut(sentences[i]), tok.cut_for_search(sentences[i])) for _ in range(5) for i in order]
        results[index] = got

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 4
    for got in results.values():
        assert all((cut, search) == expected[i] for i, cut, search in got)

"""segment_many: input order, equality with plain cuts, laziness, bounded read-ahead, failures."""

from __future__ import annotations

import itertools
import random
import threading
import time

import pylumotext
import pytest
from shared_data import bench_lines

from lumotext import default_paths, index_tokens, make_jieba, pipeline, segment_many


class ShuffledSegmenter:
    """Answers after a random pause (which lets go of the interpreter lock, as Jieba does),
    so that batches finish out of order."""

    def __init__(self) -> None:
        self.random = random.Random(5)
        self.lock = threading.Lock()

    def _pause(self) -> None:
        with self.lock:
            delay = self.random.random() * 0.002
        time.sleep(delay)

    def cut(self, sentence: str) -> list[str]:
        self._pause()
        return [sentence, "cut"]

    def cut_for_search(self, sentence: str) -> list[str]:
        self._pause()
        return [sentence, "search"]


class CountingTexts:
    """An endless iterable of texts that counts how many were taken."""

    def __init__(self, fail_after: int | None = None) -> None:
        self.taken = 0
        self.fail_after = fail_after

    def __iter__(self):
        for n in itertools.count():
            if n == self.fail_after:
                raise OSError("disk went away")
            self.taken += 1
            yield f"text {n}"


@pytest.fixture(scope="module")
def jieba():
    return make_jieba()


@pytest.mark.parametrize("threads, batch_size", [(1, 64), (2, 1), (3, 7), (8, 64)])
@pytest.mark.parametrize("search", [False, True])
def test_results_come_in_input_order(threads, batch_size, search):
    segmenter = ShuffledSegmenter()
    texts = [f"line {i}" for i in range(300)]
    got = list(segment_many(segmenter, texts, threads=threads, search=search, batch_size=batch_size))
    assert got == [[text, "search" if search else "cut"] for text in texts]


@pytest.mark.parametrize("threads", [2, 4])
@pytest.mark.parametrize("search", [False, True])
def test_equal_to_single_threaded_cuts(jieba, threads, search):
    lines = bench_lines(3000)
    cut = jieba.cut_for_search if search else jieba.cut
    assert list(segment_many(jieba, lines, threads=threads, search=search)) == [cut(line) for line in lines]


# Pieces of texts that meet the line feeds joining a batch: empty texts, separators at either
# end, line feeds of their own (ends of lines read from a file, blank lines), a carriage return.
PIECES = [
    "",
    "\n",
    "\n\n",
    "研究人员用机器学习方法",
    "长江大桥\r",
    " 前后有空格 ",
    "，。",
    "行\n内\n换行",
    "English and 中文 mixed 123",
    "\t",
    "a",
]


@pytest.mark.parametrize("threads, batch_size", [(1, 256), (2, 3), (2, 256)])
@pytest.mark.parametrize("search", [False, True])
def test_batches_cut_in_one_call_give_the_words_of_separate_calls(jieba, threads, batch_size, search):
    rng = random.Random(11)
    texts = ["".join(rng.choices(PIECES, k=rng.randint(1, 4))) for _ in range(600)]
    cut = jieba.cut_for_search if search else jieba.cut
    got = list(segment_many(jieba, texts, threads=threads, search=search, batch_size=batch_size))
    assert got == [cut(text) for text in texts]


def test_native_jieba_cuts_each_batch_in_one_call(jieba, monkeypatch):
    text_by_text = []
    monkeypatch.setattr(
        pipeline, "_cut_batch", lambda cut, batch: text_by_text.append(batch) or [cut(text) for text in batch]
    )
    texts = [line + "\n" for line in bench_lines(500)]
    assert list(segment_many(jieba, texts, threads=2, batch_size=50)) == [jieba.cut(text) for text in texts]
    assert text_by_text == []
    mixed = ["长江", b"\xe5\xa4\xa7\xe6\xa1\xa5", "通车"]  # bytes cannot be joined to a str
    assert list(segment_many(jieba, mixed, threads=2)) == [jieba.cut(text) for text in mixed]
    assert text_by_text == [mixed]


def test_long_texts_are_not_joined_past_the_character_limit(jieba, monkeypatch):
    monkeypatch.setattr(pipeline, "JOIN_CHARACTERS", 50)
    call_lengths = []

    def cut(text):
        call_lengths.append(len(text))
        return jieba.cut(text)

    texts = ["长江大桥" * n for n in (1, 3, 20, 2, 2, 30, 1)] + ["", "好\n"]  # 4 12 80 8 8 120 4 0 2 characters
    assert pipeline._cut_joined(cut, texts) == [jieba.cut(text) for text in texts]
    assert call_lengths == [4 + 12 + 1, 80, 8 + 8 + 1, 120, 4 + 0 + 2 + 2]


class SeparatorDroppingJieba(pylumotext.Jieba):
    def cut(self, sentence):
        return [word for word in super().cut(sentence) if not word.isspace()]


def test_an_overridden_cut_is_called_text_by_text():
    jieba = SeparatorDroppingJieba(**default_paths())
    texts = ["长江大桥", "", "研究 人员\n", "通车"] * 20
    assert list(segment_many(jieba, texts, threads=2, batch_size=8)) == [jieba.cut(text) for text in texts]


@pytest.mark.parametrize("threads, batch_size", [(1, 64), (2, 5), (4, 16)])
def test_reads_lazily_and_boundedly(threads, batch_size):
    texts = CountingTexts()
    results = segment_many(ShuffledSegmenter(), texts, threads=threads, batch_size=batch_size)
    assert texts.taken == 0
    read_ahead = 2 * threads * batch_size if threads > 1 else 1
    for consumed, words in enumerate(itertools.islice(results, 500), 1):
        assert words[0] == f"text {consumed - 1}"
        assert consumed <= texts.taken <= consumed + read_ahead
    results.close()


@pytest.mark.parametrize("threads, batch_size", [(1, 64), (3, 4), (2, 100)])
def test_texts_before_a_failing_read_are_all_delivered(threads, batch_size):
    texts = CountingTexts(fail_after=37)
    delivered = []
    with pytest.raises(OSError, match="disk went away"):
        for words in segment_many(ShuffledSegmenter(), texts, threads=threads, batch_size=batch_size):
            delivered.append(words[0])
    assert delivered == [f"text {n}" for n in range(37)]


def test_segmenter_errors_reach_the_caller(jieba):
    with pytest.raises(TypeError):
        list(segment_many(jieba, ["好", 42, "好"], threads=2, batch_size=1))


def test_closing_early_stops_the_pool():
    results = segment_many(ShuffledSegmenter(), CountingTexts(), threads=4, batch_size=2)
    next(results)
    assert any(t.name.startswith("lumotext-cut") for t in threading.enumerate())
    results.close()
    assert not any(t.name.startswith("lumotext-cut") for t in threading.enumerate())


@pytest.mark.parametrize(
    "bad", [{"threads": 0}, {"threads": -2}, {"threads": 1.5}, {"threads": True}, {"batch_size": 0}]
)
def test_bad_arguments_fail_at_the_call(bad):
    with pytest.raises(ValueError, match="must be a positive integer"):
        segment_many(ShuffledSegmenter(), ["a"], **bad)


def test_a_single_text_is_not_taken_for_many():
    with pytest.raises(TypeError, match="wrap a single text in a list"):
        segment_many(ShuffledSegmenter(), "长江大桥")


def test_threads_really_share_one_jieba(jieba):
    """Many threads on one object at once, on long lines, give the results of one thread."""
    lines = ["".join(bench_lines(400)[i::4]) for i in range(4)] * 4
    expected = [jieba.cut(line) for line in lines]
    assert list(segment_many(jieba, lines, threads=8, batch_size=1)) == expected


@pytest.mark.parametrize(
    "words, expected",
    [
        (["长江", " ", "大桥", "\t", "通车", "\u3000"], ["长江", "大桥", "通车"]),
        ([" ", " "], []),
        (["a b"], ["a b"]),
        ([], []),
    ],
)
def test_index_tokens_drop_separators(words, expected):
    assert index_tokens(words) == expected

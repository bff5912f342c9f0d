"""Segmenting many texts at once.

``Jieba.cut`` and ``cut_for_search`` let go of the interpreter lock while they work, so a
thread pool segments on all cores with one shared ``Jieba``.

A typical text (a line, a title) is cut in a few microseconds, less than it takes to hand the
interpreter lock from one thread to another; threads that each cut one short text at a time
spend their time waiting for the lock and run slower than one thread alone. So the workers give
``Jieba`` a whole batch of texts in one call, joined by line feeds, and split the words at the
line feeds again (at most :data:`JOIN_CHARACTERS` characters a call). That changes no word: a line
feed always separates, the segmenter never looks across it, and it comes out as a word of its own.
"""

from __future__ import annotations

import os
from collections import deque
from concurrent.futures import Future, ThreadPoolExecutor
from itertools import islice, repeat
from typing import Callable, Iterable, Iterator, Protocol

import pylumotext

__all__ = ["Segmenter", "segment_many", "index_tokens"]


class Segmenter(Protocol):
    """What :func:`segment_many` needs: ``pylumotext.Jieba`` has it."""

    def cut(self, sentence: str) -> list[str]: ...

    def cut_for_search(self, sentence: str) -> list[str]: ...


def index_tokens(words: Iterable[str]) -> list[str]:
    """The words that are worth indexing: the segmenter returns each space, tab or other
    separator as a word of its own, and these are dropped."""
    return [word for word in words if word and not word.isspace()]


def _cut_batch(cut: Callable[[str], list[str]], batch: list[str]) -> list[list[str]]:
    return [cut(text) for text in batch]


#: The most characters joined into one call: far more than it takes to make handing the lock
#: over worth it, and few enough that one call's working memory (tens of bytes a character)
#: stays small however long and many the texts are.
JOIN_CHARACTERS = 1 << 16


def _cut_joined(cut: Callable[[str], list[str]], batch: list[str]) -> list[list[str]]:
    """``_cut_batch`` with as few calls of ``Jieba`` as :data:`JOIN_CHARACTERS` allows: runs of
    texts joined by line feeds, the words split at the joining line feeds again."""
    try:
        characters = sum(map(len, batch))
    except TypeError:
        return _cut_batch(cut, batch)
    if characters <= JOIN_CHARACTERS:
        return _cut_run(cut, batch)
    texts: list[list[str]] = []
    run: list[str] = []
    run_characters = 0
    for text in batch:
        if run and run_characters + len(text) > JOIN_CHARACTERS:
            texts += _cut_run(cut, run)
            run, run_characters = [], 0
        run.append(text)
        run_characters += len(text)
    texts += _cut_run(cut, run)
    return texts


def _cut_run(cut: Callable[[str], list[str]], run: list[str]) -> list[list[str]]:
    """The texts of ``run`` cut in one call, joined by line feeds; a text's own line feeds (such
    as the ends of lines read from a file) stay in its words."""
    if len(run) == 1:
        return [cut(run[0])]
    try:
        own_line_feeds = list(map(str.count, run, repeat("\n")))
    except TypeError:  # bytes among the texts: they cannot be joined to a str
        return _cut_batch(cut, run)
    words = cut("\n".join(run))
    texts: list[list[str]] = []
    start = 0
    find = words.index
    for own in islice(own_line_feeds, len(run) - 1):
        end = find("\n", start)
        for _ in repeat(None, own):
            end = find("\n", end + 1)
        texts.append(words[start:end])
        start = end + 1
    texts.append(words[start:])
    return texts


def segment_many(
    jieba: Segmenter,
    texts: Iterable[str],
    threads: int | None = None,
    search: bool = False,
    *,
    batch_size: int = 256,
) -> Iterator[list[str]]:
    """Segments ``texts`` on ``threads`` threads and yields the word lists in input order.

    ``threads`` defaults to the number of CPUs; 1 segments on the calling thread. ``search``
    picks ``cut_for_search`` instead of ``cut``. The texts are taken in batches of
    ``batch_size`` as the results are consumed: nothing is read before the first result is
    asked for, and at most ``2 * threads`` batches are read ahead, so an endless or very long
    iterable runs in bounded memory.

    If reading ``texts`` raises, the results of every text before the failing one are yielded
    first, then the exception propagates. Closing the generator early stops the pool (batches
    already running finish first).
    """
    if threads is None:
        threads = os.cpu_count() or 1
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise ValueError(f"threads must be a positive integer, got {threads!r}")
    if isinstance(batch_size, bool) or not isinstance(batch_size, int) or batch_size < 1:
        raise ValueError(f"batch_size must be a positive integer, got {batch_size!r}")
    if isinstance(texts, (str, bytes)):
        raise TypeError("texts must be an iterable of texts; wrap a single text in a list")
    method = "cut_for_search" if search else "cut"
    cut = getattr(jieba, method)
    # Joining is exact only for the native method itself, not for a subclass's override.
    native = getattr(type(jieba), method, None) is getattr(pylumotext.Jieba, method)
    cut_batch = _cut_joined if native else _cut_batch
    return _segment(cut, cut_batch, iter(texts), threads, batch_size)


def _segment(
    cut: Callable[[str], list[str]],
    cut_batch: Callable[[Callable[[str], list[str]], list[str]], list[list[str]]],
    texts: Iterator[str],
    threads: int,
    batch_size: int,
) -> Iterator[list[str]]:
    if threads == 1:
        for text in texts:
            yield cut(text)
        return
    pending: deque[Future[list[list[str]]]] = deque()
    failure: Exception | None = None
    exhausted = False
    with ThreadPoolExecutor(max_workers=threads, thread_name_prefix="lumotext-cut") as pool:
        try:
            while True:
                while not exhausted and len(pending) < 2 * threads:
                    batch: list[str] = []
                    try:
                        for text in islice(texts, batch_size):
                            batch.append(text)
                    except Exception as error:  # raised after the texts read before it
                        failure = error
                    exhausted = len(batch) < batch_size
                    if batch:
                        pending.append(pool.submit(cut_batch, cut, batch))
                if not pending:
                    break
                yield from pending.popleft().result()
        finally:
            for future in pending:
                future.cancel()
    if failure is not None:
        raise failure

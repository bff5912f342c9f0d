"""An in-process Chinese BM25 index: :class:`Analyzer` turns text into terms, :class:`Index`
holds the documents and answers queries.

All per-term work is native (module ``lumotext._native``): ``add`` and ``search_many`` hand the
texts over one batch at a time and analyze, index and score with the interpreter lock released,
on native worker threads.

Scoring, with N the number of live documents, df(t) the number of live documents that contain
term t, tf(t, d) its count in document d, |d| the number of terms of d and avgdl the mean |d|
over live documents::

    score(q, d) = sum over distinct query terms t:
                  qtf(t) * idf(t) * tf(t, d) * (k1 + 1) / (tf(t, d) + k1 * (1 - b + b * |d| / avgdl))
    idf(t)      = ln(1 + (N - df(t) + 0.5) / (df(t) + 0.5))

where qtf(t) is how often t occurs in the analyzed query. Scores are computed in float32.
"""

from __future__ import annotations

import json
import os
import sys
import threading
from array import array
from collections.abc import Mapping, Sized
from functools import lru_cache
from importlib import resources
from itertools import islice
from typing import TYPE_CHECKING, Any, Callable, Iterable, Iterator, Literal, Sequence, Union, overload

from lumotext import _native
from lumotext._data import default_paths
from lumotext.documents import Document, Hit, check_id, decode_metadata, encode_metadata
from lumotext.segmenter import segmenter_for, user_dict_lines
from lumotext.sparse import SparseVector

if TYPE_CHECKING:
    import numpy

__all__ = ["Analyzer", "Index", "DEFAULTS", "fold_text"]

StrPath = Union[str, "os.PathLike[str]"]

#: Every default of the analyzer and the index, in one place.
DEFAULTS: dict[str, Any] = {
    # Analyzer
    "stop_words": "default",  # the bundled list
    "mode": "default",  # the segmenter's default cut ("search" adds dictionary sub-words)
    "fold_traditional": True,  # Traditional characters to Simplified before segmenting
    "hmm": True,  # the segmenter's HMM for words outside the dictionary
    "bigram_weight": 0.5,  # weight of the character-bigram field (0: words only)
    "user_dict": None,  # no words beyond the bundled dictionary
    # Index: k1 and b chosen by nDCG@10 over seven collections (bench/results/defaults_grid.md)
    "k1": 0.5,
    "b": 0.4,
    "store": True,  # keep each document's text, id and metadata in the index
    "batch_size": 2048,  # texts per native call in add (and per Ctrl-C checkpoint)
    # Search
    "k": 10,  # results per query
}

_VECTOR_CHUNK = 65536
_LARGEST_K: int = _native.LARGEST_K  # checked before anything is allocated
_MOST_THREADS = 1024

#: The analyzer settings that earlier releases saved, all of them always; such settings carry
#: no term rules and are read under the first ones, so an index saved then analyzes as it did.
_FIRST_RELEASE_SETTINGS = frozenset({"stop_words", "mode", "fold_traditional", "hmm", "bigram_weight"})
_SETTING_NAMES = _FIRST_RELEASE_SETTINGS | {"user_dict", "rules"}


@lru_cache(maxsize=1)
def _t2s_table() -> Any:
    path = resources.files("lumotext").joinpath("data", "t2s.tsv")
    return _native.CharTable.from_file(str(path))


def fold_text(text: str, *, traditional: bool = DEFAULTS["fold_traditional"]) -> str:
    """``text`` folded as the analyzer folds it before segmenting: full-width ASCII forms to
    ASCII, the ideographic space to a space, ASCII upper case to lower case and, with
    ``traditional``, Traditional characters to Simplified ones by the bundled table."""
    if not isinstance(text, str):
        raise TypeError(f"text must be str, not {type(text).__name__}")
    return _native.fold(text, _t2s_table() if traditional else None)


@lru_cache(maxsize=1)
def _bundled_stop_words() -> tuple[str, ...]:
    return tuple(_read_word_list(default_paths()["stop_word_path"]))


def _read_word_list(path: StrPath) -> list[str]:
    with open(path, encoding="utf-8") as f:
        return [line.strip() for line in f if line.strip()]


class Analyzer:
    """Text to index terms, in order:

    1. width folding: full-width ASCII letters, digits and punctuation (U+FF01-U+FF5E) to their
       ASCII forms, the ideographic space to a space;
    2. ASCII upper case to lower case;
    3. Traditional characters to Simplified ones, one character at a time, from the bundled
       table ``src/lumotext/data/t2s.tsv`` (``fold_traditional=False`` turns this off);
    4. segmentation with the segmenter's default cut (``mode="search"``: the search cut, which
       adds the dictionary words inside longer words), over the bundled dictionary and the
       words of ``user_dict``;
    5. terms made only of whitespace, punctuation and symbols are dropped;
    6. stop words are dropped: ``stop_words="default"`` is the bundled list, ``None`` keeps
       every term, an iterable of words or the path of a file (one word a line) gives your own.
       Stop words are folded like the text, so one list serves both scripts. Numbers and
       single letters are never stop words;
    7. a run of letters and digits is split into its letter and digit parts, so the usual
       spellings of a model or version name give the same terms: ``"CVPR2022"``,
       ``"CVPR 2022"`` and ``"cvpr-2022"`` all give ``cvpr 2022``;
    8. with ``bigram_weight`` > 0, a second field: every pair of adjacent ideographs of the
       folded text, scored like the words with its own lengths and statistics, its query
       weight multiplied by ``bigram_weight``. These terms start with the character U+0001
       (``"\x01北京"``), which no word term holds.

    A text whose words are all stop words has no terms at all (a query of only stop words
    finds nothing). The defaults are those of :data:`DEFAULTS`.

    ``user_dict`` teaches the segmenter words of your domain: the path of a user-dictionary
    file (one entry a line: ``word``, ``word tag`` or ``word frequency tag``; several files
    joined by ``|`` or ``;``, or given as a list of :class:`os.PathLike`), or an iterable of
    such lines (``["云原生", "区块链 5 n"]``). The settings keep the dictionary's content, not
    its path, so a saved index analyzes the same where the file is gone. One segmenter is
    loaded per process for each set of words, shared by every analyzer that uses it; without
    user words that is :func:`lumotext.shared_jieba`, so segmenting with it beside an index
    costs no second dictionary.

    ``analyze(text)`` returns the terms the index sees.
    """

    def __init__(
        self,
        *,
        stop_words: Iterable[str] | StrPath | None | Literal["default"] = DEFAULTS["stop_words"],
        mode: Literal["default", "search"] = DEFAULTS["mode"],
        fold_traditional: bool = DEFAULTS["fold_traditional"],
        hmm: bool = DEFAULTS["hmm"],
        bigram_weight: float = DEFAULTS["bigram_weight"],
        user_dict: StrPath | Iterable[str] | Iterable[os.PathLike[str]] | None = DEFAULTS["user_dict"],
    ) -> None:
        self._build(stop_words, mode, fold_traditional, hmm, bigram_weight, user_dict_lines(user_dict), None)

    def _build(
        self,
        stop_words: Any,
        mode: Any,
        fold_traditional: Any,
        hmm: Any,
        bigram_weight: Any,
        user_dict: list[str] | None,
        rules: int | None,
    ) -> None:
        if mode not in ("default", "search"):
            raise ValueError(f"mode must be 'default' or 'search', not {mode!r}")
        if isinstance(bigram_weight, bool) or not isinstance(bigram_weight, (int, float)):
            raise TypeError(f"bigram_weight must be a number, not {type(bigram_weight).__name__}")
        if not 0 <= bigram_weight <= 1e6:
            raise ValueError(f"bigram_weight must be from 0 to 1e6, not {bigram_weight}")
        stored: str | list[str] | None
        if isinstance(stop_words, str) and stop_words == "default":
            words: list[str] = list(_bundled_stop_words())
            stored = "default"
        elif stop_words is None:
            words, stored = [], None
        elif isinstance(stop_words, (str, os.PathLike)):
            words = _read_word_list(stop_words)
            stored = list(words)
        else:
            words = list(stop_words)
            for word in words:
                if not isinstance(word, str):
                    raise TypeError(f"stop words must be str, not {type(word).__name__}")
            stored = list(words)
        rules = _native.TERM_RULES if rules is None else rules
        self._settings: dict[str, Any] = {
            "stop_words": stored,
            "mode": mode,
            "fold_traditional": bool(fold_traditional),
            "hmm": bool(hmm),
            "bigram_weight": float(bigram_weight),
            "user_dict": user_dict,
            "rules": rules,
        }
        self._native = _native.Analyzer(
            segmenter_for(user_dict),
            _t2s_table() if fold_traditional else None,
            words,
            mode == "search",
            bool(hmm),
            float(bigram_weight),
            rules,
        )

    @classmethod
    def from_settings(cls, settings: dict[str, Any]) -> Analyzer:
        """The analyzer that :attr:`settings` describes (as stored with a saved index); a
        setting left out takes its value from :data:`DEFAULTS`. Settings saved by earlier
        releases name no term rules and keep analyzing by the first ones."""
        if not isinstance(settings, dict):
            raise ValueError("analyzer settings must be a JSON object")
        unknown = set(settings) - _SETTING_NAMES
        if unknown:
            raise ValueError(f"unknown analyzer settings: {sorted(unknown)}")
        stop_words = settings.get("stop_words", DEFAULTS["stop_words"])
        if not (stop_words is None or stop_words == "default" or isinstance(stop_words, list)):
            raise ValueError(f"analyzer setting stop_words must be 'default', null or a list, not {stop_words!r}")
        for key in ("fold_traditional", "hmm"):
            if not isinstance(settings.get(key, DEFAULTS[key]), bool):
                raise ValueError(f"analyzer setting {key} must be true or false")
        user_dict = settings.get("user_dict", DEFAULTS["user_dict"])
        if user_dict is not None and not (
            isinstance(user_dict, list) and all(isinstance(line, str) for line in user_dict)
        ):
            raise ValueError("analyzer setting user_dict must be null or a list of lines")
        rules = settings.get("rules")
        if rules is None and set(settings) == _FIRST_RELEASE_SETTINGS:
            rules = 1
        if rules is not None and (isinstance(rules, bool) or not isinstance(rules, int)):
            raise ValueError(f"analyzer setting rules must be a whole number, not {rules!r}")
        analyzer = cls.__new__(cls)
        analyzer._build(
            stop_words,
            settings.get("mode", DEFAULTS["mode"]),
            settings.get("fold_traditional", DEFAULTS["fold_traditional"]),
            settings.get("hmm", DEFAULTS["hmm"]),
            settings.get("bigram_weight", DEFAULTS["bigram_weight"]),
            user_dict_lines(user_dict),
            rules,
        )
        return analyzer

    @property
    def settings(self) -> dict[str, Any]:
        """The settings as a JSON-ready dictionary: the stop words as given (or "default"/None),
        the user dictionary's lines (or None), and the term rules the analyzer follows."""
        return json.loads(json.dumps(self._settings))  # type: ignore[no-any-return]

    def analyze(self, text: str) -> list[str]:
        if not isinstance(text, str):
            raise TypeError(f"text must be str, not {type(text).__name__}")
        return self._native.analyze(text)

    def __repr__(self) -> str:
        shown = {k: v for k, v in self._settings.items() if k not in ("stop_words", "user_dict", "rules")}
        text = ", ".join(f"{k}={v!r}" for k, v in shown.items())
        if self._settings["user_dict"] is not None:
            text += f", user_dict=<{len(self._settings['user_dict'])} lines>"
        return f"Analyzer({text})"


def _check_k(k: object) -> int:
    if isinstance(k, bool) or not isinstance(k, int):
        raise TypeError(f"k must be an int, not {type(k).__name__}")
    if not 0 < k <= _LARGEST_K:
        raise ValueError(f"k must be from 1 to {_LARGEST_K}, not {k}")
    return k


def _check_threads(threads: object) -> int:
    if threads is None:
        return os.cpu_count() or 1
    if isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
    if not 1 <= threads <= _MOST_THREADS:
        raise ValueError(f"threads must be from 1 to {_MOST_THREADS}, not {threads}")
    return threads


class Index:
    """An in-process BM25 index over Chinese text (see the module docstring for the formula).

    Documents are numbered 0, 1, 2, ... in the order they are added; removing one keeps the
    numbers of the others, and a removed number is never given out again. Statistics (N, df,
    avgdl) always count the live documents only.

    With ``store=True`` (the default) the index keeps each document's text, an optional id of
    yours and a JSON metadata object, compressed beside its postings and saved with them in one
    commit: :meth:`document`, ``search(..., return_documents=True)`` and :meth:`remove_ids`
    use them. ``store=False`` keeps document numbers only (and so does an index saved by a
    release before stored documents).

    Safe to share between threads: searches run side by side, an ``add`` or ``remove`` waits
    for running searches and holds back new ones while it changes the index (one batch at a
    time, so searches run between the batches of a long ``add``). Adds from several threads
    run one after the other, each numbering its documents consecutively.
    """

    def __init__(
        self,
        analyzer: Analyzer | None = None,
        k1: float = DEFAULTS["k1"],
        b: float = DEFAULTS["b"],
        store: bool = DEFAULTS["store"],
    ) -> None:
        if analyzer is not None and not isinstance(analyzer, Analyzer):
            raise TypeError(f"analyzer must be a lumotext.Analyzer, not {type(analyzer).__name__}")
        for name, value in (("k1", k1), ("b", b)):
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise TypeError(f"{name} must be a number, not {type(value).__name__}")
        if not isinstance(store, bool):
            raise TypeError(f"store must be True or False, not {type(store).__name__}")
        self._analyzer = analyzer if analyzer is not None else Analyzer()
        self._native = _native.Index(float(k1), float(b), store)
        self._writer = threading.Lock()
        self._adding_thread: int | None = None

    @classmethod
    def _wrap(cls, native: Any, analyzer: Analyzer) -> Index:
        index = cls.__new__(cls)
        index._analyzer = analyzer
        index._native = native
        index._writer = threading.Lock()
        index._adding_thread = None
        return index

    def _check_not_inside_add(self) -> None:
        # The iterable of a running add would wait forever for the add's own lock.
        if self._adding_thread == threading.get_ident():
            raise RuntimeError("cannot change an index from inside the iterable of its own add()")

    @property
    def analyzer(self) -> Analyzer:
        return self._analyzer

    @property
    def k1(self) -> float:
        return float(self._native.k1)

    @property
    def b(self) -> float:
        return float(self._native.b)

    @property
    def stores_documents(self) -> bool:
        """Whether the index keeps its documents' texts, ids and metadata (``store=True``)."""
        return bool(self._native.stores_documents)

    def __len__(self) -> int:
        return int(self._native.live_count)

    @property
    def term_count(self) -> int:
        """The number of distinct terms indexed, of both fields."""
        return int(self._native.term_count)

    def __repr__(self) -> str:
        return f"Index({len(self)} documents, k1={self.k1}, b={self.b}, {self._analyzer!r})"

    # --- adding and removing -----------------------------------------------------------------

    def add(
        self,
        texts: Iterable[str],
        threads: int | None = None,
        progress: bool = False,
        *,
        ids: Iterable[str | None] | None = None,
        metadata: Iterable[Mapping[str, Any] | None] | None = None,
        batch_size: int = DEFAULTS["batch_size"],
    ) -> range:
        """Adds the texts as the next documents, in order; returns their numbers.

        An index that stores documents keeps each text, and with ``ids`` and ``metadata`` (one
        entry per text, taken alongside the texts) an id of yours and a JSON object:
        :meth:`document`, ``search(..., return_documents=True)`` and :meth:`remove_ids` give
        them back. An id is a non-empty str (TypeError for anything else, ints included, so
        that ids and document numbers are never confused) or None; an id held by a live
        document, or given twice, raises ValueError. Metadata that JSON cannot encode raises
        TypeError or ValueError. ``ids`` or ``metadata`` that run out before the texts raise
        ValueError. Each of these is found before the batch it is in is added.

        The texts are taken from the iterable ``batch_size`` at a time, so a generator over a
        large file is never held whole. ``threads`` native threads analyze each batch (default:
        the CPU count); the index is the same for any number of threads. ``progress=True`` shows
        a tqdm bar on standard error.

        Interrupted (Ctrl-C, or any exception from the iterable), the index keeps every batch
        added before, and nothing of the batch being gathered: it is as after the last whole
        batch. ``len(index)`` tells how far it got.

        A text that is not a str raises TypeError, one with lone surrogates
        UnicodeEncodeError; both name the document number and leave that batch out.
        """
        if isinstance(texts, (str, bytes)):
            raise TypeError("texts must be an iterable of str, not a single str or bytes")
        if isinstance(batch_size, bool) or not isinstance(batch_size, int) or batch_size < 1:
            raise ValueError(f"batch_size must be a positive int, not {batch_size!r}")
        for name, values in (("ids", ids), ("metadata", metadata)):
            if isinstance(values, (str, bytes, Mapping)):
                raise TypeError(f"{name} must be an iterable with one entry per text, not {type(values).__name__}")
            if isinstance(values, Sized) and isinstance(texts, Sized) and len(values) != len(texts):
                raise ValueError(f"{len(texts)} texts but {len(values)} {name}")
        n_threads = _check_threads(threads)
        bar = None
        if progress:
            from tqdm import tqdm

            total = len(texts) if isinstance(texts, Sequence) else None
            bar = tqdm(total=total, unit="doc", file=sys.stderr, desc="indexing")
        self._check_not_inside_add()
        self._writer.acquire()
        self._adding_thread = threading.get_ident()
        try:
            first = int(self._native.document_count)
            iterator = iter(texts)
            id_iterator = None if ids is None else iter(ids)
            metadata_iterator = None if metadata is None else iter(metadata)
            while True:
                batch = list(islice(iterator, batch_size))
                if not batch:
                    break
                number = int(self._native.document_count)
                batch_ids = _batch_fields(id_iterator, len(batch), number, "ids", _id_text)
                batch_metadata = _batch_fields(metadata_iterator, len(batch), number, "metadata", encode_metadata)
                self._native.add(self._analyzer._native, batch, n_threads, batch_ids, batch_metadata)
                if bar is not None:
                    bar.update(len(batch))
            return range(first, int(self._native.document_count))
        finally:
            self._adding_thread = None
            self._writer.release()
            if bar is not None:
                bar.close()

    def remove(self, doc_numbers: Iterable[int]) -> None:
        """Removes the documents; KeyError for a number that is not a live document (then none
        of the listed documents is removed)."""
        numbers = []
        for number in doc_numbers:
            if isinstance(number, bool) or not isinstance(number, int):
                raise TypeError(f"document numbers must be int, not {type(number).__name__}")
            if number < 0:
                raise KeyError(number)
            numbers.append(number)
        self._check_not_inside_add()
        with self._writer:
            self._native.remove(numbers)

    def compact(self) -> None:
        """Rewrites the index as one segment, without its removed documents; document numbers
        stay. Adding in batches leaves several segments (a few per size class): one searches
        faster and takes less room, so call this once a bulk build is done. It is one pass over
        the whole index, which is held twice in memory while it runs; Ctrl-C stops it and
        leaves the index as it was. ``lumotext index build`` does it before saving."""
        self._check_not_inside_add()
        with self._writer:
            self._native.merge_all_segments()

    def remove_ids(self, ids: Iterable[str]) -> list[int]:
        """Removes the documents with these ids (given to :meth:`add`); returns their numbers,
        in the order of ``ids``. KeyError for an id no live document holds, or one listed
        twice; then none is removed."""
        wanted = []
        for position, value in enumerate(ids):
            wanted.append(check_id(value, position))
        self._check_not_inside_add()
        with self._writer:
            numbers = self._native.find_ids(wanted)
            seen: set[str] = set()
            for value, number in zip(wanted, numbers):
                if number < 0 or value in seen:
                    raise KeyError(value)
                seen.add(value)
            self._native.remove(numbers)
        return list(numbers)

    def document(self, doc_number: int) -> Document:
        """The stored text, id and metadata of a live document: KeyError for any other number,
        RuntimeError for an index that does not store documents."""
        if isinstance(doc_number, bool) or not isinstance(doc_number, int) or doc_number < 0:
            raise KeyError(doc_number)
        text, id_, metadata = self._native.document(doc_number)
        return Document(text, id_, decode_metadata(metadata))

    def _hits(self, results: list[tuple[int, float]]) -> list[Hit]:
        records = self._native.documents([number for number, _ in results])
        hits = []
        for (number, score), record in zip(results, records):
            if record is not None:  # removed since the search found it
                hits.append(Hit(number, score, record[0], record[1], decode_metadata(record[2])))
        return hits

    def live_documents(self) -> list[int]:
        """The numbers of the live documents, ascending."""
        return array("I", self._native.live_documents()).tolist()

    # --- searching ---------------------------------------------------------------------------

    @overload
    def search(
        self, query: str, k: int = ..., *, return_documents: Literal[False] = ...
    ) -> list[tuple[int, float]]: ...

    @overload
    def search(self, query: str, k: int = ..., *, return_documents: Literal[True]) -> list[Hit]: ...

    def search(
        self, query: str, k: int = DEFAULTS["k"], *, return_documents: bool = False
    ) -> list[tuple[int, float]] | list[Hit]:
        """The best ``k`` documents as (number, score), best first, ties by lower number. A query
        without any indexed term (empty, only stop words or punctuation) finds nothing.

        With ``return_documents=True``, :class:`Hit` records (number, score, text, id,
        metadata) instead; RuntimeError for an index that does not store documents."""
        if not isinstance(query, str):
            raise TypeError(f"query must be str, not {type(query).__name__}")
        if return_documents:
            self._native.check_stores_documents()
        results = self._native.search(self._analyzer._native, query, _check_k(k))
        return self._hits(results) if return_documents else results

    @overload
    def search_many(
        self,
        queries: Sequence[str],
        k: int = ...,
        threads: int | None = ...,
        as_arrays: Literal[False] = ...,
        *,
        return_documents: Literal[False] = ...,
    ) -> list[list[tuple[int, float]]]: ...

    @overload
    def search_many(
        self, queries: Sequence[str], k: int = ..., threads: int | None = ..., *, as_arrays: Literal[True]
    ) -> tuple[numpy.ndarray, numpy.ndarray]: ...

    @overload
    def search_many(
        self,
        queries: Sequence[str],
        k: int = ...,
        threads: int | None = ...,
        as_arrays: Literal[False] = ...,
        *,
        return_documents: Literal[True],
    ) -> list[list[Hit]]: ...

    def search_many(
        self,
        queries: Sequence[str],
        k: int = DEFAULTS["k"],
        threads: int | None = None,
        as_arrays: bool = False,
        *,
        return_documents: bool = False,
    ) -> list[list[tuple[int, float]]] | tuple[numpy.ndarray, numpy.ndarray] | list[list[Hit]]:
        """``search`` for each query, on ``threads`` native threads (default: the CPU count).

        With ``as_arrays=True``: two numpy arrays of shape (len(queries), k), document numbers
        (int64) and scores (float32); a row with fewer than k hits is padded with -1 and 0.0.
        With ``return_documents=True``: a list of :class:`Hit` records per query.
        """
        if isinstance(queries, (str, bytes)):
            raise TypeError("queries must be a sequence of str, not a single str or bytes")
        k = _check_k(k)
        if return_documents:
            if as_arrays:
                raise ValueError("as_arrays and return_documents cannot be used together")
            self._native.check_stores_documents()
        result = self._native.search_many(self._analyzer._native, list(queries), k, _check_threads(threads), as_arrays)
        if return_documents:
            return [self._hits(results) for results in result]
        if not as_arrays:
            return result  # type: ignore[no-any-return]
        import numpy as np

        docs, scores = result
        return (
            np.frombuffer(docs, dtype=np.int64).reshape(-1, k),
            np.frombuffer(scores, dtype=np.float32).reshape(-1, k),
        )

    # --- vectors for search engines ----------------------------------------------------------

    @overload
    def document_vectors(
        self, since: int | None = ..., *, with_numbers: Literal[False] = ...
    ) -> Iterator[SparseVector]: ...

    @overload
    def document_vectors(
        self, since: int | None = ..., *, with_numbers: Literal[True]
    ) -> Iterator[tuple[int, SparseVector]]: ...

    def document_vectors(
        self, since: int | None = None, *, with_numbers: bool = False
    ) -> Iterator[SparseVector] | Iterator[tuple[int, SparseVector]]:
        """One sparse vector per live document, in document order (from document ``since`` on,
        when given). ``with_numbers=True`` yields (document number, vector) pairs; otherwise
        pair them with :meth:`live_documents` (the numbers from ``since`` on).

        Indices are the index's own term ids: unique per term (no collisions), stable for the
        life of the index and across save/load, renumbered by :meth:`merge`. Values are
        ``tf * (k1 + 1) / (tf + k1 * (1 - b + b * |d| / avgdl))``, finite and >= 0, and the dot
        product with :meth:`query_vector` is the document's :meth:`search` score.

        Exported vectors go stale when the index changes: each value depends on avgdl, and the
        query's idf on N and df. After adds, ``document_vectors(since=first_new_number)``
        gives the new documents; for exact scores again, re-export all of them.
        """
        start = 0 if since is None else since
        if isinstance(start, bool) or not isinstance(start, int) or start < 0:
            raise ValueError(f"since must be a document number >= 0, not {since!r}")
        return self._vectors(start, with_numbers)

    def _vectors(self, start: int, with_numbers: bool) -> Iterator[Any]:
        end = int(self._native.document_count)
        for chunk_start in range(start, end, _VECTOR_CHUNK):
            rows_b, starts_b, indices_b, values_b = self._native.document_vectors(
                chunk_start, min(end, chunk_start + _VECTOR_CHUNK)
            )
            rows = array("I", rows_b)
            starts = array("Q", starts_b)
            indices = array("I", indices_b).tolist()
            values = array("f", values_b).tolist()
            for row in range(len(starts) - 1):
                lo, hi = starts[row], starts[row + 1]
                vector: SparseVector = {"indices": indices[lo:hi], "values": values[lo:hi]}
                yield (rows[row], vector) if with_numbers else vector

    def query_vector(self, text: str, *, engine_idf: bool = False) -> SparseVector:
        """The query's sparse vector: qtf * idf per known term, so that a plain inner product
        with :meth:`document_vectors` gives the score. With ``engine_idf=True`` the values are
        qtf alone, for an engine that multiplies by its own idf
        ``ln(1 + (N - df + 0.5) / (df + 0.5))`` over the stored documents (Qdrant's
        ``modifier: idf``). Terms no live document holds are left out."""
        if not isinstance(text, str):
            raise TypeError(f"query must be str, not {type(text).__name__}")
        indices, values = self._native.query_vector(self._analyzer._native, text, engine_idf)
        return {"indices": indices, "values": values}

    # --- combining, saving and loading ---------------------------------------------------------

    @classmethod
    def merge(cls, indexes: Sequence[Index]) -> Index:
        """One index of the documents of all ``indexes``, in the order given: document n of
        ``indexes[i]`` becomes n plus the document counts (removed numbers included) of the
        indexes before it, so removed documents stay removed. Statistics and scores are those
        of one index built from all the documents. All must share k1, b and analyzer settings,
        and all store documents or none (ValueError otherwise).
        """
        parts = list(indexes)
        if not parts:
            raise ValueError("merge needs at least one index")
        for part in parts:
            if not isinstance(part, Index):
                raise TypeError(f"can only merge lumotext.Index objects, not {type(part).__name__}")
        first = parts[0]
        for part in parts[1:]:
            if (part.k1, part.b) != (first.k1, first.b):
                raise ValueError(
                    f"cannot merge indexes with different k1/b: {(first.k1, first.b)} and {(part.k1, part.b)}"
                )
            if part._analyzer._settings != first._analyzer._settings:
                raise ValueError("cannot merge indexes with different analyzer settings")
        native = _native.Index.merge([p._native for p in parts], first.k1, first.b)
        return cls._wrap(native, first._analyzer)

    def save(self, path: StrPath) -> None:
        """Writes the index to the directory ``path`` as its new commit, atomically: a load at
        any moment (another thread or process included) and a kill at any instant find the old
        or the new index, never a mix. Files that did not change since the last save there are
        not written again. ``path`` must not exist, be an empty directory or hold a saved index;
        anything else is refused with FileExistsError and left untouched. See docs/formats.md.
        """
        settings = json.dumps(self._analyzer._settings, ensure_ascii=False)
        _native.save_index(os.fspath(path), self._native, settings)

    @classmethod
    def load(cls, path: StrPath, *, verify: bool = True) -> Index:
        """The index saved at ``path``.

        Checks the commit file's checksum, each file's size, and the arrays' structure
        (offsets, counts, term order); ``verify=True`` (the default) also compares every file's
        checksum, which reads the whole index once. A missing directory or file raises OSError
        (FileNotFoundError), anything damaged or foreign ValueError; nothing is half-loaded.
        Indexes saved by earlier releases (a ``manifest.json``) load too.
        """
        native, settings = _native.load_index(os.fspath(path), bool(verify))
        try:
            parsed = json.loads(settings)
        except json.JSONDecodeError as error:
            raise ValueError(
                f"damaged index: the analyzer settings of {os.fspath(path)!r} are not JSON: {error}"
            ) from None
        return cls._wrap(native, Analyzer.from_settings(parsed))

    # --- statistics ------------------------------------------------------------------------------

    def document_frequency(self, term: str) -> int:
        """How many live documents hold the analyzed term ``term``."""
        return int(self._native.document_frequency(term))

    def document_length(self, doc_number: int, field: Literal["words", "bigrams"] = "words") -> int:
        """The number of terms of a live document in a field (KeyError for any other number)."""
        if isinstance(doc_number, bool) or not isinstance(doc_number, int) or doc_number < 0:
            raise KeyError(doc_number)
        return int(self._native.document_length(doc_number, _field_number(field)))

    def total_length(self, field: Literal["words", "bigrams"] = "words") -> int:
        """The number of terms of all live documents in a field."""
        return int(self._native.total_length(_field_number(field)))


def _id_text(value: object, position: int) -> str:
    return "" if value is None else check_id(value, position)


def _batch_fields(
    values: Iterator[Any] | None, count: int, first: int, name: str, convert: Callable[[object, int], str]
) -> list[str]:
    """The next ``count`` entries of ``values`` as the native index takes them ([] for none)."""
    if values is None:
        return []
    batch = [convert(value, first + i) for i, value in enumerate(islice(values, count))]
    if len(batch) != count:
        raise ValueError(f"{name} ran out at document {first + len(batch)}: give one per text")
    return batch


def _field_number(field: str) -> int:
    if field not in ("words", "bigrams"):
        raise ValueError(f"field must be 'words' or 'bigrams', not {field!r}")
    return 0 if field == "words" else 1

"""BM25 model documents: reading them, writing them, and merging models trained on shards.

A model document is the JSON text that ``BM25.dump`` writes: one object with the members
``_b``, ``_doc_count``, ``_doc_length_average``, ``_doc_token_frequency`` (token to its total
number of occurrences) and ``_k1``. Its doubles are written with six digits after the decimal
point, its counts as plain integers.

Every statistic of a model is a sum over its documents, so a model of a large corpus can be
built from models of its shards: :func:`merge_models` adds them up.

Reading and writing go through the encoder's own native reader and writer (``lumotext._native``),
so this module takes exactly the documents that ``BM25.load`` takes and writes exactly what
``BM25.dump`` writes.
"""

from __future__ import annotations

import os
import tempfile
from typing import Iterable

from pylumotext import BM25

from lumotext import _native

__all__ = ["BM25_DEFAULTS", "ModelStats", "merge_models", "model_text", "parse_model", "render_model", "load_model"]

#: The encoder's own defaults of ``b`` and ``k1``, as a new ``BM25()`` holds them, so that the
#: command line and the Dask helpers never type them again.
BM25_DEFAULTS: dict[str, float] = {"b": BM25().b(), "k1": BM25().k1()}

#: The statistics of one model document (native): ``b``, ``k1``, ``doc_count``,
#: ``doc_length_average``, ``doc_length_total`` (the count times the average, rounded) and
#: ``token_counts()`` (a dict from the token's UTF-8 bytes to its count).
ModelStats = _native.ModelStatistics


def parse_model(text: str | bytes, source: str = "model") -> ModelStats:
    """Reads a model document with the same reader and checks as ``BM25.load``.

    Raises ``ValueError`` naming ``source`` and the loader's message ("load doc_count failed",
    ...) when ``BM25.load`` would refuse the text.
    """
    return _native.parse_model(text, source)


def render_model(stats: ModelStats) -> str:
    """Writes statistics as ``BM25.dump`` does: members and tokens in byte order, two-space
    indentation, ``" : "`` between key and value, no final line break."""
    return _native.render_model(stats)


def _fixed(value: float) -> str:
    return f"{value:.6f}"


def merge_models(texts: Iterable[str]) -> str:
    """Merges model documents trained on disjoint shards of a corpus into one model document.

    Token counts and document counts are summed. The average document length is recomputed
    from the shards' totals (document count times average). b and k1 are taken from the
    shards, which must all agree on them.

    The result loads into a ``BM25`` and encodes like a model trained on the concatenated
    shards, up to the rounding of the average: the file keeps six decimals, so each shard's
    average is off by at most 5e-7 and the merged average, rounded again, is within 1e-6 of
    the corpus average. Lengths being whole numbers, each shard's total is in fact recovered
    exactly while the shard has fewer than a million documents, and then the merged document
    is the very text a single model trained on all shards would dump. Counts come out the
    same whatever the order or grouping of the shards, so merging merged models is fine (a
    tree reduction).

    >>> a = '{"_b": 0.750000, "_doc_count": 1, "_doc_length_average": 2.000000,'
    >>> a += ' "_doc_token_frequency": {"x": 2}, "_k1": 1.200000}'
    >>> b = a.replace('"x": 2', '"y": 2')
    >>> print(merge_models([a, b]))
    {
      "_b" : 0.750000,
      "_doc_count" : 2,
      "_doc_length_average" : 2.000000,
      "_doc_token_frequency" : {
        "x" : 2,
        "y" : 2
      },
      "_k1" : 1.200000
    }

    Raises ``ValueError`` for no models at all, a text that ``BM25.load`` refuses (with its
    message, after the model's position: "model #2: load doc_count failed"), shards whose b or
    k1 differ, and sums beyond 64 bits ("merge doc_count failed", ...).
    """
    merge = _native.ModelMerge()
    first: ModelStats | None = None
    for index, text in enumerate(texts):
        stats = parse_model(text, f"model #{index}")
        if first is None:
            first = stats
        elif (stats.b, stats.k1) != (first.b, first.k1):
            raise ValueError(
                f"model #{index} has b={_fixed(stats.b)}, k1={_fixed(stats.k1)} but model #0 has "
                f"b={_fixed(first.b)}, k1={_fixed(first.k1)}; models with different parameters do not merge"
            )
        merge.add(stats, f"model #{index}")
    if first is None:
        raise ValueError("merge_models needs at least one model")
    return render_model(merge.result())


def model_text(model: BM25) -> str:
    """The model document of a ``BM25``, as ``dump`` writes it (through a temporary file)."""
    handle, path = tempfile.mkstemp(prefix="lumotext-", suffix=".json")
    os.close(handle)
    try:
        model.dump(path)
        with open(path, encoding="utf-8") as stream:
            return stream.read()
    finally:
        os.unlink(path)


def load_model(source: str | os.PathLike[str]) -> BM25:
    """A new ``BM25`` from a model document, given as its text or as the path of its file.

    A ``str`` whose first non-blank character is ``{`` is the document's text (a model document
    is a JSON object, so its text starts with ``{``); any other ``str``, and any ``os.PathLike``,
    is a path, read as UTF-8. A path that is not a file raises ``FileNotFoundError`` rather than
    a parser diagnostic. (``BM25.load`` itself takes only text; ``BM25.dump`` takes a path.)
    """
    model = BM25()
    model.load(_model_document(source))
    return model


def _model_document(source: str | os.PathLike[str]) -> str:
    if isinstance(source, str) and source.lstrip().startswith("{"):
        return source
    if not isinstance(source, (str, os.PathLike)):
        raise TypeError(f"load_model takes a model document's text or a path, not {type(source).__name__}")
    path = os.fspath(source)
    if not os.path.isfile(path):
        raise FileNotFoundError(
            f"load_model: {path!r} is neither a model document (JSON text starting with '{{') nor a model file"
        )
    with open(path, encoding="utf-8") as stream:
        return stream.read()

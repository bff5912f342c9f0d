"""BM25 model documents: reading them, writing them, and merging models trained on shards.

A model document is the JSON text that ``BM25.dump`` writes: one object with the members
``_b``, ``_doc_count``, ``_doc_length_average``, ``_doc_token_frequency`` (token to its total
number of occurrences) and ``_k1``. Its doubles are written with six digits after the decimal
point, its counts as plain integers.

Every statistic of a model is a sum over its documents, so a model of a large corpus can be
built from models of its shards: :func:`merge_models` adds them up.
"""

from __future__ import annotations

import json
import os
import re
import tempfile
from dataclasses import dataclass
from decimal import Decimal, InvalidOperation
from typing import Iterable

from pylumotext import BM25

__all__ = ["ModelStats", "merge_models", "model_text", "parse_model", "render_model", "load_model"]

#: The file format keeps six digits after the decimal point, so a stored average is off from
#: the true one by at most half of the last digit.
AVERAGE_ROUNDING = Decimal("0.0000005")

_SHORT_ESCAPES = {"\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r", '"': '\\"'}
_NEEDS_ESCAPE = re.compile(r'\\u|["\\\x00-\x1f]')


def _escape_match(match: re.Match[str]) -> str:
    text = match.group()
    if text == "\\u":
        return "\\u005cu"  # kept apart from a \u escape, as the model writer does
    if text == "\\":
        return "\\\\"
    return _SHORT_ESCAPES.get(text) or f"\\u{ord(text):04x}"


def escape_token(token: str) -> str:
    """A token as the model writer puts it between quotes: standard JSON string escapes for the
    double quote, the backslash and the control characters, nothing else."""
    return _NEEDS_ESCAPE.sub(_escape_match, token)


@dataclass
class ModelStats:
    """The statistics of one model document, with its doubles as exact decimals of the text."""

    b: Decimal
    k1: Decimal
    doc_count: int
    doc_length_average: Decimal
    token_counts: dict[str, int]

    def doc_length_total(self) -> Decimal | int:
        """The documents' total length in tokens, as far as the rounded average tells it.

        Lengths are whole numbers of tokens. When exactly one whole number lies within the
        rounding of the average (always so below a million documents) that number is the
        total the model was trained with, and it is returned as an ``int``; otherwise the
        product of count and average is returned as it is.
        """
        product = self.doc_length_average * self.doc_count
        whole = int(product.to_integral_value())
        slack = AVERAGE_ROUNDING * self.doc_count
        if slack < Decimal("0.5") and abs(product - whole) <= slack:
            return whole
        return product


def _fail(source: str, message: str) -> ValueError:
    return ValueError(f"{source}: {message}")


def _decimal_member(root: dict[str, object], key: str, source: str) -> Decimal:
    value = root.get(key)
    if not isinstance(value, Decimal):
        raise _fail(source, f"member {key!r} must be a number with a decimal point, found {value!r}")
    if not value.is_finite():
        raise _fail(source, f"member {key!r} is not finite")
    return value


def _parse_number(text: str) -> Decimal:
    try:
        return Decimal(text)
    except InvalidOperation as error:  # pragma: no cover - json only hands over number syntax
        raise ValueError(f"bad number {text!r}") from error


def parse_model(text: str, source: str = "model") -> ModelStats:
    """Reads a model document, checking the kinds the loader insists on.

    Raises ``ValueError`` naming ``source`` when the text is not JSON, a member is missing or
    of the wrong kind, or a count is negative.
    """
    try:
        # strict=False: the model loader takes raw control characters inside strings too.
        root = json.loads(text, parse_float=_parse_number, parse_constant=_parse_number, strict=False)
    except json.JSONDecodeError as error:
        raise _fail(source, f"not a JSON document: {error}") from None
    if not isinstance(root, dict):
        raise _fail(source, f"a model is a JSON object, found {type(root).__name__}")
    doc_count = root.get("_doc_count")
    if isinstance(doc_count, bool) or not isinstance(doc_count, int) or doc_count < 0:
        raise _fail(source, f"member '_doc_count' must be a non-negative integer, found {doc_count!r}")
    frequencies = root.get("_doc_token_frequency", {})
    if not isinstance(frequencies, dict):
        raise _fail(source, "member '_doc_token_frequency' must be an object")
    for token, count in frequencies.items():
        if isinstance(count, bool) or not isinstance(count, int) or count < 0:
            raise _fail(source, f"token {token!r} has count {count!r}, expected a non-negative integer")
    return ModelStats(
        b=_decimal_member(root, "_b", source),
        k1=_decimal_member(root, "_k1", source),
        doc_count=doc_count,
        doc_length_average=_decimal_member(root, "_doc_length_average", source),
        token_counts=frequencies,
    )


def _fixed(value: Decimal) -> str:
    return f"{value:.6f}"


def render_model(stats: ModelStats) -> str:
    """Writes statistics in the layout of ``BM25.dump``: members and tokens in byte order,
    two-space indentation, ``" : "`` between key and value, no final line break."""
    # The writer orders members by their written (escaped) form.
    written = sorted((escape_token(token), count) for token, count in stats.token_counts.items())
    tokens = ",\n".join(f'    "{key}" : {count}' for key, count in written)
    return (
        "{\n"
        f'  "_b" : {_fixed(stats.b)},\n'
        f'  "_doc_count" : {stats.doc_count},\n'
        f'  "_doc_length_average" : {_fixed(stats.doc_length_average)},\n'
        f'  "_doc_token_frequency" : {{\n{tokens}\n  }},\n'
        f'  "_k1" : {_fixed(stats.k1)}\n'
        "}"
    )


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

    Raises ``ValueError`` for no models at all, a text that is not a model document, or
    shards whose b or k1 differ.
    """
    merged: ModelStats | None = None
    total: Decimal | int = 0
    for index, text in enumerate(texts):
        stats = parse_model(text, f"model #{index}")
        if merged is None:
            merged = ModelStats(stats.b, stats.k1, 0, Decimal(0), {})
        elif (stats.b, stats.k1) != (merged.b, merged.k1):
            raise ValueError(
                f"model #{index} has b={_fixed(stats.b)}, k1={_fixed(stats.k1)} but model #0 has "
                f"b={_fixed(merged.b)}, k1={_fixed(merged.k1)}; models with different parameters do not merge"
            )
        merged.doc_count += stats.doc_count
        total += stats.doc_length_total()
        counts = merged.token_counts
        for token, count in stats.token_counts.items():
            counts[token] = counts.get(token, 0) + count
    if merged is None:
        raise ValueError("merge_models needs at least one model")
    if merged.doc_count:
        if isinstance(total, int):
            # The same double division a model trained on the whole corpus performs.
            merged.doc_length_average = Decimal(total / merged.doc_count)
        else:
            merged.doc_length_average = total / merged.doc_count
    return render_model(merged)


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

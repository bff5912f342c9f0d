"""BM25 vectors in the shapes that search libraries and vector databases take.

``BM25.encode_document`` and ``encode_query`` return dictionaries from token to weight. This
module turns them into

* the ``{"indices": [...], "values": [...]}`` shape of sparse vectors in vector databases:
  unique, ascending, non-negative integer indices, each with its weight. The indices come from a
  vocabulary you give (token to index) or, without one, from :func:`token_hash`, a stable
  32-bit hash of the token, so that documents and queries encoded anywhere, at any time, agree
  on the index of a token without sharing a vocabulary;
* a ``scipy.sparse.csr_matrix`` with one row per vector and one column per vocabulary entry
  (scipy is an optional extra: ``pip install '.[scipy]'`` in the source tree).

Example, with a model trained on two documents::

    >>> from pylumotext import BM25
    >>> model = BM25()
    >>> model.train(["水", "电"]); model.train(["水", "坝"])
    >>> document = model.encode_document(["水", "坝", "坝"])
    >>> document
    {'坝': 0.547945205479452, '水': 0.37735849056603776}
    >>> to_sparse_vector(document, {"坝": 0, "电": 1, "水": 2})
    {'indices': [0, 2], 'values': [0.547945205479452, 0.37735849056603776]}
    >>> hashed = to_sparse_vector(document)
    >>> hashed["indices"] == sorted([token_hash("坝"), token_hash("水")])
    True

A query vector takes the same road (``to_sparse_vector(model.encode_query(tokens))``), and
the dot product of the two sparse vectors is the BM25 score.
"""

from __future__ import annotations

import hashlib
from array import array
from collections import defaultdict, deque
from functools import lru_cache, partial
from itertools import chain, count, repeat
from operator import methodcaller
from typing import TYPE_CHECKING, Callable, Iterable, Iterator, Literal, Mapping, Sequence, TypedDict, TypeVar

from lumotext._extras import missing_extra

if TYPE_CHECKING:
    import numpy
    import scipy.sparse
    from pylumotext import BM25

__all__ = [
    "HASH_SPACE",
    "SparseVector",
    "build_vocabulary",
    "encode_csr",
    "to_csr_matrix",
    "to_sparse_vector",
    "token_hash",
]

Token = TypeVar("Token", str, int)

#: Hashed indices lie in ``range(HASH_SPACE)``: they fit an unsigned 32-bit index, and the
#: all-ones value, which some engines reserve, is never used.
HASH_SPACE = 2**32 - 1


class SparseVector(TypedDict):
    indices: list[int]
    values: list[float]


@lru_cache(maxsize=1 << 16)
def _hash_text(text: str) -> int:
    digest = hashlib.blake2b(text.encode("utf-8"), digest_size=8).digest()
    return int.from_bytes(digest, "little") % HASH_SPACE


def token_hash(token: str | int) -> int:
    """A stable index in ``range(HASH_SPACE)`` for a token.

    The index is taken from the BLAKE2b digest of the token's UTF-8 text, so it is the same in
    every process, on every machine and in every release (Python's own ``hash`` of a ``str``
    changes from run to run). An integer token hashes like its decimal text, as BM25 itself
    treats the integer 7 and the string "7" as one token.

    Different tokens can share an index. Among n distinct tokens the chance of any collision
    is about n * n / 2**33: about 1 % for 10,000 tokens and near certainty for a few hundred
    thousand, but within one document or query (tens to hundreds of tokens) it is about one in
    a million. A collision inside one vector adds the two weights up (the hashing trick); a
    collision between a query token and a different document token adds a spurious term to
    that document's score. Use a vocabulary where that matters.
    """
    return _hash_text(str(token))


def _check_vocabulary(vocabulary: Mapping[Token, int]) -> None:
    seen: dict[int, Token] = {}
    for token, index in vocabulary.items():
        if isinstance(index, bool) or not isinstance(index, int) or index < 0:
            raise ValueError(f"vocabulary index of {token!r} must be a non-negative integer, found {index!r}")
        if index in seen:
            raise ValueError(f"vocabulary gives index {index} to both {seen[index]!r} and {token!r}")
        seen[index] = token


def _unknown_token(token: object) -> ValueError:
    return ValueError(f"token {token!r} is not in the vocabulary")


def to_sparse_vector(
    vector: Mapping[Token, float],
    vocabulary: Mapping[Token, int] | None = None,
    *,
    unknown: Literal["ignore", "error"] = "ignore",
) -> SparseVector:
    """``{"indices": [...], "values": [...]}`` for one token-to-weight vector.

    With a ``vocabulary`` each token takes its index from it; tokens missing from it are
    dropped (``unknown="ignore"``) or raise ``ValueError`` (``unknown="error"``), and a
    vocabulary that gives one index to two tokens, or a negative one, raises ``ValueError``.
    Without a vocabulary the index is :func:`token_hash` of the token, and tokens that share
    an index have their weights added. Indices come out unique and ascending.
    """
    by_index: dict[int, float] = {}
    if vocabulary is None:
        for token, weight in vector.items():
            index = token_hash(token)
            by_index[index] = by_index.get(index, 0.0) + weight
    else:
        _check_vocabulary(vocabulary)
        for token, weight in vector.items():
            found = vocabulary.get(token)
            if found is None:
                if unknown == "error":
                    raise _unknown_token(token)
                continue
            by_index[found] = weight
    indices = sorted(by_index)
    return {"indices": indices, "values": [by_index[index] for index in indices]}


def _first_seen_numbering() -> defaultdict[Token, int]:
    """A mapping that gives every new key the next number, 0 first, on its first lookup: its
    ``__getitem__`` numbers tokens in order of appearance at C speed, through ``map``."""
    return defaultdict(count().__next__)


def build_vocabulary(vectors: Iterable[Mapping[Token, float]]) -> dict[Token, int]:
    """Every token of the vectors, numbered in the order of first appearance."""
    numbering: defaultdict[Token, int] = _first_seen_numbering()
    deque(map(numbering.__getitem__, chain.from_iterable(vectors)), maxlen=0)
    return dict(numbering)


def to_csr_matrix(
    vectors: Iterable[Mapping[Token, float]],
    vocabulary: Mapping[Token, int] | None = None,
    *,
    unknown: Literal["ignore", "error"] = "ignore",
    dtype: numpy.typing.DTypeLike | None = None,
) -> tuple[scipy.sparse.csr_matrix, dict[Token, int]]:
    """A CSR matrix with row i holding vector i, and the vocabulary (token to column) used.

    Without a ``vocabulary`` one is built from the vectors (:func:`build_vocabulary`). With
    one, the matrix has ``max(index) + 1`` columns and tokens outside it are handled as in
    :func:`to_sparse_vector`. Column indices within each row are sorted. ``dtype`` defaults to
    float64.
    """
    try:
        import numpy as np
        import scipy.sparse
    except ImportError as error:
        raise missing_extra("a CSR matrix", "scipy", error) from error

    # Every entry goes through C-level iteration (map, chain, np.fromiter, typed arrays) rather
    # than a Python loop: building the matrix of a large corpus would otherwise cost more than
    # encoding it.
    numbering: defaultdict[Token, int] = _first_seen_numbering()
    columns_of: Callable[[Iterable[Token]], Iterator[int]]
    if vocabulary is None:
        columns_of = partial(map, numbering.__getitem__)
    else:
        _check_vocabulary(vocabulary)
        chosen: dict[Token, int] = dict(vocabulary)
        if unknown == "error":
            columns_of = partial(map, chosen.__getitem__)  # KeyError names the token
        else:
            columns_of = lambda tokens: map(chosen.get, tokens, repeat(-1))  # noqa: E731
    if isinstance(vectors, (list, tuple)):
        rows = len(vectors)
        lengths = np.fromiter(map(len, vectors), dtype=np.int64, count=rows)
        entries = int(lengths.sum())
        try:
            indices = np.fromiter(columns_of(chain.from_iterable(vectors)), dtype=np.int64, count=entries)
        except KeyError as error:
            raise _unknown_token(error.args[0]) from None
        data = np.fromiter(chain.from_iterable(map(methodcaller("values"), vectors)), dtype=np.float64, count=entries)
    else:
        # Vectors made on the fly (encode_csr) are numbered one by one as they come, and let go:
        # the tokens of a vector just encoded are still in the processor's cache, and the memory
        # of one vector is reused for the next. Numbering after a whole large corpus is encoded
        # waits on memory for nearly every lookup instead.
        lengths_buffer, indices_buffer, values_buffer = array("q"), array("q"), array("d")
        for vector in vectors:
            lengths_buffer.append(len(vector))
            try:
                indices_buffer.extend(columns_of(vector))
            except KeyError as error:
                raise _unknown_token(error.args[0]) from None
            values_buffer.extend(vector.values())
        rows = len(lengths_buffer)
        lengths = np.frombuffer(lengths_buffer, dtype=np.int64)
        indices = np.frombuffer(indices_buffer, dtype=np.int64)
        data = np.frombuffer(values_buffer, dtype=np.float64)
    if vocabulary is None:
        chosen = dict(numbering)
    missing = indices < 0
    if missing.any():
        kept = ~missing
        row_of_entry = np.repeat(np.arange(rows), lengths)
        lengths = np.bincount(row_of_entry[kept], minlength=rows)
        indices, data = indices[kept], data[kept]
    indptr = np.zeros(rows + 1, dtype=np.int64)
    np.cumsum(lengths, out=indptr[1:])
    columns = max(chosen.values(), default=-1) + 1
    matrix = scipy.sparse.csr_matrix(
        (data if dtype is None else data.astype(dtype), indices, indptr), shape=(rows, columns)
    )
    matrix.sort_indices()
    return matrix, chosen


def encode_csr(
    model: BM25,
    documents: Iterable[Sequence[str]],
    vocabulary: Mapping[str, int] | None = None,
    *,
    query: bool = False,
    unknown: Literal["ignore", "error"] = "ignore",
    dtype: numpy.typing.DTypeLike | None = None,
) -> tuple[scipy.sparse.csr_matrix, dict[str, int]]:
    """Encodes tokenized documents (or queries, with ``query=True``) with ``model`` into a CSR
    matrix, as :func:`to_csr_matrix` does with their vectors."""
    encode = model.encode_query if query else model.encode_document
    return to_csr_matrix((encode(list(document)) for document in documents), vocabulary, unknown=unknown, dtype=dtype)

"""What the engine modules share: the documents of an index with their vectors, in batches.

An index's document vectors hold its statistics at the moment they are read (document count,
average length, document frequencies), so vectors exported before later adds or removes are
stale: the engines' scores drift from the index's until the vectors are exported again.
:func:`export_batches` reads the vectors once, in document order, with the document numbers
they belong to; ``since`` limits the export to documents numbered ``since`` or above, the
documents added since an earlier export.
"""

from __future__ import annotations

import sys
from itertools import islice
from typing import TYPE_CHECKING, Any, Callable, Iterator, Mapping, Sequence, Union

from lumotext._extras import missing_extra
from lumotext.sparse import SparseVector

if TYPE_CHECKING:
    from lumotext import Index

#: Payloads of documents: a sequence indexed by document number, a mapping from document
#: number, or a function of the document number; ``None`` where a document has none.
Payloads = Union[
    Sequence[Mapping[str, Any]], Mapping[int, Mapping[str, Any]], Callable[[int], Mapping[str, Any] | None]
]


class CollectionMismatchError(ValueError):
    """An existing engine collection whose vector configuration is not the one asked for.
    One class for every engine module (``lumotext.qdrant``, ``lumotext.milvus``), so one
    ``except`` catches it whichever engine raised it."""


# Shown as lumotext.CollectionMismatchError, the name it is imported by beside the engines' own.
CollectionMismatchError.__module__ = "lumotext"


def requirement_error(module: str, extra: str, error: ImportError) -> ImportError:
    return missing_extra(f"lumotext.{module}", extra, error)


def payload_lookup(payloads: Payloads | None) -> Callable[[int], Mapping[str, Any] | None]:
    if payloads is None:
        return lambda number: None
    if callable(payloads):
        return payloads
    if isinstance(payloads, Mapping):
        return payloads.get
    found: Sequence[Mapping[str, Any]] = payloads

    def by_position(number: int) -> Mapping[str, Any] | None:
        if number >= len(found):
            raise IndexError(f"no payload for document {number}: the payloads sequence has {len(found)} entries")
        return found[number]

    return by_position


def document_numbers(index: Index, since: int | None) -> list[int]:
    live: list[int] = list(index.live_documents())
    if since is None:
        return live
    return [number for number in live if number >= since]


def export_batches(
    index: Index,
    batch_size: int,
    *,
    since: int | None = None,
    progress: bool = False,
    description: str = "export",
) -> Iterator[tuple[list[int], list[SparseVector]]]:
    """(document numbers, their vectors) in batches of ``batch_size``, in document order,
    with a progress bar on standard error when asked."""
    if batch_size <= 0:
        raise ValueError(f"batch_size must be positive, got {batch_size}")
    pairs = index.document_vectors(since=since, with_numbers=True)
    bar = _progress_bar(len(document_numbers(index, since)), description) if progress else None
    try:
        while batch := list(islice(pairs, batch_size)):
            yield [number for number, _ in batch], [vector for _, vector in batch]
            if bar is not None:
                bar.update(len(batch))
    finally:
        if bar is not None:
            bar.close()


def query_vector(index: Index, text: str, *, engine_idf: bool = False) -> SparseVector:
    vector: SparseVector = index.query_vector(text, engine_idf=engine_idf)
    return vector


def _progress_bar(total: int, description: str) -> Any:
    from tqdm import tqdm

    return tqdm(total=total, unit="doc", desc=description, file=sys.stderr)


def best_first(hits: list[tuple[int, float]], k: int) -> list[tuple[int, float]]:
    """Engine hits in the order of ``Index.search``: best first, ties by lower number."""
    hits.sort(key=lambda hit: (-hit[1], hit[0]))
    return hits[:k]

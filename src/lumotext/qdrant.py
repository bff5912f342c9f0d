"""An index's documents in a Qdrant collection (``pip install '.[qdrant]'`` in the source tree).

Qdrant stores and searches the vectors; the index analyses the text, so Qdrant's own text
analysis is never involved. Two ways to split the score between the vectors:

* ``idf="index"`` (default): documents carry the length-normalised term-frequency part of each
  term's weight and queries the idf (times the term's count in the query), both from the
  index; a plain dot product (no modifier) is the index's score.
* ``idf="qdrant"``: the collection has Qdrant's ``modifier: idf``; the same document vectors,
  and queries carry only the term counts, Qdrant multiplying in its own idf, which is the same
  formula computed over the points of the collection. Scores equal the index's while the
  collection holds exactly the index's live documents.

Example::

    from qdrant_client import QdrantClient
    from lumotext import Index
    from lumotext.qdrant import QdrantCollection

    index = Index(); index.add(texts)
    collection = QdrantCollection(QdrantClient(":memory:"), "docs", index)
    collection.create()
    collection.upsert(progress=True)
    collection.search("长江大桥", k=10)      # [(document number, score), ...] like index.search

Vectors exported before later ``index.add``/``index.remove`` calls are stale (a document's
weights depend on the average document length, and with ``idf="qdrant"`` the collection's
idf on the points it holds): :meth:`QdrantCollection.sync` deletes
the points of removed documents and re-exports every live one; ``upsert(since=n)`` exports
only the documents numbered ``n`` or above, for a quick catch-up after adds.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Literal

from lumotext._export import (
    CollectionMismatchError,
    Payloads,
    best_first,
    document_numbers,
    export_batches,
    payload_lookup,
    query_vector,
    requirement_error,
)
from lumotext.index import DEFAULTS

try:
    from qdrant_client import QdrantClient, models
except ImportError as error:  # pragma: no cover - depends on the environment
    raise requirement_error("qdrant", "qdrant", error) from error

if TYPE_CHECKING:
    from lumotext import Index

__all__ = ["QdrantCollection", "CollectionMismatchError"]

DEFAULT_VECTOR_NAME = "lumotext"


class QdrantCollection:
    """The documents of ``index`` as points of the Qdrant collection ``name``: point id =
    document number, one sparse vector named ``vector_name``."""

    def __init__(
        self,
        client: QdrantClient,
        name: str,
        index: Index,
        *,
        idf: Literal["index", "qdrant"] = "index",
        vector_name: str = DEFAULT_VECTOR_NAME,
    ) -> None:
        if idf not in ("index", "qdrant"):
            raise ValueError(f"idf must be 'index' or 'qdrant', got {idf!r}")
        self.client, self.name, self.index = client, name, index
        self.idf, self.vector_name = idf, vector_name

    @property
    def _engine_idf(self) -> bool:
        return self.idf == "qdrant"

    def _wanted(self) -> models.SparseVectorParams:
        return models.SparseVectorParams(modifier=models.Modifier.IDF if self._engine_idf else None)

    def _describe_wanted(self) -> str:
        return _describe({self.vector_name: self._wanted()}, {})

    def create(self, *, exist_ok: bool = True) -> None:
        """Creates the collection, or checks an existing one (``exist_ok``): its vectors must be
        exactly one sparse vector named ``vector_name`` with the modifier ``idf`` asks for."""
        if self.client.collection_exists(self.name):
            if not exist_ok:
                raise ValueError(f"Qdrant collection {self.name!r} exists already")
            self.check()
            return
        self.client.create_collection(
            self.name, vectors_config={}, sparse_vectors_config={self.vector_name: self._wanted()}
        )

    def check(self) -> None:
        """Raises :class:`CollectionMismatchError`, naming both configurations, when the
        collection's vectors are not the ones this object writes and searches."""
        params = self.client.get_collection(self.name).config.params
        sparse = dict(params.sparse_vectors or {})
        dense = params.vectors
        dense_named = dense if isinstance(dense, dict) else ({"": dense} if dense is not None else {})
        found = sparse.get(self.vector_name)
        matches = found is not None and not dense_named and _modifier(found) == _modifier(self._wanted())
        if not matches:
            raise CollectionMismatchError(
                f"Qdrant collection {self.name!r} has vectors {_describe(sparse, dense_named)}, "
                f"but lumotext.qdrant with idf={self.idf!r} needs {self._describe_wanted()}"
            )

    def upsert(
        self,
        *,
        payloads: Payloads | None = None,
        since: int | None = None,
        batch_size: int = 512,
        progress: bool = False,
    ) -> int:
        """Writes the index's live documents (those numbered ``since`` or above, with
        ``since``) as points, ``batch_size`` per request, with a progress bar on standard error
        when asked; returns the number written. ``payloads`` gives each document's payload by
        document number."""
        self.check()
        payload_of = payload_lookup(payloads)
        point, sparse = models.PointStruct.model_construct, models.SparseVector.model_construct
        written = 0
        for numbers, vectors in export_batches(
            self.index, batch_size, since=since, progress=progress, description="qdrant upsert"
        ):
            # The vectors are valid by construction (unique ascending indices, finite values), so
            # the points are built without pydantic's per-field validation, which costs as much
            # as the local mode's own insertion.
            points = [
                point(
                    id=number,
                    vector={self.vector_name: sparse(indices=vector["indices"], values=vector["values"])},
                    payload=None if payloads is None else dict(payload_of(number) or {}),
                )
                for number, vector in zip(numbers, vectors)
            ]
            self.client.upsert(self.name, points=points, wait=True)
            written += len(numbers)
        return written

    def sync(self, *, payloads: Payloads | None = None, batch_size: int = 512, progress: bool = False) -> int:
        """Brings the collection up to date with the index after adds and removes: deletes the
        points of documents no longer live and re-exports every live document. Returns the
        number of points deleted."""
        self.check()
        live = set(document_numbers(self.index, None))
        stale: list[Any] = []
        offset: Any = None
        while True:
            points, offset = self.client.scroll(
                self.name, limit=10_000, offset=offset, with_payload=False, with_vectors=False
            )
            stale.extend(int(point.id) for point in points if int(point.id) not in live)
            if offset is None:
                break
        if stale:
            self.client.delete(self.name, points_selector=models.PointIdsList(points=stale), wait=True)
        self.upsert(payloads=payloads, batch_size=batch_size, progress=progress)
        return len(stale)

    def search(self, query: str, k: int = DEFAULTS["k"]) -> list[tuple[int, float]]:
        """The ``k`` best documents for ``query`` as (document number, score), best first and
        ties by lower number, as ``Index.search`` returns them."""
        if k <= 0:
            raise ValueError(f"k must be positive, got {k}")
        vector = query_vector(self.index, query, engine_idf=self._engine_idf)
        if not vector["indices"]:
            return []
        response = self.client.query_points(
            self.name,
            query=models.SparseVector(indices=vector["indices"], values=vector["values"]),
            using=self.vector_name,
            limit=k,
            with_payload=False,
        )
        return best_first([(int(point.id), float(point.score)) for point in response.points], k)


def _modifier(params: models.SparseVectorParams) -> str:
    modifier = params.modifier
    if modifier is None or modifier == models.Modifier.NONE:
        return "none"
    return str(getattr(modifier, "value", modifier))


def _describe(sparse: dict[str, models.SparseVectorParams], dense: dict[str, Any]) -> str:
    parts = [f"sparse {name!r} (modifier {_modifier(params)})" for name, params in sorted(sparse.items())]
    parts += [f"dense {name or '(unnamed)'!r}" for name in sorted(dense)]
    return "[" + ", ".join(parts) + "]" if parts else "[] (none)"

"""An index's documents in a Milvus collection (``pip install '.[milvus]'`` in the source tree).

Milvus (a server, or Milvus Lite from a local ``.db`` file) stores and searches the vectors in
a ``SPARSE_FLOAT_VECTOR`` field with the inner-product metric; the index analyses the text, so
Milvus' own analyzers and functions are never involved. Documents carry the length-normalised
term-frequency part of each term's weight and queries the idf, all finite and non-negative as
Milvus requires, and the inner product is the index's score.

Example::

    from pymilvus import MilvusClient
    from lumotext import Index
    from lumotext.milvus import MilvusCollection

    index = Index(); index.add(texts)
    collection = MilvusCollection(MilvusClient("docs.db"), "docs", index)
    collection.create()
    collection.upsert(progress=True)
    collection.search("长江大桥", k=10)      # [(document number, score), ...] like index.search

Vectors exported before later ``index.add``/``index.remove`` calls are stale (a document's
weights depend on the average document length): :meth:`MilvusCollection.sync` deletes
the rows of removed documents and re-exports every live one; ``upsert(since=n)`` exports only
the documents numbered ``n`` or above. :func:`to_milvus` and :func:`to_csr_rows` turn one
``{"indices", "values"}`` vector into Milvus' input forms (a dict, or a scipy CSR row).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

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
from lumotext.sparse import HASH_SPACE, SparseVector

try:
    from pymilvus import DataType, MilvusClient
except ImportError as error:  # pragma: no cover - depends on the environment
    raise requirement_error("milvus", "milvus", error) from error

if TYPE_CHECKING:
    import scipy.sparse

    from lumotext import Index

__all__ = ["MilvusCollection", "CollectionMismatchError", "to_milvus", "to_csr_rows"]

ID_FIELD = "doc"
DEFAULT_VECTOR_FIELD = "lumotext"
INDEX_TYPE = "SPARSE_INVERTED_INDEX"
METRIC = "IP"


def to_milvus(vector: SparseVector) -> dict[int, float]:
    """``{index: value}``, the form Milvus takes a sparse vector in."""
    return dict(zip(vector["indices"], vector["values"]))


def to_csr_rows(vectors: list[SparseVector]) -> scipy.sparse.csr_matrix:
    """The vectors as rows of one scipy CSR matrix (``HASH_SPACE`` columns), which Milvus also
    takes; needs scipy (``pip install '.[scipy]'``)."""
    import numpy as np
    import scipy.sparse

    lengths = np.fromiter((len(vector["indices"]) for vector in vectors), dtype=np.int64, count=len(vectors))
    indptr = np.zeros(len(vectors) + 1, dtype=np.int64)
    np.cumsum(lengths, out=indptr[1:])
    indices = np.fromiter((i for vector in vectors for i in vector["indices"]), dtype=np.int64, count=int(indptr[-1]))
    values = np.fromiter((v for vector in vectors for v in vector["values"]), dtype=np.float32, count=int(indptr[-1]))
    return scipy.sparse.csr_matrix((values, indices, indptr), shape=(len(vectors), HASH_SPACE))


class MilvusCollection:
    """The documents of ``index`` as rows of the Milvus collection ``name``: an ``INT64``
    primary key ``doc`` (the document number) and a sparse vector field ``vector_field``
    indexed with ``SPARSE_INVERTED_INDEX`` and the ``IP`` metric; payload keys go to dynamic
    fields."""

    def __init__(
        self, client: MilvusClient, name: str, index: Index, *, vector_field: str = DEFAULT_VECTOR_FIELD
    ) -> None:
        self.client, self.name, self.index, self.vector_field = client, name, index, vector_field
        self._checked = False

    def _ready(self) -> None:
        # A collection found on disk starts released; it must be loaded before search or get.
        if not self._checked:
            self.check()
            self.client.load_collection(self.name)
            self._checked = True

    def _describe_wanted(self) -> str:
        return f"[{ID_FIELD!r} INT64 primary key, {self.vector_field!r} SPARSE_FLOAT_VECTOR ({INDEX_TYPE}, metric {METRIC})]"

    def create(self, *, exist_ok: bool = True) -> None:
        """Creates and loads the collection, or checks an existing one (``exist_ok``)."""
        if self.client.has_collection(self.name):
            if not exist_ok:
                raise ValueError(f"Milvus collection {self.name!r} exists already")
            self._ready()
            return
        schema = MilvusClient.create_schema(auto_id=False, enable_dynamic_field=True)
        schema.add_field(ID_FIELD, DataType.INT64, is_primary=True)
        schema.add_field(self.vector_field, DataType.SPARSE_FLOAT_VECTOR)
        index_params = self.client.prepare_index_params()
        index_params.add_index(field_name=self.vector_field, index_type=INDEX_TYPE, metric_type=METRIC)
        self.client.create_collection(self.name, schema=schema, index_params=index_params)
        self._ready()

    def _found(self) -> tuple[str, bool]:
        description = self.client.describe_collection(self.name)
        fields = description.get("fields", [])
        parts = []
        primary_ok = vector_ok = False
        for field in fields:
            kind = _type_name(field.get("type"))
            primary = bool(field.get("is_primary"))
            text = f"{field.get('name')!r} {kind}{' primary key' if primary else ''}"
            if kind.endswith("_VECTOR"):
                metric, index_type = self._index_of(field.get("name"))
                text += f" ({index_type or 'no index'}, metric {metric or 'none'})"
                if field.get("name") == self.vector_field:
                    vector_ok = kind == "SPARSE_FLOAT_VECTOR" and metric == METRIC
            if primary and field.get("name") == ID_FIELD and kind == "INT64":
                primary_ok = True
            parts.append(text)
        return "[" + ", ".join(parts) + "]", primary_ok and vector_ok

    def _index_of(self, field_name: str) -> tuple[str | None, str | None]:
        for index_name in self.client.list_indexes(self.name, field_name=field_name):
            found = self.client.describe_index(self.name, index_name)
            return found.get("metric_type"), found.get("index_type")
        return None, None

    def check(self) -> None:
        """Raises :class:`CollectionMismatchError`, naming both configurations, when the
        collection's fields are not the ones this object writes and searches."""
        found, ok = self._found()
        if not ok:
            raise CollectionMismatchError(
                f"Milvus collection {self.name!r} has fields {found}, but lumotext.milvus needs {self._describe_wanted()}"
            )

    def upsert(
        self,
        *,
        payloads: Payloads | None = None,
        since: int | None = None,
        batch_size: int = 2048,
        progress: bool = False,
    ) -> int:
        """Writes the index's live documents (those numbered ``since`` or above, with
        ``since``), ``batch_size`` per request, with a progress bar on standard error when
        asked; returns the number written. ``payloads`` gives each document's payload by
        document number (its keys become dynamic fields). A document without index terms has
        no weights, which Milvus refuses and no query could find: it is not written."""
        self._ready()
        payload_of = payload_lookup(payloads)
        written = 0
        for numbers, vectors in export_batches(
            self.index, batch_size, since=since, progress=progress, description="milvus upsert"
        ):
            rows: list[dict[str, Any]] = []
            for number, vector in zip(numbers, vectors):
                if not vector["indices"]:
                    continue
                row: dict[str, Any] = dict(payload_of(number) or {})
                row[ID_FIELD] = number
                row[self.vector_field] = to_milvus(vector)
                rows.append(row)
            if rows:
                self.client.upsert(self.name, rows)
            written += len(rows)
        return written

    def sync(self, *, payloads: Payloads | None = None, batch_size: int = 2048, progress: bool = False) -> int:
        """Brings the collection up to date with the index after adds and removes: deletes the
        rows of documents no longer live and re-exports every live document. Returns the
        number of rows deleted."""
        self._ready()
        live = set(document_numbers(self.index, None))
        stored: list[int] = []
        iterator = self.client.query_iterator(self.name, batch_size=10_000, output_fields=[ID_FIELD])
        try:
            while batch := iterator.next():
                stored.extend(int(row[ID_FIELD]) for row in batch)
        finally:
            iterator.close()
        stale = [number for number in stored if number not in live]
        if stale:
            self.client.delete(self.name, ids=stale)
        self.upsert(payloads=payloads, batch_size=batch_size, progress=progress)
        return len(stale)

    def search(self, query: str, k: int = DEFAULTS["k"]) -> list[tuple[int, float]]:
        """The ``k`` best documents for ``query`` as (document number, score), best first and
        ties by lower number, as ``Index.search`` returns them."""
        if k <= 0:
            raise ValueError(f"k must be positive, got {k}")
        vector = query_vector(self.index, query)
        if not vector["indices"]:
            return []
        self._ready()
        results = self.client.search(
            self.name,
            data=[to_milvus(vector)],
            anns_field=self.vector_field,
            limit=k,
            search_params={"metric_type": METRIC, "params": {"drop_ratio_search": 0.0}},
            output_fields=[ID_FIELD],
        )
        hits = [(int(hit.id), float(hit.distance)) for hit in results[0]]
        return best_first(hits, k)


def _type_name(kind: Any) -> str:
    name = getattr(kind, "name", None)
    if name is not None:
        return str(name)
    try:
        return str(DataType(kind).name)
    except (ValueError, TypeError):
        return str(kind)

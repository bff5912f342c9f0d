"""BM25 on corpora spread over a Dask cluster (``pip install '.[dask]'`` in the source tree).

A BM25 model is a sum of per-document statistics. :func:`train_bm25` trains one model per
partition of a ``dask.bag.Bag`` on the workers and adds the models up with
:func:`lumotext.merge_models` in a tree reduction; :func:`encode_documents` encodes a bag with
the resulting model. Each worker process builds its segmenter once and shares it between its
threads::

    import dask.bag as db
    from dask.distributed import Client
    from lumotext.dask import train_bm25, encode_documents

    client = Client(n_workers=2)
    lines = db.read_text("corpus-*.txt").map(str.rstrip)
    model_text = train_bm25(lines)                    # JSON text, as BM25.dump writes it
    vectors = encode_documents(lines, model_text)     # a bag of {token: weight} dicts

:func:`build_index` builds a :class:`lumotext.Index` the same way: one index per partition on
the workers, merged into one with ``Index.merge``, whose statistics and scores equal those of
one index built from all the documents in order::

    index = build_index(lines)                        # document n is the bag's n-th element
    index.search("长江大桥")
"""

from __future__ import annotations

import hashlib
import os
import tempfile
import threading
from functools import partial
from typing import TYPE_CHECKING, Any, Callable, Iterable, Mapping, Sequence, Union, cast

from lumotext._extras import missing_extra

try:
    import dask.bag
    from dask.delayed import delayed
except ImportError as error:  # pragma: no cover - depends on the environment
    raise missing_extra("lumotext.dask", "dask", error) from error

from lumotext.index import DEFAULTS
from lumotext.models import BM25_DEFAULTS, load_model, merge_models
from lumotext.models import model_text as _model_text
from lumotext.pipeline import index_tokens
from lumotext.segmenter import shared_jieba

if TYPE_CHECKING:
    from pylumotext import BM25

    from lumotext import Analyzer, Index

__all__ = ["train_bm25", "encode_documents", "build_index"]

Document = Union[str, Sequence[str], Sequence[int]]

_models: dict[str, BM25] = {}
_models_lock = threading.Lock()


def _tokenizer(
    segment: bool, paths: Mapping[str, str | None] | None, search: bool
) -> Callable[[Document], list[str] | list[int]]:
    if not segment:

        def tokens(document: Document) -> list[str] | list[int]:
            if isinstance(document, (str, bytes)):
                raise TypeError("with segment=False every document must be a list of tokens, not a string")
            return list(document)  # type: ignore[return-value]

        return tokens
    jieba = shared_jieba(paths)
    cut = jieba.cut_for_search if search else jieba.cut

    def words(document: Document) -> list[str]:
        if not isinstance(document, str):
            raise TypeError(f"with segment=True every document must be a string, got {type(document).__name__}")
        return index_tokens(cut(document))

    return words


def _train_partition(
    documents: Iterable[Document],
    b: float,
    k1: float,
    segment: bool,
    paths: Mapping[str, str | None] | None,
    search: bool,
) -> str:
    from pylumotext import BM25

    model = BM25(b, k1)
    tokenize = _tokenizer(segment, paths, search)
    for document in documents:
        tokens = tokenize(document)
        if tokens:  # a document without tokens is not a document
            model.train(tokens)
    return _model_text(model)


def train_bm25(
    bag: dask.bag.Bag,
    b: float = BM25_DEFAULTS["b"],
    k1: float = BM25_DEFAULTS["k1"],
    segment: bool = True,
    *,
    paths: Mapping[str, str | None] | None = None,
    search: bool = False,
    split_every: int = 8,
) -> str:
    """Trains a BM25 model on every document of ``bag`` and returns its model document.

    With ``segment=True`` the documents are strings, segmented on the workers with the
    bundled data, or with the files in ``paths`` (keyword names of ``pylumotext.Jieba``), in
    search mode with ``search=True``; the separators the segmenter returns as words are not
    tokens. With ``segment=False`` each document is already a list of tokens. Documents with
    no tokens are skipped. Partition models are merged ``split_every`` at a time.

    The result is :func:`lumotext.merge_models` of per-partition models, so it equals the
    model trained on all documents in one process up to the rounding that merge_models states.
    """
    reduced = cast(Any, bag).reduction(
        partial(_train_partition, b=b, k1=k1, segment=segment, paths=paths, search=search),
        merge_models,
        split_every=split_every,
        name="lumotext-train-bm25",
    )
    text: str = reduced.compute()
    return text


def _cached_model(text: str) -> BM25:
    key = hashlib.sha256(text.encode("utf-8")).hexdigest()
    with _models_lock:
        model = _models.get(key)
        if model is None:
            _models.clear()  # one model per process is what encoding a bag needs
            model = _models[key] = load_model(text)
        return model


def _encode_partition(
    documents: Iterable[Document],
    text: str,
    query: bool,
    segment: bool,
    paths: Mapping[str, str | None] | None,
    search: bool,
) -> list[dict[str, float] | dict[int, float]]:
    model = _cached_model(text)
    tokenize = _tokenizer(segment, paths, search)
    vectors: list[dict[str, float] | dict[int, float]] = []
    for document in documents:
        tokens = tokenize(document)
        vectors.append(model.encode_query(tokens) if query else model.encode_document(tokens))
    return vectors


def encode_documents(
    bag: dask.bag.Bag,
    model_text: str,
    segment: bool = True,
    *,
    query: bool = False,
    paths: Mapping[str, str | None] | None = None,
    search: bool = False,
) -> dask.bag.Bag:
    """A bag of the sparse vectors (``{token: weight}`` dicts) of the documents of ``bag``,
    encoded with the model document ``model_text``, as queries with ``query=True``.

    Documents are segmented as in :func:`train_bm25`. The model text travels once to each
    worker, which loads it once. Map the result through :func:`lumotext.sparse.to_sparse_vector`
    for a vector database's ``{"indices": ..., "values": ...}`` shape.
    """
    shared_text = delayed(model_text, pure=True)
    result: dask.bag.Bag = cast(Any, bag).map_partitions(
        _encode_partition, shared_text, query=query, segment=segment, paths=paths, search=search
    )
    return result


def _saved_files(directory: str) -> dict[str, bytes]:
    files = {}
    for root, _, names in os.walk(directory):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as stream:
                files[os.path.relpath(path, directory)] = stream.read()
    return files


def _build_partition(
    texts: Iterable[str], settings: dict[str, Any] | None, k1: float, b: float, threads: int | None
) -> list[dict[str, bytes]]:
    from lumotext import Analyzer, Index

    index = Index(None if settings is None else Analyzer.from_settings(settings), k1=k1, b=b)
    index.add(texts, threads=threads)
    # The saved form travels back: it is the index's own serialisation, checked on load.
    with tempfile.TemporaryDirectory(prefix="lumotext-partition-") as directory:
        index.save(os.path.join(directory, "index"))
        return [_saved_files(os.path.join(directory, "index"))]


def build_index(
    bag: dask.bag.Bag,
    analyzer: Analyzer | None = None,
    *,
    k1: float = DEFAULTS["k1"],
    b: float = DEFAULTS["b"],
    threads: int | None = 1,
) -> Index:
    """A :class:`lumotext.Index` of the strings of ``bag``, document ``n`` being the bag's
    ``n``-th element.

    Each partition is indexed on a worker (with ``threads`` native threads; the default 1
    suits one worker process per core), saved and sent back; this process loads the partition
    indexes and merges them in partition order with ``Index.merge``, so the statistics and
    scores are those of one index built from all the documents. ``analyzer`` travels to the
    workers as its settings.
    """
    from lumotext import Index

    settings = None if analyzer is None else analyzer.settings
    parts = cast(Any, bag).map_partitions(_build_partition, settings, k1, b, threads).compute()
    with tempfile.TemporaryDirectory(prefix="lumotext-merge-") as directory:
        indexes = []
        for number, files in enumerate(parts):
            root = os.path.join(directory, str(number))
            for relative, data in files.items():
                target = os.path.join(root, relative)
                os.makedirs(os.path.dirname(target), exist_ok=True)
                with open(target, "wb") as stream:
                    stream.write(data)
            indexes.append(Index.load(root))
        if not indexes:
            return Index(analyzer, k1=k1, b=b)
        merged: Index = Index.merge(indexes)
    return merged

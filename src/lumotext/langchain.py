"""A LangChain retriever over a :class:`lumotext.Index` (``pip install '.[langchain]'`` in the source tree).

::

    from lumotext.langchain import LumotextRetriever

    retriever = LumotextRetriever.from_texts(texts, metadatas=None, k=4)
    retriever.invoke("长江大桥")        # Documents in Index.search order, metadata["score"]
    retriever.save("retriever/"); LumotextRetriever.load("retriever/")

The index keeps each document's text, id and metadata itself (so metadata must be what JSON
can encode, and ids must differ), and a save is one atomic ``Index.save``. Each returned
``Document`` carries ``metadata["score"]`` (the BM25 score) and ``metadata["doc_number"]``
(the index's document number) besides its own metadata.
"""

from __future__ import annotations

import os
from typing import Any, Iterable

from lumotext import _stored
from lumotext._export import requirement_error

try:
    from langchain_core.callbacks import CallbackManagerForRetrieverRun
    from langchain_core.documents import Document
    from langchain_core.retrievers import BaseRetriever
    from pydantic import ConfigDict, model_validator
except ImportError as error:  # pragma: no cover - depends on the environment
    raise requirement_error("langchain", "langchain", error) from error

__all__ = ["LumotextRetriever"]

#: Documents per query: four, as LangChain's own retrievers return by default.
DEFAULT_K = 4


def _entry(document: Document) -> _stored.Entry:
    return document.page_content, document.id, document.metadata


class LumotextRetriever(BaseRetriever):
    """Retrieves the ``k`` best documents by the index's BM25 score. The index stores the
    documents; ``LumotextRetriever(index=..., documents=[...])`` with a numbers-only index
    (``documents[n]`` numbered ``n`` in it) adds them to a new index that stores them."""

    model_config = ConfigDict(arbitrary_types_allowed=True)

    index: Any
    k: int = DEFAULT_K

    @model_validator(mode="before")
    @classmethod
    def _documents_into_the_index(cls, data: Any) -> Any:
        if isinstance(data, dict) and "documents" in data:
            data = dict(data)
            documents = list(data.pop("documents"))
            index = data.get("index")
            if index is None or index.stores_documents:
                raise ValueError("documents go with an index made with store=False; an index that stores them has them")
            data["index"] = _stored.stored_copy(index, [_entry(d) for d in documents])
        elif isinstance(data, dict) and data.get("index") is not None and not data["index"].stores_documents:
            raise ValueError("an index made with store=False needs its documents")
        return data

    @classmethod
    def from_texts(
        cls,
        texts: Iterable[str],
        metadatas: Iterable[dict[str, Any]] | None = None,
        k: int = DEFAULT_K,
        *,
        index_options: dict[str, Any] | None = None,
        **kwargs: Any,
    ) -> LumotextRetriever:
        """Indexes ``texts`` (with ``Index(**index_options)``); ``metadatas[i]`` goes with
        ``texts[i]``."""
        texts = list(texts)
        metadata_list = _stored.check_metadatas(texts, metadatas)
        index = _stored.new_index(zip(texts, [None] * len(texts), metadata_list), index_options)
        return cls(index=index, k=k, **kwargs)

    @classmethod
    def from_documents(
        cls,
        documents: Iterable[Document],
        k: int = DEFAULT_K,
        *,
        index_options: dict[str, Any] | None = None,
        **kwargs: Any,
    ) -> LumotextRetriever:
        """Indexes the ``page_content`` of ``documents``, keeping their ids and metadata."""
        index = _stored.new_index((_entry(d) for d in documents), index_options)
        return cls(index=index, k=k, **kwargs)

    @property
    def documents(self) -> list[Document]:
        """The stored documents, in document-number order."""
        found = []
        for number in self.index.live_documents():
            stored = self.index.document(number)
            found.append(Document(page_content=stored.text, metadata=stored.metadata, id=stored.id))
        return found

    def _get_relevant_documents(self, query: str, *, run_manager: CallbackManagerForRetrieverRun) -> list[Document]:
        return self.search(query, self.k)

    def search(self, query: str, k: int) -> list[Document]:
        """The ``k`` best documents for ``query``, best first, scores in the metadata."""
        return [
            Document(
                page_content=hit.text,
                metadata={**hit.metadata, "score": hit.score, "doc_number": hit.number},
                id=hit.id,
            )
            for hit in self.index.search(query, k=k, return_documents=True)
        ]

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the retriever to the directory ``path``: one atomic save of its index."""
        _stored.save(path, self.index)

    @classmethod
    def load(cls, path: str | os.PathLike[str], k: int = DEFAULT_K, **kwargs: Any) -> LumotextRetriever:
        """A retriever from a directory :meth:`save` wrote (earlier releases' directories too)."""
        index = _stored.load(path, lambda r: (r["text"], r.get("id"), r.get("metadata") or {}))
        return cls(index=index, k=k, **kwargs)

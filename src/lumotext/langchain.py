"""A LangChain retriever over a :class:`lumotext.Index` (``pip install '.[langchain]'`` in the source tree).

::

    from lumotext.langchain import LumotextRetriever

    retriever = LumotextRetriever.from_texts(texts, metadatas=None, k=4)
    retriever.invoke("长江大桥")        # Documents in Index.search order, metadata["score"]
    retriever.save("retriever/"); LumotextRetriever.load("retriever/")

Each returned ``Document`` is a copy of the stored one, with ``metadata["score"]`` (the BM25
score) and ``metadata["doc_number"]`` (the index's document number) added.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, Iterable

from lumotext import _stored
from lumotext._export import requirement_error

try:
    from langchain_core.callbacks import CallbackManagerForRetrieverRun
    from langchain_core.documents import Document
    from langchain_core.retrievers import BaseRetriever
    from pydantic import ConfigDict
except ImportError as error:  # pragma: no cover - depends on the environment
    raise requirement_error("langchain", "langchain", error) from error

if TYPE_CHECKING:
    pass

__all__ = ["LumotextRetriever"]

#: Documents per query: four, as LangChain's own retrievers return by default.
DEFAULT_K = 4


class LumotextRetriever(BaseRetriever):
    """Retrieves the ``k`` best documents by the index's BM25 score. ``documents[n]`` is the
    document numbered ``n`` in ``index``."""

    model_config = ConfigDict(arbitrary_types_allowed=True)

    index: Any
    documents: list[Document]
    k: int = DEFAULT_K

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
        metadata_list = [{} for _ in texts] if metadatas is None else [dict(m) for m in metadatas]
        if len(metadata_list) != len(texts):
            raise ValueError(f"{len(texts)} texts but {len(metadata_list)} metadatas")
        documents = [Document(page_content=text, metadata=meta) for text, meta in zip(texts, metadata_list)]
        return cls(index=_stored.new_index(texts, index_options), documents=documents, k=k, **kwargs)

    @classmethod
    def from_documents(
        cls,
        documents: Iterable[Document],
        k: int = DEFAULT_K,
        *,
        index_options: dict[str, Any] | None = None,
        **kwargs: Any,
    ) -> LumotextRetriever:
        """Indexes the ``page_content`` of ``documents``."""
        documents = list(documents)
        index = _stored.new_index([document.page_content for document in documents], index_options)
        return cls(index=index, documents=documents, k=k, **kwargs)

    def _get_relevant_documents(self, query: str, *, run_manager: CallbackManagerForRetrieverRun) -> list[Document]:
        return self.search(query, self.k)

    def search(self, query: str, k: int) -> list[Document]:
        """The ``k`` best documents for ``query``, best first, scores in the metadata."""
        found = []
        for number, score in self.index.search(query, k=k):
            document = self.documents[number]
            metadata = {**document.metadata, "score": score, "doc_number": number}
            found.append(Document(page_content=document.page_content, metadata=metadata, id=document.id))
        return found

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the index and the documents to the directory ``path``."""
        _stored.save(
            path,
            self.index,
            ({"text": d.page_content, "metadata": d.metadata, "id": d.id} for d in self.documents),
        )

    @classmethod
    def load(cls, path: str | os.PathLike[str], k: int = DEFAULT_K, **kwargs: Any) -> LumotextRetriever:
        """A retriever from a directory :meth:`save` wrote."""
        index, records = _stored.load(path)
        documents = [
            Document(page_content=record["text"], metadata=record.get("metadata") or {}, id=record.get("id"))
            for record in records
        ]
        return cls(index=index, documents=documents, k=k, **kwargs)

"""A LlamaIndex retriever over a :class:`lumotext.Index` (``pip install '.[llama-index]'`` in the source tree).

::

    from lumotext.llama_index import LumotextRetriever

    retriever = LumotextRetriever.from_texts(texts, similarity_top_k=5)
    retriever.retrieve("长江大桥")      # NodeWithScore list in Index.search order
    retriever.save("retriever/"); LumotextRetriever.load("retriever/")

The nodes are indexed by their text content (``node.get_content()``); each result is a
``NodeWithScore`` whose score is the BM25 score, with ``metadata["doc_number"]`` (the index's
document number) and ``metadata["score"]`` set on a copy of the node.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, Iterable, Sequence

from lumotext import _stored
from lumotext._export import requirement_error
from lumotext.index import DEFAULTS

try:
    from llama_index.core.callbacks.base import CallbackManager
    from llama_index.core.retrievers import BaseRetriever
    from llama_index.core.schema import BaseNode, NodeWithScore, QueryBundle, TextNode
    from llama_index.core.storage.docstore.utils import doc_to_json, json_to_doc
except ImportError as error:  # pragma: no cover - depends on the environment
    raise requirement_error("llama_index", "llama-index", error) from error

if TYPE_CHECKING:
    from lumotext import Index

__all__ = ["LumotextRetriever"]

#: Results per query, as ``Index.search`` gives by default.
DEFAULT_TOP_K: int = DEFAULTS["k"]


class LumotextRetriever(BaseRetriever):
    """Retrieves the ``similarity_top_k`` best nodes by the index's BM25 score; ``nodes[n]``
    is the node numbered ``n`` in ``index``."""

    def __init__(
        self,
        index: Index,
        nodes: Sequence[BaseNode],
        similarity_top_k: int = DEFAULT_TOP_K,
        callback_manager: CallbackManager | None = None,
        **kwargs: Any,
    ) -> None:
        if similarity_top_k <= 0:
            raise ValueError(f"similarity_top_k must be positive, got {similarity_top_k}")
        self.index = index
        self.nodes = list(nodes)
        self.similarity_top_k = similarity_top_k
        super().__init__(callback_manager=callback_manager, **kwargs)

    @classmethod
    def from_texts(
        cls,
        texts: Iterable[str],
        similarity_top_k: int = DEFAULT_TOP_K,
        *,
        metadatas: Iterable[dict[str, Any]] | None = None,
        index_options: dict[str, Any] | None = None,
        **kwargs: Any,
    ) -> LumotextRetriever:
        texts = list(texts)
        metadata_list = [{} for _ in texts] if metadatas is None else [dict(m) for m in metadatas]
        if len(metadata_list) != len(texts):
            raise ValueError(f"{len(texts)} texts but {len(metadata_list)} metadatas")
        nodes = [TextNode(text=text, metadata=meta) for text, meta in zip(texts, metadata_list)]
        return cls(_stored.new_index(texts, index_options), nodes, similarity_top_k, **kwargs)

    @classmethod
    def from_nodes(
        cls,
        nodes: Iterable[BaseNode],
        similarity_top_k: int = DEFAULT_TOP_K,
        *,
        index_options: dict[str, Any] | None = None,
        **kwargs: Any,
    ) -> LumotextRetriever:
        nodes = list(nodes)
        index = _stored.new_index([node.get_content() for node in nodes], index_options)
        return cls(index, nodes, similarity_top_k, **kwargs)

    #: A LlamaIndex ``Document`` is a node: documents are indexed as they are.
    from_documents = from_nodes

    def _retrieve(self, query_bundle: QueryBundle) -> list[NodeWithScore]:
        found = []
        for number, score in self.index.search(query_bundle.query_str, k=self.similarity_top_k):
            node = self.nodes[number].model_copy(deep=True)
            node.metadata = {**node.metadata, "score": score, "doc_number": number}
            found.append(NodeWithScore(node=node, score=score))
        return found

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the index and the nodes to the directory ``path``."""
        _stored.save(path, self.index, (doc_to_json(node) for node in self.nodes))

    @classmethod
    def load(
        cls, path: str | os.PathLike[str], similarity_top_k: int = DEFAULT_TOP_K, **kwargs: Any
    ) -> LumotextRetriever:
        """A retriever from a directory :meth:`save` wrote."""
        index, records = _stored.load(path)
        return cls(index, [json_to_doc(record) for record in records], similarity_top_k, **kwargs)

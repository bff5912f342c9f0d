"""A LlamaIndex retriever over a :class:`lumotext.Index` (``pip install '.[llama-index]'`` in the source tree).

::

    from lumotext.llama_index import LumotextRetriever

    retriever = LumotextRetriever.from_texts(texts, similarity_top_k=5)
    retriever.retrieve("长江大桥")      # NodeWithScore list in Index.search order
    retriever.save("retriever/"); LumotextRetriever.load("retriever/")

The nodes are indexed by their text content (``node.get_content()``) and kept in the index
itself (each node's JSON form under its ``node_id``, so node ids must differ), and a save is one
atomic ``Index.save``. Each result is a ``NodeWithScore`` whose score is the BM25 score, with
``metadata["doc_number"]`` (the index's document number) and ``metadata["score"]`` set.
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


#: The key of the node's JSON form in the stored metadata.
_NODE_KEY = "node"


def _entry(node: BaseNode) -> _stored.Entry:
    text = node.get_content()
    record = doc_to_json(node)
    data = record.get("__data__")
    if isinstance(data, dict) and data.get("text") == text:
        data = dict(data)
        del data["text"]  # the index's text: stored once
        record = {**record, "__data__": data}
    return text, node.node_id, {_NODE_KEY: record}


def _node(text: str, metadata: dict[str, Any]) -> BaseNode:
    record = metadata.get(_NODE_KEY)
    if not isinstance(record, dict):
        return TextNode(text=text, metadata=metadata)
    data = record.get("__data__")
    if isinstance(data, dict) and "text" not in data:
        record = {**record, "__data__": {**data, "text": text}}
    return json_to_doc(record)


class LumotextRetriever(BaseRetriever):
    """Retrieves the ``similarity_top_k`` best nodes by the index's BM25 score. The index stores
    the nodes; ``LumotextRetriever(index, nodes)`` with a numbers-only index (``nodes[n]``
    numbered ``n`` in it) adds them to a new index that stores them."""

    def __init__(
        self,
        index: Index,
        nodes: Sequence[BaseNode] | None = None,
        similarity_top_k: int = DEFAULT_TOP_K,
        callback_manager: CallbackManager | None = None,
        **kwargs: Any,
    ) -> None:
        if similarity_top_k <= 0:
            raise ValueError(f"similarity_top_k must be positive, got {similarity_top_k}")
        if nodes is not None:
            if index.stores_documents:
                raise ValueError("nodes go with an index made with store=False; an index that stores them has them")
            index = _stored.stored_copy(index, [_entry(node) for node in nodes])
        elif not index.stores_documents:
            raise ValueError("an index made with store=False needs its nodes")
        self.index = index
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
        metadata_list = _stored.check_metadatas(texts, metadatas)
        nodes = [TextNode(text=text, metadata=meta) for text, meta in zip(texts, metadata_list)]
        return cls.from_nodes(nodes, similarity_top_k, index_options=index_options, **kwargs)

    @classmethod
    def from_nodes(
        cls,
        nodes: Iterable[BaseNode],
        similarity_top_k: int = DEFAULT_TOP_K,
        *,
        index_options: dict[str, Any] | None = None,
        **kwargs: Any,
    ) -> LumotextRetriever:
        index = _stored.new_index((_entry(node) for node in nodes), index_options)
        return cls(index, None, similarity_top_k, **kwargs)

    #: A LlamaIndex ``Document`` is a node: documents are indexed as they are.
    from_documents = from_nodes

    @property
    def nodes(self) -> list[BaseNode]:
        """The stored nodes, in document-number order."""
        found = []
        for number in self.index.live_documents():
            stored = self.index.document(number)
            found.append(_node(stored.text, stored.metadata))
        return found

    def _retrieve(self, query_bundle: QueryBundle) -> list[NodeWithScore]:
        found = []
        for hit in self.index.search(query_bundle.query_str, k=self.similarity_top_k, return_documents=True):
            node = _node(hit.text, hit.metadata)
            node.metadata = {**node.metadata, "score": hit.score, "doc_number": hit.number}
            found.append(NodeWithScore(node=node, score=hit.score))
        return found

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the retriever to the directory ``path``: one atomic save of its index."""
        _stored.save(path, self.index)

    @classmethod
    def load(
        cls, path: str | os.PathLike[str], similarity_top_k: int = DEFAULT_TOP_K, **kwargs: Any
    ) -> LumotextRetriever:
        """A retriever from a directory :meth:`save` wrote (earlier releases' directories too)."""
        index = _stored.load(path, lambda record: _entry(json_to_doc(record)))
        return cls(index, None, similarity_top_k, **kwargs)

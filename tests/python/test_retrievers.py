"""The LangChain and LlamaIndex retrievers return what Index.search returns, in its order,
with the scores, and survive save/load."""

from __future__ import annotations

import engine_checks
import pytest

from lumotext import Index

METADATA = lambda number: {"line": number, "source": "bench"}  # noqa: E731


@pytest.fixture(scope="module")
def corpus():
    return engine_checks.corpus()


@pytest.fixture(scope="module")
def reference(corpus):
    index = Index()
    index.add(corpus)
    return index


def langchain_results(retriever, query):
    return [
        (d.metadata["doc_number"], d.metadata["score"], d.page_content, d.metadata) for d in retriever.invoke(query)
    ]


def llama_results(retriever, query):
    return [
        (n.node.metadata["doc_number"], n.score, n.node.get_content(), n.node.metadata)
        for n in retriever.retrieve(query)
    ]


def make_langchain(kind, corpus, k):
    pytest.importorskip("langchain_core", reason="the langchain extra is not installed (pip install '.[langchain]')")
    from langchain_core.documents import Document

    from lumotext.langchain import LumotextRetriever

    metadatas = [METADATA(number) for number in range(len(corpus))]
    if kind == "texts":
        return LumotextRetriever.from_texts(corpus, metadatas=metadatas, k=k)
    return LumotextRetriever.from_documents(
        [Document(page_content=t, metadata=m) for t, m in zip(corpus, metadatas)], k=k
    )


def make_llama(kind, corpus, k):
    pytest.importorskip(
        "llama_index.core", reason="the llama-index extra is not installed (pip install '.[llama-index]')"
    )
    from llama_index.core.schema import Document, TextNode

    from lumotext.llama_index import LumotextRetriever

    metadatas = [METADATA(number) for number in range(len(corpus))]
    if kind == "texts":
        return LumotextRetriever.from_texts(corpus, similarity_top_k=k, metadatas=metadatas)
    if kind == "nodes":
        return LumotextRetriever.from_nodes(
            [TextNode(text=t, metadata=m) for t, m in zip(corpus, metadatas)], similarity_top_k=k
        )
    return LumotextRetriever.from_documents(
        [Document(text=t, metadata=m) for t, m in zip(corpus, metadatas)], similarity_top_k=k
    )


FRAMEWORKS = {
    "langchain": (make_langchain, langchain_results, ["texts", "documents"]),
    "llama_index": (make_llama, llama_results, ["texts", "nodes", "documents"]),
}
CASES = [(framework, kind) for framework, (_, _, kinds) in FRAMEWORKS.items() for kind in kinds]


@pytest.mark.parametrize("framework, kind", CASES)
def test_retrievers_return_what_the_index_finds(framework, kind, corpus, reference, tmp_path):
    make, results, _ = FRAMEWORKS[framework]
    k = 7
    retriever = make(kind, corpus, k)
    loaded = type(retriever).load(
        _saved(retriever, tmp_path), **({"k": k} if framework == "langchain" else {"similarity_top_k": k})
    )
    for query in engine_checks.queries():
        expected = reference.search(query, k=k)
        for found in (results(retriever, query), results(loaded, query)):
            assert [(number, score) for number, score, _, _ in found] == expected, query
            for number, score, text, metadata in found:
                assert text == corpus[number]
                assert metadata["line"] == number and metadata["source"] == "bench" and metadata["score"] == score


def _saved(retriever, tmp_path):
    retriever.save(tmp_path / "retriever")
    return tmp_path / "retriever"


@pytest.mark.parametrize("framework", FRAMEWORKS)
def test_results_leave_the_stored_documents_alone(framework, corpus):
    make, results, _ = FRAMEWORKS[framework]
    retriever = make("texts", corpus[:50], 3)
    first = results(retriever, corpus[10])
    second = results(retriever, corpus[20])
    stored = retriever.documents if framework == "langchain" else retriever.nodes
    assert all("score" not in (item.metadata) for item in stored)
    assert first and second and first[0][3] is not second[0][3]


@pytest.mark.parametrize("framework", FRAMEWORKS)
def test_load_refuses_a_directory_that_is_not_a_saved_retriever(framework, tmp_path):
    make, _, _ = FRAMEWORKS[framework]
    retriever_type = type(make("texts", ["长江大桥"], 1))
    with pytest.raises(FileNotFoundError, match="is not a saved lumotext retriever"):
        retriever_type.load(tmp_path)


@pytest.mark.parametrize("framework", FRAMEWORKS)
def test_metadatas_must_match_the_texts(framework):
    make, _, _ = FRAMEWORKS[framework]
    retriever_type = type(make("texts", ["长江大桥"], 1))
    options = {"metadatas": [{}]}
    with pytest.raises(ValueError, match="2 texts but 1 metadatas"):
        retriever_type.from_texts(["长江", "大桥"], **options)

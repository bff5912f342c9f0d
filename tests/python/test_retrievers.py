"""The LangChain and LlamaIndex retrievers return what Index.search returns, in its order,
with the scores, and survive save/load."""

from __future__ import annotations

import time

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


# --- the texts live in the index: one atomic save -------------------------------------------

KILL_CHILD = """
import sys
framework, path = sys.argv[1], sys.argv[2]
base = ["北京今天天气晴朗", "上海明天有雨", "长江大桥正式通车", "广州的早茶很有名", "深圳的科技公司很多"]
retrievers = []
for size, word in ((3000, "苹果"), (3050, "香蕉")):
    texts = [f"{base[i % len(base)]} 第{i}条 {word}" for i in range(size)]
    metadatas = [{"word": word, "n": i} for i in range(size)]
    if framework == "langchain":
        from lumotext.langchain import LumotextRetriever
        retrievers.append(LumotextRetriever.from_texts(texts, metadatas=metadatas, k=20))
    else:
        from lumotext.llama_index import LumotextRetriever
        retrievers.append(LumotextRetriever.from_texts(texts, similarity_top_k=20, metadatas=metadatas))
print("ready", flush=True)
turn = 0
while True:
    retrievers[turn % 2].save(path)
    turn += 1
"""


@pytest.mark.parametrize("framework", FRAMEWORKS)
def test_a_killed_save_never_pairs_texts_with_another_index(framework, tmp_path):
    import random
    import signal
    import subprocess
    import sys

    make, results, _ = FRAMEWORKS[framework]
    retriever_type = type(make("texts", ["长江大桥"], 1))
    script = tmp_path / "child.py"
    script.write_text(KILL_CHILD, encoding="utf-8")
    target = tmp_path / "retriever"
    checked = 0
    for _ in range(6):
        child = subprocess.Popen([sys.executable, str(script), framework, str(target)], stdout=subprocess.PIPE)
        assert child.stdout is not None and child.stdout.readline().strip() == b"ready"
        time.sleep(random.uniform(0.0, 0.4))
        child.send_signal(signal.SIGKILL)
        child.wait()
        if not (target / "index").exists():
            continue  # killed before its first save finished
        loaded = retriever_type.load(target, **({"k": 20} if framework == "langchain" else {"similarity_top_k": 20}))
        words = {found[3]["word"] for word in ("苹果", "香蕉") for found in results(loaded, word)}
        assert len(words) == 1, "hits of both generations"
        (word,) = words
        assert len(loaded.index) == (3000 if word == "苹果" else 3050)
        for number, _, text, metadata in results(loaded, word) + results(loaded, "上海 " + word):
            assert text.endswith(word) and text.split()[1] == f"第{number}条" and metadata["n"] == number
        checked += 1
    assert checked > 0


@pytest.mark.parametrize("framework", FRAMEWORKS)
def test_directories_of_the_two_file_layout_still_load(framework, corpus, reference, tmp_path):
    import json

    make, results, _ = FRAMEWORKS[framework]
    retriever_type = type(make("texts", ["长江大桥"], 1))
    texts = corpus[:200]
    old = Index(store=False)
    old.add(texts)
    (tmp_path / "old").mkdir()
    old.save(tmp_path / "old" / "index")
    with open(tmp_path / "old" / "documents.jsonl", "w", encoding="utf-8") as stream:
        for number, text in enumerate(texts):
            if framework == "langchain":
                record = {"text": text, "metadata": METADATA(number), "id": None}
            else:
                from llama_index.core.schema import TextNode
                from llama_index.core.storage.docstore.utils import doc_to_json

                record = doc_to_json(TextNode(text=text, metadata=METADATA(number)))
            stream.write(json.dumps(record, ensure_ascii=False) + "\n")
    options = {"k": 5} if framework == "langchain" else {"similarity_top_k": 5}
    loaded = retriever_type.load(tmp_path / "old", **options)
    for query in engine_checks.queries()[:20]:
        found = results(loaded, query)
        assert [(n, s) for n, s, _, _ in found] == old.search(query, k=5)
        assert all(text == texts[n] and m["line"] == n for n, _, text, m in found)
    loaded.save(tmp_path / "old")
    assert not (tmp_path / "old" / "documents.jsonl").exists()
    again = retriever_type.load(tmp_path / "old", **options)
    assert results(again, "北京") == results(loaded, "北京")


@pytest.mark.parametrize("framework", FRAMEWORKS)
@pytest.mark.parametrize("bad", [{"when": {1, 2}}, {"score": float("nan")}, {"raw": b"bytes"}])
def test_metadata_json_cannot_hold_is_refused_before_anything_is_written(framework, bad, tmp_path):
    make, results, _ = FRAMEWORKS[framework]
    good = make("texts", ["北京天气", "上海下雨"], 2)
    good.save(tmp_path / "r")
    with pytest.raises((TypeError, ValueError), match="cannot be stored as JSON"):
        type(good).from_texts(["广州早茶"], metadatas=[bad])
    loaded = type(good).load(tmp_path / "r")
    assert [text for _, _, text, _ in results(loaded, "上海")] == ["上海下雨"]


@pytest.mark.parametrize("framework", FRAMEWORKS)
def test_a_numbers_only_index_with_its_documents_becomes_a_storing_one(framework, tmp_path):
    make, results, _ = FRAMEWORKS[framework]
    retriever_type = type(make("texts", ["长江大桥"], 1))
    texts = ["北京天气晴朗", "上海下雨", "北京下雪"]
    plain = Index(store=False)
    plain.add(texts)
    if framework == "langchain":
        from langchain_core.documents import Document

        documents = [Document(page_content=t, metadata=METADATA(n)) for n, t in enumerate(texts)]
        retriever = retriever_type(index=plain, documents=documents, k=2)
        with pytest.raises(ValueError, match="needs its documents"):
            retriever_type(index=plain, k=2)
    else:
        from llama_index.core.schema import TextNode

        nodes = [TextNode(text=t, metadata=METADATA(n)) for n, t in enumerate(texts)]
        retriever = retriever_type(plain, nodes, 2)
        with pytest.raises(ValueError, match="needs its nodes"):
            retriever_type(plain, None, 2)
    assert retriever.index.stores_documents
    found = results(retriever, "北京")
    assert [(n, s) for n, s, _, _ in found] == plain.search("北京", k=2)
    assert all(text == texts[n] and metadata["line"] == n for n, _, text, metadata in found)
    with pytest.raises(ValueError, match="one document for each document number"):
        retriever_type(index=plain, documents=documents[:2]) if framework == "langchain" else retriever_type(
            plain, nodes[:2]
        )

"""The main job on the bundled sample: Chinese search with :class:`lumotext.Index`, then the
same documents as sparse vectors of the ``BM25`` encoder.

Run with ``python -m lumotext.demo`` (``make demo`` does that).
"""

from __future__ import annotations

import os
import tempfile
import time
from importlib import resources
from typing import Mapping, Sequence

from pylumotext import BM25

from lumotext import Index, index_tokens, shared_jieba

SAMPLE = "samples/sample-zh.txt"
#: A flood, software, a station, and one in Traditional script, which the analyzer folds.
QUERIES = ["洪水淹没农田", "安装软件包", "火车站", "長江大橋通車"]
TOP = 3


def sample_documents() -> list[str]:
    """The bundled sample's documents, one a line."""
    text = resources.files("lumotext").joinpath(SAMPLE).read_text(encoding="utf-8")
    return [line for line in text.splitlines() if line.strip()]


def print_hits(documents: Sequence[str], hits: Sequence[tuple[int, float]]) -> None:
    for number, score in hits:
        print(f"  {score:7.4f}  #{number:<3} {documents[number]}")
    if not hits:
        print("  (no document matches)")


def index_demo(documents: Sequence[str]) -> None:
    index = Index()
    started = time.perf_counter()
    index.add(documents)
    seconds = time.perf_counter() - started
    print(f"Indexed {len(index)} documents of {SAMPLE} in {seconds * 1000:.1f} ms: {index!r}")
    print("Each query's terms are the analyzer's words, then its character bigrams (marked +).")
    for query, hits in zip(QUERIES, index.search_many(QUERIES, k=TOP)):
        terms = " / ".join(term.replace("\x01", "+") for term in index.analyzer.analyze(query))
        print(f"\nquery: {query}   terms: {terms}")
        print_hits(documents, hits)

    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "sample.index")
        index.save(path)
        loaded = Index.load(path)
        same = all(loaded.search(query, k=TOP) == index.search(query, k=TOP) for query in QUERIES)
    print(f"\nsaved, loaded again: {'the same' if same else 'DIFFERENT'} results")


def by_score(hit: tuple[int, float]) -> tuple[float, int]:
    """Best first, ties by the lower document number, as the index ranks."""
    return (-hit[1], hit[0])


def dot(query: Mapping[str, float], document: Mapping[str, float]) -> float:
    return sum(weight * document[token] for token, weight in query.items() if token in document)


def encoder_demo(documents: Sequence[str]) -> None:
    """The same documents through the segmenter and the BM25 encoder, ranked by dot product."""
    jieba = shared_jieba()
    tokens = [index_tokens(jieba.cut(document)) for document in documents]
    model = BM25()
    for document_tokens in tokens:
        model.train(document_tokens)
    vectors = [model.encode_document(document_tokens) for document_tokens in tokens]
    query = QUERIES[1]
    query_vector = model.encode_query(index_tokens(jieba.cut(query)))
    print(f"\nBM25 encoder (b={model.b()}, k1={model.k1()}) trained on the same {len(documents)} documents")
    print(f"query vector of {query}: {query_vector}")
    scored = sorted(((number, dot(query_vector, vector)) for number, vector in enumerate(vectors)), key=by_score)
    print_hits(documents, [(number, score) for number, score in scored[:TOP] if score > 0])


def main() -> None:
    documents = sample_documents()
    index_demo(documents)
    encoder_demo(documents)


if __name__ == "__main__":
    main()

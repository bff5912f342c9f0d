"""The main job on the bundled sample data: train BM25, encode queries, rank documents.

Run with ``python -m lumotext.demo`` (``make demo`` does that).
"""

from __future__ import annotations

from importlib import resources
from typing import Mapping, Sequence

from pylumotext import BM25

QUERIES = ["river flooded fields", "fresh bread in the morning", "power from the dam"]
TOP = 3


def dot(query: Mapping[str, float], document: Mapping[str, float]) -> float:
    return sum(weight * document[token] for token, weight in query.items() if token in document)


def rank(model: BM25, documents: Sequence[list[str]], query_tokens: list[str], top: int = TOP) -> list[tuple[float, int]]:
    query = model.encode_query(query_tokens)
    vectors = [model.encode_document(doc) for doc in documents]
    scored = [(dot(query, vector), index) for index, vector in enumerate(vectors)]
    scored.sort(key=lambda pair: (-pair[0], pair[1]))
    return scored[:top]


def bm25_demo() -> None:
    text = resources.files("lumotext").joinpath("samples/tokenized_docs.txt").read_text(encoding="utf-8")
    documents = [line.split() for line in text.splitlines() if line.strip()]
    model = BM25()
    for doc in documents:
        model.train(doc)
    print(f"BM25 trained on {len(documents)} tokenized documents (b={model.b()}, k1={model.k1()})")
    for query in QUERIES:
        print(f"\nquery: {query}")
        for score, index in rank(model, documents, query.split()):
            print(f"  {score:.4f}  #{index:<3} {' '.join(documents[index])}")


def main() -> None:
    bm25_demo()


if __name__ == "__main__":
    main()

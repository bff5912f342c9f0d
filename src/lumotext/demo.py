"""The main job on the bundled sample data: train BM25, encode queries, rank documents.

Run with ``python -m lumotext.demo`` (``make demo`` does that).
"""

from __future__ import annotations

from importlib import resources
from typing import Mapping, Sequence

from pylumotext import BM25

from lumotext._data import default_paths

QUERIES = ["river flooded fields", "fresh bread in the morning", "power from the dam"]
TOP = 3


def dot(query: Mapping[str, float], document: Mapping[str, float]) -> float:
    return sum(weight * document[token] for token, weight in query.items() if token in document)


def rank(
    model: BM25, documents: Sequence[list[str]], query_tokens: list[str], top: int = TOP
) -> list[tuple[float, int]]:
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


ZH_QUERIES = ["洪水淹没农田", "早上吃面包", "中文分词和搜索引擎"]
ZH_SHOWN = (0, 2, 7)  # sample lines printed with both cuts


def content_words(words: Sequence[str], stop_words: set[str]) -> list[str]:
    """Tokens worth indexing: no white space, no stop words (punctuation included)."""
    return [w for w in words if w.strip() and w not in stop_words]


def chinese_demo() -> None:
    from pylumotext import Jieba

    paths = default_paths()
    jieba = Jieba(**paths)
    with open(paths["stop_word_path"], encoding="utf-8") as f:
        stop_words = {line.rstrip("\n") for line in f}
    text = resources.files("lumotext").joinpath("samples/zh_docs.txt").read_text(encoding="utf-8")
    sentences = [line for line in text.splitlines() if line.strip()]

    print("\nChinese segmentation with the default data")
    for sentence in (sentences[i] for i in ZH_SHOWN):
        print(f"\n  {sentence}")
        print(f"  cut:            {' / '.join(jieba.cut(sentence))}")
        print(f"  cut_for_search: {' / '.join(jieba.cut_for_search(sentence))}")

    documents = [content_words(jieba.cut_for_search(s), stop_words) for s in sentences]
    model = BM25()
    for doc in documents:
        model.train(doc)
    print(f"\nBM25 trained on {len(documents)} segmented Chinese documents")
    for query in ZH_QUERIES:
        tokens = content_words(jieba.cut_for_search(query), stop_words)
        print(f"\nquery: {query}  ->  {' / '.join(tokens)}")
        hits = [(score, index) for score, index in rank(model, documents, tokens) if score > 0]
        for score, index in hits:
            print(f"  {score:.4f}  #{index:<3} {sentences[index]}")
        if not hits:
            print("  (no document shares a word with the query)")


def main() -> None:
    bm25_demo()
    chinese_demo()


if __name__ == "__main__":
    main()

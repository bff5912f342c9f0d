"""Everyday use of pylumotext and lumotext, checked with `mypy --strict` by test_typing.py."""

from __future__ import annotations

from pylumotext import BM25, Jieba

import lumotext
from lumotext.sparse import SparseVector, to_sparse_vector, token_hash


def train(documents: list[list[str]], b: float = 0.75) -> BM25:
    model = BM25(b=b, k1=1.2)
    for document in documents:
        model.train(document)
    return model


def score(model: BM25, query: list[str], document: list[str]) -> float:
    weights: dict[str, float] = model.encode_query(query)
    vector: dict[str, float] = model.encode_document(document)
    return sum(weight * vector.get(token, 0.0) for token, weight in weights.items())


def integer_tokens(model: BM25) -> dict[int, float]:
    model.train([3, 5, 5])
    return model.encode_query([3, 5])


def parameters(model: BM25) -> tuple[float, float]:
    model.b(0.5)
    return model.b(), model.k1()


def segment(jieba: Jieba, texts: list[str]) -> list[list[str]]:
    first: list[str] = jieba.cut(texts[0]) + jieba.cut_for_search(texts[0])
    rest = list(lumotext.segment_many(jieba, texts[1:], threads=2, search=True))
    return [first, *rest]


def hashed(model: BM25, tokens: list[str]) -> SparseVector:
    vector = to_sparse_vector(model.encode_document(tokens))
    assert all(0 <= index < 2**32 for index in vector["indices"])
    return vector


def merged(models: list[BM25]) -> BM25:
    text: str = lumotext.merge_models(lumotext.model_text(model) for model in models)
    return lumotext.load_model(text)


def index_of(token: str) -> int:
    return token_hash(token)

"""The index the engine and framework tests run against.

``lumotext.Index`` where the package has it; until then a small stand-in written straight from
the documented formula (BM25 with the document-frequency idf ``log(1 + (N - df + 0.5) / (df +
0.5))``), with the same methods, so the engine modules are tested against the same contract.
"""

from __future__ import annotations

import math
import pickle
from collections import Counter
from pathlib import Path
from typing import Iterable, Iterator

import lumotext
from lumotext.pipeline import index_tokens
from lumotext.segmenter import shared_jieba
from lumotext.sparse import token_hash


class StandInIndex:
    def __init__(self, analyzer=None, k1: float = 1.2, b: float = 0.75) -> None:
        self.k1, self.b = k1, b
        self._documents: dict[int, Counter[str]] = {}
        self._next = 0

    @staticmethod
    def _terms(text: str) -> list[str]:
        if not isinstance(text, str):
            raise TypeError(f"documents must be str, got {type(text).__name__}")
        return index_tokens(shared_jieba(None).cut(text))

    def add(self, texts: Iterable[str], threads=None, progress: bool = False) -> range:
        start = self._next
        for text in texts:
            self._documents[self._next] = Counter(self._terms(text))
            self._next += 1
        return range(start, self._next)

    def remove(self, doc_numbers: Iterable[int]) -> None:
        for number in doc_numbers:
            del self._documents[number]

    def __len__(self) -> int:
        return len(self._documents)

    def live_documents(self) -> list[int]:
        return sorted(self._documents)

    def _statistics(self) -> tuple[int, float, Counter[str]]:
        count = len(self._documents)
        lengths = sum(sum(terms.values()) for terms in self._documents.values())
        df: Counter[str] = Counter()
        for terms in self._documents.values():
            df.update(terms.keys())
        return count, (lengths / count if count else 0.0), df

    def _idf(self, count: int, df: int) -> float:
        return math.log(1 + (count - df + 0.5) / (df + 0.5))

    def _saturation(self, tf: int, length: int, average: float) -> float:
        return tf * (self.k1 + 1) / (tf + self.k1 * (1 - self.b + self.b * length / average))

    def document_vectors(self, since: int | None = None) -> Iterator[dict]:
        count, average, df = self._statistics()
        for number in self.live_documents():
            if since is None or number >= since:
                terms = self._documents[number]
                length = sum(terms.values())
                yield _hashed({term: self._saturation(tf, length, average) for term, tf in terms.items()})

    def query_vector(self, text: str, engine_idf: bool = False) -> dict:
        count, _, df = self._statistics()
        return _hashed({
            term: qtf * (1.0 if engine_idf else self._idf(count, df[term]))
            for term, qtf in Counter(self._terms(text)).items() if df[term]
        })

    def search(self, query: str, k: int = 10) -> list[tuple[int, float]]:
        if k <= 0:
            raise ValueError("k must be positive")
        terms = Counter(self._terms(query))
        count, average, df = self._statistics()
        scored = []
        for number, document in self._documents.items():
            length = sum(document.values())
            score = sum(
                qtf * self._idf(count, df[t]) * self._saturation(document[t], length, average)
                for t, qtf in terms.items() if t in document
            )
            if score > 0:
                scored.append((number, score))
        scored.sort(key=lambda pair: (-pair[1], pair[0]))
        return scored[:k]

    def save(self, path) -> None:
        Path(path).mkdir(parents=True, exist_ok=True)
        (Path(path) / "standin.pickle").write_bytes(pickle.dumps(self))

    @classmethod
    def load(cls, path) -> "StandInIndex":
        return pickle.loads((Path(path) / "standin.pickle").read_bytes())

    @classmethod
    def merge(cls, indexes) -> "StandInIndex":
        merged = cls(k1=indexes[0].k1, b=indexes[0].b) if indexes else cls()
        for index in indexes:
            for number in index.live_documents():
                merged._documents[merged._next] = Counter(index._documents[number])
                merged._next += 1
        return merged


def _hashed(weights: dict[str, float]) -> dict:
    by_index: dict[int, float] = {}
    for term, weight in weights.items():
        index = token_hash(term)
        by_index[index] = by_index.get(index, 0.0) + weight
    indices = sorted(by_index)
    return {"indices": indices, "values": [by_index[i] for i in indices]}


Index = getattr(lumotext, "Index", None) or StandInIndex
if not hasattr(lumotext, "Index"):
    lumotext.Index = StandInIndex  # type: ignore[attr-defined]

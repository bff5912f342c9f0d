"""Exact outputs pinned as digests, so that speed work can prove it changed no result.

BM25: encodings over a generated corpus. Segmentation: cut and cut_for_search over the shared
benchmark text with the default data, line by line and as lines of 100,000 runes (skipped when
the shared corpora are not beside the repository).

Each digest covers every key (in the order the dict yields them) and every weight bit for
bit (float.hex). The corpus is generated here from a fixed seed; the reference encoder
below re-derives every weight with the same operations in the same order, so a digest
mismatch on an unchanged reference points at the native code, not at the corpus.
"""

from __future__ import annotations

import hashlib
import math
import random

import pytest
from pylumotext import BM25
from shared_data import BENCH_TEXT, SHARED_MISSING, shared_file

WORDS = ["的", "是", "北京", "大学", "检索", "向量", "a", "b", "7", "-5", "", "é", "\x00x", "zz"]


def fixed_corpus(kind: str, docs: int = 400, seed: int = 20240611) -> list[list]:
    """Documents of 1 to 60 tokens drawn with a skew toward the first tokens of the
    vocabulary; integer documents include negatives and values near the 64-bit ends."""
    rng = random.Random(seed)
    extremes = [2**63 - 1, -(2**63), 0, -1, 7, 10**12]
    out = []
    for _ in range(docs):
        length = 1 + int(rng.random() ** 2 * 60)
        doc = []
        for _ in range(length):
            rank = int(rng.random() ** 3 * 300)
            if kind == "string":
                doc.append(WORDS[rank] if rank < len(WORDS) else f"w{rank}")
            else:
                doc.append(extremes[rank] if rank < len(extremes) else rank - 150)
        out.append(doc)
    return out


class Reference:
    """The encoder's formulas with Python floats, in the native order of operations."""

    def __init__(self, b: float, k1: float) -> None:
        self.b, self.k1 = b, k1
        self.count: dict[str, int] = {}
        self.docs = 0
        self.total = 0

    def train(self, tokens: list) -> None:
        for token in tokens:
            key = token if isinstance(token, str) else str(token)
            self.count[key] = self.count.get(key, 0) + 1
        self.docs += 1
        self.total += len(tokens)

    @staticmethod
    def _order(token):
        return token.encode() if isinstance(token, str) else token

    def encode_document(self, tokens: list) -> dict:
        average = self.total / self.docs
        norm = ((len(tokens) / average) * self.b + (1.0 - self.b)) * self.k1
        tf: dict = {}
        for token in tokens:
            tf[token] = tf.get(token, 0) + 1
        return {t: tf[t] / (norm + tf[t]) for t in sorted(tf, key=self._order)}

    def encode_query(self, tokens: list) -> dict:
        weights = {}
        for token in sorted(set(tokens), key=self._order):
            count = self.count.get(token if isinstance(token, str) else str(token))
            weights[token] = math.log((self.docs + 1) / (count + 0.5 if count is not None else 1.5))
        total = 0.0
        for value in weights.values():
            total += value
        return {t: w / total for t, w in weights.items()}


def digest(vectors: list[dict]) -> str:
    h = hashlib.sha256()
    for vector in vectors:
        for key, weight in vector.items():
            h.update(repr(key).encode("utf-8", "surrogatepass") + b"\t" + weight.hex().encode() + b"\n")
        h.update(b"--\n")
    return h.hexdigest()


def encodings(kind: str, b: float, k1: float):
    corpus = fixed_corpus(kind)
    native, reference = BM25(b, k1), Reference(b, k1)
    for doc in corpus:
        native.train(doc)
        reference.train(doc)
    queries = [doc[:4] + doc[-2:] for doc in corpus[::3]] + [["never-seen" if kind == "string" else 999_999]]
    return (
        [native.encode_document(doc) for doc in corpus],
        [native.encode_query(q) for q in queries],
        [reference.encode_document(doc) for doc in corpus],
        [reference.encode_query(q) for q in queries],
    )


# (kind, b, k1) -> (document digest, query digest), recorded from the current encoder.
PINNED = {
    ("string", 0.75, 1.2): (
        "d85ccf33d2a222eaacaa99f44616b2b7e96741c2f7d9882896a28237b5ca0702",
        "35e00668f3dae89f1b8b3356c588aa66fbe4ee0ed2f98c719ca5407875da2a54",
    ),
    ("integer", 0.75, 1.2): (
        "497a903b78ae0263a8338d433828e7f88d69fac0407da2f0914c3490c94fc1bf",
        "b7007bad74b5ed72b140f8fa4d1104dd32b8d68b3e7025ab3c7ff37e7d682639",
    ),
    ("string", 0.0, 2.0): (
        "a14c4c86e6b0a9ddb5adf23d2953699d53194b3b6d60d2d9f4b2094d281f0e84",
        "35e00668f3dae89f1b8b3356c588aa66fbe4ee0ed2f98c719ca5407875da2a54",
    ),
    ("integer", 1.0, 0.5): (
        "34dbca0c57e5742a443ea282c3c0c157def88f891b2ad81602534e12ff30c1a9",
        "b7007bad74b5ed72b140f8fa4d1104dd32b8d68b3e7025ab3c7ff37e7d682639",
    ),
}


@pytest.mark.parametrize("kind, b, k1", list(PINNED))
def test_bm25_encodings_are_pinned(kind, b, k1):
    documents, queries, ref_documents, ref_queries = encodings(kind, b, k1)
    # Same keys in the same order, and weights equal to the last bit or, for the query side
    # (one log per token from the platform's libm), to rounding.
    assert [list(v) for v in documents] == [list(v) for v in ref_documents]
    assert documents == ref_documents
    assert [list(v) for v in queries] == [list(v) for v in ref_queries]
    for got, want in zip(queries, ref_queries):
        assert list(got.values()) == pytest.approx(list(want.values()), rel=1e-12, abs=1e-15)
    assert (digest(documents), digest(queries)) == PINNED[(kind, b, k1)]


# -- segmentation ----------------------------------------------------------------------------


def _bench_text_path():
    """The shared benchmark text beside the repository or one of its parents, or None."""
    path = shared_file(BENCH_TEXT)
    return None if path is None else str(path)


def _word_digest(cut, lines) -> tuple[str, int]:
    h = hashlib.sha256()
    count = 0
    for line in lines:
        words = cut(line)
        count += len(words)
        h.update("\x1f".join(words).encode("utf-8") + b"\x1e")
    return h.hexdigest(), count


def _long_lines(lines, length=100_000, total=1_000_000):
    """The text without its separator runes, as lines far longer than any in the file."""
    import re

    stream = re.sub("[ \t\n\uff0c\u3002]", "", "".join(lines))[:total]
    return [stream[i : i + length] for i in range(0, len(stream), length)]


# (method, input) -> (digest, number of words), with the default data; re-pin only when the
# default data are rebuilt on purpose.
PINNED_SEGMENTATION = {
    ("cut", "lines"): ("9f95cdaed9139777451300875b50dfcbc40b50b5eaa222190be1bade7bde7517", 1122141),
    ("cut_for_search", "lines"): ("9bf9007c447d9436c654dbb28fe7d4eb2c823931931fb9bbffbe7de493bebda9", 1140777),
    ("cut", "long lines"): ("4e078088f75072715c9d5e195e41a73f81b29bef94e5bd96ba365659e2cee461", 589583),
    ("cut_for_search", "long lines"): ("e7d81f4e509a5e24360a1b6ab7256bed406836f8b260e0106dd4f6198c1f2669", 600851),
}


@pytest.mark.parametrize("method, shape", list(PINNED_SEGMENTATION))
def test_segmentation_of_the_benchmark_text_is_pinned(method, shape):
    path = _bench_text_path()
    if path is None:
        pytest.skip(SHARED_MISSING)
    from pylumotext import Jieba

    import lumotext

    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    if shape == "long lines":
        lines = _long_lines(lines)
    jieba = Jieba(**lumotext.default_paths())
    cut = getattr(jieba, method)
    if method == "cut":
        # The words of a line give back the line, so the digest pins the cut points only.
        assert all("".join(cut(line)) == line for line in lines[:2000])
    assert _word_digest(cut, lines) == PINNED_SEGMENTATION[(method, shape)], (
        "segmentation changed (or the default data were rebuilt: then re-pin)"
    )

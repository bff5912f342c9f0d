"""BM25 throughput: the native encoder against a straightforward pure-Python one.

Both run in this process on the same synthetic corpus (Zipf-distributed tokens), once with
string tokens and once with integer tokens. Reports tokens/s (median of --repeat runs) for
train, encode_document and encode_query, and the native/pure-Python ratio.

    python bench/bm25_bench.py [--docs 100000] [--mean-length 100] [--repeat 3] [--json out.json]

Also writes bench/results/bm25_python.md and .json unless --no-write is given.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import random
import sys
from collections import Counter
from typing import Sequence

import harness
import numpy as np
from pylumotext import BM25


class PureBM25:
    """The same formulas with collections.Counter and dicts."""

    def __init__(self, b: float = 0.75, k1: float = 1.2) -> None:
        self.b, self.k1 = b, k1
        self.doc_count = 0
        self.length_total = 0
        self.average = 0.0
        self.freq: dict[str, int] = {}

    def train(self, tokens: Sequence) -> None:
        freq = self.freq
        for token, count in Counter(tokens).items():
            key = token if isinstance(token, str) else str(token)
            freq[key] = freq.get(key, 0) + count
        self.doc_count += 1
        self.length_total += len(tokens)
        self.average = self.length_total / self.doc_count

    def encode_document(self, tokens: Sequence) -> dict:
        norm = ((len(tokens) / self.average) * self.b + (1.0 - self.b)) * self.k1
        return {token: tf / (norm + tf) for token, tf in sorted(Counter(tokens).items())}

    def encode_query(self, tokens: Sequence) -> dict:
        n = self.doc_count + 1
        freq = self.freq
        weights = {}
        for token in tokens:
            if token not in weights:
                key = token if isinstance(token, str) else str(token)
                count = freq.get(key)
                weights[token] = math.log(n / (count + 0.5 if count is not None else 1.5))
        total = sum(weights[token] for token in sorted(weights))
        return {token: weights[token] / total for token in sorted(weights)}


def make_corpus(docs: int, mean_length: int, vocabulary: int, seed: int) -> list[list[int]]:
    rng = np.random.default_rng(seed)
    ranks = np.arange(1, vocabulary + 1, dtype=np.float64)
    probabilities = 1.0 / ranks**1.07
    probabilities /= probabilities.sum()
    lengths = np.clip(rng.poisson(mean_length, docs), 1, None)
    flat = rng.choice(vocabulary, size=int(lengths.sum()), p=probabilities)
    out, start = [], 0
    for length in lengths:
        out.append(flat[start : start + length].tolist())
        start += length
    return out


def bench_kind(kind: str, corpus: list, queries: list, repeat: int) -> list[dict]:
    tokens = sum(map(len, corpus))
    query_tokens = sum(map(len, queries))
    native, pure = BM25(), PureBM25()

    def train_native() -> None:
        model = BM25()
        for doc in corpus:
            model.train(doc)

    def train_pure() -> None:
        model = PureBM25()
        for doc in corpus:
            model.train(doc)

    for doc in corpus:
        native.train(doc)
        pure.train(doc)
    # The inputs and the trained models stay alive throughout: keep the collector from walking
    # them again and again while the timed work allocates (both sides alike).
    gc.collect()
    gc.freeze()
    # The two implementations must agree before their speed means anything.
    for doc in corpus[:200]:
        a, b = native.encode_document(doc), pure.encode_document(doc)
        assert list(a) == list(b) and all(math.isclose(a[k], b[k], rel_tol=1e-12) for k in a)
    for query in queries[:200]:
        a, b = native.encode_query(query), pure.encode_query(query)
        assert list(a) == list(b) and all(math.isclose(a[k], b[k], rel_tol=1e-9, abs_tol=1e-12) for k in a)

    rows = []
    for op, count, fn_native, fn_pure in [
        ("train", tokens, train_native, train_pure),
        (
            "encode_document",
            tokens,
            lambda: [native.encode_document(d) for d in corpus],
            lambda: [pure.encode_document(d) for d in corpus],
        ),
        (
            "encode_query",
            query_tokens,
            lambda: [native.encode_query(q) for q in queries],
            lambda: [pure.encode_query(q) for q in queries],
        ),
    ]:
        t_native, t_pure = harness.timed_alternating([fn_native, fn_pure], repeat)
        rows.append(
            {
                "tokens": kind,
                "operation": op,
                "token_count": count,
                "native_tokens_per_s": count / t_native,
                "pure_python_tokens_per_s": count / t_pure,
                "ratio": t_pure / t_native,
            }
        )
        gc.collect()
        print(
            f"{kind:>7} {op:<16} native {count / t_native / 1e6:8.2f} Mtok/s   "
            f"pure Python {count / t_pure / 1e6:6.2f} Mtok/s   ratio {t_pure / t_native:5.2f}x",
            flush=True,
        )
    return rows


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--docs", type=int, default=100_000)
    parser.add_argument("--mean-length", type=int, default=100)
    parser.add_argument("--vocabulary", type=int, default=200_000)
    parser.add_argument("--queries", type=int, default=20_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--json", help="write the results to this file")
    parser.add_argument("--no-write", action="store_true", help="write no files under bench/results")
    args = parser.parse_args(argv)

    corpus_ints = make_corpus(args.docs, args.mean_length, args.vocabulary, args.seed)
    rng = random.Random(args.seed)
    queries_ints = [rng.choice(corpus_ints)[:5] for _ in range(args.queries)]
    tokens = sum(map(len, corpus_ints))
    print(
        f"corpus: {args.docs} documents, {tokens} tokens, vocabulary {args.vocabulary}; "
        f"{args.queries} queries; median of {args.repeat}",
        flush=True,
    )
    rows = bench_kind(
        "string", [[f"w{t}" for t in d] for d in corpus_ints], [[f"w{t}" for t in q] for q in queries_ints], args.repeat
    )
    rows += bench_kind("integer", corpus_ints, queries_ints, args.repeat)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as out:
            json.dump({"corpus_tokens": tokens, "docs": args.docs, "results": rows}, out, indent=2)
    if not args.no_write:
        columns = [
            ("tokens", "tokens"),
            ("operation", "operation"),
            ("native_tokens_per_s", "native tokens/s"),
            ("pure_python_tokens_per_s", "pure Python tokens/s"),
            ("ratio", "ratio"),
        ]
        notes = [
            f"Synthetic corpus: {args.docs:,} documents, {tokens:,} Zipf-distributed tokens, vocabulary "
            f"{args.vocabulary:,}; {args.queries:,} queries of 5 tokens; median of {args.repeat} runs, "
            "native and pure Python taking turns; the inputs are frozen out of the garbage collector's view "
            "(gc.freeze) for both.",
            "Pure Python: the same formulas with collections.Counter and dicts, checked to give the same "
            "keys and weights before timing.",
        ]
        harness.write_results(
            "bm25_python",
            "BM25: native against pure Python",
            [("", columns, rows)],
            notes,
            {"corpus_tokens": tokens, "docs": args.docs, "rows": rows},
            "make bench (bench/bm25_bench.py)",
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())

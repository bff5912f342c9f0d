"""The index's vectors in Qdrant's local mode and Milvus Lite: ranking agreement and upsert time.

    python bench/engines_bench.py [--corpus PATH] [--documents N] [--repeat N] [--skip-milvus]

Agreement: an index of the first 2,000 lines of the benchmark text, 20 queries (every 29th
line); for each query the top 10 of the engine against Index.search's, counting a place as
agreeing when the engine has the same document there or one the index scores the same (a tie).

Upsert: an index of N documents (the benchmark text's lines, repeated as needed to reach N,
default 100,000) written into a fresh in-memory Qdrant collection, once through
lumotext.qdrant and once by hand with qdrant_client point structs in batches of 256. Both times
include reading the vectors out of the index. The best of --repeat runs is reported.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from itertools import cycle, islice
from pathlib import Path

from lumotext import Index

ROOT = Path(__file__).resolve().parents[1]
TOP = 10
TIE = 1e-4


def find_corpus() -> Path:
    for base in ROOT.parents:
        candidate = base / "shared" / "corpora" / "zh-text" / "bench-zh.txt"
        if candidate.is_file():
            return candidate
    raise SystemExit("bench-zh.txt not found beside the repository; pass --corpus")


def agreement(search, index: Index, queries: list[str]) -> float:
    places = 0
    for query in queries:
        expected = index.search(query, k=TOP)
        found = search(query, TOP)
        for place, (number, score) in enumerate(expected):
            if place < len(found) and (
                found[place][0] == number or abs(found[place][1] - score) <= TIE * max(1.0, score)
            ):
                places += 1
    return places / len(queries)


def measure_agreement(lines: list[str], skip_milvus: bool) -> None:
    from qdrant_client import QdrantClient

    from lumotext.qdrant import QdrantCollection

    index = Index()
    index.add(lines[:2000])
    queries = [lines[29 * (i + 1)] for i in range(20)]
    for idf in ("index", "qdrant"):
        collection = QdrantCollection(QdrantClient(":memory:"), "agreement", index, idf=idf)
        collection.create()
        collection.upsert()
        print(
            f"Qdrant local, idf={idf!r:9}: top-10 agreement {agreement(collection.search, index, queries):.2f} of 10 places on average"
        )
    if skip_milvus:
        return
    from pymilvus import MilvusClient

    from lumotext.milvus import MilvusCollection

    with tempfile.TemporaryDirectory() as directory:
        client = MilvusClient(os.path.join(directory, "agreement.db"))
        collection = MilvusCollection(client, "agreement", index)
        collection.create()
        collection.upsert()
        print(
            f"Milvus Lite:                top-10 agreement {agreement(collection.search, index, queries):.2f} of 10 places on average"
        )
        client.close()


def by_hand(index: Index) -> float:
    from qdrant_client import QdrantClient, models

    client = QdrantClient(":memory:")
    start = time.perf_counter()
    client.create_collection("hand", vectors_config={}, sparse_vectors_config={"lumotext": models.SparseVectorParams()})
    numbers = index.live_documents()
    vectors = index.document_vectors()
    for first in range(0, len(numbers), 256):
        points = [
            models.PointStruct(id=number, vector={"lumotext": models.SparseVector(**vector)})
            for number, vector in zip(numbers[first : first + 256], vectors)
        ]
        client.upsert("hand", points=points)
    seconds = time.perf_counter() - start
    assert client.count("hand").count == len(numbers)
    return seconds


def through_lumotext(index: Index) -> float:
    from qdrant_client import QdrantClient

    from lumotext.qdrant import QdrantCollection

    collection = QdrantCollection(QdrantClient(":memory:"), "ours", index)
    start = time.perf_counter()
    collection.create()
    collection.upsert()
    seconds = time.perf_counter() - start
    assert collection.client.count("ours").count == len(index)
    return seconds


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=Path, default=None)
    parser.add_argument("--documents", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--skip-milvus", action="store_true")
    args = parser.parse_args()
    corpus = args.corpus or find_corpus()
    lines = corpus.read_text(encoding="utf-8").splitlines()
    print(f"corpus: {corpus.name}, {len(lines)} lines; load average {os.getloadavg()[0]:.2f}")
    measure_agreement(lines, args.skip_milvus)

    index = Index()
    index.add(islice(cycle(lines), args.documents))
    print(f"Qdrant local (:memory:) upsert of {len(index):,} documents, best of {args.repeat}:")
    hand = min(by_hand(index) for _ in range(args.repeat))
    ours = min(through_lumotext(index) for _ in range(args.repeat))
    print(f"  by hand, PointStruct batches of 256: {hand:7.2f} s ({len(index) / hand:,.0f} documents/s)")
    print(
        f"  lumotext.qdrant upsert:              {ours:7.2f} s ({len(index) / ours:,.0f} documents/s), {hand / ours:.2f}x"
    )
    print(f"load average {os.getloadavg()[0]:.2f}", file=sys.stderr)


if __name__ == "__main__":
    main()

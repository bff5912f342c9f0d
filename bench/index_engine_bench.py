"""The index engine's own figures: size per posting, queries/s at 1 and 2 threads, build time,
the cost of removing one document and of adding documents one per call.

    python bench/index_engine_bench.py [--docs 200000] [--queries 2000] [--one-per-call 60000]

Corpus: documents of two lines of shared/corpora/zh-text/bench-zh.txt each, the pair drawn at
random (seeded); queries are lines drawn the same way. Figures:

* build: ``Index().add(docs, threads=2)``; save, size on disk and ``Index.load(verify=False)``;
* bytes per posting: the segments' bytes (postings, block bounds, term entries, document
  lengths) over their postings, and the same with the term tables added;
* q/s: ``search_many(queries, k=10, threads=T)`` for T = 1, 2 with the default strategy
  (segments of ``_native.PRUNE_FROM_DOCUMENTS`` documents or more pruned, smaller ones
  accumulated), then with every segment pruned and every segment accumulated, and the
  test-only exhaustive scorer (fresh arrays);
* remove one: median time of ``remove([n])`` over 200 random live documents;
* one per call: ``add([doc])`` for each of the first N documents into a fresh index, against one
  ``add(docs)`` call, both on one thread.
"""

from __future__ import annotations

import argparse
import random
import statistics
import tempfile
import time
from pathlib import Path

import harness

from lumotext import Index
from lumotext._native import PRUNE_FROM_DOCUMENTS


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--docs", type=int, default=200_000)
    parser.add_argument("--queries", type=int, default=2000)
    parser.add_argument("--one-per-call", type=int, default=60_000)
    parser.add_argument("--corpus", default=None, help="default: shared/corpora/zh-text/bench-zh.txt")
    parser.add_argument("--seed", type=int, default=22)
    args = parser.parse_args()

    corpus = args.corpus or harness.corpus_file("zh-text", "bench-zh.txt")
    lines = [line.strip() for line in open(corpus, encoding="utf-8") if line.strip()]
    rng = random.Random(args.seed)
    docs = [rng.choice(lines) + rng.choice(lines) for _ in range(args.docs)]
    queries = [rng.choice(lines) for _ in range(args.queries)]
    print(f"corpus: {len(docs)} documents of two lines of {Path(corpus).name}, {len(queries)} queries")

    index = Index()
    started = time.perf_counter()
    index.add(docs, threads=2)
    print(f"build (2 threads): {time.perf_counter() - started:.2f} s")
    stats = index._native.engine_stats()
    postings = max(stats["postings"], 1)
    print(
        f"segments: {stats['segments']}, postings: {stats['postings']}, "
        f"bytes per posting: {stats['segment_bytes'] / postings:.2f} "
        f"(with term tables: {(stats['segment_bytes'] + stats['term_table_bytes']) / postings:.2f}; "
        "term tables are built at the first save)"
    )
    with tempfile.TemporaryDirectory() as tmp:
        started = time.perf_counter()
        index.save(Path(tmp) / "ix")
        saved = time.perf_counter() - started
        size = sum(p.stat().st_size for p in (Path(tmp) / "ix").iterdir())
        loads = []
        for _ in range(5):
            started = time.perf_counter()
            Index.load(Path(tmp) / "ix", verify=False)
            loads.append(time.perf_counter() - started)
        print(
            f"save: {saved:.2f} s, {size / 2**20:.1f} MiB on disk ({size / postings:.2f} bytes per posting), "
            f"load without checksums: median {statistics.median(loads) * 1e3:.1f} ms"
        )
    index.search_many(queries[:50], threads=1)  # warm
    for threads in (1, 2):
        started = time.perf_counter()
        index.search_many(queries, k=10, threads=threads)
        elapsed = time.perf_counter() - started
        print(f"q/s, {threads} thread(s): {len(queries) / elapsed:.0f}")
    native = index._native
    native._set_prune_from_documents(0)
    for threads in (1, 2):
        started = time.perf_counter()
        index.search_many(queries, k=10, threads=threads)
        elapsed = time.perf_counter() - started
        print(f"q/s, {threads} thread(s), every segment pruned (MaxScore): {len(queries) / elapsed:.0f}")
    native._set_prune_from_documents(1 << 62)
    started = time.perf_counter()
    index.search_many(queries, k=10, threads=1)
    print(f"q/s, 1 thread, every segment accumulated: {len(queries) / (time.perf_counter() - started):.0f}")
    native._set_prune_from_documents(PRUNE_FROM_DOCUMENTS)
    sample = queries[: min(len(queries), 300)]
    analyzer = index.analyzer._native
    started = time.perf_counter()
    for query in sample:
        native.search_exhaustive(analyzer, query, 10)
    print(f"q/s, exhaustive scoring, 1 thread: {len(sample) / (time.perf_counter() - started):.0f}")

    victims = rng.sample(index.live_documents(), 200)
    times = []
    for doc in victims:
        started = time.perf_counter()
        index.remove([doc])
        times.append(time.perf_counter() - started)
    print(f"remove one of {len(docs)}: median {statistics.median(times) * 1e3:.3f} ms, max {max(times) * 1e3:.3f} ms")

    few = docs[: args.one_per_call]
    started = time.perf_counter()
    Index().add(few, threads=1)
    one_call = time.perf_counter() - started
    single = Index()
    started = time.perf_counter()
    for doc in few:
        single.add([doc], threads=1)
    per_call = time.perf_counter() - started
    print(
        f"add {len(few)} documents: one call {one_call:.2f} s, one per call {per_call:.2f} s "
        f"(ratio {per_call / one_call:.2f}x; {single._native.engine_stats()['segments']} segments)"
    )


if __name__ == "__main__":
    main()

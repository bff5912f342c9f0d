"""Speed of lumotext.Index against our cut + bm25s on the benchmark text (every line a
document, every 29th line a query): build time, queries/s on 1 and 2 threads, load time.

    python bench/index_speed.py [--text PATH] [--limit N]
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time
from pathlib import Path

from lumotext import Index, make_jieba, segment_many


def timed(f):  # type: ignore[no-untyped-def]
    t0 = time.perf_counter()
    value = f()
    return value, time.perf_counter() - t0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument(
        "--text", type=Path, default=Path(__file__).resolve().parents[3] / "shared/corpora/zh-text/bench-zh.txt"
    )
    parser.add_argument("--limit", type=int, default=None)
    parser.add_argument("--no-peer", action="store_true")
    args = parser.parse_args()
    lines = args.text.read_text(encoding="utf-8").splitlines()[: args.limit]
    queries = lines[::29]
    print(f"{len(lines)} documents, {len(queries)} queries, load average {os.getloadavg()[0]:.1f}")
    for threads in (1, 2):
        index = Index()
        _, seconds = timed(lambda: index.add(lines, threads=threads))
        print(f"lumotext.Index add, {threads} thread(s): {seconds:.2f} s")
    for threads in (1, 2):
        _, seconds = timed(lambda: index.search_many(queries, k=10, threads=threads))
        print(f"lumotext.Index search_many, {threads} thread(s): {len(queries) / seconds:.0f} queries/s")
    with tempfile.TemporaryDirectory() as tmp:
        _, seconds = timed(lambda: index.save(Path(tmp) / "ix"))
        size = sum(p.stat().st_size for p in (Path(tmp) / "ix").iterdir())
        print(f"save: {seconds:.3f} s, {size / 1e6:.1f} MB")
        _, seconds = timed(lambda: Index.load(Path(tmp) / "ix"))
        print(f"load (checksums verified): {seconds * 1000:.1f} ms")
        _, seconds = timed(lambda: Index.load(Path(tmp) / "ix", verify=False))
        print(f"load (structure only): {seconds * 1000:.1f} ms")
    if args.no_peer:
        return
    import bm25s

    jieba = make_jieba()

    def peer_build():  # type: ignore[no-untyped-def]
        tokens = [[w for w in words if w.strip()] for words in segment_many(jieba, lines, 1)]
        retriever = bm25s.BM25()
        retriever.index(tokens, show_progress=False)
        return retriever

    retriever, seconds = timed(peer_build)
    print(f"cut + bm25s index: {seconds:.2f} s")
    query_tokens = [[w for w in jieba.cut(q) if w.strip()] for q in queries]
    _, seconds = timed(lambda: retriever.retrieve(query_tokens, k=10, show_progress=False, n_threads=1))
    print(f"bm25s retrieve (pre-cut queries), 1 thread: {len(queries) / seconds:.0f} queries/s")


if __name__ == "__main__":
    main()

"""How soon lumotext.Index's long calls stop after Ctrl-C, and how long searches wait beside them.

    python bench/interrupt_latency.py [--doc-mb 10] [--docs 200000] [--points 12] [--name interrupt_latency]

A real SIGINT is sent by a timer thread at evenly spread points of each call's uninterrupted
duration; the latency is the time from the signal to KeyboardInterrupt reaching the caller. The
calls: Index.add of one --doc-mb MB document (real text repeated; random CJK text with no space,
line break, '，' or '。', which the segmenter takes as one unbroken run), Index.add of --docs
documents of bench/engine_compare.py's corpus in one call, compact() of those documents added in
ten calls, and search_many of its 2,000 held-out queries on one thread. Then the slowest of the
searches another thread runs on an index of --docs documents while one --doc-mb MB document is
added to it.
"""

from __future__ import annotations

import argparse
import os
import signal
import statistics
import sys
import threading
import time
from typing import Any, Callable, Sequence

import harness
from engine_compare import corpus_sentences, first_documents, hold_out
from memory_bounds import random_cjk, real_text


def interrupted_after(call: Callable[[], object], delay: float) -> float | None:
    """Seconds from a SIGINT sent `delay` seconds into `call` to its KeyboardInterrupt; None
    when the call ended first."""
    sent: list[float] = []

    def fire() -> None:
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(delay, fire)
    timer.start()
    try:
        call()
        timer.join()  # a signal after the call still lands, here
        return None
    except KeyboardInterrupt:
        stopped = time.perf_counter()
        timer.join()
        return stopped - sent[0] if sent else None


def measure(label: str, prepare: Callable[[], Callable[[], object]], points: int) -> dict:
    """`prepare` gives a fresh call each time (the state an interrupted call leaves must not
    change the next one's work)."""
    call = prepare()
    start = time.perf_counter()
    call()
    duration = time.perf_counter() - start
    latencies = []
    for i in range(1, points + 1):
        latency = interrupted_after(prepare(), duration * i / (points + 1))
        if latency is not None:
            latencies.append(latency)
    row = {
        "call": label,
        "duration_s": duration,
        "interrupted": f"{len(latencies)} of {points}",
        "median_ms": 1000 * statistics.median(latencies) if latencies else None,
        "max_ms": 1000 * max(latencies) if latencies else None,
        "latencies_ms": [round(1000 * x, 1) for x in latencies],
    }
    print(row, flush=True)
    return row


def searches_beside_add(index: Any, queries: Sequence[str], text: str, label: str) -> dict:
    """Searches `queries` in turn on a second thread while `text` is added to `index`."""
    done = threading.Event()
    times: list[float] = []

    def search() -> None:
        i = 0
        while not done.is_set():
            start = time.perf_counter()
            index.search(queries[i % len(queries)], k=10)
            times.append(time.perf_counter() - start)
            i += 1

    thread = threading.Thread(target=search)
    thread.start()
    start = time.perf_counter()
    index.add([text])
    add_s = time.perf_counter() - start
    done.set()
    thread.join()
    row = {
        "added": label,
        "add_s": add_s,
        "searches": len(times),
        "median_ms": 1000 * statistics.median(times),
        "slowest_ms": 1000 * max(times),
    }
    print(row, flush=True)
    return row


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--doc-mb", type=float, default=10)
    parser.add_argument("--docs", type=int, default=200_000)
    parser.add_argument("--points", type=int, default=12)
    parser.add_argument("--name", default="interrupt_latency")
    args = parser.parse_args(argv)
    # Ctrl-C raises KeyboardInterrupt also when this runs in the background (where SIGINT starts
    # out ignored).
    signal.signal(signal.SIGINT, signal.default_int_handler)
    from lumotext import Analyzer, Index

    Analyzer().analyze("预热")
    size = int(args.doc_mb * 1_000_000)
    rows = []
    for label, text in (("real text repeated", real_text(size)), ("random CJK, one run", random_cjk(size))):

        def prepare_document(text: str = text) -> Callable[[], object]:
            index = Index()
            index.add(["warm up"])
            return lambda: index.add([text])

        rows.append(measure(f"add one {args.doc_mb:g} MB document: {label}", prepare_document, args.points))

    pool, queries = hold_out(corpus_sentences(harness.bench_lines()), 2000)
    documents = first_documents(pool, args.docs)

    def prepare_add() -> Callable[[], object]:
        index = Index()
        return lambda: index.add(documents, threads=2)

    rows.append(measure(f"add {args.docs:,} documents in one call", prepare_add, args.points))

    batches = Index()
    for i in range(10):
        batches.add(documents[i * len(documents) // 10 : (i + 1) * len(documents) // 10], threads=2)
    kept: list[Index] = [batches]

    def prepare_compact() -> Callable[[], object]:
        # An interrupted compaction leaves the segments as they were: the same index serves the
        # next point, and is rebuilt only after a compaction that finished.
        if kept[0]._native.engine_stats()["segments"] == 1:
            again = Index()
            for i in range(10):
                again.add(documents[i * len(documents) // 10 : (i + 1) * len(documents) // 10], threads=2)
            kept[0] = again
        return kept[0].compact

    rows.append(measure(f"compact() of {args.docs:,} documents in ten segments", prepare_compact, args.points))

    searched = Index()
    searched.add(documents, threads=2)
    searched.compact()
    rows.append(
        measure(
            f"search_many of {len(queries):,} queries, one thread, {args.docs:,} documents",
            lambda: lambda: searched.search_many(queries, k=10, threads=1),
            args.points,
        )
    )
    beside = []
    for label, text in (("real text repeated", real_text(size)), ("random CJK, one run", random_cjk(size))):
        beside.append(searches_beside_add(searched, queries, text, f"one {args.doc_mb:g} MB document: {label}"))
    harness.write_results(
        args.name,
        "How soon lumotext.Index's long calls stop after Ctrl-C, and searches beside them",
        [
            (
                "a SIGINT at evenly spread points of each call; latency from the signal to KeyboardInterrupt",
                [
                    ("call", "call"),
                    ("duration_s", "call s"),
                    ("interrupted", "interrupted"),
                    ("median_ms", "median ms"),
                    ("max_ms", "max ms"),
                ],
                rows,
            ),
            (
                f"searches on another thread while a document is added to the same index of {args.docs:,}",
                [
                    ("added", "added"),
                    ("add_s", "add s"),
                    ("searches", "searches"),
                    ("median_ms", "median search ms"),
                    ("slowest_ms", "slowest search ms"),
                ],
                beside,
            ),
        ],
        [
            "the random CJK document has no separator (space, line break, '，' or '。'): the segmenter "
            "takes it in one step, which cannot be stopped part way; texts with separators are "
            "segmented a piece at a time",
            "interrupted: points at which the call was still running when the signal came",
            "every latency in the JSON",
        ],
        {"rows": rows, "searches_beside_add": beside},
        " ".join(["python bench/interrupt_latency.py", *(argv if argv is not None else sys.argv[1:])]),
    )
    return 0


if __name__ == "__main__":
    raise SystemExit(main())

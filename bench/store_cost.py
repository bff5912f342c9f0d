"""What stored documents cost: store size against the raw UTF-8 text, and query speed with and
without them.

    python bench/store_cost.py [--rounds 5] [--out bench/results/store_cost.md]

Collections: the lines of shared/corpora/zh-text/bench-zh.txt (every 29th line a query, the
others documents) and the passages of shared/corpora/retrieval-cmrc2018 (its questions as
queries). For each, ``Index(store=True)`` and ``Index(store=False)`` are built from the same
texts on one thread; the store's bytes are the engine's (the ``.docs`` files a save writes).
Queries/s are on one thread, top 10, the systems taking turns (each round the other first), the
median of --rounds rounds:
``search_many`` (numbers and scores) on both indexes, over the queries repeated to at least
--least queries per round, then ``search_many(..., return_documents=True)`` on the storing one
over the queries once.
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
import tempfile
import time
from pathlib import Path

from lumotext import Index

SHARED = Path(__file__).resolve().parents[1] / ".." / "shared" / "corpora"


def collections() -> dict[str, tuple[list[str], list[str]]]:
    lines = [line for line in (SHARED / "zh-text" / "bench-zh.txt").read_text(encoding="utf-8").splitlines() if line]
    bench = ([line for i, line in enumerate(lines) if i % 29], [line for i, line in enumerate(lines) if i % 29 == 0])
    cmrc_dir = SHARED / "retrieval-cmrc2018"
    passages = [
        json.loads(line)["text"] for line in (cmrc_dir / "corpus.jsonl").read_text(encoding="utf-8").splitlines()
    ]
    questions = [
        json.loads(line)["text"] for line in (cmrc_dir / "queries.jsonl").read_text(encoding="utf-8").splitlines()
    ]
    return {"bench-zh lines": bench, "CMRC passages": (passages, questions)}


def rate(run, queries: list[str]) -> float:
    start = time.perf_counter()
    run()
    return len(queries) / (time.perf_counter() - start)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--least", type=int, default=20000)
    parser.add_argument("--out", type=Path)
    args = parser.parse_args()
    rows = []
    for name, (texts, queries) in collections().items():
        raw = sum(len(text.encode("utf-8")) for text in texts)
        built = {}
        build_s = {}
        for store in (False, True):
            start = time.perf_counter()
            index = Index(store=store)
            index.add(texts, threads=1)
            build_s[store] = time.perf_counter() - start
            built[store] = index
        with tempfile.TemporaryDirectory() as directory:
            built[True].save(directory)
            docs_bytes = sum(p.stat().st_size for p in Path(directory).iterdir() if ".docs." in p.name)
        timings: dict[str, list[float]] = {"numbers, store=False": [], "numbers, store=True": [], "documents": []}
        many = queries * -(-args.least // len(queries))
        for round_number in range(args.rounds):
            # Which index goes first changes each round: the second of two equal runs measured a few
            # percent slower here, whichever it was.
            for store in (False, True) if round_number % 2 == 0 else (True, False):
                timings[f"numbers, store={store}"].append(rate(lambda: built[store].search_many(many, threads=1), many))
            timings["documents"].append(
                rate(lambda: built[True].search_many(queries, threads=1, return_documents=True), queries)
            )
        medians = {key: statistics.median(values) for key, values in timings.items()}
        rows.append(
            f"| {name} | {len(texts):,} | {raw:,} | {docs_bytes:,} | {docs_bytes / raw:.3f} | "
            f"{build_s[False]:.2f} / {build_s[True]:.2f} | {medians['numbers, store=False']:,.0f} | "
            f"{medians['numbers, store=True']:,.0f} | {medians['documents']:,.0f} |"
        )
        print(rows[-1], file=sys.stderr)
    table = "\n".join(
        [
            "| collection | documents | raw UTF-8 bytes | store bytes | store / raw | build s (store False / True) "
            "| queries/s, store=False | queries/s, store=True | queries/s, with documents |",
            "|---|---|---|---|---|---|---|---|---|",
            *rows,
        ]
    )
    print(table)
    if args.out:
        args.out.write_text(table + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()

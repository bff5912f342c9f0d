"""Wall time of BM25 training on the benchmark text: one process, and Dask with 1 and 2 workers.

    python bench/dask_bench.py [--corpus PATH] [--partitions N] [--repeat N] [--index]

Each Dask run starts a LocalCluster of worker processes (one thread each), trains with
``lumotext.dask.train_bm25`` on the corpus lines (sent from this process with from_sequence,
or read by the workers with read_text), and reports the first run (which includes
each worker building its segmenter) and the best later run. Cluster start-up is not counted.
The result is checked against the single-process model.

With --index the same is done for ``lumotext.dask.build_index`` (an index per partition on the
workers, merged here) against ``Index.add`` in one process with one native thread; the merged
index's search results for every 29th line are checked against the single build's.
"""

from __future__ import annotations

import argparse
import json
import logging
import sys
import time
from pathlib import Path

from pylumotext import BM25

from lumotext import index_tokens, make_jieba, model_text

ROOT = Path(__file__).resolve().parents[1]


def find_corpus() -> Path:
    sys.path.insert(0, str(ROOT / "tools"))
    import corpora

    found = corpora.corpus_file("zh-text/bench-zh.txt", str(ROOT))
    if found is None:
        raise SystemExit("bench-zh.txt not found beside the repository; pass --corpus")
    return Path(found)


def single_process(lines: list[str]) -> tuple[float, str]:
    start = time.perf_counter()
    jieba = make_jieba()
    model = BM25()
    for line in lines:
        tokens = index_tokens(jieba.cut(line))
        if tokens:
            model.train(tokens)
    text = model_text(model)
    return time.perf_counter() - start, text


def on_dask(
    lines: list[str], corpus: Path, workers: int, partitions: int, repeat: int
) -> dict[str, tuple[float, float, str]]:
    import dask.bag as db
    from dask.distributed import Client, LocalCluster

    from lumotext.dask import train_bm25

    with (
        LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0", silence_logs=logging.ERROR
        ) as cluster,
        Client(cluster),
    ):
        # Lines shipped from this process, or read by the workers themselves (each line keeps
        # its line feed, which the segmenter returns as a separator word and training drops).
        bags = {
            "from_sequence": db.from_sequence(lines, npartitions=partitions),
            "read_text": db.read_text(str(corpus), blocksize=max(1, corpus.stat().st_size // partitions + 1)),
        }
        results = {}
        for name, bag in bags.items():
            times = []
            text = ""
            for _ in range(repeat):
                start = time.perf_counter()
                text = train_bm25(bag)
                times.append(time.perf_counter() - start)
            results[name] = (times[0], min(times[1:] or times), text)
    return results


def index_single_process(lines: list[str]) -> tuple[float, object]:
    from lumotext import Index

    start = time.perf_counter()
    index = Index()
    index.add(lines, threads=1)
    return time.perf_counter() - start, index


def index_on_dask(lines: list[str], workers: int, partitions: int, repeat: int) -> tuple[float, float, object]:
    import dask.bag as db
    from dask.distributed import Client, LocalCluster

    from lumotext.dask import build_index

    with (
        LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0", silence_logs=logging.ERROR
        ) as cluster,
        Client(cluster),
    ):
        bag = db.from_sequence(lines, npartitions=partitions)
        times = []
        index = None
        for _ in range(repeat):
            start = time.perf_counter()
            index = build_index(bag)
            times.append(time.perf_counter() - start)
    return times[0], min(times[1:] or times), index


def same_results(index: object, reference: object, queries: list[str]) -> bool:
    for query in queries:
        got, expected = index.search(query, k=10), reference.search(query, k=10)  # type: ignore[attr-defined]
        if [n for n, _ in got] != [n for n, _ in expected] or any(
            abs(a - b) > 1e-5 * max(1.0, b) for (_, a), (_, b) in zip(got, expected)
        ):
            return False
    return True


def parts_in_one_process(lines: list[str], partitions: int) -> tuple[float, float, int]:
    """What build_index does besides Dask: the partition indexes built and saved, then written
    out, loaded and merged, all in this process."""
    import os
    import tempfile

    from lumotext import Index
    from lumotext.dask import _build_partition

    size = -(-len(lines) // partitions)
    start = time.perf_counter()
    saved = [_build_partition(lines[i : i + size], None, 1.2, 0.75, 1)[0] for i in range(0, len(lines), size)]
    built = time.perf_counter()
    with tempfile.TemporaryDirectory() as directory:
        parts = []
        for number, files in enumerate(saved):
            for relative, data in files.items():
                target = os.path.join(directory, str(number), relative)
                os.makedirs(os.path.dirname(target), exist_ok=True)
                with open(target, "wb") as stream:
                    stream.write(data)
            parts.append(Index.load(os.path.join(directory, str(number))))
        Index.merge(parts)
    merged = time.perf_counter()
    return built - start, merged - built, sum(len(data) for files in saved for data in files.values())


def main_index(lines: list[str], partitions: int, repeat: int) -> None:
    seconds, reference = index_single_process(lines)
    print(f"Index.add, one process, 1 thread: {seconds:6.2f} s")
    build, merge, size = parts_in_one_process(lines, partitions)
    print(
        f"{partitions} partition indexes in one process: built and saved {build:6.2f} s, "
        f"written, loaded and merged {merge:6.2f} s ({size / 1e6:.1f} MB saved)"
    )
    queries = lines[29::29]
    for workers in (1, 2):
        first, best, index = index_on_dask(lines, workers, partitions, repeat)
        same = same_results(index, reference, queries)
        print(
            f"Dask build_index, {workers} worker(s): first {first:6.2f} s, best of rest {best:6.2f} s, "
            f"{'same results' if same else 'RESULTS DIFFER'}"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=Path, default=None)
    parser.add_argument("--partitions", type=int, default=8)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--index", action="store_true", help="measure lumotext.dask.build_index instead of train_bm25")
    args = parser.parse_args()
    corpus = args.corpus or find_corpus()
    lines = corpus.read_text(encoding="utf-8").splitlines()
    print(f"corpus: {corpus.name}, {len(lines)} lines, {corpus.stat().st_size / 1e6:.1f} MB")
    if args.index:
        main_index(lines, args.partitions, args.repeat)
        return
    seconds, reference = single_process(lines)
    print(f"one process, no Dask:        {seconds:6.2f} s (segmenter load included)")
    expected = json.loads(reference)
    for workers in (1, 2):
        for name, (first, best, text) in on_dask(lines, corpus, workers, args.partitions, args.repeat).items():
            got = json.loads(text)
            same = (
                got["_doc_token_frequency"] == expected["_doc_token_frequency"]
                and got["_doc_count"] == expected["_doc_count"]
            )
            print(
                f"Dask {name:13}, {workers} worker(s): first {first:6.2f} s, best of rest {best:6.2f} s, "
                f"{'same model' if same else 'MODEL DIFFERS'}"
            )


if __name__ == "__main__":
    main()

"""Wall time of BM25 training on the benchmark text: one process, and Dask with 1 and 2 workers.

    python bench/dask_bench.py [--corpus PATH] [--partitions N] [--repeat N]

Each Dask run starts a LocalCluster of worker processes (one thread each), trains with
``lumotext.dask.train_bm25`` on the corpus lines (sent from this process with from_sequence,
or read by the workers with read_text), and reports the first run (which includes
each worker building its segmenter) and the best later run. Cluster start-up is not counted.
The result is checked against the single-process model.
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

    with LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=logging.ERROR
    ) as cluster, Client(cluster):
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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=Path, default=None)
    parser.add_argument("--partitions", type=int, default=8)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    corpus = args.corpus or find_corpus()
    lines = corpus.read_text(encoding="utf-8").splitlines()
    print(f"corpus: {corpus.name}, {len(lines)} lines, {corpus.stat().st_size / 1e6:.1f} MB")
    seconds, reference = single_process(lines)
    print(f"one process, no Dask:        {seconds:6.2f} s (segmenter load included)")
    expected = json.loads(reference)
    for workers in (1, 2):
        for name, (first, best, text) in on_dask(lines, corpus, workers, args.partitions, args.repeat).items():
            got = json.loads(text)
            same = got["_doc_token_frequency"] == expected["_doc_token_frequency"] and got["_doc_count"] == expected["_doc_count"]
            print(f"Dask {name:13}, {workers} worker(s): first {first:6.2f} s, best of rest {best:6.2f} s, "
                  f"{'same model' if same else 'MODEL DIFFERS'}")


if __name__ == "__main__":
    main()

"""Jieba throughput and the gain from cutting on two threads.

The text is split into two halves. One thread cutting both halves in turn is timed against two
threads each cutting one half at the same time, on one shared Jieba object; the ratio is the
speed-up (2.0 at best; the lock is held only while arguments and results are converted). Two
call patterns: each half as one long sentence, and each half line by line (one call per line,
where the conversions weigh more and the lock changes hands twice per call).

    python bench/jieba_threads.py --text bench-zh.txt [--data-dir DIR] [--repeat 7] [--method cut]

DIR holds dict.txt, hmm_model.txt, user_dict.txt, idf.txt and stop_words.txt; without it the
package's default data is used.
"""

from __future__ import annotations

import argparse
import sys
import threading
import time

from pylumotext import Jieba

from lumotext._data import data_paths as lumotext_data_paths


def data_paths(data_dir: str | None) -> dict[str, str]:
    if data_dir is None:
        from lumotext import default_paths

        return default_paths()
    return lumotext_data_paths(data_dir)


def run_sequential(cut, halves) -> float:
    start = time.perf_counter()
    for half in halves:
        for sentence in half:
            cut(sentence)
    return time.perf_counter() - start


def run_parallel(cut, halves) -> float:
    barrier = threading.Barrier(len(halves) + 1)

    def work(half):
        barrier.wait()
        for sentence in half:
            cut(sentence)

    threads = [threading.Thread(target=work, args=(half,)) for half in halves]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--text", required=True, help="UTF-8 text, one paragraph per line")
    parser.add_argument("--data-dir", help="directory with the five data files")
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--method", choices=["cut", "cut_for_search"], default="cut")
    args = parser.parse_args()

    with open(args.text, encoding="utf-8") as f:
        lines = f.read().splitlines()
    middle = len(lines) // 2
    by_line = [lines[:middle], lines[middle:]]
    whole = [["\n".join(half)] for half in by_line]
    megabytes = sum(len(line.encode()) + 1 for line in lines) / 1e6

    started = time.perf_counter()
    tok = Jieba(**data_paths(args.data_dir))
    print(f"construction: {time.perf_counter() - started:.2f} s")
    cut = getattr(tok, args.method)
    words = sum(len(cut(line)) for line in lines)
    print(f"text: {megabytes:.2f} MB, {len(lines)} lines, {words} words ({args.method})")

    for label, halves in (("two long sentences", whole), ("line by line", by_line)):
        one, two = [], []
        for _ in range(args.repeat):  # interleaved, and the fastest of each kept: other load only slows
            one.append(run_sequential(cut, halves))
            two.append(run_parallel(cut, halves))
        t1, t2 = min(one), min(two)
        print(
            f"{label:>18}: 1 thread {t1:.3f} s ({megabytes / t1:.2f} MB/s), "
            f"2 threads {t2:.3f} s ({megabytes / t2:.2f} MB/s), speed-up {t1 / t2:.2f}"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Segmentation: throughput, threads, load cost, peers and scaling, in one invocation.

On the benchmark text (../shared/corpora/zh-text/bench-zh.txt, one call per line) with the
default data:

- ``cut`` and ``cut_for_search``: MB/s of UTF-8 input and words/s, on one thread and on two
  threads sharing one ``Jieba`` (each thread cuts one half of the lines; the one-thread run
  cuts both halves in turn; the runs take turns), and the same through
  ``lumotext.segment_many`` on one and two threads;
- load: wall time to construct a default ``Jieba`` and the resident memory of a process that
  holds one, each measured in a fresh interpreter;
- peers (thulac, pkuseg / spacy-pkuseg, snownlp, whichever import and load here): MB/s on a
  leading subset of the lines sized for a few seconds per run, with pylumotext timed on the
  very same subset in turn, and F1 on the gold test split of ud-zh-gsdsimp with the scorer of
  bench/seg_eval.py;
- scaling: time per MB of ``cut`` for lines of 10, 1,000, 100,000 and 1,000,000 runes made
  from the benchmark text with the separator runes removed (the same 1,000,000 runes each).

    python bench/seg_bench.py [--repeat 5] [--quick] [--skip peers,scaling,...]
"""

from __future__ import annotations

import argparse
import collections
import gc
import json
import re
import statistics
import subprocess
import sys
import threading
import time

import harness

SEPARATORS = re.compile("[ \t\n\uff0c\u3002]")
SCALING_RUNES = 1_000_000
SCALING_LINES = (10, 1_000, 100_000, 1_000_000)


def default_jieba():
    from pylumotext import Jieba

    import lumotext

    return Jieba(**lumotext.default_paths())


def megabytes(lines) -> float:
    return sum(len(line.encode("utf-8")) for line in lines) / 1e6


# -- throughput and threads ---------------------------------------------------------------


def halves_by_bytes(lines: list[str]) -> list[list[str]]:
    total = megabytes(lines) * 1e6
    acc = 0
    for i, line in enumerate(lines):
        acc += len(line.encode("utf-8"))
        if acc >= total / 2:
            return [lines[: i + 1], lines[i + 1 :]]
    return [lines, []]


def run_one_thread(cut, halves) -> None:
    for half in halves:
        for line in half:
            cut(line)


def run_two_threads(cut, halves) -> float:
    barrier = threading.Barrier(len(halves) + 1)

    def work(half):
        barrier.wait()
        for line in half:
            cut(line)

    threads = [threading.Thread(target=work, args=(h,)) for h in halves]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def throughput(jieba, lines: list[str], repeat: int) -> list[dict]:
    mb = megabytes(lines)
    halves = halves_by_bytes(lines)
    rows = []
    for method in ("cut", "cut_for_search"):
        cut = getattr(jieba, method)
        words = sum(len(cut(line)) for line in lines)  # also the warm-up
        one, two = [], []
        for _ in range(repeat):
            start = time.perf_counter()
            run_one_thread(cut, halves)
            one.append(time.perf_counter() - start)
            two.append(run_two_threads(cut, halves))
        # Control: each half as one long call, where the lock is held for a negligible share of
        # the time; its speed-up shows how much of a second core the machine gives right now.
        whole = [["\n".join(h)] for h in halves]
        one_long, two_long = [], []
        for _ in range(repeat):
            start = time.perf_counter()
            run_one_thread(cut, whole)
            one_long.append(time.perf_counter() - start)
            two_long.append(run_two_threads(cut, whole))
        # The pipeline: segment_many hands each worker thread batches of lines.
        from lumotext import segment_many

        search = method == "cut_for_search"
        many = {1: [], 2: []}
        for _ in range(repeat):
            for threads in (1, 2):
                start = time.perf_counter()
                collections.deque(segment_many(jieba, lines, threads=threads, search=search), maxlen=0)
                many[threads].append(time.perf_counter() - start)
        m1, m2 = statistics.median(many[1]), statistics.median(many[2])
        t1, t2 = statistics.median(one), statistics.median(two)
        control = statistics.median(one_long) / statistics.median(two_long)
        rows.append(
            {
                "method": method,
                "mb": mb,
                "lines": len(lines),
                "words": words,
                "mb_per_s_1": mb / t1,
                "words_per_s_1": words / t1,
                "mb_per_s_2": mb / t2,
                "words_per_s_2": words / t2,
                "speedup_2": t1 / t2,
                "speedup_2_long_calls": control,
                "runs_1": one,
                "runs_2": two,
                "runs_1_long": one_long,
                "runs_2_long": two_long,
                "many_mb_per_s_1": mb / m1,
                "many_mb_per_s_2": mb / m2,
                "many_speedup_2": m1 / m2,
                "many_speedup_2_over_plain_1": t1 / m2,
                "runs_many_1": many[1],
                "runs_many_2": many[2],
            }
        )
        print(
            f"  {method:<15} 1 thread {mb / t1:6.2f} MB/s {words / t1 / 1e6:5.2f} Mwords/s   "
            f"2 threads {mb / t2:6.2f} MB/s   speed-up {t1 / t2:.2f} (two long calls: {control:.2f})",
            flush=True,
        )
        print(
            f"  {'':<15} segment_many: 1 thread {mb / m1:6.2f} MB/s, 2 threads {mb / m2:6.2f} MB/s, "
            f"speed-up {m1 / m2:.2f} ({t1 / m2:.2f} over plain calls on 1 thread)",
            flush=True,
        )
    return rows


# -- load time and memory -----------------------------------------------------------------

LOAD_PROBE = r"""
import json, time
def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
before = status("VmRSS")
import lumotext, pylumotext
paths = lumotext.default_paths()
imported = status("VmRSS")
start = time.perf_counter()
jieba = pylumotext.Jieba(**paths)
elapsed = time.perf_counter() - start
print(json.dumps({"load_s": elapsed, "rss_before": before, "rss_imported": imported,
                  "rss_loaded": status("VmRSS"), "rss_peak": status("VmHWM")}))
"""


def load_cost(repeat: int) -> dict:
    runs = []
    for _ in range(repeat):
        out = subprocess.run([sys.executable, "-c", LOAD_PROBE], capture_output=True, text=True, check=True)
        runs.append(json.loads(out.stdout.strip().splitlines()[-1]))
    med = {k: statistics.median(r[k] for r in runs) for k in runs[0]}
    med["rss_jieba"] = med["rss_loaded"] - med["rss_imported"]
    med["runs"] = runs
    print(
        f"  load {med['load_s']:.3f} s; process RSS {med['rss_loaded'] / 2**20:.1f} MiB "
        f"(Jieba {med['rss_jieba'] / 2**20:.1f} MiB, peak {med['rss_peak'] / 2**20:.1f} MiB)",
        flush=True,
    )
    return med


# -- peers --------------------------------------------------------------------------------


def load_peer(name: str):
    """(cut function, note) or (None, reason)."""
    start = time.perf_counter()
    try:
        if name == "thulac":
            import thulac

            model = thulac.thulac(seg_only=True)
            cut = lambda s: [w for w, _ in model.cut(s)]  # noqa: E731
        elif name == "pkuseg":
            import pkuseg

            model = pkuseg.pkuseg()
            cut = model.cut
        elif name == "spacy-pkuseg":
            import spacy_pkuseg

            model = spacy_pkuseg.pkuseg()
            cut = model.cut
        elif name == "snownlp":
            from snownlp import SnowNLP

            cut = lambda s: SnowNLP(s).words if s else []  # noqa: E731
            cut("预热")
        else:
            raise ValueError(name)
    except Exception as e:  # a missing package, or a model that needs a download
        reason = f"{type(e).__name__}: {str(e).splitlines()[0][:160] if str(e) else ''}"
        return None, reason, None
    return cut, "", time.perf_counter() - start


def peers(jieba, lines: list[str], gold, repeat: int, budget_s: float, names: list[str]) -> list[dict]:
    import seg_eval

    rows = []
    ours_score = seg_eval.evaluate(gold, jieba.cut)
    rows.append(
        {"system": "pylumotext", "f1": ours_score.f1, "precision": ours_score.precision, "recall": ours_score.recall}
    )
    for name in names:
        cut, reason, load_s = load_peer(name)
        version = harness.package_version(name)
        label = f"{name} {version}" if version else name
        if cut is None:
            rows.append({"system": label, "note": f"does not run here: {reason}"})
            print(f"  {label}: does not run ({reason})", flush=True)
            continue
        # Size the subset for about `budget_s` seconds per run from a short warm-up.
        probe = lines[:200]
        start = time.perf_counter()
        for line in probe:
            cut(line)
        rate = megabytes(probe) / max(time.perf_counter() - start, 1e-6)
        target = rate * budget_s * 1e6
        subset, acc = [], 0
        for line in lines:
            if acc >= target:
                break
            subset.append(line)
            acc += len(line.encode("utf-8"))
        mb = megabytes(subset)
        t_peer, t_ours = harness.timed_alternating(
            [lambda: [cut(line) for line in subset], lambda: [jieba.cut(line) for line in subset]], repeat
        )
        score = seg_eval.evaluate(gold, cut)
        row = {
            "system": label,
            "load_s": load_s,
            "subset_lines": len(subset),
            "subset_mb": mb,
            "mb_per_s": mb / t_peer,
            "ours_mb_per_s": mb / t_ours,
            "ratio": t_peer / t_ours,
            "f1": score.f1,
            "precision": score.precision,
            "recall": score.recall,
            "untiled": score.untiled,
        }
        rows.append(row)
        print(
            f"  {label:<20} {mb / t_peer:6.3f} MB/s on {mb:.2f} MB (pylumotext {mb / t_ours:6.2f} MB/s, "
            f"ratio {t_peer / t_ours:6.1f}x)  F1 {score.f1:.4f}",
            flush=True,
        )
        cut = None  # let the collector free the peer before the next one loads
        gc.collect()
    return rows


# -- scaling ------------------------------------------------------------------------------


def scaling(jieba, lines: list[str], repeat: int, total_runes: int) -> list[dict]:
    stream = SEPARATORS.sub("", "".join(lines))
    if len(stream) < total_runes:
        stream = stream * (total_runes // len(stream) + 1)
    stream = stream[:total_runes]
    rows = []
    for length in SCALING_LINES:
        if length > total_runes:
            continue
        pieces = [stream[i : i + length] for i in range(0, total_runes, length)]
        mb = megabytes(pieces)
        t, runs = harness.timed(lambda: [jieba.cut(p) for p in pieces], repeat)
        rows.append(
            {
                "line_runes": length,
                "lines": len(pieces),
                "mb": mb,
                "ms_per_mb": t / mb * 1e3,
                "mb_per_s": mb / t,
                "runs": runs,
            }
        )
        print(f"  lines of {length:>9,} runes: {t / mb * 1e3:7.1f} ms/MB ({mb / t:5.2f} MB/s)", flush=True)
    base = min(r["ms_per_mb"] for r in rows)
    for r in rows:
        r["relative"] = r["ms_per_mb"] / base
    return rows


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--peer-repeat", type=int, default=3)
    parser.add_argument("--peer-seconds", type=float, default=4.0, help="time per peer run, roughly")
    parser.add_argument("--lines", type=int, default=None, help="use only the first LINES lines")
    parser.add_argument("--scaling-runes", type=int, default=SCALING_RUNES)
    parser.add_argument("--peers", default="thulac,pkuseg,spacy-pkuseg,snownlp")
    parser.add_argument("--skip", default="", help="comma list of: throughput,load,peers,scaling")
    parser.add_argument("--quick", action="store_true", help="small inputs, for a smoke test")
    parser.add_argument("--no-write", action="store_true")
    args = parser.parse_args(argv)
    if args.quick:
        args.repeat, args.peer_repeat, args.peer_seconds = 1, 1, 0.3
        args.lines, args.scaling_runes = args.lines or 2000, 100_000
    skip = set(filter(None, args.skip.split(",")))

    lines = harness.bench_lines()[: args.lines]
    jieba = default_jieba()
    results: dict = {"text_mb": megabytes(lines), "text_lines": len(lines)}
    notes = [
        f"Input: bench-zh.txt, {len(lines):,} lines, {results['text_mb']:.2f} MB of UTF-8, one call per "
        f"line; default data; median of {args.repeat} runs."
    ]
    tables = []
    if "throughput" not in skip:
        print("throughput", flush=True)
        results["throughput"] = throughput(jieba, lines, args.repeat)
        tables.append(
            (
                "Throughput (1 thread, and 2 threads sharing one Jieba)",
                [
                    ("method", "method"),
                    ("mb_per_s_1", "MB/s, 1 thread"),
                    ("words_per_s_1", "words/s, 1 thread"),
                    ("mb_per_s_2", "MB/s, 2 threads"),
                    ("words_per_s_2", "words/s, 2 threads"),
                    ("speedup_2", "2 threads / 1"),
                    ("speedup_2_long_calls", "2 threads / 1, each half as one call"),
                ],
                results["throughput"],
            )
        )
        tables.append(
            (
                "segment_many (batches of lines per worker thread) on 1 and 2 threads",
                [
                    ("method", "method"),
                    ("many_mb_per_s_1", "MB/s, 1 thread"),
                    ("many_mb_per_s_2", "MB/s, 2 threads"),
                    ("many_speedup_2", "2 threads / 1"),
                    ("many_speedup_2_over_plain_1", "2 threads / plain calls on 1 thread"),
                ],
                results["throughput"],
            )
        )
    if "load" not in skip:
        print("load", flush=True)
        load = load_cost(args.repeat)
        results["load"] = load
        tables.append(
            (
                "Default Jieba: load time and resident memory (fresh interpreter each run)",
                [
                    ("load_s", "load s"),
                    ("rss_imported_mib", "RSS after import MiB"),
                    ("rss_loaded_mib", "RSS with a Jieba MiB"),
                    ("rss_jieba_mib", "of which the Jieba MiB"),
                    ("rss_peak_mib", "peak RSS MiB"),
                ],
                [
                    {
                        "load_s": load["load_s"],
                        **{
                            k + "_mib": load[k] / 2**20 for k in ("rss_imported", "rss_loaded", "rss_jieba", "rss_peak")
                        },
                    }
                ],
            )
        )
    if "peers" not in skip:
        print("peers", flush=True)
        import conllu
        import seg_eval  # noqa: F401  (puts tools/ on the path for conllu)

        gold = list(conllu.read_conllu(harness.corpus_file("ud-zh-gsdsimp", "zh_gsdsimp-ud-test.conllu")))
        results["peers"] = peers(
            jieba, lines, gold, args.peer_repeat, args.peer_seconds, [p for p in args.peers.split(",") if p]
        )
        tables.append(
            (
                "Peers: speed on a leading subset of the lines (pylumotext timed on the same subset, "
                "in turn) and F1 on the ud-zh-gsdsimp test split",
                [
                    ("system", "system"),
                    ("subset_mb", "subset MB"),
                    ("mb_per_s", "MB/s"),
                    ("ours_mb_per_s", "pylumotext MB/s, same subset"),
                    ("ratio", "pylumotext / peer"),
                    ("f1", "F1"),
                    ("precision", "P"),
                    ("recall", "R"),
                    ("load_s", "load s"),
                    ("note", "note"),
                ],
                results["peers"],
            )
        )
        notes.append(
            f"F1 over {len(gold)} gold sentences, words compared as character spans with white space "
            "removed (bench/seg_eval.py); the gold test split is never used to build the data."
        )
    if "scaling" not in skip:
        print("scaling", flush=True)
        results["scaling"] = scaling(jieba, lines, args.repeat, args.scaling_runes)
        tables.append(
            (
                f"Scaling: cut of the same {args.scaling_runes:,} runes (separators removed) as lines of "
                "different lengths",
                [
                    ("line_runes", "runes per line"),
                    ("lines", "lines"),
                    ("ms_per_mb", "ms per MB"),
                    ("mb_per_s", "MB/s"),
                    ("relative", "relative to the best"),
                ],
                results["scaling"],
            )
        )
    if not args.no_write:
        harness.write_results(
            "segmentation", "Segmentation benchmarks", tables, notes, results, "make bench (bench/seg_bench.py)"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())

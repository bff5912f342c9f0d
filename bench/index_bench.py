"""Speed of lumotext.Index against our cut + bm25s, and how the index scales to a million documents.

    python bench/index_bench.py [--quick] [--repeat N] [--sizes 250000 500000 1000000] [--no-scale]

Side by side on shared/corpora/zh-text/bench-zh.txt (every line a document, every 29th line also
a query, top 10):

* lumotext.Index(): ``add(lines, threads=T)`` and ``search_many(queries, k=10, threads=T)`` for
  T = 1 and 2 (the analyzer runs inside, so the times include segmentation), the bytes of the
  saved directory per posting (postings: the entries of all document vectors), and the median
  time of ``Index.load`` of the saved directory;
* cut + bm25s: the lines cut by pylumotext.Jieba (``index_tokens(cut(line))``), then
  ``bm25s.BM25().index(token lists)``; queries cut the same way, then ``retrieve(..., k=10,
  n_threads=T)``. Both times include the cut.

Scale: synthetic corpora of short documents (8-40 words, Zipf-distributed over the words of the
bundled dictionary ranked by their dictionary frequency, exponent 1.1, seeded; the words are joined
without spaces, so the analyzer segments them again as it would real text). Each size is built,
generated into a list first (not timed with the build), added on 2 threads, saved, and
loaded in a fresh process, which reports the load time, the resident memory the loaded
index adds after answering 2,000 queries, and queries/s.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import harness

QUERY_EVERY = 29
TOP_K = 10
SEED = 14


def rss_bytes() -> int:
    import psutil

    return psutil.Process().memory_info().rss


def dir_bytes(path: str) -> int:
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(path) for f in files)


def posting_count(index) -> int:
    return sum(len(v["indices"]) for v in index.document_vectors())


# --- bench-zh side by side --------------------------------------------------------------------


def ours_vs_bm25s(lines: list[str], queries: list[str], repeat: int, workdir: str) -> tuple[list[dict], dict]:
    from lumotext import Index, index_tokens, make_jieba

    rows: list[dict] = []
    extra: dict = {}
    mb = sum(len(line.encode("utf-8")) for line in lines) / 1e6

    # lumotext.Index
    def build(threads: int):
        index = Index()
        index.add(lines, threads=threads)
        return index

    # Warm-up runs first (page faults of a fresh heap, the segmenter's first use), then the
    # settings take turns in every round so that a change of machine load touches both alike.
    build(2)
    add_runs = harness.timed_alternating([lambda: build(1), lambda: build(2)], repeat)
    add_times = {1: add_runs[0], 2: add_runs[1]}
    index = build(2)
    index.search_many(queries, k=TOP_K, threads=2, as_arrays=True)
    query_runs = harness.timed_alternating(
        [
            lambda: index.search_many(queries, k=TOP_K, threads=1, as_arrays=True),
            lambda: index.search_many(queries, k=TOP_K, threads=2, as_arrays=True),
        ],
        repeat,
    )
    query_times = {1: query_runs[0], 2: query_runs[1]}
    single = [index.search(q, k=TOP_K) for q in queries[:50]]
    batched = index.search_many(queries[:50], k=TOP_K, threads=2)
    if [list(map(tuple, s)) for s in single] != [list(map(tuple, b)) for b in batched]:
        print("warning: search and search_many(threads=2) disagree", flush=True)
    path = os.path.join(workdir, "bench-zh.index")
    shutil.rmtree(path, ignore_errors=True)
    t0 = time.perf_counter()
    index.save(path)
    save_s = time.perf_counter() - t0
    saved = dir_bytes(path)
    postings = posting_count(index)
    load_s, load_runs = harness.timed(lambda: Index.load(path), max(5, repeat))
    rows.append(
        {
            "system": "lumotext.Index()",
            "docs": len(index),
            "build_1": add_times[1],
            "build_2": add_times[2],
            "build_speedup": add_times[1] / add_times[2],
            "docs_per_s_1": len(lines) / add_times[1],
            "qps_1": len(queries) / query_times[1],
            "qps_2": len(queries) / query_times[2],
            "query_speedup": query_times[1] / query_times[2],
            "saved_bytes": saved,
            "postings": postings,
            "bytes_per_posting": saved / postings,
            "save_s": save_s,
            "load_s": load_s,
            "mb_per_s_1": mb / add_times[1],
        }
    )
    extra["index_load_runs"] = load_runs
    index = None  # released before the peer is measured
    gc.collect()

    # cut + bm25s
    try:
        import bm25s
    except ImportError as e:
        rows.append({"system": "cut + bm25s", "note": f"bm25s not installed ({e})"})
        return rows, extra
    jieba = make_jieba()

    def build_bm25s():
        tokens = [index_tokens(jieba.cut(line)) or [""] for line in lines]
        retriever = bm25s.BM25(k1=1.2, b=0.75)
        retriever.index(tokens, show_progress=False)
        return retriever

    gc.collect()
    retriever = build_bm25s()
    t_build, runs = harness.timed(build_bm25s, repeat)
    extra["bm25s_build_runs"] = runs

    def query_bm25s(threads: int):
        tokens = [index_tokens(jieba.cut(q)) or [""] for q in queries]
        return retriever.retrieve(tokens, k=TOP_K, show_progress=False, n_threads=threads)

    query_bm25s(1)
    bm25s_query_runs = harness.timed_alternating([lambda: query_bm25s(1), lambda: query_bm25s(2)], repeat)
    q_times = {1: bm25s_query_runs[0], 2: bm25s_query_runs[1]}
    save_path = os.path.join(workdir, "bench-zh.bm25s")
    shutil.rmtree(save_path, ignore_errors=True)
    retriever.save(save_path)
    bm25s_saved = dir_bytes(save_path)
    bm25s_load, _ = harness.timed(lambda: bm25s.BM25.load(save_path, mmap=True), max(5, repeat))
    rows.append(
        {
            "system": f"cut + bm25s {harness.package_version('bm25s')}",
            "docs": len(lines),
            "build_1": t_build,
            "docs_per_s_1": len(lines) / t_build,
            "qps_1": len(queries) / q_times[1],
            "qps_2": len(queries) / q_times[2],
            "query_speedup": q_times[1] / q_times[2],
            "saved_bytes": bm25s_saved,
            "load_s": bm25s_load,
            "mb_per_s_1": mb / t_build,
            "note": "bm25s indexes on one thread",
        }
    )
    ours, peer = rows[0], rows[1]
    extra["ratios"] = {
        "add_1_vs_bm25s": peer["build_1"] / ours["build_1"],
        "add_2_vs_bm25s": peer["build_1"] / ours["build_2"],
        "search_many_1_vs_bm25s_1": ours["qps_1"] / peer["qps_1"],
        "search_many_2_vs_bm25s_2": ours["qps_2"] / peer["qps_2"],
    }
    return rows, extra


# --- scale ------------------------------------------------------------------------------------


def dictionary_words() -> tuple[list[str], list[float]]:
    import lumotext

    words, freqs = [], []
    with open(lumotext.default_paths()["dict_path"], encoding="utf-8") as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 2:
                words.append(parts[0])
                freqs.append(float(parts[1]))
    order = sorted(range(len(words)), key=lambda i: (-freqs[i], words[i]))
    return [words[i] for i in order], [freqs[i] for i in order]


def synthetic_documents(count: int, seed: int = SEED, words: list[str] | None = None):
    """`count` documents, generated in blocks; the first n of a larger corpus equal the corpus of
    size n (one generator, consumed in order)."""
    import numpy as np

    words = words or dictionary_words()[0]
    ranks = np.arange(1, len(words) + 1, dtype=np.float64)
    p = ranks**-1.1
    p /= p.sum()
    rng = np.random.default_rng(seed)
    block = 10_000
    for start in range(0, count, block):
        n = min(block, count - start)
        lengths = rng.integers(8, 41, size=n)
        picks = rng.choice(len(words), size=int(lengths.sum()), p=p)
        pos = 0
        for length in lengths:
            yield "".join(words[i] for i in picks[pos : pos + length])
            pos += length


def synthetic_queries(count: int, words: list[str]) -> list[str]:
    """Two to four words each, drawn from the 20,000 most frequent words uniformly (a query names
    content words rather than the commonest ones)."""
    import numpy as np

    rng = np.random.default_rng(SEED + 1)
    top = min(20_000, len(words))
    return ["".join(words[i] for i in rng.integers(0, top, size=rng.integers(2, 5))) for _ in range(count)]


def measure_loaded(path: str, queries_path: str) -> dict:
    """Runs in a fresh process: load time, resident memory the loaded index adds, queries/s."""
    from lumotext import Index

    with open(queries_path, encoding="utf-8") as f:
        queries = json.load(f)
    from lumotext import Analyzer

    # The default segmenter is loaded once per process and shared by every index; its load and
    # memory are the analyzer's, measured apart from the index's own.
    t0 = time.perf_counter()
    Analyzer().analyze("预热")
    analyzer_s = time.perf_counter() - t0
    gc.collect()
    before = rss_bytes()
    t0 = time.perf_counter()
    index = Index.load(path)
    load_s = time.perf_counter() - t0
    after_load = rss_bytes()
    # Loading again, without checking the files' checksums: what the mapping itself costs.
    t0 = time.perf_counter()
    Index.load(path, verify=False)
    unverified_s = time.perf_counter() - t0
    index.search_many(queries[:100], k=TOP_K, threads=1)  # warm the segmenter and the pages
    t1, _ = harness.timed(lambda: index.search_many(queries, k=TOP_K, threads=1), 3)
    t2, _ = harness.timed(lambda: index.search_many(queries, k=TOP_K, threads=2), 3)
    after_queries = rss_bytes()
    return {
        "analyzer_s": analyzer_s,
        "load_s": load_s,
        "load_unverified_s": unverified_s,
        "rss_after_load": after_load - before,
        "rss_after_queries": after_queries - before,
        "qps_1": len(queries) / t1,
        "qps_2": len(queries) / t2,
        "docs": len(index),
    }


def scale(sizes: list[int], workdir: str, query_count: int) -> list[dict]:
    from lumotext import Index

    words, _ = dictionary_words()
    queries_path = os.path.join(workdir, "queries.json")
    with open(queries_path, "w", encoding="utf-8") as f:
        json.dump(synthetic_queries(query_count, words), f, ensure_ascii=False)
    rows = []
    for size in sizes:
        t0 = time.perf_counter()
        docs = list(synthetic_documents(size, words=words))
        generate_s = time.perf_counter() - t0
        gc.collect()
        rss0 = rss_bytes()
        index = Index()
        t0 = time.perf_counter()
        index.add(docs, threads=2)
        build_s = time.perf_counter() - t0
        rss_built = rss_bytes() - rss0
        del docs
        path = os.path.join(workdir, f"synthetic-{size}.index")
        shutil.rmtree(path, ignore_errors=True)
        t0 = time.perf_counter()
        index.save(path)
        save_s = time.perf_counter() - t0
        del index
        gc.collect()
        saved = dir_bytes(path)
        loads = []
        for _ in range(3):
            out = subprocess.run(
                [sys.executable, os.path.abspath(__file__), "--measure-loaded", path, queries_path],
                capture_output=True,
                text=True,
                check=True,
            )
            loads.append(json.loads(out.stdout.strip().splitlines()[-1]))
        loaded = min(loads, key=lambda r: r["load_s"])
        row = {
            "docs": size,
            "generate_s": generate_s,
            "build_s": build_s,
            "docs_per_s": size / build_s,
            "rss_build": rss_built,
            "saved_bytes": saved,
            "save_s": save_s,
            "load_s": statistics.median(r["load_s"] for r in loads),
            "analyzer_s": statistics.median(r["analyzer_s"] for r in loads),
            "load_unverified_s": statistics.median(r["load_unverified_s"] for r in loads),
            "rss_loaded": loaded["rss_after_queries"],
            "rss_after_load": loaded["rss_after_load"],
            "rss_over_disk": loaded["rss_after_queries"] / saved,
            "qps_1": statistics.median(r["qps_1"] for r in loads),
            "qps_2": statistics.median(r["qps_2"] for r in loads),
        }
        rows.append(row)
        print(
            f"  {size:>9,} docs: build {build_s:6.1f} s ({row['docs_per_s']:,.0f}/s, 2 threads), saved "
            f"{saved / 2**20:7.1f} MiB, load {row['load_s'] * 1000:6.1f} ms, loaded RSS "
            f"{row['rss_loaded'] / 2**20:7.1f} MiB ({row['rss_over_disk']:.2f}x disk), "
            f"{row['qps_1']:,.0f} q/s (1 thread), {row['qps_2']:,.0f} q/s (2)",
            flush=True,
        )
        shutil.rmtree(path, ignore_errors=True)
    first = rows[0]
    for row in rows:
        factor = row["docs"] / first["docs"]
        row["build_vs_linear"] = row["build_s"] / (first["build_s"] * factor)
        row["bytes_vs_linear"] = row["saved_bytes"] / (first["saved_bytes"] * factor)
    return rows


# --- main -------------------------------------------------------------------------------------


def main() -> int:
    if len(sys.argv) == 4 and sys.argv[1] == "--measure-loaded":
        print(json.dumps(measure_loaded(sys.argv[2], sys.argv[3])))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a fifth of the text and small synthetic sizes")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--sizes", type=int, nargs="*", default=[250_000, 500_000, 1_000_000])
    parser.add_argument("--no-scale", action="store_true")
    parser.add_argument("--workdir", default=None, help="where the saved indexes go (default: a temporary directory)")
    args = parser.parse_args()
    if args.quick:
        args.repeat = 1
        args.sizes = [20_000, 40_000]

    lines = [line for line in harness.bench_lines() if line.strip()]
    if args.quick:
        lines = lines[:12_000]
    queries = lines[::QUERY_EVERY]
    workdir = args.workdir or tempfile.mkdtemp(prefix="lumotext-index-bench-")
    os.makedirs(workdir, exist_ok=True)
    print(f"load average before: {os.getloadavg()}", flush=True)
    print(f"bench-zh: {len(lines):,} documents, {len(queries):,} queries", flush=True)
    try:
        side, extra = ours_vs_bm25s(lines, queries, args.repeat, workdir)
        for row in side:
            print("  " + ", ".join(f"{k}={harness.fmt(v)}" for k, v in row.items()), flush=True)
        scale_rows = [] if args.no_scale else scale(args.sizes, workdir, 2000)
    finally:
        if args.workdir is None:
            shutil.rmtree(workdir, ignore_errors=True)

    side_columns = [
        ("system", "system"),
        ("build_1", "build s, 1 thread"),
        ("build_2", "build s, 2 threads"),
        ("build_speedup", "2 threads / 1"),
        ("qps_1", "queries/s, 1 thread"),
        ("qps_2", "queries/s, 2 threads"),
        ("query_speedup", "2 threads / 1"),
        ("saved_bytes", "saved bytes"),
        ("bytes_per_posting", "bytes/posting"),
        ("load_s", "load s"),
    ]
    scale_columns = [
        ("docs", "documents"),
        ("build_s", "build s (2 threads)"),
        ("docs_per_s", "docs/s"),
        ("build_vs_linear", "build / linear"),
        ("rss_build", "RSS growth while building"),
        ("saved_bytes", "saved bytes"),
        ("bytes_vs_linear", "bytes / linear"),
        ("load_s", "load s"),
        ("load_unverified_s", "load s, verify=False"),
        ("analyzer_s", "segmenter load s"),
        ("rss_after_load", "RSS after load"),
        ("rss_loaded", "RSS after queries"),
        ("rss_over_disk", "RSS / disk"),
        ("qps_1", "queries/s, 1 thread"),
        ("qps_2", "queries/s, 2 threads"),
    ]
    tables = [
        (
            f"bench-zh.txt: {len(lines):,} documents, {len(queries):,} queries (every {QUERY_EVERY}th line), top {TOP_K}",
            side_columns,
            side,
        )
    ]
    if scale_rows:
        tables.append(
            (
                "Synthetic corpora (Zipf words of the default dictionary, 8-40 words a document), "
                "2,000 queries of 2-4 words",
                scale_columns,
                scale_rows,
            )
        )
    notes = [f"{k}: {v:.2f}x" for k, v in extra.get("ratios", {}).items()]
    notes += [
        "build / linear and bytes / linear: the cost per document relative to the smallest size (1.00 = linear)",
        "RSS after load / after queries: resident memory a fresh process gains from Index.load, and after "
        "2,000 queries on 1 and 2 threads as well, best of 3 processes; RSS growth while building: "
        "the building process, the generated texts already in memory; load s: median of 3 processes, each timing the first "
        "Index.load after the default segmenter was loaded (segmenter load s, once per process, "
        "shared by all indexes); Index.load checks the checksums of the files by default, "
        "verify=False only maps them (timed as a second load in the same process)",
        f"bench-zh times are medians of {args.repeat} runs; load s of at least 5",
    ]
    command = "python bench/index_bench.py" + (" --quick" if args.quick else "")
    harness.write_results(
        "index",
        "lumotext.Index speed and scale",
        tables,
        notes,
        {"bench_zh": side, "bench_zh_runs": extra, "scale": scale_rows},
        command,
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())

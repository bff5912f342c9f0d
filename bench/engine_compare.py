"""lumotext.Index against tantivy and bm25s: the same documents, queries and terms, top 10.

    python bench/engine_compare.py [--docs 100000,1000000] [--quick] [--queries 2000]
        [--repeat N] [--systems lumotext,tantivy,bm25s] [--bm25s-max-docs N] [--workdir DIR]

Documents: the sentences of shared/corpora/zh-text/bench-zh.txt (split after 。！？!? and line
ends, a piece under 8 characters joined to the one before, repeats kept once). 2,000 sentences of
at least 10 ideographs, drawn with a fixed seed, are held out as the queries and appear in no
document. A document is two sentences: the first pass over the remaining sentences pairs them as
they stand in the text, every later pass pairs a seeded shuffle of them, so a corpus of n
documents is the first n documents of any larger one.

Terms: lumotext.Index analyzes the texts itself (``Index(store=False)``: words and character
bigrams, the defaults; it stores no texts, as tantivy stores none here). tantivy and bm25s get the terms of the same ``Analyzer()``, computed once here:
tantivy as one text field of the terms joined by spaces with its whitespace tokenizer
(frequencies, no positions; BM25 with its defaults k1 1.2, b 0.75), bm25s as token lists
(k1 1.2, b 0.75). Neither engine's own text analysis is used. The engines see the words and the
bigrams as one field of one length; lumotext scores them as two fields (the bigrams at weight
0.5), so their rankings agree only in part: the agreement column is a check that all of them see
the same terms, not a measure of quality.

Each system builds its index in a fresh process, and is measured in another fresh process: the
time to open the saved index, resident memory (VmRSS of /proc/self/status) before and after the
open and after the queries, the process's peak (VmHWM), and queries/s on one and on two threads
(the two settings take turns, median of --repeat rounds). lumotext.Index and tantivy are also
timed beside one busy process (a spinning Python loop). lumotext's queries/s include analyzing
the query text; the engines get the query terms ready-made, and the time our analyzer takes for
the 2,000 queries is given with the terms' row.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from typing import Callable, Iterator, Sequence

import harness
from retrieval_quality import split_sentences

SEED = 22
TOP_K = 10
QUERY_COUNT = 2000
MIN_QUERY_IDEOGRAPHS = 10
SYSTEMS = ("lumotext", "tantivy", "bm25s")
# Systems also timed beside one busy process (bm25s is too slow at scale to time twice more).
BUSY_SYSTEMS = ("lumotext", "tantivy")
QUICK_DOCS = (20_000,)
BM25S_MAX_DOCS = 200_000
DEFAULT_DOCS = (100_000, 1_000_000)
MIB = 2**20


# --- corpus (pure; tested) ------------------------------------------------------------------


def corpus_sentences(lines: Sequence[str]) -> list[str]:
    """The sentences of the lines in text order, stripped, each distinct sentence once."""
    found: dict[str, None] = {}
    for line in lines:
        for sentence in split_sentences(line):
            sentence = sentence.strip()
            if sentence:
                found.setdefault(sentence, None)
    return list(found)


def ideographs(text: str) -> int:
    return sum(1 for ch in text if "\u3400" <= ch <= "\u9fff" or "\uf900" <= ch <= "\ufaff")


def hold_out(sentences: Sequence[str], count: int, seed: int = SEED) -> tuple[list[str], list[str]]:
    """(the sentences left for documents, in text order; `count` query sentences of at least
    MIN_QUERY_IDEOGRAPHS ideographs, drawn with `seed`, in drawing order)."""
    eligible = [i for i, s in enumerate(sentences) if ideographs(s) >= MIN_QUERY_IDEOGRAPHS]
    if count > len(eligible):
        raise ValueError(f"{count} queries asked for, {len(eligible)} sentences can be queries")
    chosen = random.Random(seed).sample(eligible, count)
    taken = set(chosen)
    return [s for i, s in enumerate(sentences) if i not in taken], [sentences[i] for i in chosen]


def documents(pool: Sequence[str], seed: int = SEED) -> Iterator[str]:
    """Endless two-sentence documents: the pool's neighbours first, then pairs of seeded
    shuffles of it, one shuffle per pass."""
    if len(pool) < 2:
        raise ValueError("documents need at least two sentences")
    rng = random.Random(seed)
    order = list(range(len(pool)))
    while True:
        for i in range(0, len(order) - 1, 2):
            yield pool[order[i]] + pool[order[i + 1]]
        rng.shuffle(order)


def first_documents(pool: Sequence[str], count: int, seed: int = SEED) -> list[str]:
    source = documents(pool, seed)
    return [next(source) for _ in range(count)]


# --- results (pure; tested) -----------------------------------------------------------------


def top_agreement(reference: Sequence[Sequence[int]], other: Sequence[Sequence[int]], k: int = TOP_K) -> float | None:
    """Mean share of the reference's top k that the other ranking also has in its top k, over
    the queries where the reference found something; None when it found nothing anywhere."""
    shares = [
        len(set(ref[:k]) & set(oth[:k])) / len(ref[:k])
        for ref, oth in zip(reference, other, strict=True)
        if len(ref[:k]) > 0
    ]
    return sum(shares) / len(shares) if shares else None


RESULT_COLUMNS = [
    ("system", "system"),
    ("docs", "documents"),
    ("build_s", "build s"),
    ("segments", "segments"),
    ("qps_1", "q/s, 1 thread"),
    ("qps_2", "q/s, 2 threads"),
    ("speedup_2", "2 threads / 1"),
    ("busy_speedup_2", "2 / 1 beside a busy process"),
    ("disk_mib", "size on disk MiB"),
    ("load_s", "load s"),
    ("rss_load_mib", "RSS after load MiB"),
    ("rss_queries_mib", "RSS after queries MiB"),
    ("agreement", "top-10 agreement"),
    ("load_average", "load average"),
]


def table_rows(results: Sequence[dict]) -> list[dict]:
    """The result records as the rows of the Markdown table (sizes in MiB, rounded figures)."""
    rows = []
    for r in results:
        row = {k: r.get(k) for k, _ in RESULT_COLUMNS if k in r}
        for key, source in (
            ("disk_mib", "disk_bytes"),
            ("rss_load_mib", "rss_load"),
            ("rss_queries_mib", "rss_queries"),
        ):
            if r.get(source) is not None:
                row[key] = r[source] / MIB
        if r.get("load_s") is not None:
            row["load_s"] = f"{r['load_s']:.3f}"
        if r.get("agreement") is not None:
            row["agreement"] = f"{r['agreement']:.0%}"
        for key in ("speedup_2", "busy_speedup_2"):
            if r.get(key) is not None:
                row[key] = f"{r[key]:.2f}x"
        if r.get("load_average") is not None:
            row["load_average"] = "/".join(f"{x:.1f}" for x in r["load_average"])
        rows.append(row)
    return rows


def ratio_notes(results: Sequence[dict]) -> list[str]:
    """lumotext.Index over tantivy for each corpus size both ran at."""
    notes = []
    by = {(r["docs"], r["system"]): r for r in results if "system" in r}
    for docs in sorted({r["docs"] for r in results}):
        ours, peer = by.get((docs, "lumotext.Index")), by.get((docs, "tantivy"))
        if not ours or not peer:
            continue
        parts = []
        for key, label in (
            ("qps_1", "q/s 1 thread"),
            ("qps_2", "q/s 2 threads"),
            ("disk_bytes", "size"),
            ("load_s", "load"),
            ("rss_queries", "RSS after queries"),
        ):
            if ours.get(key) and peer.get(key):
                parts.append(f"{label} {ours[key] / peer[key]:.2f}x")
        notes.append(f"{docs:,} documents, lumotext.Index / tantivy: " + ", ".join(parts))
    return notes


# --- measuring in child processes -----------------------------------------------------------


def proc_status_kib(field: str) -> int:
    with open("/proc/self/status", encoding="ascii") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def rss() -> int:
    return proc_status_kib("VmRSS") * 1024


def peak_rss() -> int:
    return proc_status_kib("VmHWM") * 1024


def dir_bytes(path: str) -> int:
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(path) for f in files)


def read_lines(path: str) -> list[str]:
    with open(path, encoding="utf-8") as f:
        return f.read().splitlines()


def read_terms(path: str) -> list[list[str]]:
    """Token lists, each distinct term one str object (memory is measured after this)."""
    interned: dict[str, str] = {}
    with open(path, encoding="utf-8") as f:
        return [[interned.setdefault(t, t) for t in line.split(" ") if t] for line in f.read().splitlines()]


def build_child(system: str, source: str, out: str) -> dict:
    """Builds and saves one system's index from the documents (lumotext) or their terms."""
    if system == "lumotext":
        from lumotext import Index

        texts = read_lines(source)
        start = time.perf_counter()
        index = Index(store=False)
        index.add(texts, threads=2)
        added = time.perf_counter()
        # A built index is mostly searched: one segment, as `lumotext index build` leaves it.
        index.compact()
        build_s = time.perf_counter() - start
        compact_s = time.perf_counter() - added
        segments = index._native.engine_stats()["segments"]
        start = time.perf_counter()
        index.save(out)
        save_s = time.perf_counter() - start
        docs = len(index)
    elif system == "tantivy":
        import tantivy

        lines = read_lines(source)
        builder = tantivy.SchemaBuilder()
        builder.add_text_field("terms", stored=False, tokenizer_name="whitespace", index_option="freq")
        builder.add_unsigned_field("id", stored=True, indexed=False)
        schema = builder.build()
        os.makedirs(out)
        start = time.perf_counter()
        index = tantivy.Index(schema, path=out)
        writer = index.writer(heap_size=256_000_000, num_threads=2)
        for number, line in enumerate(lines):
            writer.add_document(tantivy.Document(terms=line, id=number))
        writer.commit()
        build_s = time.perf_counter() - start
        # Merges the writer started run on after the commit; what is saved is what they leave.
        start = time.perf_counter()
        writer.wait_merging_threads()
        save_s = time.perf_counter() - start
        index.reload()
        docs = index.searcher().num_docs
        segments = index.searcher().num_segments
    elif system == "bm25s":
        import bm25s

        tokens = read_terms(source)
        start = time.perf_counter()
        retriever = bm25s.BM25(k1=1.2, b=0.75)
        retriever.index([t or [""] for t in tokens], show_progress=False)
        build_s = time.perf_counter() - start
        start = time.perf_counter()
        retriever.save(out)
        save_s = time.perf_counter() - start
        docs = len(tokens)
        segments = None
    else:
        raise ValueError(system)
    out_record = {
        "build_s": build_s,
        "save_s": save_s,
        "docs": docs,
        "segments": segments,
        "build_peak_rss": peak_rss(),
    }
    if system == "lumotext":
        out_record["compact_s"] = compact_s
    return out_record


def timed_threads(run: Callable[[int], object], repeat: int) -> dict[int, float]:
    """Median seconds of run(1) and run(2), taking turns."""
    times = harness.timed_alternating([lambda: run(1), lambda: run(2)], repeat)
    return {1: times[0], 2: times[1]}


def spinning_process() -> subprocess.Popen:
    return subprocess.Popen([sys.executable, "-c", "while True: pass"])


def measure_child(system: str, path: str, queries_path: str, terms_path: str, tops_path: str, repeat: int) -> dict:
    """Opens a saved index in this fresh process; memory, open time, queries/s, top 10s."""
    queries = read_lines(queries_path)
    query_terms = read_terms(terms_path)
    n = len(queries)
    out: dict = {}
    if system == "lumotext":
        from lumotext import Analyzer, Index

        # The segmenter is loaded once per process and shared by all indexes: loaded ahead, so
        # the figures below are the index's own.
        start = time.perf_counter()
        Analyzer().analyze("预热")
        out["analyzer_load_s"] = time.perf_counter() - start
        before = rss()
        start = time.perf_counter()
        index = Index.load(path)
        out["load_s"] = time.perf_counter() - start
        out["rss_load"] = rss() - before
        start = time.perf_counter()
        Index.load(path, verify=False)
        out["load_unverified_s"] = time.perf_counter() - start

        def run(threads: int):
            return index.search_many(queries, k=TOP_K, threads=threads, as_arrays=True)

        def tops() -> list[list[int]]:
            numbers, _ = run(2)
            return [[int(d) for d in row if d >= 0] for row in numbers]

    elif system == "tantivy":
        import tantivy

        before = rss()
        start = time.perf_counter()
        tindex = tantivy.Index.open(path)
        searcher = tindex.searcher()
        out["load_s"] = time.perf_counter() - start
        out["rss_load"] = rss() - before
        schema = tindex.schema
        start = time.perf_counter()
        built = []
        for terms in query_terms:
            counts: dict[str, int] = {}
            for t in terms:
                counts[t] = counts.get(t, 0) + 1
            clauses = []
            for term, count in counts.items():
                q = tantivy.Query.term_query(schema, "terms", term, index_option="freq")
                clauses.append((tantivy.Occur.Should, q if count == 1 else tantivy.Query.boost_query(q, float(count))))
            built.append(tantivy.Query.boolean_query(clauses) if clauses else tantivy.Query.empty_query())
        out["query_objects_s"] = time.perf_counter() - start

        def search_range(lo: int, hi: int) -> list:
            return [searcher.search(built[i], TOP_K, count=False).hits for i in range(lo, hi)]

        def run(threads: int):
            if threads == 1:
                return search_range(0, n)
            bounds = [n * t // threads for t in range(threads + 1)]
            with ThreadPoolExecutor(threads) as pool:
                return list(pool.map(search_range, bounds[:-1], bounds[1:]))

        def tops() -> list[list[int]]:
            return [[searcher.doc(address)["id"][0] for _, address in hits] for hits in search_range(0, n)]

    elif system == "bm25s":
        import bm25s

        before = rss()
        start = time.perf_counter()
        retriever = bm25s.BM25.load(path, mmap=True)
        out["load_s"] = time.perf_counter() - start
        out["rss_load"] = rss() - before
        known = retriever.vocab_dict
        # bm25s refuses terms outside its vocabulary: they are left out (the other systems
        # ignore them), and a query left with none finds nothing without asking bm25s.
        token_lists = [[t for t in terms if t in known] for terms in query_terms]
        asked = [i for i, terms in enumerate(token_lists) if terms]

        def run(threads: int):
            return retriever.retrieve([token_lists[i] for i in asked], k=TOP_K, show_progress=False, n_threads=threads)

        def tops() -> list[list[int]]:
            results, scores = run(1)
            found: list[list[int]] = [[] for _ in token_lists]
            for i, row, srow in zip(asked, results, scores):
                found[i] = [int(d) for d, s in zip(row, srow) if s > 0]
            return found

    else:
        raise ValueError(system)

    run(2)  # warm-up: the pages of the terms the queries touch, thread start-up
    out["load_average"] = [round(x, 2) for x in os.getloadavg()]
    times = timed_threads(run, repeat)
    out["qps_1"], out["qps_2"] = n / times[1], n / times[2]
    out["speedup_2"] = times[1] / times[2]
    out["rss_queries"] = rss() - before
    out["rss_before_load"] = before
    out["peak_rss"] = peak_rss()
    if system in BUSY_SYSTEMS:
        spinner = spinning_process()
        try:
            busy = timed_threads(run, repeat)
        finally:
            spinner.kill()
            spinner.wait()
        out["busy_qps_1"], out["busy_qps_2"] = n / busy[1], n / busy[2]
        out["busy_speedup_2"] = busy[1] / busy[2]
    with open(tops_path, "w", encoding="utf-8") as f:
        json.dump(tops(), f)
    return out


def child(argv: list[str]) -> int:
    if argv[0] == "build":
        result = build_child(*argv[1:4])
    else:
        result = measure_child(*argv[1:6], int(argv[6]))
    print(json.dumps(result))
    return 0


def run_child(args: list[str]) -> dict:
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", *args], capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(f"{' '.join(args[:2])} failed (exit {out.returncode}):\n{out.stderr[-3000:]}")
    return json.loads(out.stdout.strip().splitlines()[-1])


# --- one corpus size ------------------------------------------------------------------------


def write_lines(path: str, lines: Sequence[str]) -> None:
    with open(path, "w", encoding="utf-8") as f:
        for line in lines:
            f.write(line + "\n")


_worker_analyzer = None


def analyzed_lines(texts: Sequence[str]) -> tuple[list[str], int]:
    """Our Analyzer()'s terms of each text joined by spaces, and the number of terms that hold
    whitespace (which a whitespace tokenizer would split; expected 0). Runs in a worker."""
    global _worker_analyzer
    if _worker_analyzer is None:
        from lumotext import Analyzer

        _worker_analyzer = Analyzer()
    lines, with_space = [], 0
    for text in texts:
        terms = _worker_analyzer.analyze(text)
        with_space += sum(1 for t in terms if any(ch.isspace() for ch in t))
        lines.append(" ".join(terms))
    return lines, with_space


def analyze_to_file(texts: Sequence[str], path: str, processes: int = 1) -> tuple[float, int]:
    """Writes analyzed_lines of the texts to `path`, one line per text, in order, on
    `processes` processes; the seconds it took (the analyzers' loading left out) and the
    number of terms holding whitespace."""
    chunk = 5000
    with ProcessPoolExecutor(processes) as pool:
        list(pool.map(analyzed_lines, [["预热"]] * processes))  # each worker loads its segmenter
        with_space = 0
        start = time.perf_counter()
        with open(path, "w", encoding="utf-8") as f:
            for lines, spaces in pool.map(analyzed_lines, [texts[i : i + chunk] for i in range(0, len(texts), chunk)]):
                with_space += spaces
                f.write("".join(line + "\n" for line in lines))
        return time.perf_counter() - start, with_space


def run_size(
    docs_count: int, pool: list[str], queries: list[str], systems: Sequence[str], repeat: int, workdir: str
) -> tuple[list[dict], dict]:
    texts = first_documents(pool, docs_count)
    mb = sum(len(t.encode("utf-8")) for t in texts) / 1e6
    docs_path = os.path.join(workdir, f"docs-{docs_count}.txt")
    write_lines(docs_path, texts)
    queries_path = os.path.join(workdir, "queries.txt")
    write_lines(queries_path, queries)
    query_terms_path = os.path.join(workdir, "query-terms.txt")
    query_analysis_s, _ = analyze_to_file(queries, query_terms_path, processes=1)
    terms_path = os.path.join(workdir, f"terms-{docs_count}.txt")
    info = {"docs": docs_count, "mb": mb, "query_analysis_s": query_analysis_s}
    rows: list[dict] = []
    if set(systems) - {"lumotext"}:
        load = [round(x, 2) for x in os.getloadavg()]
        analysis_s, with_space = analyze_to_file(texts, terms_path, processes=2)
        info.update(analysis_s=analysis_s, terms_with_space=with_space)
        print(f"  Analyzer() terms: {analysis_s:.1f} s for {docs_count:,} documents, two processes", flush=True)
        rows.append(
            {
                "system": "Analyzer() terms for the engines",
                "docs": docs_count,
                "build_s": analysis_s,
                "qps_1": len(queries) / query_analysis_s,
                "load_average": load,
            }
        )
    del texts
    tops: dict[str, list[list[int]]] = {}
    for system in systems:
        out_dir = os.path.join(workdir, f"{system}-{docs_count}")
        shutil.rmtree(out_dir, ignore_errors=True)
        load = [round(x, 2) for x in os.getloadavg()]
        try:
            built = run_child(["build", system, docs_path if system == "lumotext" else terms_path, out_dir])
            tops_path = os.path.join(workdir, f"tops-{system}-{docs_count}.json")
            measured = run_child(["measure", system, out_dir, queries_path, query_terms_path, tops_path, str(repeat)])
        except RuntimeError as e:
            print(f"  {system}: {e}", flush=True)
            rows.append({"system": system, "docs": docs_count, "error": str(e)[-500:]})
            continue
        with open(tops_path, encoding="utf-8") as f:
            tops[system] = json.load(f)
        row = {
            "system": {"lumotext": "lumotext.Index"}.get(system, system),
            "version": harness.package_version({"lumotext": "pylumotext"}.get(system, system)),
            "docs": docs_count,
            **built,
            **measured,
            "build_load_average": load,
            "disk_bytes": dir_bytes(out_dir),
        }
        if system != "lumotext" and "lumotext" in tops:
            row["agreement"] = top_agreement(tops["lumotext"], tops[system])
        rows.append(row)
        print(
            f"  {row['system']}: build {row['build_s']:.1f} s, {row['qps_1']:,.0f} q/s (1 thread), "
            f"{row['qps_2']:,.0f} q/s (2), disk {row['disk_bytes'] / MIB:.0f} MiB, load {row['load_s'] * 1000:.1f} ms, "
            f"RSS +{row['rss_load'] / MIB:.0f} / +{row['rss_queries'] / MIB:.0f} MiB, load average {row['load_average']}",
            flush=True,
        )
        shutil.rmtree(out_dir, ignore_errors=True)
    for path in (docs_path, terms_path):
        if os.path.exists(path):
            os.remove(path)
    return rows, info


# --- main -----------------------------------------------------------------------------------


def parse_sizes(text: str) -> list[int]:
    sizes = [int(part.replace("_", "")) for part in text.split(",") if part.strip()]
    if not sizes or min(sizes) < 1:
        raise argparse.ArgumentTypeError(f"document counts must be positive: {text!r}")
    return sizes


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv and argv[0] == "--child":
        return child(argv[1:])
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--docs", type=parse_sizes, default=None, help="document counts, e.g. 100000,1000000")
    parser.add_argument("--quick", action="store_true", help=f"{QUICK_DOCS[0]:,} documents, one round")
    parser.add_argument("--queries", type=int, default=QUERY_COUNT)
    parser.add_argument(
        "--repeat", type=int, default=None, help="rounds of timing (default 3, 1 past 200,000 documents)"
    )
    parser.add_argument("--systems", default=",".join(SYSTEMS), help="a comma-separated subset of " + ",".join(SYSTEMS))
    parser.add_argument(
        "--bm25s-max-docs",
        type=int,
        default=BM25S_MAX_DOCS,
        help=f"skip bm25s past this many documents (default {BM25S_MAX_DOCS:,}: it scores every document for "
        "every query, and at a million documents takes longer than the rest of the run)",
    )
    parser.add_argument("--workdir", default=None, help="where the indexes are built (default: a temporary directory)")
    parser.add_argument("--name", default="engine_compare", help="the result files' name under bench/results/")
    args = parser.parse_args(argv)
    systems = [s for s in args.systems.split(",") if s]
    unknown = set(systems) - set(SYSTEMS)
    if unknown:
        parser.error(f"unknown systems: {sorted(unknown)}")
    sizes = args.docs or (list(QUICK_DOCS) if args.quick else list(DEFAULT_DOCS))

    pool, queries = hold_out(corpus_sentences(harness.bench_lines()), args.queries)
    workdir = args.workdir or tempfile.mkdtemp(prefix="lumotext-engine-compare-")
    os.makedirs(workdir, exist_ok=True)
    print(
        f"load average before: {os.getloadavg()}; {len(pool):,} sentences for documents, {len(queries):,} queries",
        flush=True,
    )
    results: list[dict] = []
    corpora: list[dict] = []
    try:
        for size in sizes:
            repeat = args.repeat or (1 if args.quick or size > 200_000 else 3)
            print(f"{size:,} documents, {repeat} round(s)", flush=True)
            here = [s for s in systems if s != "bm25s" or size <= args.bm25s_max_docs]
            rows, info = run_size(size, pool, queries, here, repeat, workdir)
            if here != systems:
                info["skipped"] = f"bm25s (past --bm25s-max-docs {args.bm25s_max_docs:,})"
            results += rows
            corpora.append({**info, "repeat": repeat})
    finally:
        if args.workdir is None:
            shutil.rmtree(workdir, ignore_errors=True)

    notes = ratio_notes(results)
    for info in corpora:
        notes.append(
            f"{info['docs']:,} documents: {info['mb']:.0f} MB of UTF-8 text; our Analyzer(): "
            + (f"{info['analysis_s']:.1f} s for the documents (two processes), " if "analysis_s" in info else "")
            + f"{info['query_analysis_s']:.2f} s for the {len(queries):,} queries (one thread)"
            + (f"; terms holding whitespace: {info['terms_with_space']}" if "terms_with_space" in info else "")
            + (f"; not run: {info['skipped']}" if "skipped" in info else "")
        )
    notes += [
        "build s: lumotext.Index add(texts, threads=2), the analysis included, then compact() into one "
        "segment (compact_s in the JSON); tantivy: writer with 2 threads "
        "and a 256 MB heap, add and commit (later merges not included: they are waited for before the size is "
        "taken; its Python API has no call to merge segments, so it keeps what its merge policy leaves); bm25s: index(token lists), one thread; the engines' builds start from ready terms (the "
        "Analyzer() row gives the time those took)",
        "q/s: 2,000 queries, top 10; lumotext.Index search_many(as_arrays=True) with the query analysis; "
        "tantivy: a boolean query of term queries (a term repeated in the query boosted by its count) built "
        "ahead, searcher.search(count=False), 2 threads = 2 Python threads each searching half; bm25s: "
        "retrieve(n_threads=T) of token lists",
        "load s: lumotext.Index.load (checksums verified; without: load_unverified_s in the JSON); tantivy "
        "Index.open + searcher(); bm25s BM25.load(mmap=True)",
        "RSS after load / after queries: resident memory the process gained from opening the index, and "
        "after the queries on 1 and 2 threads (lumotext: its segmenter loaded before, not counted); each "
        "system in its own fresh process; absolute VmRSS and VmHWM in the JSON",
        "top-10 agreement: share of lumotext.Index's top 10 that the engine also returns (the engines score "
        "words and bigrams as one field, lumotext as two)",
        "load average: 1/5/15-minute load when the timed queries began; the machine has 2 cores shared "
        "with other work, so the figures move with it",
    ]
    command = "python bench/engine_compare.py " + " ".join(argv)
    harness.write_results(
        args.name,
        "lumotext.Index against tantivy and bm25s",
        [("Same documents, queries and terms; top 10", RESULT_COLUMNS, table_rows(results))],
        notes,
        {"results": results, "corpora": corpora, "seed": SEED, "queries": len(queries)},
        command.strip(),
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())

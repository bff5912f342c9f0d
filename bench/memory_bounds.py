"""Peak memory of lumotext.Index's large calls, each measured in a fresh process.

    python bench/memory_bounds.py [--docs 1000000] [--doc-mb 10] [--name memory_bounds]

- one document of --doc-mb MB added (random CJK text, and real text repeated): the process's
  peak resident memory (VmHWM) gained by the add, per input byte, through the Python API and
  through `lumotext index build` on a one-line file (the whole command's peak over a fresh
  interpreter's);
- at --docs documents of bench/engine_compare.py's corpus: the peak gained by one search_many of
  its 2,000 held-out queries (lists, then as_arrays), and resident memory after the queries
  against the index's size on disk.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
from typing import Sequence

import harness
from engine_compare import corpus_sentences, dir_bytes, first_documents, hold_out, peak_rss, rss

MIB = 2**20
HERE = os.path.dirname(os.path.abspath(__file__))


def random_cjk(size: int, seed: int = 1) -> str:
    rng = random.Random(seed)
    return "".join(chr(rng.randint(0x4E00, 0x9FA5)) for _ in range(size // 3))


def real_text(size: int) -> str:
    text = "".join(harness.bench_lines())
    data = text.encode()
    return (data * (size // len(data) + 1))[:size].decode(errors="ignore")


def reset_peak() -> None:
    """Sets the process's VmHWM to its VmRSS (Linux: 5 written to clear_refs)."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def child_add(path: str) -> dict:
    """Adds the one document of `path` through the Python API."""
    from lumotext import Index

    with open(path, encoding="utf-8") as f:
        text = f.read().rstrip("\n")
    index = Index()
    index.add(["warm up"])
    reset_peak()
    before = rss()
    index.add([text])
    return {"peak_gain": peak_rss() - before, "bytes": len(text.encode())}


def child_queries(index_path: str, queries_path: str) -> dict:
    from lumotext import Analyzer, Index

    with open(queries_path, encoding="utf-8") as f:
        queries = f.read().splitlines()
    Analyzer().analyze("预热")  # the segmenter, shared by all indexes, loaded ahead
    before_load = rss()
    index = Index.load(index_path)
    index.search_many(queries[:10])  # the segmenter and first pages in
    out = {}
    for key, as_arrays in (("lists", False), ("arrays", True)):
        reset_peak()
        before = rss()
        index.search_many(queries, k=10, as_arrays=as_arrays)
        # The peak the call added above what the process held when it began.
        out[key] = peak_rss() - before
    out["rss_after"] = rss() - before_load
    return out


def run_child(*args: str) -> dict:
    done = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--child", *args], check=True, capture_output=True, text=True
    )
    return json.loads(done.stdout.splitlines()[-1])


def cli_peak(path: str, out: str) -> int:
    """VmHWM of `lumotext index build` on the file, through /usr/bin/time's maximum RSS."""
    command = [sys.executable, "-m", "lumotext", "index", "build", "--no-progress", "--out", out, path]
    done = subprocess.run(["/usr/bin/time", "-f", "%M", *command], check=True, capture_output=True, text=True)
    return int(done.stderr.strip().splitlines()[-1]) * 1024


def idle_peak() -> int:
    code = "import lumotext; lumotext.Index().add(['warm up'])"
    done = subprocess.run(["/usr/bin/time", "-f", "%M", sys.executable, "-c", code], capture_output=True, text=True)
    return int(done.stderr.strip().splitlines()[-1]) * 1024


def main(argv: Sequence[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv and argv[0] == "--child":
        result = child_add(argv[2]) if argv[1] == "add" else child_queries(argv[2], argv[3])
        print(json.dumps(result))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--docs", type=int, default=1_000_000)
    parser.add_argument("--doc-mb", type=float, default=10)
    parser.add_argument("--name", default="memory_bounds")
    args = parser.parse_args(argv)
    size = int(args.doc_mb * 1_000_000)
    add_rows = []
    with tempfile.TemporaryDirectory() as tmp:
        base = idle_peak()
        for label, text in (("random CJK", random_cjk(size)), ("real text repeated", real_text(size))):
            path = os.path.join(tmp, "doc.txt")
            with open(path, "w", encoding="utf-8") as f:
                f.write(text + "\n")
            api = run_child("add", path)
            cli = cli_peak(path, os.path.join(tmp, "ix-" + str(len(add_rows))))
            row = {
                "document": label,
                "MB": api["bytes"] / 1e6,
                "api_per_byte": api["peak_gain"] / api["bytes"],
                "cli_per_byte": (cli - base) / api["bytes"],
            }
            add_rows.append(row)
            print(row, flush=True)

        pool, queries = hold_out(corpus_sentences(harness.bench_lines()), 2000)
        index_path = os.path.join(tmp, "ix")
        from lumotext import Index

        index = Index()
        index.add(first_documents(pool, args.docs), threads=2)
        index.compact()  # as a bulk build leaves it
        index.save(index_path)
        del index
        queries_path = os.path.join(tmp, "queries.txt")
        with open(queries_path, "w", encoding="utf-8") as f:
            f.write("\n".join(queries) + "\n")
        measured = run_child("queries", index_path, queries_path)
        disk = dir_bytes(index_path)
    query_rows = [
        {
            "documents": args.docs,
            "lists_MiB": measured["lists"] / MIB,
            "arrays_MiB": measured["arrays"] / MIB,
            "rss_after_MiB": measured["rss_after"] / MIB,
            "disk_MiB": disk / MIB,
        }
    ]
    print(query_rows[0], flush=True)
    harness.write_results(
        args.name,
        "Peak memory of lumotext.Index's large calls",
        [
            (
                f"one document of {args.doc_mb:g} MB added: peak gained per input byte",
                [
                    ("document", "document"),
                    ("MB", "MB"),
                    ("api_per_byte", "Index.add"),
                    ("cli_per_byte", "index build"),
                ],
                add_rows,
            ),
            (
                "one search_many of 2,000 queries, top 10: peak gained; resident memory after",
                [
                    ("documents", "documents"),
                    ("lists_MiB", "lists MiB"),
                    ("arrays_MiB", "as_arrays MiB"),
                    ("rss_after_MiB", "RSS after MiB"),
                    ("disk_MiB", "size on disk MiB"),
                ],
                query_rows,
            ),
        ],
        [
            "Index.add: VmHWM (reset before the call) less VmRSS before it, in a process that had added one small document",
            "index build: the command's maximum RSS (/usr/bin/time) less a fresh interpreter's that imported "
            "lumotext and added one small document",
            "search_many: VmHWM (reset before each call) less VmRSS before it",
            "RSS after: resident memory gained from before Index.load (the segmenter loaded ahead) to after the queries",
        ],
        {"add": add_rows, "queries": query_rows},
        "python bench/memory_bounds.py " + " ".join(argv),
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())

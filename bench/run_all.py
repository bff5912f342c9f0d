"""Runs every benchmark, each in its own process, and leaves the tables in bench/results/.

    python bench/run_all.py [--quick] [--only NAME ...]

--quick runs smaller inputs (for a smoke test of the harness; the figures are then not the
published ones). Each benchmark script can also be run alone; see its docstring.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))

BENCHMARKS = {
    "bm25_python": (["bm25_bench.py"], ["--docs", "5000", "--queries", "2000", "--repeat", "1"]),
    "bm25_peers": (
        ["bm25_peers.py"],
        ["--docs", "3000", "--lines", "3000", "--queries", "200", "--repeat", "1", "--rank-bm25-queries", "5"],
    ),
    "segmentation": (["seg_bench.py"], ["--quick"]),
    "retrieval": (["retrieval_quality.py"], ["--quick"]),
    "index": (["index_bench.py"], ["--quick"]),
    "engine_compare": (["engine_compare.py"], ["--quick"]),
}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--only", nargs="*", choices=sorted(BENCHMARKS))
    args = parser.parse_args()
    env = dict(os.environ)
    if args.quick:
        env["BENCH_RESULTS_DIR"] = os.path.join(HERE, "results", "quick")
    failed = []
    print(f"load average before: {os.getloadavg()}", flush=True)
    for name, (script, quick) in BENCHMARKS.items():
        if args.only and name not in args.only:
            continue
        command = [sys.executable, os.path.join(HERE, *script)] + (quick if args.quick else [])
        print(
            f"== {name}: {' '.join(os.path.relpath(c, HERE) if c.startswith(HERE) else c for c in command[1:])}",
            flush=True,
        )
        start = time.perf_counter()
        result = subprocess.run(command, cwd=HERE, env=env)
        print(f"== {name}: exit {result.returncode} after {time.perf_counter() - start:.0f} s", flush=True)
        if result.returncode != 0:
            failed.append(name)
    if failed:
        print(f"failed: {', '.join(failed)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

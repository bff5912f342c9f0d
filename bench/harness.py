"""Shared pieces of the benchmarks: timing, the machine record, input location and the
result files (a Markdown table and a JSON document per benchmark under bench/results/)."""

from __future__ import annotations

import json
import os
import platform
import statistics
import sys
import time
from typing import Callable, Sequence

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH_DIR)
# A smoke run (run_all.py --quick) writes elsewhere, so the published tables stay.
RESULTS_DIR = os.environ.get("BENCH_RESULTS_DIR") or os.path.join(BENCH_DIR, "results")


def shared_dir() -> str:
    """The read-only ``shared`` folder beside the repository (or beside one of its parents,
    for a checkout that sits deeper); a clear error when there is none."""
    sys.path.insert(0, os.path.join(ROOT, "tools"))
    import corpora

    found = corpora.find_corpora_dir(ROOT)
    if found is None:
        raise SystemExit(
            f"error: no shared/corpora found beside {ROOT} or any of its parents; "
            "the benchmarks need ../shared/corpora (zh-text, ud-zh-gsdsimp)"
        )
    return os.path.dirname(found)


def corpus_file(*parts: str) -> str:
    path = os.path.join(shared_dir(), "corpora", *parts)
    if not os.path.isfile(path):
        raise SystemExit(f"error: benchmark input {path} is missing")
    return path


def bench_lines() -> list[str]:
    """The benchmark text, one paragraph fragment per line, without line ends."""
    with open(corpus_file("zh-text", "bench-zh.txt"), encoding="utf-8") as f:
        return f.read().splitlines()


def timed(fn: Callable[[], object], repeat: int) -> tuple[float, list[float]]:
    """Median wall time of `repeat` runs, and all of them."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), times


def timed_alternating(fns: Sequence[Callable[[], object]], repeat: int) -> list[float]:
    """Median wall time of each function, the functions taking turns in every round, so that
    a change of machine load during the run touches all of them alike."""
    times: list[list[float]] = [[] for _ in fns]
    for _ in range(repeat):
        for i, fn in enumerate(fns):
            start = time.perf_counter()
            fn()
            times[i].append(time.perf_counter() - start)
    return [statistics.median(t) for t in times]


def machine() -> dict:
    model = platform.processor()
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "python": sys.version.split()[0],
        "platform": platform.platform(),
        "load_average": [round(x, 2) for x in os.getloadavg()],
        "date": time.strftime("%Y-%m-%d %H:%M:%S %z"),
    }


def package_version(name: str) -> str | None:
    from importlib import metadata

    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return None


def fmt(value, digits: int = 2) -> str:
    if value is None:
        return "-"
    if isinstance(value, str):
        return value
    if isinstance(value, int):
        return f"{value:,}"
    if abs(value) >= 100:
        return f"{value:,.0f}"
    return f"{value:.{digits}f}"


def markdown_table(columns: Sequence[tuple[str, str]], rows: Sequence[dict]) -> str:
    """columns: (key in row, header)."""
    lines = ["| " + " | ".join(h for _, h in columns) + " |", "|" + "|".join("---" for _ in columns) + "|"]
    for row in rows:
        lines.append("| " + " | ".join(fmt(row.get(k)) for k, _ in columns) + " |")
    return "\n".join(lines)


def write_results(
    name: str,
    title: str,
    tables: Sequence[tuple[str, Sequence[tuple[str, str]], Sequence[dict]]],
    notes: Sequence[str],
    data: dict,
    command: str,
) -> None:
    """Writes bench/results/<name>.md (tables and notes) and <name>.json (everything)."""
    os.makedirs(RESULTS_DIR, exist_ok=True)
    info = machine()
    parts = [
        f"# {title}",
        "",
        f"Command: `{command}`  ",
        f"Machine: {info['cpu']}, {info['cores']} cores, Python {info['python']}, "
        f"load average at the end {info['load_average']}, {info['date']}",
        "",
    ]
    for caption, columns, rows in tables:
        if caption:
            parts += [f"**{caption}**", ""]
        parts += [markdown_table(columns, rows), ""]
    if notes:
        parts += [f"- {n}" for n in notes] + [""]
    with open(os.path.join(RESULTS_DIR, name + ".md"), "w", encoding="utf-8") as f:
        f.write("\n".join(parts))
    with open(os.path.join(RESULTS_DIR, name + ".json"), "w", encoding="utf-8") as f:
        json.dump({"machine": info, "command": command, "notes": list(notes), **data}, f, indent=2, ensure_ascii=False)
    print(f"wrote {os.path.relpath(os.path.join(RESULTS_DIR, name + '.md'), ROOT)} and .json", flush=True)

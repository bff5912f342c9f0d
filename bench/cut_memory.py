"""Peak memory of one ``Jieba.cut`` call per input byte, for inputs that stress the working set.

Each case runs in a fresh process: build the input, reset the peak-RSS mark, cut once, then
report the growth of the peak over the resident size just before the call, per input byte, and
the part of it that is the Python result (the list and its distinct str objects). What is left
is the native working set of the cut at its peak, plus allocator slack.

    python bench/cut_memory.py [--mb 10] [--case nul ...] [--time]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time

CASES = ("nul", "spaces", "han", "cyrillic", "text")
BENCH_TEXT = "/work/shared/corpora/zh-text/bench-zh.txt"


def _build(case: str, size: int) -> str:
    if case == "nul":
        return "\0" * size
    if case == "spaces":
        return " " * size
    if case == "han":  # one Han character repeated: a single run the HMM labels whole
        return "\u5565" * (size // 3)
    if case == "cyrillic":  # two bytes per character, outside the dictionary: HMM runs
        return "\u0436" * (size // 2)
    with open(BENCH_TEXT, encoding="utf-8") as stream:
        line = "".join(stream.read().split("\n"))
    data = line.encode("utf-8")
    while len(data) < size:
        data += data
    return data[:size].decode("utf-8", "ignore")


def _rss_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field)


def _result_bytes(words: list[str]) -> int:
    seen: set[int] = set()
    total = sys.getsizeof(words)
    for word in words:
        if id(word) not in seen:
            seen.add(id(word))
            total += sys.getsizeof(word)
    return total


def _child(case: str, size: int, timed: bool) -> None:
    import lumotext

    jieba = lumotext.make_jieba()
    text = _build(case, size)
    nbytes = len(text.encode("utf-8"))
    jieba.cut("warm up 预热")
    before = _rss_kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # resets VmHWM to the current resident size
    start = time.perf_counter()
    words = jieba.cut(text)
    seconds = time.perf_counter() - start
    peak = _rss_kib("VmHWM")
    result = _result_bytes(words)
    growth = (peak - before) * 1024
    print(
        json.dumps(
            {
                "case": case,
                "bytes": nbytes,
                "words": len(words),
                "seconds": round(seconds, 3) if timed else None,
                "peak_growth_per_byte": round(growth / nbytes, 1),
                "python_result_per_byte": round(result / nbytes, 1),
                "native_per_byte": round((growth - result) / nbytes, 1),
            }
        )
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mb", type=float, default=10.0, help="input size in MB (default 10)")
    parser.add_argument("--case", action="append", choices=CASES, help="cases to run (default all)")
    parser.add_argument("--time", action="store_true", help="also report the time of the cut")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    size = int(args.mb * 1_000_000)
    if args.child:
        _child(args.child, size, args.time)
        return
    print(f"load average: {os.getloadavg()}", file=sys.stderr)
    for case in args.case or CASES:
        command = [sys.executable, __file__, "--child", case, "--mb", str(args.mb)] + (["--time"] if args.time else [])
        subprocess.run(command, check=True)


if __name__ == "__main__":
    main()

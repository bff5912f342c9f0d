"""Writes seed inputs of the index loader's fuzz target (fuzz/corpus/index_loader/) from small
saved indexes: eight little-endian 32-bit file sizes, then the files' bytes in the loader's order.

    .venv/bin/python tools/make_index_fuzz_seeds.py
"""

from __future__ import annotations

import struct
import tempfile
from pathlib import Path

from lumotext import Analyzer, Index
from lumotext.index import _FILE_NAMES

OUT = Path(__file__).resolve().parents[1] / "fuzz" / "corpus" / "index_loader"


def pack(directory: Path) -> bytes:
    files = [(directory / name).read_bytes() for name in _FILE_NAMES]
    return struct.pack("<8I", *(len(f) for f in files)) + b"".join(files)


def main() -> None:
    OUT.mkdir(parents=True, exist_ok=True)
    cases: dict[str, Index] = {}
    cases["empty"] = Index()
    small = Index(Analyzer(bigram_weight=0.3))
    small.add(["中国人 ab", "中国 中国 人", "ab ab", "国"])
    cases["small"] = small
    removed = Index(Analyzer(bigram_weight=0))
    removed.add(["中国人 ab", "人 人", "ab 中"])
    removed.remove([1])
    cases["removed"] = removed
    with tempfile.TemporaryDirectory() as tmp:
        for name, index in cases.items():
            index.save(Path(tmp) / name)
            data = pack(Path(tmp) / name)
            (OUT / f"seed_{name}").write_bytes(data)
            if name == "small":
                (OUT / "seed_small_truncated").write_bytes(data[: len(data) * 2 // 3])


if __name__ == "__main__":
    main()

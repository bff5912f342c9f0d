"""Writes seed inputs of the index loader's fuzz target (fuzz/corpus/index_loader/) from small
saved indexes: a flag byte (1: verify checksums), then each file of the directory as a name
length byte, the name, a little-endian 32-bit size and the bytes (see fuzz/IndexLoaderCheck.h).

    .venv/bin/python tools/make_index_fuzz_seeds.py
"""

from __future__ import annotations

import struct
import tempfile
from pathlib import Path

from lumotext import Analyzer, Index

ROOT = Path(__file__).resolve().parents[1]
OUT = ROOT / "fuzz" / "corpus" / "index_loader"
FIRST_FORMAT = ROOT / "tests" / "python" / "fixtures" / "index_v1"


def pack(directory: Path, flags: int = 1) -> bytes:
    out = bytes([flags])
    for path in sorted(directory.iterdir()):
        if path.name.startswith("."):
            continue  # the lock file
        name = path.name.encode()
        data = path.read_bytes()
        out += bytes([len(name)]) + name + struct.pack("<I", len(data)) + data
    return out


def main() -> None:
    OUT.mkdir(parents=True, exist_ok=True)
    for old in OUT.glob("seed_*"):
        old.unlink()
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
                (OUT / "seed_small_unverified").write_bytes(bytes([2]) + data[1:])
    (OUT / "seed_first_format").write_bytes(pack(FIRST_FORMAT))


if __name__ == "__main__":
    main()

"""Where the bytes of a saved lumotext.Index go, by component, read from its files.

    python bench/index_size.py [--docs 1000000] [--index DIR] [--name index_size]

Without --index, builds the index of the first --docs documents of bench/engine_compare.py's
corpus (Index(store=False), as tantivy stores nothing there; add(texts, threads=2)) in a
temporary directory and saves it. Each file of the directory is read by its layout: a segment
(header, term entries, block headers with their score bounds, packed postings, document
lengths), a live bitset, stored documents, a term table (ids, offsets, text), or the commit file.
"""

from __future__ import annotations

import argparse
import os
import re
import struct
import sys
import tempfile
from typing import Sequence

import harness
from engine_compare import corpus_sentences, first_documents, hold_out

MIB = 2**20
SEGMENT_HEADER = 48
# Bytes per term entry and per block header, by segment magic (earlier layouts: 24 each).
ENTRY_SIZES = {int.from_bytes(b"LMUSEG03", "little"): 16}
UNPACKED_LENGTHS_MAGIC = int.from_bytes(b"LMUSEG01", "little")
COMPONENTS = (
    ("postings", "postings data (packed gaps and tf)"),
    ("block_headers", "block headers and score bounds"),
    ("term_entries", "per-segment term entries"),
    ("term_dictionary", "term dictionary (ids, offsets, text)"),
    ("document_lengths", "document lengths"),
    ("live_bitsets", "live bitsets"),
    ("stored_documents", "stored documents"),
    ("other", "headers, padding, commit file"),
)


def pad8(n: int) -> int:
    return (n + 7) // 8 * 8


def segment_parts(data: bytes) -> dict[str, int]:
    """A segment's bytes by component (the layout of csrc/index/Segment.h)."""
    magic, docs, terms, blocks, words, _postings = struct.unpack_from("<6Q", data)
    entry = ENTRY_SIZES.get(magic, 24)
    lengths = 8 * docs  # u32 pairs, as segments held them before they were packed
    if magic != UNPACKED_LENGTHS_MAGIC:
        (widths,) = struct.unpack_from(
            "<Q", data, SEGMENT_HEADER + entry * terms + pad8(entry * blocks) + pad8(4 * words)
        )
        lengths = 8 + 8 * ((docs * ((widths & 0xFF) + (widths >> 8 & 0xFF)) + 63) // 64)
    parts = {
        "term_entries": entry * terms,
        "block_headers": entry * blocks,
        "postings": 4 * words,
        "document_lengths": lengths,
    }
    parts["other"] = len(data) - sum(parts.values())
    return parts


def term_table_parts(data: bytes) -> dict[str, int]:
    """A term table's bytes (csrc/index/Lexicon.h): ids, offsets (padded to 8 bytes) and text."""
    count, text = struct.unpack_from("<2Q", data, 8)
    arrays = pad8(4 * count + 4 * (count + 1))
    return {"term_dictionary": arrays + text, "other": len(data) - arrays - text}


def file_parts(name: str, data: bytes) -> dict[str, int]:
    if re.search(r"\.seg\.[0-9a-f]{16}$", name):
        return segment_parts(data)
    if ".docs." in name:
        return {"stored_documents": len(data)}
    if ".live." in name:
        return {"live_bitsets": len(data)}
    if ".lex." in name:
        return term_table_parts(data)
    return {"other": len(data)}


def breakdown(path: str) -> dict[str, int]:
    """Bytes of the saved index at `path` by component; their sum is the directory's size."""
    total = dict.fromkeys((key for key, _ in COMPONENTS), 0)
    for name in sorted(os.listdir(path)):
        full = os.path.join(path, name)
        if name.startswith(".") or not os.path.isfile(full):
            continue
        with open(full, "rb") as f:
            for key, size in file_parts(name, f.read()).items():
                total[key] += size
    return total


def rows(parts: dict[str, int]) -> list[dict]:
    whole = sum(parts.values())
    out = [
        {"component": label, "MiB": parts[key] / MIB, "share": f"{100 * parts[key] / whole:.1f}%"}
        for key, label in COMPONENTS
    ]
    out.append({"component": "total", "MiB": whole / MIB, "share": "100%"})
    return out


def build(count: int, out: str) -> None:
    from lumotext import Index

    pool, _queries = hold_out(corpus_sentences(harness.bench_lines()), 2000)
    index = Index(store=False)
    index.add(first_documents(pool, count), threads=2)
    index.save(out)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--docs", type=int, default=1_000_000)
    parser.add_argument("--index", help="an index directory to read instead of building one")
    parser.add_argument("--name", default="index_size")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as tmp:
        path = args.index or os.path.join(tmp, "ix")
        if not args.index:
            build(args.docs, path)
        parts = breakdown(path)
    table = rows(parts)
    for row in table:
        print(f"{row['component']:40s} {row['MiB']:9.2f} MiB {row['share']:>7s}")
    what = f"an index read from {args.index}" if args.index else f"{args.docs:,} documents of engine_compare's corpus"
    harness.write_results(
        args.name,
        "Bytes of a saved lumotext.Index by component",
        [(what, [("component", "component"), ("MiB", "MiB"), ("share", "share")], table)],
        [],
        {"bytes": parts, "documents": None if args.index else args.docs},
        "python bench/" + os.path.basename(__file__) + " " + " ".join(sys.argv[1:] if argv is None else argv),
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())

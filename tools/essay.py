"""Word counts from rime-essay's ``essay.txt`` (Traditional script), folded to Simplified.

Each line is ``word<TAB>count``. Several Traditional words can map to one Simplified word
(for example variant spellings), so counts are summed after conversion.
"""

from __future__ import annotations

import dataclasses
from typing import Callable, Iterable, Iterator


@dataclasses.dataclass
class EssayStats:
    lines: int = 0
    malformed: int = 0
    merged: int = 0  # converted words that were already present (counts summed)


def parse_essay(lines: Iterable[str], stats: EssayStats | None = None) -> Iterator[tuple[str, int]]:
    """Yield (word, count) pairs; lines that are not ``word<TAB>non-negative integer``
    are counted in ``stats.malformed`` and skipped, as are empty lines."""
    stats = stats if stats is not None else EssayStats()
    for line in lines:
        line = line.rstrip("\r\n")
        if not line:
            continue
        stats.lines += 1
        parts = line.split("\t")
        if len(parts) != 2 or not parts[0] or not parts[1].isascii() or not parts[1].isdigit():
            stats.malformed += 1
            continue
        word = parts[0]
        if any(ch.isspace() for ch in word):
            stats.malformed += 1
            continue
        yield word, int(parts[1])


def fold_counts(
    pairs: Iterable[tuple[str, int]], convert: Callable[[str], str], stats: EssayStats | None = None
) -> dict[str, int]:
    """Convert every word with ``convert`` and sum the counts of words that meet."""
    stats = stats if stats is not None else EssayStats()
    counts: dict[str, int] = {}
    for word, count in pairs:
        simp = convert(word)
        if simp in counts:
            stats.merged += 1
            counts[simp] += count
        else:
            counts[simp] = count
    return counts


def load_essay(path: str, convert: Callable[[str], str], stats: EssayStats | None = None) -> dict[str, int]:
    stats = stats if stats is not None else EssayStats()
    with open(path, encoding="utf-8") as f:
        return fold_counts(parse_essay(f, stats), convert, stats)

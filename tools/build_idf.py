"""IDF list computed with our own segmenter over a document collection.

idf(w) = ln((N + 1) / (df(w) + 1)) + 1, with N documents and df(w) the number of documents
whose cut contains w. The +1 terms keep the value finite and positive for every word, even
one that occurs in every document. Words seen in fewer than ``min_df`` documents are left
out: they are mostly numbers, file names and typos, and a reader of the list gives unknown
words the average anyway.
"""

from __future__ import annotations

import collections
import math
import unicodedata
from typing import Callable, Iterable, Mapping

from hmm import format_number


def is_indexable(word: str) -> bool:
    """A word worth an IDF entry: no white space (the file splits at spaces) and at least
    one letter or digit (punctuation alone carries no topic)."""
    if not word or any(ch.isspace() for ch in word):
        return False
    return any(unicodedata.category(ch)[0] in "LN" for ch in word)


def document_frequencies(documents: Iterable[str], cut: Callable[[str], list[str]]) -> tuple[collections.Counter, int]:
    df: collections.Counter = collections.Counter()
    n = 0
    for doc in documents:
        n += 1
        df.update({w for w in cut(doc) if is_indexable(w)})
    return df, n


def idf_values(df: Mapping[str, int], n_docs: int, min_df: int = 2) -> dict[str, float]:
    if n_docs <= 0:
        raise ValueError("no documents")
    return {w: math.log((n_docs + 1) / (c + 1)) + 1.0 for w, c in df.items() if c >= min_df and is_indexable(w)}


def idf_lines(idf: Mapping[str, float]) -> list[str]:
    return [f"{w} {format_number(idf[w])}" for w in sorted(idf)]


def write_idf(idf: Mapping[str, float], path: str) -> None:
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        for line in idf_lines(idf):
            f.write(line + "\n")


def parse_idf_line(line: str) -> tuple[str, float]:
    """Read a line as the segmenter's loader does: exactly two space-separated columns."""
    cols = line.rstrip("\n").split(" ")
    if len(cols) != 2:
        raise ValueError(f"expected 2 columns, got {len(cols)}: {line!r}")
    return cols[0], float(cols[1])


def read_documents(path: str) -> list[str]:
    with open(path, encoding="utf-8") as f:
        return [line.rstrip("\r\n") for line in f if line.strip()]

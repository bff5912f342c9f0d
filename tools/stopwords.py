"""Stop words: function words and punctuation of the gold corpus, merged with a word list.

A gold FORM is a stop word when its most frequent UPOS is one of STOP_UPOS. Nominal
suffixes (XPOS SFN, tagged PART) do not vote: the gold corpus cuts words like 'person' off
compounds as suffixes, and they are content words everywhere else.
"""

from __future__ import annotations

import collections
from typing import Iterable

from conllu import Sentence

STOP_UPOS = frozenset({"ADP", "AUX", "CCONJ", "SCONJ", "DET", "PART", "PRON", "PUNCT"})
SUFFIX_XPOS = "SFN"


def gold_stop_words(sentences: Iterable[Sentence]) -> set[str]:
    votes: dict[str, collections.Counter] = collections.defaultdict(collections.Counter)
    for s in sentences:
        for t in s.tokens:
            if t.xpos != SUFFIX_XPOS:
                votes[t.form][t.upos] += 1
    words = set()
    for form, counter in votes.items():
        upos = min(counter, key=lambda u: (-counter[u], u))
        if upos in STOP_UPOS:
            words.add(form)
    return words


def read_word_list(lines: Iterable[str]) -> set[str]:
    """One word a line; surrounding white space dropped, blank lines ignored."""
    return {w for w in (line.strip() for line in lines) if w}


def stop_word_lines(words: Iterable[str]) -> list[str]:
    """Sorted, without empty entries or white space: the loader keeps each line verbatim,
    so a stray blank or carriage return would make a stop word nobody can match."""
    out = sorted({w for w in words if w and not any(ch.isspace() for ch in w)})
    return out


def write_stop_words(words: Iterable[str], path: str) -> None:
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        for w in stop_word_lines(words):
            f.write(w + "\n")

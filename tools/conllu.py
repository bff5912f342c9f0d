"""Reader for the CoNLL-U treebank files used to build and measure the default data.

Only what the data build needs is kept: the raw sentence text and, per word, its FORM,
UPOS and XPOS. Multi-word token ranges (``3-4``) and empty nodes (``5.1``) carry no
segmentation of their own, so they are skipped; no file we use has them today, but a
treebank update must not silently double words.
"""

from __future__ import annotations

import dataclasses
from typing import Iterable, Iterator

COLUMN_COUNT = 10


class ConlluError(ValueError):
    """A line that is not valid CoNLL-U; the message names the line number."""


@dataclasses.dataclass(frozen=True)
class Token:
    form: str
    upos: str
    xpos: str


@dataclasses.dataclass(frozen=True)
class Sentence:
    sent_id: str
    text: str
    tokens: tuple[Token, ...]

    @property
    def forms(self) -> list[str]:
        return [t.form for t in self.tokens]


def parse_conllu(lines: Iterable[str]) -> Iterator[Sentence]:
    """Yield the sentences of CoNLL-U text given as lines (with or without line ends).

    When a sentence has no ``# text =`` comment its text is the concatenation of its FORMs
    (Chinese text has no spaces between words). A sentence whose text disagrees with its
    FORMs once spaces are removed is rejected: span alignment downstream depends on it.
    """
    sent_id = ""
    text: str | None = None
    tokens: list[Token] = []
    start_line = 0

    def finish() -> Sentence:
        joined = "".join(t.form for t in tokens)
        raw = joined if text is None else text
        if raw.replace(" ", "") != joined.replace(" ", ""):
            raise ConlluError(f"line {start_line}: sentence text does not match its word forms")
        return Sentence(sent_id, raw, tuple(tokens))

    for lineno, line in enumerate(lines, start=1):
        line = line.rstrip("\r\n")
        if not line.strip():
            if tokens:
                yield finish()
            elif text is not None:
                raise ConlluError(f"line {lineno}: sentence without tokens")
            sent_id, text, tokens = "", None, []
            continue
        if not tokens and text is None and not sent_id:
            start_line = lineno
        if line.startswith("#"):
            key, sep, value = line[1:].partition("=")
            if sep:
                key = key.strip()
                if key == "text":
                    text = value.strip()
                elif key == "sent_id":
                    sent_id = value.strip()
            continue
        cols = line.split("\t")
        if len(cols) != COLUMN_COUNT:
            raise ConlluError(f"line {lineno}: expected {COLUMN_COUNT} tab-separated columns, got {len(cols)}")
        token_id = cols[0]
        if "-" in token_id or "." in token_id:
            continue
        if not token_id.isdigit():
            raise ConlluError(f"line {lineno}: bad token id {token_id!r}")
        if not cols[1]:
            raise ConlluError(f"line {lineno}: empty FORM")
        tokens.append(Token(cols[1], cols[3], cols[4]))
    if tokens:
        yield finish()
    elif text is not None:
        raise ConlluError("end of file: sentence without tokens")


def read_conllu(path: str) -> list[Sentence]:
    with open(path, encoding="utf-8") as f:
        return list(parse_conllu(f))

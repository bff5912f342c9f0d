"""The kinds of value the ``lumotext`` command takes on its command line, one argparse type
function each, shared by every subcommand: a value out of range is a usage error (exit status
2, argparse's message naming the option) wherever it is given."""

from __future__ import annotations

import argparse
import math
import os
from typing import Callable

from lumotext import _native

#: More workers than this only add threads and read-ahead: segmenting, indexing and searching
#: are bound by the cores, and each segmenting worker reads batches ahead.
MAX_THREADS = 64

#: The index's own limit on results per query.
MAX_K: int = _native.LARGEST_K


def default_threads() -> int:
    """The ``--threads`` of every subcommand when none is given: the CPU count, within the cap."""
    return max(1, min(os.cpu_count() or 1, MAX_THREADS))


def _count(high: int, what: str) -> Callable[[str], int]:
    """An argument type: a whole number from 1 to ``high`` (``what`` names the things counted)."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a positive whole number, got {text!r}") from None
        if value < 1:
            raise argparse.ArgumentTypeError(f"expected a positive whole number, got {text!r}")
        if value > high:
            raise argparse.ArgumentTypeError(f"expected at most {high} {what}, got {text!r}")
        return value

    return parse


#: ``--threads N``: 1 to :data:`MAX_THREADS`.
thread_count = _count(MAX_THREADS, "threads")

#: ``-k N``: 1 to :data:`MAX_K` results per query.
result_count = _count(MAX_K, "results")


def document_number(text: str) -> int:
    """An argument type: a document number of an index, a whole number of at least 0."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a document number (a whole number >= 0), got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a document number (a whole number >= 0), got {text!r}")
    return value


def finite_number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"expected a finite number, got {text!r}")
    return value


def number_in(low: float, high: float | None) -> Callable[[str], float]:
    """An argument type: a finite number from ``low`` to ``high`` (no upper end when None)."""

    def parse(text: str) -> float:
        value = finite_number(text)
        if value < low or (high is not None and value > high):
            wanted = f"from {low:g} to {high:g}" if high is not None else f"of at least {low:g}"
            raise argparse.ArgumentTypeError(f"expected a number {wanted}, got {text!r}")
        return value

    return parse


#: The parameters of BM25 scoring, in the encoder and in the index alike.
b_parameter = number_in(0.0, 1.0)
k1_parameter = number_in(0.0, None)
#: The index limits k1 further, so that every score and vector value stays finite.
index_k1_parameter = number_in(0.0, _native.LARGEST_K1)

#: The weight of the index's character-bigram field.
bigram_weight = number_in(0.0, 1e6)


def add_threads_option(parser: argparse.ArgumentParser | argparse._ArgumentGroup, work: str, note: str = "") -> None:
    """``--threads N``, with the one default and cap of every subcommand; ``work`` says what the
    threads do ("segment", "search", ...), ``note`` anything the subcommand adds."""
    parser.add_argument(
        "--threads",
        type=thread_count,
        default=default_threads(),
        metavar="N",
        help=f"{work} on N threads, 1 to {MAX_THREADS} (default %(default)s: the CPU count){note}",
    )

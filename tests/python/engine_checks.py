"""Comparing an engine's ranking with the index's: the corpus, the queries and the measure."""

from __future__ import annotations

from shared_data import bench_lines

CORPUS_LINES = 2000
QUERY_COUNT = 20
QUERY_EVERY = 29  # as the index benchmark picks its queries
TOP = 10
# Engines keep float32 weights and add them up in their own order.
SCORE_TOLERANCE = 1e-4


def corpus() -> list[str]:
    return bench_lines(CORPUS_LINES)


def queries() -> list[str]:
    lines = corpus()
    return [lines[QUERY_EVERY * (i + 1)] for i in range(QUERY_COUNT)]


def _close(a: float, b: float) -> bool:
    return abs(a - b) <= SCORE_TOLERANCE * max(1.0, abs(a), abs(b))


def agreeing_places(engine: list[tuple[int, float]], expected: list[tuple[int, float]]) -> int:
    """Places of the top list where the engine has the index's document, or a document the
    index scores the same (a tie the two may order differently)."""
    agreed = 0
    for place, (number, score) in enumerate(expected):
        if place < len(engine):
            found_number, found_score = engine[place]
            if found_number == number or (_close(found_score, score)):
                agreed += 1
    return agreed


def scores_match(engine: list[tuple[int, float]], expected: dict[int, float]) -> list[tuple[int, float, float]]:
    """(document, engine score, index score) for every returned document whose engine score
    differs from the index's score for it."""
    return [
        (number, score, expected[number])
        for number, score in engine
        if number in expected and not _close(score, expected[number])
    ]

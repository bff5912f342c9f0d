"""The stretches of text that the segmenter's HMM stage gets to label.

The segmenter first takes the most probable route through the dictionary, then hands every
run of one-rune pieces to the HMM. So the HMM never sees a rune inside a dictionary word of
two or more runes: what it must learn is how the runes *left over by the dictionary* group,
and there most runes are words on their own (很, 大, 这, 一 before a measure word). These
helpers find those runs in gold sentences and cut the gold words to them, giving training
examples of exactly what the model labels at run time.

The dictionary route is taken from pylumotext itself (no second implementation to drift):
a model that labels every rune S turns the HMM stage into the identity, so ``cut`` returns
the dictionary route.
"""

from __future__ import annotations

import os
import tempfile
from typing import Iterable, Sequence

import hmm

# Runes at which the segmenter splits a text before any route is taken (besides white space).
SEPARATORS = "\uff0c\u3002"


def write_identity_model(runes: Iterable[str], path: str) -> None:
    """An HMM that labels every listed rune S, whatever comes before or after it."""
    never = -1000.0
    keys = sorted({r for r in runes if hmm.is_writable_key(r) and r not in hmm.FORBIDDEN_KEYS})
    model = hmm.HmmModel(
        start=[never, never, never, 0.0],
        trans=[[never, never, never, 0.0] for _ in range(4)],
        emit=[{keys[0]: never}, {keys[0]: never}, {keys[0]: never}, {r: 0.0 for r in keys}],
    )
    hmm.write_model(model, path)


def dictionary_route(dict_path: str, texts: Sequence[str]) -> list[list[str]]:
    """The dictionary route of every text (the words ``cut`` gives without the HMM stage)."""
    import pylumotext

    runes = {ch for t in texts for ch in t}
    with tempfile.TemporaryDirectory() as tmp:
        model = os.path.join(tmp, "identity_hmm.txt")
        write_identity_model(runes | {"\u4e00"}, model)
        empty = os.path.join(tmp, "empty.txt")
        open(empty, "w").close()
        jieba = pylumotext.Jieba(dict_path, model, empty, empty, empty)
        return [list(jieba.cut(t)) for t in texts]


def _spans(words: Iterable[str]) -> list[tuple[int, int]]:
    spans, pos = [], 0
    for w in words:
        n = sum(1 for ch in w if not ch.isspace())
        if n:
            spans.append((pos, pos + n))
            pos += n
    return spans


def heldout_runs(gold: Sequence, build_dict_file, folds: int = 2) -> list[list[str]]:
    """HMM runs of every gold sentence under a dictionary built without that sentence.

    A dictionary built from all gold sentences holds every gold word, so their own runs are
    nearly all one-rune words; text the dictionary was not built from leaves unknown words
    in the runs too, and the model has to learn both. ``build_dict_file(sentences, path)``
    writes a dictionary built from the given sentences; each fold is routed by the
    dictionary of the other folds."""
    runs: list[list[str]] = []
    with tempfile.TemporaryDirectory() as tmp:
        for k in range(folds):
            held = gold[k::folds]
            rest = [s for i, s in enumerate(gold) if i % folds != k]
            path = os.path.join(tmp, f"fold{k}.txt")
            build_dict_file(rest, path)
            routes = dictionary_route(path, [s.text for s in held])
            for s, words in zip(held, routes):
                runs.extend(hmm_runs(s.forms, words))
    return runs


def hmm_runs(gold_forms: Sequence[str], route_words: Sequence[str]) -> list[list[str]]:
    """The runs of one-rune non-ASCII route pieces (two or more runes long), each given as
    the gold words cut at the run's edges: the labelling the HMM should produce there.
    A sentence whose route does not give back its gold text yields nothing."""
    text = "".join(ch for w in gold_forms for ch in w if not ch.isspace())
    if "".join(ch for w in route_words for ch in w if not ch.isspace()) != text:
        return []
    gold_bounds = {p for span in _spans(gold_forms) for p in span}
    runs, current = [], []
    for a, b in _spans(route_words) + [(len(text), len(text))]:
        if b - a == 1 and ord(text[a]) >= 0x80 and text[a] not in SEPARATORS:
            current.append(a)
            continue
        if len(current) >= 2:
            runs.append((current[0], current[-1] + 1))
        current = []
    result = []
    for lo, hi in runs:
        words, start = [], lo
        for p in range(lo + 1, hi + 1):
            if p == hi or p in gold_bounds:
                words.append(text[start:p])
                start = p
        result.append(words)
    return result

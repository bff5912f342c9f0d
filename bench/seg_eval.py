"""Word segmentation quality of ``Jieba.cut`` against gold-segmented CoNLL-U sentences.

Words are compared as character spans over the sentence with white space removed, so a
space the segmenter returns as a word of its own (or one inside the raw text) never shifts
the alignment. The gold FORMs are the reference. Precision = correct / predicted words,
recall = correct / gold words.

Usage (after ``make install``):

    .venv/bin/python bench/seg_eval.py                 # default data, gold test split
    .venv/bin/python bench/seg_eval.py --split dev     # the split the data was built from
    .venv/bin/python bench/seg_eval.py --data-dir DIR  # another set of the five files
    .venv/bin/python bench/seg_eval.py --coverage      # also HMM rune coverage of the bench text

The test split is for measurement only: nothing in the data build reads it.
"""

from __future__ import annotations

import argparse
import collections
import dataclasses
import os
import sys
from typing import Callable, Iterable, Sequence

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))

import conllu  # noqa: E402
import corpora  # noqa: E402

CORPORA = corpora.corpora_dir()
GOLD_DIR = os.path.join(CORPORA, "ud-zh-gsdsimp")
BENCH_TEXT = os.path.join(CORPORA, "zh-text", "bench-zh.txt")


@dataclasses.dataclass
class Score:
    gold: int = 0
    predicted: int = 0
    correct: int = 0
    sentences: int = 0
    untiled: int = 0  # sentences whose words did not give back the text
    crossing: int = 0  # predicted words that start or end inside a gold word

    def add(self, other: "Score") -> None:
        for f in dataclasses.fields(self):
            setattr(self, f.name, getattr(self, f.name) + getattr(other, f.name))

    @property
    def precision(self) -> float:
        return self.correct / self.predicted if self.predicted else 0.0

    @property
    def recall(self) -> float:
        return self.correct / self.gold if self.gold else 0.0

    @property
    def crossing_rate(self) -> float:
        """Share of predicted words that cut through a gold word: worse than a merge of
        whole gold words, since the pieces are no words at all."""
        return self.crossing / self.predicted if self.predicted else 0.0

    @property
    def f1(self) -> float:
        p, r = self.precision, self.recall
        return 2 * p * r / (p + r) if p + r else 0.0


def word_spans(words: Iterable[str]) -> list[tuple[int, int]]:
    """Spans of the words over their concatenation with all white space removed; words
    that are only white space have no span."""
    spans, pos = [], 0
    for word in words:
        n = sum(1 for ch in word if not ch.isspace())
        if n:
            spans.append((pos, pos + n))
            pos += n
    return spans


def score_sentence(gold_forms: Sequence[str], predicted: Sequence[str]) -> Score:
    gold = word_spans(gold_forms)
    pred = word_spans(predicted)
    strip = lambda ws: "".join(ch for w in ws for ch in w if not ch.isspace())  # noqa: E731
    untiled = int(strip(gold_forms) != strip(predicted))
    if untiled:
        return Score(len(gold), len(pred), 0, 1, 1, len(pred))
    bounds = {p for span in gold for p in span}
    crossing = sum(1 for a, b in pred if a not in bounds or b not in bounds)
    return Score(len(gold), len(pred), len(set(gold) & set(pred)), 1, 0, crossing)


def evaluate(sentences: Iterable[conllu.Sentence], cut: Callable[[str], list[str]]) -> Score:
    total = Score()
    for s in sentences:
        total.add(score_sentence(s.forms, cut(s.text)))
    return total


def hmm_coverage(hmm_path: str, text_path: str) -> dict:
    """Which non-ASCII runes of a text have an emission entry in at least one state."""
    import hmm as hmm_tools

    with open(hmm_path, encoding="utf-8") as f:
        model = hmm_tools.parse_model(f)
    known = set().union(*model.emit)
    counts: collections.Counter = collections.Counter()
    with open(text_path, encoding="utf-8") as f:
        for line in f:
            counts.update(ch for ch in line if ord(ch) >= 0x80 and ch not in "，。")
    missing = {ch: n for ch, n in counts.items() if ch not in known}
    return {
        "distinct": len(counts),
        "distinct_covered": len(counts) - len(missing),
        "occurrences": sum(counts.values()),
        "occurrences_covered": sum(counts.values()) - sum(missing.values()),
        "missing": sorted(missing.items(), key=lambda kv: (-kv[1], kv[0])),
    }


def data_paths(data_dir: str | None) -> dict:
    if data_dir is None:
        import lumotext

        return lumotext.default_paths()
    from lumotext._data import data_paths as lumotext_data_paths

    return lumotext_data_paths(data_dir)


def main(argv: Sequence[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--split", choices=("test", "dev"), default="test")
    ap.add_argument(
        "--data-dir", help="directory with dict.txt, hmm_model.txt, ... (default: the installed default data)"
    )
    ap.add_argument("--coverage", action="store_true", help="report HMM emission coverage of the benchmark text")
    args = ap.parse_args(argv)

    import pylumotext

    paths = data_paths(args.data_dir)
    jieba = pylumotext.Jieba(**paths)
    gold = conllu.read_conllu(os.path.join(GOLD_DIR, f"zh_gsdsimp-ud-{args.split}.conllu"))
    s = evaluate(gold, jieba.cut)
    print(
        f"split={args.split} sentences={s.sentences} gold_words={s.gold} "
        f"predicted={s.predicted} correct={s.correct} untiled={s.untiled}"
    )
    print(
        f"P={s.precision:.4f} R={s.recall:.4f} F1={s.f1:.4f} "
        f"crossing={s.crossing} ({s.crossing_rate:.4f} of predicted words)"
    )
    if args.coverage:
        cov = hmm_coverage(paths["hmm_path"], BENCH_TEXT)
        print(
            f"bench runes (non-ASCII) covered: {cov['distinct_covered']}/{cov['distinct']} "
            f"distinct, {cov['occurrences_covered']}/{cov['occurrences']} occurrences"
        )
        if cov["missing"]:
            print("missing:", " ".join(f"U+{ord(ch):04X}x{n}" for ch, n in cov["missing"][:30]))
    return 0


if __name__ == "__main__":
    sys.exit(main())

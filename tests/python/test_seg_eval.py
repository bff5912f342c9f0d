"""Span scoring of the segmentation benchmark."""

import os
import sys

import pytest
from shared_data import SHARED_MISSING

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "bench"))

try:
    import seg_eval
except FileNotFoundError:  # the scorer locates the shared corpora when imported
    pytest.skip(SHARED_MISSING, allow_module_level=True)


@pytest.mark.parametrize(
    "words, spans",
    [
        (["我们", "在", "北京"], [(0, 2), (2, 3), (3, 5)]),
        (["Game", " ", "Informer", "说"], [(0, 4), (4, 12), (12, 13)]),  # space word: no span
        (["a b", "c"], [(0, 2), (2, 3)]),  # space inside a word
        (["\t", "\n"], []),
        ([], []),
    ],
)
def test_word_spans_ignore_white_space(words, spans):
    assert seg_eval.word_spans(words) == spans


@pytest.mark.parametrize(
    "gold, pred, expected",
    [
        # gold, predicted, (gold, predicted, correct, untiled, crossing)
        (["我们", "在", "北京"], ["我们", "在", "北京"], (3, 3, 3, 0, 0)),
        (["我们", "在", "北京"], ["我", "们在", "北京"], (3, 3, 1, 0, 2)),
        (["北京", "大学"], ["北京大学"], (2, 1, 0, 0, 0)),  # a merge crosses nothing
        (["图书", "馆"], ["图", "书馆"], (2, 2, 0, 0, 2)),
        (["New", "York"], ["New", " ", "York"], (2, 2, 2, 0, 0)),
        (["北京"], ["北", "京", "市"], (1, 3, 0, 1, 3)),  # words that do not give back the text
    ],
)
def test_sentence_score(gold, pred, expected):
    s = seg_eval.score_sentence(gold, pred)
    assert (s.gold, s.predicted, s.correct, s.untiled, s.crossing) == expected


def test_precision_recall_f1_over_sentences():
    class S:
        def __init__(self, forms):
            self.forms, self.text = forms, "".join(forms)

    sents = [S(["我们", "在", "北京"]), S(["北京", "大学"])]
    cuts = {"我们在北京": ["我们", "在", "北", "京"], "北京大学": ["北京大学"]}
    total = seg_eval.evaluate(sents, cuts.__getitem__)
    assert (total.gold, total.predicted, total.correct) == (5, 5, 2)
    assert total.precision == pytest.approx(0.4) and total.recall == pytest.approx(0.4)
    assert total.f1 == pytest.approx(0.4)
    assert seg_eval.Score().f1 == 0.0

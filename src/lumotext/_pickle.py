"""Pickling of ``pylumotext.BM25``, registered with :mod:`copyreg` when :mod:`lumotext` is
imported, so that models travel to worker processes (multiprocessing, Dask, Spark, Ray).

A model pickles as its model document (the text ``BM25.dump`` writes) plus its exact ``b`` and
``k1``, which the document keeps to six decimals only. The unpickled model is the one
``load_model`` makes of that document, with ``b`` and ``k1`` as they were.
"""

from __future__ import annotations

import copyreg
from collections.abc import Callable

from pylumotext import BM25

from lumotext.models import load_model, model_text


def restore_bm25(document: str, b: float, k1: float) -> BM25:
    model = load_model(document)
    model.b(b)
    model.k1(k1)
    return model


def _reduce_bm25(model: BM25) -> tuple[Callable[[str, float, float], BM25], tuple[str, float, float]]:
    return restore_bm25, (model_text(model), model.b(), model.k1())


def register() -> None:
    copyreg.pickle(BM25, _reduce_bm25)

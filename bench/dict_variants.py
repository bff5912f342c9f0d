"""F1 of dictionary and model variants, to choose the default data build.

    .venv/bin/python bench/dict_variants.py [--essay essay.txt] [--test]

Each variant is built with the same code as ``make data`` and cut by pylumotext.Jieba.
The choice is made on the dev split alone, by two-fold cross-validation: the dictionary
and the model are built from one half of the dev sentences (plus rime-essay) and scored on
the other half, then the halves swap. ``--test`` adds the score on the gold test split of
the variant built from the whole dev split: for the record only, never for choosing.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
sys.path.insert(0, os.path.join(ROOT, "bench"))

import build_dict  # noqa: E402
import conllu  # noqa: E402
import essay  # noqa: E402
import hmm  # noqa: E402
import make_data  # noqa: E402
import route  # noqa: E402
import seg_eval  # noqa: E402

D = build_dict.DictConfig
H = hmm.HmmConfig
NONE = dict(
    zero_count="floor",
    max_len=None,
    min_pmi=None,
    min_pmi_two=None,
    min_freedom=None,
    prune_gold_split=False,
    split_affixes=False,
    split_measures=False,
)
# The default before the rules that fix whole classes of cuts (numbers, names, measure
# phrases, free runes); its variants keep the rows of the earlier comparison reproducible.
PREVIOUS = D(classifiers=False, keep_places=False, drop_digit_codes=False)
HPREV = H(fullwidth=False, zero_years=False, free_share=None)
DEFAULT, HDEFAULT = D(), H()


def step(**change) -> D:
    return dataclasses.replace(PREVIOUS, **{**NONE, **change})


def vary(**change) -> D:
    return dataclasses.replace(PREVIOUS, **change)


def hvary(**change) -> H:
    return dataclasses.replace(HPREV, **change)


VARIANTS = [
    ("all essay entries, zero counts floored to 1", step(), HPREV),
    ("zero counts dropped", step(zero_count="drop"), HPREV),
    ("+ entries the gold dev split splits dropped", step(zero_count="drop", prune_gold_split=True), HPREV),
    ("+ entries longer than 3 runes dropped", step(zero_count="drop", prune_gold_split=True, max_len=3), HPREV),
    (
        "+ phrases dropped (one PMI threshold, 7)",
        step(zero_count="drop", prune_gold_split=True, max_len=3, min_pmi=7.0),
        HPREV,
    ),
    (
        "phrases dropped by PMI 12 (3+ runes) / 5 (2 runes), cap 8 instead of 3",
        step(zero_count="drop", prune_gold_split=True, max_len=8, min_pmi=12.0, min_pmi_two=5.0),
        HPREV,
    ),
    (
        "+ affix and measure-word rules",
        step(
            zero_count="drop",
            prune_gold_split=True,
            max_len=8,
            min_pmi=12.0,
            min_pmi_two=5.0,
            split_affixes=True,
            split_measures=True,
        ),
        HPREV,
    ),
    ("+ phrase pruning spares entries whose split leaves a bound rune = previous default", PREVIOUS, HPREV),
    ("previous default, bound-rune limit 0.1", vary(min_freedom=0.1), HPREV),
    ("previous default, zero counts floored to 1", vary(zero_count="floor"), HPREV),
    ("previous default, cap 3", vary(max_len=3), HPREV),
    ("previous default, cap 4", vary(max_len=4), HPREV),
    ("previous default, no length cap", vary(max_len=None), HPREV),
    ("previous default, PMI 10 / 5", vary(min_pmi=10.0), HPREV),
    ("previous default, PMI 12 / 4", vary(min_pmi_two=4.0), HPREV),
    ("previous default, PMI 16 / 5", vary(min_pmi=16.0), HPREV),
    ("previous default, no PMI pruning", vary(min_pmi=None, min_pmi_two=None), HPREV),
    ("previous default, gold words with ASCII kept", vary(gold_ascii=True), HPREV),
    ("previous default, HMM from dictionary statistics only", PREVIOUS, hvary(gold_share=0.0)),
    ("previous default, HMM from gold statistics only", PREVIOUS, hvary(gold_share=1.0)),
    ("previous default, HMM gold share 0.5", PREVIOUS, hvary(gold_share=0.5)),
    ("previous default, HMM dictionary runes weighted by log(1 + frequency)", PREVIOUS, hvary(dict_weight="log")),
    # The rules for whole classes of cuts, one at a time on the previous default.
    (
        "previous default + full-width and zero-sign examples, digit-code entries dropped",
        vary(drop_digit_codes=True),
        hvary(fullwidth=True, zero_years=True),
    ),
    ("previous default + classifier list", vary(classifiers=True), HPREV),
    ("previous default + place names spared", vary(keep_places=True), HPREV),
    ("previous default + gold-split rule needs 2 votes", vary(min_split_votes=2), HPREV),
    ("previous default + HMM free-rune odds (share 0.5)", PREVIOUS, hvary(free_share=0.5)),
    ("previous default + HMM from held-out route runs (share 0.05)", PREVIOUS, hvary(run_share=0.05)),
    ("previous default + HMM from held-out route runs (share 0.25)", PREVIOUS, hvary(run_share=0.25)),
    ("previous default + HMM from held-out route runs (share 0.5)", PREVIOUS, hvary(run_share=0.5)),
    ("previous default + HMM from held-out route runs (share 1)", PREVIOUS, hvary(run_share=1.0)),
    (
        "previous default + HMM runs (share 0.25), gold transitions",
        PREVIOUS,
        hvary(run_share=0.25, run_transitions=False),
    ),
    ("all but votes and runs = **default**", DEFAULT, HDEFAULT),
    ("default, free-rune share 0.6", DEFAULT, dataclasses.replace(HDEFAULT, free_share=0.6)),
    ("default, free-rune share 0.8", DEFAULT, dataclasses.replace(HDEFAULT, free_share=0.8)),
    ("default, free runes need 10 gold uses", DEFAULT, dataclasses.replace(HDEFAULT, free_min_uses=10)),
]


def build(tmp: str, counts, gold, dconf, hconf) -> dict:
    protected = build_dict.protected_words(dconf)
    entries = build_dict.build_entries(counts, gold, dconf, None, protected)
    paths = seg_eval.data_paths(tmp)
    build_dict.write_dict(entries, paths["dict_path"])
    runs = []
    if hconf.run_share > 0:

        def dict_file(sentences, path):
            build_dict.write_dict(build_dict.build_entries(counts, sentences, dconf, None, protected), path)

        runs = route.heldout_runs(gold, dict_file)
    hmm.write_model(
        hmm.train([s.forms for s in gold], {w: f for w, (f, _) in entries.items()}, hconf, runs), paths["hmm_path"]
    )
    for key in ("user_dict_path", "idf_path", "stop_word_path"):
        open(paths[key], "w").close()
    return paths, len(entries)


def score(counts, train, held, dconf, hconf) -> tuple[seg_eval.Score, int]:
    import pylumotext

    with tempfile.TemporaryDirectory() as tmp:
        paths, n = build(tmp, counts, train, dconf, hconf)
        jieba = pylumotext.Jieba(**paths)
        return seg_eval.evaluate(held, jieba.cut), n


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--essay", help="essay.txt (default: fetch the pinned package)")
    ap.add_argument("--test", action="store_true", help="also score on the gold test split")
    ap.add_argument("--only", help="run only the variants whose label holds this text")
    args = ap.parse_args(argv)

    with tempfile.TemporaryDirectory() as tmp:
        counts = essay.load_essay(args.essay or make_data.fetch_essay(tmp), make_data.t2s_converter())
    dev = conllu.read_conllu(os.path.join(seg_eval.GOLD_DIR, "zh_gsdsimp-ud-dev.conllu"))
    test = conllu.read_conllu(os.path.join(seg_eval.GOLD_DIR, "zh_gsdsimp-ud-test.conllu")) if args.test else None
    folds = [(dev[0::2], dev[1::2]), (dev[1::2], dev[0::2])]

    head = "| variant | entries | dev CV P | dev CV R | dev CV F1 | dev CV crossing |" + (" test F1 |" if test else "")
    print(head)
    print("|" + "---|" * (head.count("|") - 1))
    for label, dconf, hconf in VARIANTS:
        if args.only and args.only not in label:
            continue
        t = time.monotonic()
        cv = seg_eval.Score()
        for train, held in folds:
            s, _ = score(counts, train, held, dconf, hconf)
            cv.add(s)
        row = f"| {label} | "
        if test:
            s, n = score(counts, dev, test, dconf, hconf)
            row += f"{n} | {cv.precision:.4f} | {cv.recall:.4f} | {cv.f1:.4f} | {cv.crossing_rate:.4f} | {s.f1:.4f} |"
        else:
            n = len(build_dict.build_entries(counts, dev, dconf, None, build_dict.protected_words(dconf)))
            row += f"{n} | {cv.precision:.4f} | {cv.recall:.4f} | {cv.f1:.4f} | {cv.crossing_rate:.4f} |"
        print(row, f"<!-- {time.monotonic() - t:.0f} s -->", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

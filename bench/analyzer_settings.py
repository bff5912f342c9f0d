"""nDCG@10 of lumotext.Index under analyzer and scoring settings, on every collection that
bench/retrieval_quality.py builds (see its docstring; CMRC's Traditional form needs OpenCC).

    python bench/analyzer_settings.py rules    # the first term rules (indexes of earlier
                                               # releases) against the current ones, bigram
                                               # weight 0.5 and 0
    python bench/analyzer_settings.py grid     # k1 x b x bigram weight, and the stop list

Each document set is analyzed once per stop-list setting: k1 and b are changed by re-merging the
built index (``merge`` takes them), and the bigram weight only weighs the query's bigrams, so
every setting with a weight reuses the same documents. ``grid`` ends with a paired bootstrap of
the best mean setting against the defaults (one-sided: the chance it is not better).
"""

from __future__ import annotations

import argparse
import collections
import itertools
import os
import sys
from typing import Any

import harness
import ir_metrics
import numpy as np
import retrieval_quality as rq

FIRST_RELEASE_SETTINGS = ("stop_words", "mode", "fold_traditional", "hmm", "bigram_weight")
K1 = (0.6, 0.8, 1.0, 1.2, 1.5)
B = (0.5, 0.6, 0.75, 0.9)
WEIGHTS = (0.0, 0.3, 0.5, 0.7, 1.0)


def collections_to_measure(jieba: Any, stop_words: set[str]) -> list[rq.Collection]:
    base = rq.cmrc(None)
    cols = [base]
    try:
        cols.append(rq.traditional(base))
    except ImportError:
        print("cmrc2018-trad left out: OpenCC is not installed", file=sys.stderr)
    cols.append(rq.cmrc_sentences(base))
    lines = harness.bench_lines()
    cols += list(rq.known_item(lines, 2000, jieba.cut, stop_words))
    cols.append(rq.known_item_spellings(lines, 1000, jieba.cut, stop_words))
    return cols


def per_query_ndcg(c: rq.Collection, hits: list[list[tuple[int, float]]]) -> np.ndarray:
    return np.array(
        [
            ir_metrics.ndcg_at([c.doc_ids[d] for d, _ in h], c.qrels.get(c.query_ids[i], {}), 10)
            for i, h in enumerate(hits)
        ]
    )


def table(rows: dict[str, dict[str, np.ndarray]], names: list[str]) -> None:
    print("| setting | " + " | ".join(names) + " | mean |")
    print("|---|" + "---|" * (len(names) + 1))
    for label, by_name in rows.items():
        values = [by_name[n].mean() for n in names]
        print(f"| {label} | " + " | ".join(f"{v:.4f}" for v in values) + f" | {np.mean(values):.4f} |")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("what", choices=("rules", "grid"))
    args = parser.parse_args()

    import lumotext
    from lumotext import Analyzer, Index, _native
    from lumotext.index import DEFAULTS

    with open(lumotext.default_paths()["stop_word_path"], encoding="utf-8") as f:
        stop_words = {line.strip() for line in f if line.strip()}
    cols = collections_to_measure(lumotext.shared_jieba(), stop_words)
    names = [c.name for c in cols]
    groups: dict[str, list[rq.Collection]] = collections.defaultdict(list)
    for c in cols:
        groups[c.docs_key].append(c)
    print(f"load average before: {os.getloadavg()}", flush=True)
    rows: dict[str, dict[str, np.ndarray]] = collections.defaultdict(dict)

    if args.what == "rules":
        for weight in (0.5, 0.0):
            for rules in (1, _native.TERM_RULES):
                settings = Analyzer(bigram_weight=weight).settings
                if rules == 1:  # as an earlier release saved them
                    settings = {key: settings[key] for key in FIRST_RELEASE_SETTINGS}
                label = f"term rules {rules}, bigram weight {weight}"
                for group in groups.values():
                    index = Index(Analyzer.from_settings(settings))
                    index.add(group[0].docs)
                    for c in group:
                        rows[label][c.name] = per_query_ndcg(c, index.search_many(c.queries, k=10))
                print(f"{label} done", flush=True)
        print(f"load average after: {os.getloadavg()}")
        table(rows, names)
        return 0

    default = (DEFAULTS["stop_words"], DEFAULTS["k1"], DEFAULTS["b"], DEFAULTS["bigram_weight"])
    for stop in ("default", None):
        settings = (
            itertools.product(K1, B, WEIGHTS) if stop == "default" else [(default[1], default[2], w) for w in WEIGHTS]
        )
        settings = list(settings)
        for group in groups.values():
            built = Index(Analyzer(stop_words=stop, bigram_weight=0.5))
            built.add(group[0].docs)
            for k1, b, weight in settings:
                index = Index._wrap(
                    _native.Index.merge([built._native], k1, b), Analyzer(stop_words=stop, bigram_weight=weight)
                )
                for c in group:
                    rows[str((stop, k1, b, weight))][c.name] = per_query_ndcg(c, index.search_many(c.queries, k=10))
        print(f"stop words {stop} done", flush=True)
    print(f"load average after: {os.getloadavg()}")
    mean = {label: np.mean([by_name[n].mean() for n in names]) for label, by_name in rows.items()}
    ranked = sorted(rows, key=lambda label: -mean[label])
    shown = ranked[:10] + [str(default)] + [label for label in rows if label.startswith("(None")]
    print("settings as (stop words, k1, b, bigram weight); the ten best means, the defaults, no stop list:")
    table({label: rows[label] for label in dict.fromkeys(shown)}, names)
    rng = np.random.default_rng(1)
    best = ranked[0]
    print(f"\nbest mean {best} against the defaults {default}: difference, p(not better)")
    for n in names:
        diff = rows[best][n] - rows[str(default)][n]
        samples = diff[rng.integers(0, len(diff), size=(2000, len(diff)))].mean(axis=1)
        print(f"  {n}: {diff.mean():+.4f} p={(samples <= 0).mean():.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Quality of analyzer settings of lumotext.Index on the CMRC 2018 retrieval set and its
Traditional-script variant (texts converted with OpenCC's s2t when the opencc package is
installed): nDCG@10, MRR@10 and Recall@100 per setting. Used to choose the defaults.

    python bench/index_defaults.py [--corpus DIR]
"""

from __future__ import annotations

import argparse
import json
import math
import sys
import time
from pathlib import Path

from lumotext import Analyzer, Index


def load_collection(directory: Path) -> tuple[list[str], list[str], list[str], list[str]]:
    docs = [json.loads(line) for line in (directory / "corpus.jsonl").open(encoding="utf-8")]
    queries = [json.loads(line) for line in (directory / "queries.jsonl").open(encoding="utf-8")]
    relevant = {}
    for line in (directory / "qrels.tsv").open(encoding="utf-8"):
        query_id, doc_id, _ = line.rstrip("\n").split("\t")
        relevant[query_id] = doc_id
    ids = [d["id"] for d in docs]
    return [d["text"] for d in docs], ids, [q["text"] for q in queries], [relevant[q["id"]] for q in queries]


def evaluate(index: Index, ids: list[str], queries: list[str], relevant: list[str]) -> dict[str, float]:
    results = index.search_many(queries, k=100)
    ndcg = mrr = recall = 0.0
    for hits, want in zip(results, relevant):
        ranked = [ids[doc] for doc, _ in hits]
        if want in ranked:
            rank = ranked.index(want) + 1
            recall += 1
            if rank <= 10:
                ndcg += 1 / math.log2(rank + 1)
                mrr += 1 / rank
    n = len(queries)
    return {"ndcg@10": ndcg / n, "mrr@10": mrr / n, "recall@100": recall / n}


SETTINGS = {
    "default cut, bundled stop words": {},
    "default cut, no stop words": {"stop_words": None},
    "search cut, bundled stop words": {"mode": "search"},
    "search cut, no stop words": {"mode": "search", "stop_words": None},
    "default cut, no HMM": {"hmm": False},
    "default cut, stop words, bigrams 0.3": {"bigram_weight": 0.3},
    "default cut, stop words, bigrams 0.5": {"bigram_weight": 0.5},
    "default cut, stop words, bigrams 1.0": {"bigram_weight": 1.0},
    "search cut, stop words, bigrams 0.5": {"mode": "search", "bigram_weight": 0.5},
}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--corpus", type=Path, default=Path(__file__).resolve().parents[3] / "shared/corpora/retrieval-cmrc2018")
    parser.add_argument("--traditional", action="store_true", help="also the s2t variant (needs opencc)")
    args = parser.parse_args()
    texts, ids, queries, relevant = load_collection(args.corpus)
    variants = {"simplified": (texts, queries)}
    if args.traditional:
        import opencc

        convert = opencc.OpenCC("s2t").convert
        variants["traditional"] = ([convert(t) for t in texts], [convert(q) for q in queries])
    for variant, (docs, qs) in variants.items():
        for name, settings in SETTINGS.items():
            t0 = time.perf_counter()
            index = Index(Analyzer(**settings))
            index.add(docs)
            scores = evaluate(index, ids, qs, relevant)
            print(json.dumps({"collection": variant, "setting": name, **{k: round(v, 4) for k, v in scores.items()},
                              "seconds": round(time.perf_counter() - t0, 2)}, ensure_ascii=False))
            sys.stdout.flush()


if __name__ == "__main__":
    main()

"""Quality of analyzer settings of lumotext.Index on the CMRC 2018 retrieval set and its
Traditional-script variant (texts converted with OpenCC's s2t when the opencc package is
installed): nDCG@10, MRR@10 and Recall@100 per setting. Used to choose the defaults.

    python bench/index_defaults.py [--corpus DIR]
"""

from __future__ import annotations

import argparse
import json
import re
import sys
import time
from pathlib import Path

import harness
import ir_metrics

from lumotext import Analyzer, Index


def load_collection(directory: Path) -> tuple[list[str], list[str], list[str], list[set[str]]]:
    docs = [json.loads(line) for line in (directory / "corpus.jsonl").open(encoding="utf-8")]
    queries = [json.loads(line) for line in (directory / "queries.jsonl").open(encoding="utf-8")]
    relevant: dict[str, set[str]] = {}
    for line in (directory / "qrels.tsv").open(encoding="utf-8"):
        query_id, doc_id, _ = line.rstrip("\n").split("\t")
        relevant.setdefault(query_id, set()).add(doc_id)
    ids = [d["id"] for d in docs]
    return [d["text"] for d in docs], ids, [q["text"] for q in queries], [relevant[q["id"]] for q in queries]


SENTENCE_END = re.compile(r"(?<=[。！？!?；;])")


def sentences_of(
    texts: list[str], ids: list[str], relevant: list[set[str]]
) -> tuple[list[str], list[str], list[set[str]]]:
    """The paragraphs' sentences as documents; every sentence of a relevant paragraph is relevant."""
    docs, doc_ids, of_paragraph = [], [], {}
    for pid, text in zip(ids, texts):
        pieces = [p for p in SENTENCE_END.split(text) if p.strip()]
        of_paragraph[pid] = [f"{pid}_{i}" for i in range(len(pieces))]
        docs.extend(pieces)
        doc_ids.extend(of_paragraph[pid])
    return docs, doc_ids, [{s for p in rel for s in of_paragraph[p]} for rel in relevant]


def evaluate(index: Index, ids: list[str], queries: list[str], relevant: list[set[str]]) -> dict[str, float]:
    results = index.search_many(queries, k=100)
    rankings = {str(i): [ids[doc] for doc, _ in hits] for i, hits in enumerate(results)}
    qrels = {str(i): dict.fromkeys(want, 1.0) for i, want in enumerate(relevant)}
    return ir_metrics.evaluate(rankings, qrels)


SETTINGS = {
    "words, bundled stop words": {"bigram_weight": 0},
    "words, no stop words": {"stop_words": None, "bigram_weight": 0},
    "search-cut words, bundled stop words": {"mode": "search", "bigram_weight": 0},
    "words, no Traditional folding": {"fold_traditional": False, "bigram_weight": 0},
    "words + bigrams 0.2": {"bigram_weight": 0.2},
    "words + bigrams 0.3": {"bigram_weight": 0.3},
    "words + bigrams 0.5": {"bigram_weight": 0.5},
    "words + bigrams 1.0": {"bigram_weight": 1.0},
    "words + bigrams 0.3, no stop words": {"bigram_weight": 0.3, "stop_words": None},
    "search-cut words + bigrams 0.3": {"mode": "search", "bigram_weight": 0.3},
}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument(
        "--corpus", type=Path, default=None, help="the collection's folder (default: shared/corpora/retrieval-cmrc2018)"
    )
    parser.add_argument("--traditional", action="store_true", help="also the s2t variant (needs opencc)")
    parser.add_argument("--only", help="run only the settings whose name contains this text")
    args = parser.parse_args()
    corpus = args.corpus or Path(harness.corpus_file("retrieval-cmrc2018", "corpus.jsonl")).parent
    texts, ids, queries, relevant = load_collection(corpus)
    variants = {"cmrc": (texts, ids, queries, relevant)}
    variants["cmrc-sentences"] = (
        *sentences_of(texts, ids, relevant)[:2],
        queries,
        sentences_of(texts, ids, relevant)[2],
    )
    if args.traditional:
        import opencc

        convert = opencc.OpenCC("s2t").convert
        variants["cmrc-traditional"] = ([convert(t) for t in texts], ids, [convert(q) for q in queries], relevant)
    for variant, (docs, ids, qs, relevant) in variants.items():
        for name, settings in SETTINGS.items():
            if args.only and args.only not in name:
                continue
            t0 = time.perf_counter()
            index = Index(Analyzer(**settings))
            index.add(docs)
            scores = evaluate(index, ids, qs, relevant)
            print(
                json.dumps(
                    {
                        "collection": variant,
                        "setting": name,
                        **{k: round(v, 4) for k, v in scores.items()},
                        "seconds": round(time.perf_counter() - t0, 2),
                    },
                    ensure_ascii=False,
                )
            )
            sys.stdout.flush()


if __name__ == "__main__":
    main()

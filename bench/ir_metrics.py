"""Ranking metrics of the retrieval benchmark: nDCG@k, MRR@k and Recall@k over judged queries.

Conventions (those of trec_eval and the BEIR tooling): gains are the judged grades (binary
here, 1 for relevant), the discount of rank r (1-based) is log2(r + 1), the ideal ranking sorts
the judged gains of the query; a query with no relevant document is left out of every mean.
"""

from __future__ import annotations

import math
from typing import Mapping, Sequence


def dcg(gains: Sequence[float]) -> float:
    return sum(g / math.log2(rank + 2) for rank, g in enumerate(gains) if g)


def ndcg_at(ranking: Sequence[str], relevant: Mapping[str, float], k: int) -> float:
    ideal = dcg(sorted((g for g in relevant.values() if g > 0), reverse=True)[:k])
    if ideal == 0:
        return 0.0
    return dcg([relevant.get(doc, 0.0) for doc in ranking[:k]]) / ideal


def reciprocal_rank_at(ranking: Sequence[str], relevant: Mapping[str, float], k: int) -> float:
    for rank, doc in enumerate(ranking[:k]):
        if relevant.get(doc, 0) > 0:
            return 1.0 / (rank + 1)
    return 0.0


def recall_at(ranking: Sequence[str], relevant: Mapping[str, float], k: int) -> float:
    wanted = {doc for doc, g in relevant.items() if g > 0}
    if not wanted:
        return 0.0
    return len(wanted.intersection(ranking[:k])) / len(wanted)


def evaluate(
    rankings: Mapping[str, Sequence[str]],
    qrels: Mapping[str, Mapping[str, float]],
    ndcg_k: int = 10,
    mrr_k: int = 10,
    recall_k: int = 100,
) -> dict[str, float]:
    """Means over the judged queries that have a relevant document; a judged query missing from
    `rankings` counts as an empty ranking (zero on every metric)."""
    judged = [q for q, rel in qrels.items() if any(g > 0 for g in rel.values())]
    if not judged:
        raise ValueError("no query has a relevant document")
    names = (f"ndcg@{ndcg_k}", f"mrr@{mrr_k}", f"recall@{recall_k}")
    totals = dict.fromkeys(names, 0.0)
    for q in judged:
        ranking = rankings.get(q, ())
        rel = qrels[q]
        totals[names[0]] += ndcg_at(ranking, rel, ndcg_k)
        totals[names[1]] += reciprocal_rank_at(ranking, rel, mrr_k)
        totals[names[2]] += recall_at(ranking, rel, recall_k)
    return {name: total / len(judged) for name, total in totals.items()}

"""BM25 indexing and query scoring: pylumotext against bm25s and rank-bm25 on the same token lists.

Two corpora, each indexed by every system in this one process:

- ``segmented``: the lines of the benchmark text cut by a default ``Jieba`` (white-space words
  dropped, empty lines skipped), when the module has ``Jieba`` and the default data;
- ``synthetic``: the Zipf-distributed string-token corpus of bench/bm25_bench.py.

Indexing is timed from token lists to a structure that answers queries:

- pylumotext: ``train`` on every document, then ``lumotext.sparse.encode_csr``
  (``encode_document`` of every document into a scipy CSR matrix, transposed to terms x
  documents); train and encode alone, vectors kept as dicts, are also reported;
- bm25s: ``BM25(k1, b).index(token lists)``;
- rank-bm25: ``BM25Okapi(token lists, k1, b)``.

A query is the first tokens of a randomly chosen document. Scoring one query, every system
gives the 10 best documents: pylumotext by ``encode_query`` and a sparse dot product with
scipy (query row times the term-document matrix) plus numpy's argpartition; bm25s by
``retrieve`` (all queries in one call, one thread); rank-bm25 by ``get_scores`` plus
argpartition on a subset of the queries (it scores every document in Python), scaled to
queries per second. The three use different BM25 variants, so scores differ; the work per
query (all matching documents scored, top 10 kept) is the same.

    python bench/bm25_peers.py [--docs 100000] [--queries 2000] [--repeat 3]
"""

from __future__ import annotations

import argparse
import gc
import math
import random
import statistics
import sys
import time

import harness
import numpy as np
import scipy.sparse as sp
from bm25_bench import make_corpus

from lumotext.sparse import encode_csr

TOP_K = 10


class LumoIndex:
    def __init__(self, docs: list[list[str]], k1: float, b: float) -> None:
        from pylumotext import BM25

        start = time.perf_counter()
        model = BM25(b, k1)
        for doc in docs:
            model.train(doc)
        docs_by_terms, vocab = encode_csr(model, docs)  # encode_document of each document
        self.matrix = docs_by_terms.T.tocsr()  # terms x documents
        self.index_time = time.perf_counter() - start
        self.model = model
        self.vocab = vocab

    def scores(self, query: list[str]) -> np.ndarray:
        weights = self.model.encode_query(query)
        get = self.vocab.get
        cols, vals = [], []
        for token, weight in weights.items():
            col = get(token)
            if col is not None:
                cols.append(col)
                vals.append(weight)
        row = sp.csr_matrix((vals, cols, [0, len(cols)]), shape=(1, len(self.vocab)))
        return (row @ self.matrix).toarray().ravel()

    def top(self, query: list[str]) -> np.ndarray:
        s = self.scores(query)
        best = np.argpartition(s, -TOP_K)[-TOP_K:]
        return best[np.argsort(-s[best])]


def lumo_vectors_time(docs: list[list[str]], k1: float, b: float) -> float:
    """train and encode_document alone, the vectors kept as dicts: the share of indexing before
    any matrix."""
    from pylumotext import BM25

    start = time.perf_counter()
    model = BM25(b, k1)
    for doc in docs:
        model.train(doc)
    vectors = [model.encode_document(doc) for doc in docs]
    elapsed = time.perf_counter() - start
    del vectors
    return elapsed


def lumo_check(index: LumoIndex, docs: list[list[str]], queries: list[list[str]]) -> None:
    """The sparse product must equal the dot product of the dicts themselves."""
    for q in queries[:5]:
        weights = index.model.encode_query(q)
        s = index.scores(q)
        for d in range(0, len(docs), max(1, len(docs) // 50)):
            vec = index.model.encode_document(docs[d])
            want = sum(w * vec[t] for t, w in weights.items() if t in vec)
            assert math.isclose(s[d], want, rel_tol=1e-9, abs_tol=1e-12), (q, d, s[d], want)


def top_of(scores: np.ndarray) -> np.ndarray:
    best = np.argpartition(scores, -TOP_K)[-TOP_K:]
    return best[np.argsort(-scores[best])]


def segmented_corpus(limit: int | None) -> tuple[list[list[str]], str] | tuple[None, str]:
    try:
        from pylumotext import Jieba

        import lumotext

        paths = lumotext.default_paths()
    except (ImportError, AttributeError, FileNotFoundError) as e:
        return None, f"segmented corpus skipped: no default Jieba ({e})"
    jieba = Jieba(**paths)
    docs = []
    for line in harness.bench_lines()[:limit]:
        tokens = [w for w in jieba.cut(line) if not w.isspace()]
        if tokens:
            docs.append(tokens)
    return docs, ""


def run_corpus(
    name: str, docs: list[list[str]], queries: list[list[str]], repeat: int, rank_queries: int, k1: float, b: float
) -> list[dict]:
    tokens = sum(map(len, docs))
    print(f"[{name}] {len(docs):,} documents, {tokens:,} tokens, {len(queries):,} queries", flush=True)
    rows = []

    # pylumotext
    index_runs, vector_runs = [], []
    for _ in range(repeat):
        gc.collect()
        index = LumoIndex(docs, k1, b)
        index_runs.append(index.index_time)
        index = None  # let the collector free it before the next run
        gc.collect()
        vector_runs.append(lumo_vectors_time(docs, k1, b))
    index = LumoIndex(docs, k1, b)
    lumo_check(index, docs, queries)
    t_index, t_vectors = statistics.median(index_runs), statistics.median(vector_runs)
    t_query, _ = harness.timed(lambda: [index.top(q) for q in queries], repeat)
    rows.append(
        {
            "corpus": name,
            "system": "pylumotext",
            "docs": len(docs),
            "tokens": tokens,
            "index_s": t_index,
            "vectors_s": t_vectors,
            "index_runs": index_runs,
            "docs_per_s": len(docs) / t_index,
            "vectors_docs_per_s": len(docs) / t_vectors,
            "queries": len(queries),
            "queries_per_s": len(queries) / t_query,
        }
    )
    index = None
    print(
        f"  pylumotext  index {len(docs) / t_index:10,.0f} docs/s ({t_index:.2f} s; train and encode "
        f"alone {t_vectors:.2f} s)  queries {len(queries) / t_query:8,.0f}/s",
        flush=True,
    )

    # bm25s
    try:
        import bm25s
    except ImportError as e:
        rows.append({"corpus": name, "system": "bm25s", "note": f"not installed ({e})"})
    else:

        def build_bm25s():
            r = bm25s.BM25(k1=k1, b=b)
            r.index(docs, show_progress=False)
            return r

        gc.collect()
        t_index, _ = harness.timed(build_bm25s, repeat)
        retriever = build_bm25s()
        t_query, _ = harness.timed(
            lambda: retriever.retrieve(queries, k=TOP_K, show_progress=False, n_threads=1), repeat
        )
        rows.append(
            {
                "corpus": name,
                "system": f"bm25s {harness.package_version('bm25s')}",
                "docs": len(docs),
                "tokens": tokens,
                "index_s": t_index,
                "docs_per_s": len(docs) / t_index,
                "queries": len(queries),
                "queries_per_s": len(queries) / t_query,
            }
        )
        del retriever
        print(
            f"  bm25s       index {len(docs) / t_index:10,.0f} docs/s  queries {len(queries) / t_query:8,.0f}/s",
            flush=True,
        )

    # rank-bm25
    try:
        import rank_bm25
    except ImportError as e:
        rows.append({"corpus": name, "system": "rank-bm25", "note": f"not installed ({e})"})
    else:
        gc.collect()
        t_index, _ = harness.timed(lambda: rank_bm25.BM25Okapi(docs, k1=k1, b=b), repeat)
        okapi = rank_bm25.BM25Okapi(docs, k1=k1, b=b)
        subset = queries[:rank_queries]
        t_query, _ = harness.timed(lambda: [top_of(okapi.get_scores(q)) for q in subset], 1)
        rows.append(
            {
                "corpus": name,
                "system": f"rank-bm25 {harness.package_version('rank-bm25')}",
                "docs": len(docs),
                "tokens": tokens,
                "index_s": t_index,
                "docs_per_s": len(docs) / t_index,
                "queries": len(subset),
                "queries_per_s": len(subset) / t_query,
            }
        )
        del okapi
        print(
            f"  rank-bm25   index {len(docs) / t_index:10,.0f} docs/s  queries {len(subset) / t_query:8,.1f}/s "
            f"({len(subset)} queries)",
            flush=True,
        )

    ours = rows[0]
    for row in rows[1:]:
        if "docs_per_s" in row:
            row["index_ratio"] = ours["docs_per_s"] / row["docs_per_s"]
            row["query_ratio"] = ours["queries_per_s"] / row["queries_per_s"]
    return rows


def make_queries(docs: list[list[str]], count: int, seed: int) -> list[list[str]]:
    rng = random.Random(seed)
    return [rng.choice(docs)[:5] for _ in range(count)]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--docs", type=int, default=100_000, help="synthetic corpus size")
    parser.add_argument("--mean-length", type=int, default=100)
    parser.add_argument("--vocabulary", type=int, default=200_000)
    parser.add_argument("--lines", type=int, default=None, help="use only the first LINES benchmark lines")
    parser.add_argument("--queries", type=int, default=2000)
    parser.add_argument("--rank-bm25-queries", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--no-write", action="store_true", help="print only, write no result files")
    args = parser.parse_args(argv)
    k1, b = 1.2, 0.75

    rows, notes = [], []
    segmented, note = segmented_corpus(args.lines)
    if note:
        notes.append(note)
        print(note, flush=True)
    synthetic = [[f"w{t}" for t in doc] for doc in make_corpus(args.docs, args.mean_length, args.vocabulary, args.seed)]
    # The inputs stay alive throughout; keep the collector from walking them again and again.
    gc.collect()
    gc.freeze()
    if segmented is not None:
        rows += run_corpus(
            "segmented",
            segmented,
            make_queries(segmented, args.queries, args.seed),
            args.repeat,
            args.rank_bm25_queries,
            k1,
            b,
        )
    rows += run_corpus(
        "synthetic",
        synthetic,
        make_queries(synthetic, args.queries, args.seed),
        args.repeat,
        args.rank_bm25_queries,
        k1,
        b,
    )

    notes += [
        f"Median of {args.repeat} runs; k1 = {k1}, b = {b} for every system; queries are the first 5 tokens "
        f"of random documents, top {TOP_K} kept; one thread.",
        "pylumotext indexing = train over all documents, then lumotext.sparse.encode_csr (encode_document "
        "of each document into a scipy CSR matrix), transposed to terms x documents; 'vectors only' is "
        "train + encode_document into dicts, without the matrix.",
        f"rank-bm25 queries: the first {args.rank_bm25_queries} queries only (it scores every document in "
        "Python), scaled to queries/s.",
        "Ratios: pylumotext throughput divided by the peer's (above 1: pylumotext is faster).",
        "The input lists are frozen out of the garbage collector's view (gc.freeze) for every system alike.",
    ]
    if not args.no_write:
        columns = [
            ("corpus", "corpus"),
            ("system", "system"),
            ("docs", "documents"),
            ("tokens", "tokens"),
            ("docs_per_s", "index docs/s"),
            ("vectors_docs_per_s", "vectors only docs/s"),
            ("index_ratio", "index ratio"),
            ("queries_per_s", "queries/s"),
            ("query_ratio", "query ratio"),
            ("note", "note"),
        ]
        harness.write_results(
            "bm25_peers",
            "BM25 indexing and querying against peers",
            [("", columns, rows)],
            notes,
            {"rows": rows},
            "make bench (bench/bm25_peers.py)",
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())

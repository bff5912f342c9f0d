"""Retrieval quality of analyzers and scorers: nDCG@10, MRR@10 and Recall@100 on judged Chinese
collections, for the default lumotext.Index, the cut + pylumotext.BM25 path, character n-grams,
bm25s on the same tokens, and a grid of analyzer settings.

    python bench/retrieval_quality.py [--quick] [--known-item-queries N] [--no-grid] [--reference-grid]
        [--collections NAME ...]

Collections (every one built deterministically from the shared corpora at run time):

* ``cmrc2018``: shared/corpora/retrieval-cmrc2018 as it is (1,104 Wikipedia paragraphs, 4,219
  questions, one relevant paragraph each). Questions were written while reading their paragraph,
  so scores sit near the ceiling.
* ``cmrc2018-trad``: the same, corpus and questions converted to Traditional script with
  OpenCC's ``s2t`` (cached under bench/.cache/, never committed). It measures what folding
  Traditional characters does for users whose text is Traditional.
* ``cmrc2018-sentences``: the same questions against the paragraphs' sentences (split after
  。！？!? and line ends, a sentence shorter than 8 characters joined to the one before); every
  sentence of the question's paragraph is relevant. Passages are ten times shorter and many
  relevant ones share no word with the question, so length normalisation and partial matches
  decide; MRR@10 reads as "a sentence of the right paragraph came first".
* ``known-item-words``: every line of shared/corpora/zh-text/bench-zh.txt is a document (57,975
  lines of technical prose: manual pages, help texts, message catalogues, full of near-repeats).
  Queries are lines of at least 20 Han characters (a seeded sample): the line's words (by
  pylumotext's cut) without punctuation and without the bundled stop words (function words a
  user would not type), 3 to 5 of them kept at random, in a shuffled order, joined without
  spaces (with one space between two ASCII words). The one relevant document is the source
  line. This imitates a user who remembers some words of a passage; since whole words of our
  own segmenter are kept, it leans towards word analyzers.
* ``known-item-spans``: the same documents and source lines, but the query is three character
  spans of 2-5 characters cut from the line's letters, digits and ideographs at random places,
  in a shuffled order (fragments pasted from a half-remembered text, function characters and
  all): spans begin and end inside words as often as not, so this one leans towards character
  n-grams. The two known-item sets together keep either kind of analyzer from
  being favoured by construction.
* ``ud-known-item``: the 1,000 Wikipedia sentences of shared/corpora/ud-zh-gsdsimp (dev and
  test) as documents; each sentence's query is 2 or 3 of its gold words (nouns, proper nouns,
  verbs, numbers; no punctuation), in a shuffled order. The words come from the treebank's
  own segmentation, not from ours, so this known-item set favours no analyzer by construction.
* ``known-item-spellings``: the same documents; lines with a run of letters then digits
  (``UTF-8``, ``VT100``, ``gdm3``) and at least 8 Han characters (a seeded sample of 1,000).
  The query is the run spelled another way (joined, split by a space or by a hyphen) beside
  two Han words of the line: whether version and model names match across their spellings.

The analyzer grid runs through lumotext.Index (its Analyzer options). With --reference-grid it
also runs a reference BM25 in numpy/scipy over the same lumotext.Analyzer terms, with the
index's formula: per document and term ``idf * tf * (k1 + 1) / (tf + k1 * (1 - b + b * len / avglen))``, idf
``log(1 + (N - df + 0.5) / (df + 0.5))``, k1=1.2, b=0.75, a query scoring the sum over its terms
(repeats counted). A second field of character bigrams (own statistics, own lengths) adds
``weight * its BM25 score``.
"""

from __future__ import annotations

import argparse
import collections
import json
import os
import random
import re
import sys
import time
from dataclasses import dataclass, field
from typing import Callable, Sequence

import harness
import ir_metrics
import numpy as np
import scipy.sparse as sp

K1, B = 1.2, 0.75
COLLECTIONS = (
    "cmrc2018",
    "cmrc2018-trad",
    "cmrc2018-sentences",
    "known-item-words",
    "known-item-spans",
    "known-item-spellings",
    "ud-known-item",
)
TOP_K = 100
SEED = 14
CACHE_DIR = os.path.join(harness.BENCH_DIR, ".cache")
HAN = "\u3400-\u4dbf\u4e00-\u9fff\uf900-\ufaff"
HAN_OR_OTHER = re.compile(f"[{HAN}]+|[^\\W_{HAN}]+")
SENTENCE_END = re.compile(r"(?<=[。！？!?\n])")
# The analyzer marks the terms of its character-bigram field with this first character.
BIGRAM_MARK = "\x01"


# --- collections -------------------------------------------------------------------------


@dataclass
class Collection:
    name: str
    doc_ids: list[str]
    docs: list[str]
    query_ids: list[str]
    queries: list[str]
    qrels: dict[str, dict[str, float]]
    about: str = ""
    # Documents shared with another collection reuse its analyses.
    docs_key: str = ""
    stats: dict = field(default_factory=dict)

    def __post_init__(self) -> None:
        self.docs_key = self.docs_key or self.name
        relevant = [len(r) for r in self.qrels.values()]
        self.stats = {
            "documents": len(self.docs),
            "queries": len(self.queries),
            "relevant_per_query": sum(relevant) / max(1, len(relevant)),
            "mean_document_chars": sum(map(len, self.docs)) / max(1, len(self.docs)),
            "mean_query_chars": sum(map(len, self.queries)) / max(1, len(self.queries)),
        }


def read_jsonl(path: str) -> list[dict]:
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def cmrc_files() -> tuple[list[dict], list[dict], dict[str, dict[str, float]]]:
    corpus = read_jsonl(harness.corpus_file("retrieval-cmrc2018", "corpus.jsonl"))
    queries = read_jsonl(harness.corpus_file("retrieval-cmrc2018", "queries.jsonl"))
    qrels: dict[str, dict[str, float]] = collections.defaultdict(dict)
    with open(harness.corpus_file("retrieval-cmrc2018", "qrels.tsv"), encoding="utf-8") as f:
        for line in f:
            q, d, grade = line.rstrip("\n").split("\t")
            if float(grade) > 0:
                qrels[q][d] = float(grade)
    return corpus, queries, dict(qrels)


def cmrc(limit_queries: int | None) -> Collection:
    corpus, queries, qrels = cmrc_files()
    queries = queries[:limit_queries] if limit_queries else queries
    return Collection(
        "cmrc2018",
        [d["id"] for d in corpus],
        [d["text"] for d in corpus],
        [q["id"] for q in queries],
        [q["text"] for q in queries],
        {q["id"]: qrels[q["id"]] for q in queries if q["id"] in qrels},
        "CMRC 2018 dev+trial paragraphs and questions",
    )


def traditional(base: Collection) -> Collection:
    """`base` with every text converted by OpenCC s2t, cached by OpenCC version."""
    import opencc

    version = harness.package_version("opencc") or "unknown"
    os.makedirs(CACHE_DIR, exist_ok=True)
    path = os.path.join(CACHE_DIR, f"cmrc2018-s2t-opencc-{version}.json")
    cached = {}
    if os.path.isfile(path):
        with open(path, encoding="utf-8") as f:
            cached = json.load(f)
    texts = base.docs + base.queries
    missing = [t for t in dict.fromkeys(texts) if t not in cached]
    if missing:
        convert = opencc.OpenCC("s2t").convert
        cached.update({t: convert(t) for t in missing})
        with open(path + ".tmp", "w", encoding="utf-8") as f:
            json.dump(cached, f, ensure_ascii=False)
        os.replace(path + ".tmp", path)
    return Collection(
        "cmrc2018-trad",
        base.doc_ids,
        [cached[t] for t in base.docs],
        base.query_ids,
        [cached[t] for t in base.queries],
        base.qrels,
        f"cmrc2018 converted to Traditional script by OpenCC {version} s2t",
    )


def split_sentences(paragraph: str, min_chars: int = 8) -> list[str]:
    sentences: list[str] = []
    for piece in SENTENCE_END.split(paragraph):
        if not piece.strip():
            continue
        if sentences and len(piece.strip()) < min_chars:
            sentences[-1] += piece
        else:
            sentences.append(piece)
    return sentences


def cmrc_sentences(base: Collection) -> Collection:
    doc_ids, docs, of_paragraph = [], [], collections.defaultdict(list)
    for pid, text in zip(base.doc_ids, base.docs):
        for i, sentence in enumerate(split_sentences(text)):
            sid = f"{pid}_s{i}"
            doc_ids.append(sid)
            docs.append(sentence)
            of_paragraph[pid].append(sid)
    qrels = {q: {s: 1.0 for pid in rel for s in of_paragraph[pid]} for q, rel in base.qrels.items()}
    return Collection(
        "cmrc2018-sentences",
        doc_ids,
        docs,
        base.query_ids,
        base.queries,
        qrels,
        "cmrc2018 questions against the paragraphs' sentences; all sentences of the question's paragraph relevant",
    )


def has_word_character(term: str) -> bool:
    return any(ch.isalnum() for ch in term)


def join_words(words: Sequence[str]) -> str:
    out = ""
    for w in words:
        if out and out[-1].isascii() and out[-1].isalnum() and w[0].isascii() and w[0].isalnum():
            out += " "
        out += w
    return out


def known_item(
    lines: list[str], count: int, cut: Callable[[str], list[str]], stop_words: set[str]
) -> tuple[Collection, Collection]:
    rng = random.Random(SEED)
    eligible = [i for i, line in enumerate(lines) if len(re.findall(f"[{HAN}]", line)) >= 20]
    chosen = sorted(rng.sample(eligible, min(count, len(eligible))))
    doc_ids = [f"l{i}" for i in range(len(lines))]
    word_queries, span_queries = [], []
    for i in chosen:
        words = [w for w in cut(lines[i]) if has_word_character(w) and w not in stop_words] or ["?"]
        keep = 3 + rng.randrange(3)
        picked = [words[j] for j in sorted(rng.sample(range(len(words)), min(keep, len(words))))]
        rng.shuffle(picked)
        word_queries.append(join_words(picked))
        letters = "".join(HAN_OR_OTHER.findall(lines[i]))
        spans = []
        for _ in range(3):
            size = rng.randint(2, 5)
            start = rng.randrange(0, max(1, len(letters) - size))
            spans.append(letters[start : start + size])
        rng.shuffle(spans)
        span_queries.append(join_words(spans))
    qids = [f"q{i}" for i in chosen]
    qrels = {f"q{i}": {f"l{i}": 1.0} for i in chosen}
    words = Collection(
        "known-item-words",
        doc_ids,
        lines,
        qids,
        word_queries,
        qrels,
        "bench-zh lines; queries = 3-5 of a line's words (no stop words), shuffled",
        docs_key="bench-zh",
    )
    spans = Collection(
        "known-item-spans",
        doc_ids,
        lines,
        qids,
        span_queries,
        qrels,
        "bench-zh lines; queries = three 2-5 character spans of a line, shuffled",
        docs_key="bench-zh",
    )
    return words, spans


LETTERS_THEN_DIGITS = re.compile(r"(?<![A-Za-z0-9])([A-Za-z]+)([- ]?)([0-9]+)(?![A-Za-z0-9])")


def known_item_spellings(
    lines: list[str], count: int, cut: Callable[[str], list[str]], stop_words: set[str]
) -> Collection:
    rng = random.Random(SEED)
    eligible = [
        i for i, line in enumerate(lines) if LETTERS_THEN_DIGITS.search(line) and len(re.findall(f"[{HAN}]", line)) >= 8
    ]
    chosen = sorted(rng.sample(eligible, min(count, len(eligible))))
    queries = []
    for i in chosen:
        letters, separator, digits = LETTERS_THEN_DIGITS.search(lines[i]).groups()  # type: ignore[union-attr]
        respelled = rng.choice([s for s in ("", " ", "-") if s != separator])
        han_words = [w for w in cut(lines[i]) if re.search(f"[{HAN}]", w) and w not in stop_words]
        queries.append(" ".join([letters + respelled + digits, *rng.sample(han_words, min(2, len(han_words)))]))
    return Collection(
        "known-item-spellings",
        [f"l{i}" for i in range(len(lines))],
        lines,
        [f"q{i}" for i in chosen],
        queries,
        {f"q{i}": {f"l{i}": 1.0} for i in chosen},
        "bench-zh lines with a letters-then-digits run; query = the run respelled + 2 Han words",
        docs_key="bench-zh",
    )


UD_CONTENT_TAGS = frozenset({"NOUN", "PROPN", "VERB", "NUM"})


def ud_sentences() -> list[tuple[str, list[str]]]:
    """(text, content words) of each sentence of the shared UD Chinese GSDSimp dev and test files."""
    out: list[tuple[str, list[str]]] = []
    for split in ("dev", "test"):
        text, words = "", []
        with open(harness.corpus_file("ud-zh-gsdsimp", f"zh_gsdsimp-ud-{split}.conllu"), encoding="utf-8") as f:
            for line in f:
                line = line.rstrip("\n")
                if line.startswith("# text = "):
                    text, words = line[len("# text = ") :], []
                elif line and not line.startswith("#"):
                    columns = line.split("\t")
                    if columns[0].isdigit() and columns[3] in UD_CONTENT_TAGS:
                        words.append(columns[1])
                elif not line and text:
                    out.append((text, words))
                    text = ""
        if text:
            out.append((text, words))
    return out


def ud_known_item() -> Collection:
    rng = random.Random(SEED)
    sentences = ud_sentences()
    queries, query_ids, qrels = [], [], {}
    for i, (_, words) in enumerate(sentences):
        distinct = list(dict.fromkeys(words))
        if len(distinct) < 2:
            continue
        picked = rng.sample(distinct, min(len(distinct), 2 + rng.randrange(2)))
        queries.append(join_words(picked))
        query_ids.append(f"q{i}")
        qrels[f"q{i}"] = {f"s{i}": 1.0}
    return Collection(
        "ud-known-item",
        [f"s{i}" for i in range(len(sentences))],
        [text for text, _ in sentences],
        query_ids,
        queries,
        qrels,
        "UD Chinese GSDSimp dev+test sentences; query = 2-3 of the sentence's gold content words, shuffled",
    )


# --- analyses ----------------------------------------------------------------------------


def char_grams(text: str, unigrams: bool, bigrams: bool) -> list[str]:
    """Han runs as characters and/or overlapping character pairs (a one-character run is kept
    as it is); every other run of letters and digits is one term."""
    out: list[str] = []
    for run in HAN_OR_OTHER.findall(text):
        if not ("\u3400" <= run[0] <= "\u9fff" or "\uf900" <= run[0] <= "\ufaff"):
            out.append(run)
            continue
        if unigrams or len(run) == 1:
            out.extend(run)
        if bigrams and len(run) > 1:
            out.extend(run[i : i + 2] for i in range(len(run) - 1))
    return out


@dataclass(frozen=True)
class Config:
    """One analyzer setting of the grid."""

    mode: str = "cut"  # "cut" or "search" (cut_for_search)
    stop_words: bool = True
    fold: bool = True  # Traditional-to-Simplified folding (width and ASCII case are always folded)
    bigram_weight: float = 0.0  # weight of a second field of character bigrams; 0 = none

    @property
    def label(self) -> str:
        parts = [
            "search" if self.mode == "search" else "words",
            "stop" if self.stop_words else "no-stop",
            "fold" if self.fold else "no-fold",
        ]
        if self.bigram_weight:
            parts.append(f"+bigrams x{self.bigram_weight:g}")
        return " ".join(parts)


class Tokens:
    """Analyses of the texts of the run, computed once per (texts, analysis). The grid's terms
    are those of lumotext.Analyzer, so the reference scorer sees what the index sees."""

    def __init__(self, jieba) -> None:
        self.jieba = jieba
        self.cache: dict[tuple, list[list[str]]] = {}

    def _memo(self, key: tuple, make: Callable[[], list[list[str]]]) -> list[list[str]]:
        if key not in self.cache:
            self.cache[key] = make()
        return self.cache[key]

    def words(self, key: str, texts: Sequence[str], mode: str, fold: bool, stop_words: bool) -> list[list[str]]:
        """The analyzer's word terms: folded, segmented, separators and stop words dropped."""
        analyzer = index_analyzer(Config(mode, stop_words, fold, 0.0))
        return self._memo(("words", key, mode, fold, stop_words), lambda: [analyzer.analyze(t) for t in texts])

    def bigram_field(self, key: str, texts: Sequence[str], fold: bool) -> list[list[str]]:
        """The analyzer's second field: the pairs of adjacent ideographs of the folded text
        (neither the cut nor the stop words change it)."""

        def bigrams() -> list[list[str]]:
            analyzer = index_analyzer(Config("cut", False, fold, 1.0))
            return [[t for t in analyzer.analyze(text) if t.startswith(BIGRAM_MARK)] for text in texts]

        return self._memo(("bigrams", key, fold), bigrams)

    def grams(self, key: str, texts: Sequence[str], unigrams: bool, bigrams: bool) -> list[list[str]]:
        """Character n-grams of the text as it is (nothing folded)."""
        return self._memo(("grams", key, unigrams, bigrams), lambda: [char_grams(t, unigrams, bigrams) for t in texts])

    def cut_tokens(self, key: str, texts: Sequence[str]) -> list[list[str]]:
        """What the README's pipeline gives: cut, separators dropped, nothing folded or removed."""
        from lumotext import index_tokens

        return self._memo(("cut", key), lambda: [index_tokens(self.jieba.cut(t)) for t in texts])


# --- scoring -----------------------------------------------------------------------------------


class ReferenceBM25:
    """BM25 over token lists with the index's formula, as a documents-by-terms weight matrix."""

    def __init__(self, docs: Sequence[Sequence[str]], k1: float = K1, b: float = B) -> None:
        self.vocab: dict[str, int] = {}
        indptr, indices, counts = [0], [], []
        lengths = np.empty(len(docs), dtype=np.float64)
        for row, tokens in enumerate(docs):
            tf = collections.Counter(tokens)
            for term, n in tf.items():
                indices.append(self.vocab.setdefault(term, len(self.vocab)))
                counts.append(n)
            indptr.append(len(indices))
            lengths[row] = len(tokens)
        n_docs, n_terms = len(docs), max(1, len(self.vocab))
        tf_m = sp.csr_matrix(
            (
                np.asarray(counts, dtype=np.float64),
                np.asarray(indices, dtype=np.int64),
                np.asarray(indptr, dtype=np.int64),
            ),
            shape=(n_docs, n_terms),
        )
        df = np.bincount(tf_m.indices, minlength=n_terms).astype(np.float64)
        idf = np.log1p((n_docs - df + 0.5) / (df + 0.5))
        avg = lengths.mean() if n_docs and lengths.mean() > 0 else 1.0
        norm = np.repeat(k1 * (1 - b + b * lengths / avg), np.diff(tf_m.indptr))
        tf = tf_m.data
        tf_m.data = idf[tf_m.indices] * tf * (k1 + 1) / (tf + norm)
        self.weights_t = tf_m.T.tocsr()  # terms x documents
        self.n_docs = n_docs

    def query_matrix(self, queries: Sequence[Sequence[str]]) -> sp.csr_matrix:
        indptr, indices, counts = [0], [], []
        for tokens in queries:
            tf = collections.Counter(t for t in tokens if t in self.vocab)
            indices.extend(self.vocab[t] for t in tf)
            counts.extend(tf.values())
            indptr.append(len(indices))
        return sp.csr_matrix(
            (
                np.asarray(counts, dtype=np.float64),
                np.asarray(indices, dtype=np.int64),
                np.asarray(indptr, dtype=np.int64),
            ),
            shape=(len(queries), self.weights_t.shape[0]),
        )

    def scores(self, queries: Sequence[Sequence[str]]) -> sp.csr_matrix:
        return (self.query_matrix(queries) @ self.weights_t).tocsr()


def top_k(scores: sp.csr_matrix, k: int = TOP_K) -> list[np.ndarray]:
    """Per row, the column numbers of the k best positive scores, best first, ties by lower
    column number."""
    out = []
    for row in range(scores.shape[0]):
        start, end = scores.indptr[row], scores.indptr[row + 1]
        cols, vals = scores.indices[start:end], scores.data[start:end]
        keep = vals > 0
        cols, vals = cols[keep], vals[keep]
        order = np.lexsort((cols, -vals))[:k]
        out.append(cols[order])
    return out


def rankings_of(collection: Collection, tops: Sequence[Sequence[int]]) -> dict[str, list[str]]:
    return {q: [collection.doc_ids[d] for d in top] for q, top in zip(collection.query_ids, tops)}


# Document-side models by the identity of their (memoised) token lists, which are kept alive
# with them; the grid scores the same documents under many settings.
_models: dict[int, tuple[Sequence[Sequence[str]], ReferenceBM25]] = {}


def model_of(docs: Sequence[Sequence[str]]) -> ReferenceBM25:
    if id(docs) not in _models:
        _models[id(docs)] = (docs, ReferenceBM25(docs))
    return _models[id(docs)][1]


def fielded_scores(fields: Sequence[tuple[float, Sequence[Sequence[str]], Sequence[Sequence[str]]]]) -> sp.csr_matrix:
    total = None
    for weight, docs, queries in fields:
        s = model_of(docs).scores(queries) * weight
        total = s if total is None else total + s
    return total.tocsr()


# --- systems ----------------------------------------------------------------------------------


def run_config(c: Collection, tokens: Tokens, cfg: Config) -> dict[str, list[str]]:
    words_d = tokens.words(c.docs_key + ":d", c.docs, cfg.mode, cfg.fold, cfg.stop_words)
    # Queries are cut with the default cut even where documents are cut for search: the extra
    # sub-words belong on the document side only.
    words_q = tokens.words(c.name + ":q", c.queries, "cut", cfg.fold, cfg.stop_words)
    fields = [(1.0, words_d, words_q)]
    if cfg.bigram_weight:
        fields.append(
            (
                cfg.bigram_weight,
                tokens.bigram_field(c.docs_key + ":d", c.docs, cfg.fold),
                tokens.bigram_field(c.name + ":q", c.queries, cfg.fold),
            )
        )
    return rankings_of(c, top_k(fielded_scores(fields)))


def run_grams(c: Collection, tokens: Tokens, unigrams: bool, bigrams: bool) -> dict[str, list[str]]:
    docs = tokens.grams(c.docs_key + ":d", c.docs, unigrams, bigrams)
    queries = tokens.grams(c.name + ":q", c.queries, unigrams, bigrams)
    return rankings_of(c, top_k(fielded_scores([(1.0, docs, queries)])))


def run_reference_on_cut(c: Collection, tokens: Tokens) -> dict[str, list[str]]:
    docs = tokens.cut_tokens(c.docs_key + ":d", c.docs)
    queries = tokens.cut_tokens(c.name + ":q", c.queries)
    return rankings_of(c, top_k(fielded_scores([(1.0, docs, queries)])))


def run_pylumotext_bm25(c: Collection, tokens: Tokens) -> dict[str, list[str]]:
    """The README's path: cut, index_tokens, BM25.train per document, encode_document and
    encode_query, the dot product of the two dicts."""
    from pylumotext import BM25

    docs = tokens.cut_tokens(c.docs_key + ":d", c.docs)
    queries = tokens.cut_tokens(c.name + ":q", c.queries)
    model = BM25()
    for d in docs:
        if d:
            model.train(d)
    vocab: dict[str, int] = {}
    rows, cols, vals = [], [], []
    for i, d in enumerate(docs):
        for term, w in (model.encode_document(d) if d else {}).items():
            rows.append(i)
            cols.append(vocab.setdefault(term, len(vocab)))
            vals.append(w)
    dmat = sp.csr_matrix((vals, (rows, cols)), shape=(len(docs), max(1, len(vocab))))
    rows, cols, vals = [], [], []
    for i, q in enumerate(queries):
        for term, w in (model.encode_query(q) if q else {}).items():
            if term in vocab:
                rows.append(i)
                cols.append(vocab[term])
                vals.append(w)
    qmat = sp.csr_matrix((vals, (rows, cols)), shape=(len(queries), dmat.shape[1]))
    return rankings_of(c, top_k((qmat @ dmat.T.tocsr()).tocsr()))


def run_bm25s(c: Collection, tokens: Tokens) -> dict[str, list[str]]:
    """bm25s as a user with our tokens runs it: token lists in, its own vocabulary."""
    import bm25s

    docs = tokens.cut_tokens(c.docs_key + ":d", c.docs)
    queries = tokens.cut_tokens(c.name + ":q", c.queries)
    retriever = bm25s.BM25(k1=K1, b=B)
    retriever.index([d or [""] for d in docs], show_progress=False)
    results, scores = retriever.retrieve(
        [q or [""] for q in queries], k=min(TOP_K, len(docs)), show_progress=False, n_threads=1
    )
    tops = [[int(d) for d, s in zip(res, sc) if s > 0] for res, sc in zip(results, scores)]
    return rankings_of(c, tops)


def index_available() -> bool:
    try:
        from lumotext import Index  # noqa: F401
    except ImportError:
        return False
    return True


def run_index(c: Collection, make_index: Callable[[], object]) -> dict[str, list[str]]:
    index = make_index()
    index.add(c.docs)  # type: ignore[attr-defined]
    results = index.search_many(c.queries, k=TOP_K)  # type: ignore[attr-defined]
    return rankings_of(c, [[d for d, _ in hits] for hits in results])


def index_analyzer(cfg: Config):
    """The lumotext.Analyzer of a grid setting. Its width and case folding cannot be turned off:
    `fold` switches the Traditional-to-Simplified folding only."""
    from lumotext import Analyzer

    return Analyzer(
        mode="search" if cfg.mode == "search" else "default",
        stop_words="default" if cfg.stop_words else None,
        fold_traditional=cfg.fold,
        bigram_weight=cfg.bigram_weight,
    )


# --- run ------------------------------------------------------------------------------------


def grid(quick: bool) -> list[Config]:
    weights = (0.0, 0.3) if quick else (0.0, 0.2, 0.3, 0.5, 1.0)
    return [
        Config(mode, stop, fold, w)
        for mode in ("cut", "search")
        for stop in (True, False)
        for fold in (True, False)
        for w in weights
    ]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer queries and a smaller grid")
    parser.add_argument("--known-item-queries", type=int, default=2000)
    parser.add_argument("--no-grid", action="store_true")
    parser.add_argument(
        "--reference-grid",
        action="store_true",
        help="also run the analyzer grid through the reference scorer",
    )
    parser.add_argument("--collections", nargs="+", choices=COLLECTIONS, help="only these collections (default: all)")
    args = parser.parse_args()

    import pylumotext

    import lumotext

    paths = lumotext.default_paths()
    jieba = pylumotext.Jieba(**paths)
    with open(paths["stop_word_path"], encoding="utf-8") as f:
        stop_words = {line.strip() for line in f if line.strip()}
    tokens = Tokens(jieba)

    limit = 600 if args.quick else None
    known = 300 if args.quick else args.known_item_queries
    wanted = set(args.collections or COLLECTIONS)
    base = cmrc(limit)
    cols = [c for c in (base,) if c.name in wanted]
    if "cmrc2018-trad" in wanted:
        cols.append(traditional(base))
    if "cmrc2018-sentences" in wanted:
        cols.append(cmrc_sentences(base))
    if wanted & {"known-item-words", "known-item-spans"}:
        cols += [c for c in known_item(harness.bench_lines(), known, jieba.cut, stop_words) if c.name in wanted]
    if "known-item-spellings" in wanted:
        cols.append(known_item_spellings(harness.bench_lines(), 300 if args.quick else 1000, jieba.cut, stop_words))
    if "ud-known-item" in wanted:
        cols.append(ud_known_item())

    systems: list[tuple[str, Callable[[Collection], dict[str, list[str]]]]] = []
    if index_available():
        from lumotext import Index

        systems.append(("lumotext.Index() default", lambda c: run_index(c, Index)))
    systems += [
        ("cut + pylumotext.BM25 (README path)", lambda c: run_pylumotext_bm25(c, tokens)),
        ("cut tokens, reference BM25 (df idf)", lambda c: run_reference_on_cut(c, tokens)),
        ("bm25s on cut tokens", lambda c: run_bm25s(c, tokens)),
        ("character unigrams", lambda c: run_grams(c, tokens, True, False)),
        ("character bigrams", lambda c: run_grams(c, tokens, False, True)),
        ("character unigrams + bigrams", lambda c: run_grams(c, tokens, True, True)),
    ]
    results: dict[str, dict[str, dict[str, float]]] = collections.defaultdict(dict)
    for c in cols:
        print(f"{c.name}: {c.stats['documents']:,} documents, {c.stats['queries']:,} queries", flush=True)
        for name, run in systems:
            start = time.perf_counter()
            try:
                metrics = ir_metrics.evaluate(run(c), c.qrels)
            except ImportError as e:
                print(f"  {name}: skipped ({e})", flush=True)
                continue
            results[name][c.name] = metrics
            print(
                f"  {name:45s} nDCG@10 {metrics['ndcg@10']:.4f}  MRR@10 {metrics['mrr@10']:.4f}  "
                f"R@100 {metrics['recall@100']:.4f}  ({time.perf_counter() - start:.1f} s)",
                flush=True,
            )

    configs = [] if args.no_grid else grid(args.quick)
    index_grid: dict[str, dict[str, dict[str, float]]] = collections.defaultdict(dict)
    if configs and index_available():
        from lumotext import Index

        groups: dict[str, list[Collection]] = collections.defaultdict(list)
        for c in cols:
            groups[c.docs_key].append(c)
        for group in groups.values():
            for cfg in configs:
                # Collections over the same documents share one index.
                start = time.perf_counter()
                index = Index(index_analyzer(cfg))
                index.add(group[0].docs)
                for c in group:
                    hits = index.search_many(c.queries, k=TOP_K)
                    metrics = ir_metrics.evaluate(rankings_of(c, [[d for d, _ in h] for h in hits]), c.qrels)
                    index_grid[cfg.label][c.name] = metrics
                    print(
                        f"  Index {c.name:20s} {cfg.label:38s} nDCG@10 {metrics['ndcg@10']:.4f} "
                        f"({time.perf_counter() - start:.1f} s)",
                        flush=True,
                    )
                del index

    grid_results: dict[str, dict[str, dict[str, float]]] = collections.defaultdict(dict)
    run_reference_grid = args.reference_grid
    for c in cols if run_reference_grid else []:
        for cfg in configs:
            metrics = ir_metrics.evaluate(run_config(c, tokens, cfg), c.qrels)
            grid_results[cfg.label][c.name] = metrics
            print(f"  {c.name:20s} {cfg.label:38s} nDCG@10 {metrics['ndcg@10']:.4f}", flush=True)
        # The analyses of one collection are not needed for the next.
        tokens.cache = {k: v for k, v in tokens.cache.items() if not str(k[1]).startswith(c.name + ":")}
        _models.clear()

    write(cols, results, grid_results, index_grid, args)
    return 0


def summary_rows(results: dict[str, dict[str, dict[str, float]]], names: Sequence[str], metric: str) -> list[dict]:
    rows = []
    for system, per in results.items():
        row: dict = {"system": system}
        for n in names:
            row[n] = per.get(n, {}).get(metric)
        values = [v for v in (row[n] for n in names) if v is not None]
        row["mean"] = sum(values) / len(values) if len(values) == len(names) else None
        rows.append(row)
    return rows


def grid_table(grid_results, names: list[str], caption: str, notes: list[str]) -> tuple | None:
    """The grid sorted by each setting's largest nDCG@10 gap to the best setting of a collection;
    the best per collection and the most even setting go to `notes`."""
    if not grid_results:
        return None
    rows = summary_rows(grid_results, names, "ndcg@10")
    best = {n: max(rows, key=lambda r: r[n]) for n in names}
    for r in rows:
        r["worst_gap"] = max(best[n][n] - r[n] for n in names)
    rows.sort(key=lambda r: (r["worst_gap"], -r["mean"]))
    for n in names:
        notes.append(f"{caption}: best on {n}: {best[n]['system']} (nDCG@10 {best[n][n]:.4f})")
    notes.append(
        f"{caption}: smallest largest gap: {rows[0]['system']} (gap {rows[0]['worst_gap']:.4f}, "
        f"mean nDCG@10 {rows[0]['mean']:.4f})"
    )
    return (
        f"{caption}, nDCG@10, sorted by the largest gap to the best setting of any collection",
        [("system", "setting")] + [(n, n) for n in names] + [("mean", "mean"), ("worst_gap", "largest gap")],
        rows,
    )


def four_places(rows: list[dict]) -> list[dict]:
    """Metrics differ in the third decimal here; the harness table shows two."""
    return [{k: f"{v:.4f}" if isinstance(v, float) else v for k, v in r.items()} for r in rows]


def write(cols: list[Collection], results, grid_results, index_grid, args) -> None:
    names = [c.name for c in cols]
    metric_columns = [(n, n) for n in names] + [("mean", "mean")]
    tables = []
    for metric in ("ndcg@10", "mrr@10", "recall@100"):
        tables.append(
            (
                f"Systems, {metric}",
                [("system", "system")] + metric_columns,
                four_places(summary_rows(results, names, metric)),
            )
        )
    notes: list[str] = []
    for grid_results_, caption in (
        (index_grid, "lumotext.Index analyzer grid"),
        (grid_results, "Reference BM25 analyzer grid"),
    ):
        table = grid_table(grid_results_, names, caption, notes)
        if table:
            tables.append((table[0], table[1], four_places(table[2])))
    for c in cols:
        s = c.stats
        notes.append(
            f"{c.name}: {s['documents']:,} documents ({s['mean_document_chars']:.0f} characters on "
            f"average), {s['queries']:,} queries ({s['mean_query_chars']:.0f} characters), "
            f"{s['relevant_per_query']:.1f} relevant per query; {c.about}"
        )
    notes.append(
        "settings: words = cut, search = cut_for_search (the index applies it as its analyzer does; "
        "the reference cuts queries with cut); stop = bundled stop words removed; fold = "
        "Traditional-to-Simplified folding (width and ASCII case are always folded); +bigrams xW = a "
        "second field of character bigrams at weight W; the reference grid scores lumotext.Analyzer's terms"
    )
    command = "python bench/retrieval_quality.py" + " ".join(
        [""]
        + (["--quick"] if args.quick else [])
        + (["--reference-grid"] if args.reference_grid else [])
        + (["--collections", *args.collections] if args.collections else [])
    )
    harness.write_results(
        "retrieval",
        "Retrieval quality",
        tables,
        notes,
        {
            "collections": {c.name: c.stats for c in cols},
            "systems": results,
            "index_grid": index_grid,
            "reference_grid": grid_results,
        },
        command,
    )


if __name__ == "__main__":
    sys.exit(main())

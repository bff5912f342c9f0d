"""The retrieval benchmark's ranking metrics on rankings small enough to work out by hand."""

import math
import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "bench"))

import ir_metrics  # noqa: E402


@pytest.mark.parametrize(
    "ranking, relevant, ndcg, rr, recall",
    [
        # The one relevant document first, third, eleventh, absent.
        (["a", "b", "c"], {"a": 1}, 1.0, 1.0, 1.0),
        (["x", "y", "a"], {"a": 1}, 1 / math.log2(4), 1 / 3, 1.0),
        ([f"x{i}" for i in range(10)] + ["a"], {"a": 1}, 0.0, 0.0, 1.0),
        (["x", "y"], {"a": 1}, 0.0, 0.0, 0.0),
        # Two relevant at ranks 2 and 3: DCG = 1/log2(3) + 1/log2(4), ideal = 1 + 1/log2(3).
        (["x", "a", "b"], {"a": 1, "b": 1}, (1 / math.log2(3) + 0.5) / (1 + 1 / math.log2(3)), 0.5, 1.0),
        # Three relevant, one retrieved first.
        (["a", "x"], {"a": 1, "b": 1, "c": 1}, 1 / (1 + 1 / math.log2(3) + 0.5), 1.0, 1 / 3),
        # Graded: the better document second.
        (["b", "a"], {"a": 2, "b": 1}, (1 + 2 / math.log2(3)) / (2 + 1 / math.log2(3)), 1.0, 1.0),
    ],
)
def test_metrics_of_one_query(ranking, relevant, ndcg, rr, recall):
    assert ir_metrics.ndcg_at(ranking, relevant, 10) == pytest.approx(ndcg)
    assert ir_metrics.reciprocal_rank_at(ranking, relevant, 10) == pytest.approx(rr)
    assert ir_metrics.recall_at(ranking, relevant, 100) == pytest.approx(recall)


def test_cut_offs_count_only_the_leading_ranks():
    ranking = ["x", "y", "a", "b"]
    relevant = {"a": 1, "b": 1}
    assert ir_metrics.recall_at(ranking, relevant, 3) == pytest.approx(0.5)
    assert ir_metrics.reciprocal_rank_at(ranking, relevant, 2) == 0.0
    assert ir_metrics.ndcg_at(ranking, relevant, 2) == 0.0
    # A duplicate in the ranking earns no second gain for recall.
    assert ir_metrics.recall_at(["a", "a"], relevant, 100) == pytest.approx(0.5)


def test_evaluate_averages_over_judged_queries_and_counts_a_missing_ranking_as_empty():
    qrels = {"q1": {"a": 1}, "q2": {"b": 1}, "q3": {"c": 0}}  # q3 has nothing relevant: left out
    rankings = {"q1": ["a"], "q3": ["c"]}  # q2 never answered
    means = ir_metrics.evaluate(rankings, qrels)
    assert means == {"ndcg@10": pytest.approx(0.5), "mrr@10": pytest.approx(0.5), "recall@100": pytest.approx(0.5)}


def test_evaluate_refuses_judgements_without_a_relevant_document():
    with pytest.raises(ValueError):
        ir_metrics.evaluate({"q": ["a"]}, {"q": {"a": 0}})


# --- the benchmark's reference scorer and analyses ------------------------------------------


def test_reference_bm25_scores_equal_the_formula_worked_by_hand():
    pytest.importorskip("scipy")
    import retrieval_quality as rq

    docs = [["a", "a", "b"], ["b", "c"], ["c"]]
    model = rq.ReferenceBM25(docs, k1=1.2, b=0.75)
    scores = model.scores([["a", "b", "b"], ["zzz"]]).toarray()
    n, avg = 3, 2.0

    def term(tf, df, length):
        idf = math.log(1 + (n - df + 0.5) / (df + 0.5))
        return idf * tf * 2.2 / (tf + 1.2 * (0.25 + 0.75 * length / avg))

    # "b" is repeated in the query: it counts twice.
    assert scores[0, 0] == pytest.approx(term(2, 1, 3) + 2 * term(1, 2, 3))
    assert scores[0, 1] == pytest.approx(2 * term(1, 2, 2))
    assert scores[0, 2] == 0.0
    assert not scores[1].any()
    tops = rq.top_k(model.scores([["c"], ["a", "b", "b"]]), k=2)
    # "c" scores the one-term document higher (shorter); ties would go to the lower number.
    assert tops[0].tolist() == [2, 1]
    assert tops[1].tolist() == [0, 1]


@pytest.mark.parametrize(
    "text, unigrams, bigrams, expected",
    [
        ("中文检索", False, True, ["中文", "文检", "检索"]),
        ("中文检索", True, False, ["中", "文", "检", "索"]),
        ("用apt安装，好", False, True, ["用", "apt", "安装", "好"]),
        ("國語 Mixed123", True, True, ["國", "語", "國語", "Mixed123"]),
    ],
)
def test_character_grams_split_han_runs_and_keep_other_runs_whole(text, unigrams, bigrams, expected):
    pytest.importorskip("scipy")
    import retrieval_quality as rq

    assert rq.char_grams(text, unigrams, bigrams) == expected


def splits_into(text: str, words: set[str], parts: int) -> bool:
    """Whether ``text`` is ``parts`` of ``words`` joined, with or without a space between two."""
    if parts == 0:
        return text == ""
    text = text.removeprefix(" ")
    return any(text.startswith(w) and splits_into(text[len(w) :], words - {w}, parts - 1) for w in words)


def test_ud_known_item_queries_are_gold_words_of_their_one_sentence():
    pytest.importorskip("scipy")
    import retrieval_quality as rq
    from shared_data import require, ud_sentences

    require("corpora/ud-zh-gsdsimp/zh_gsdsimp-ud-test.conllu")
    gold = ud_sentences()
    collection = rq.ud_known_item()
    # Every sentence of both files is a document, in order.
    assert [doc.replace(" ", "") for doc in collection.docs] == ["".join(words) for words in gold]
    assert len(collection.queries) >= 0.9 * len(gold)
    for query_id, query in zip(collection.query_ids, collection.queries):
        (relevant,) = collection.qrels[query_id]
        words = set(gold[collection.doc_ids.index(relevant)])
        assert splits_into(query, words, 2) or splits_into(query, words, 3), query

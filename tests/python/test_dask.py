"""BM25 training and encoding on a local Dask cluster of two worker processes."""

from __future__ import annotations

import json
import logging

import pytest
from pylumotext import BM25
from shared_data import bench_lines, ud_sentences

from lumotext import index_tokens, load_model, make_jieba, model_text, segment_many

db = pytest.importorskip("dask.bag", reason="the dask extra is not installed (pip install .[dask])")
distributed = pytest.importorskip("dask.distributed", reason="the dask extra is not installed (pip install .[dask])")

from lumotext.dask import encode_documents, train_bm25  # noqa: E402

MERGE_BOUND = 1e-6 + 1e-12


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(
        n_workers=2, processes=True, threads_per_worker=1, dashboard_address=":0", silence_logs=logging.ERROR
    )
    with distributed.Client(cluster) as connected:
        yield connected
    cluster.close()


@pytest.fixture(scope="module")
def jieba():
    return make_jieba()


def local_model(token_lists, b=0.75, k1=1.2):
    model = BM25(b, k1)
    for tokens in token_lists:
        if tokens:
            model.train(tokens)
    return model


def test_benchmark_text_trains_like_one_process(client, jieba):
    lines = bench_lines()  # every line of the benchmark text
    text = train_bm25(db.from_sequence(lines, npartitions=8))
    reference = model_text(local_model(index_tokens(words) for words in segment_many(jieba, lines, threads=1)))
    got, expected = json.loads(text), json.loads(reference)
    assert got["_doc_token_frequency"] == expected["_doc_token_frequency"]
    assert got["_doc_count"] == expected["_doc_count"] > 50_000
    assert abs(got["_doc_length_average"] - expected["_doc_length_average"]) <= MERGE_BOUND
    assert (got["_b"], got["_k1"]) == (0.75, 1.2)
    # Every worker built its segmenter once, for all the partitions it trained.
    assert set(client.run(_segmenters_built).values()) == {1}


def _segmenters_built():
    from lumotext.segmenter import _shared

    return len(_shared)


@pytest.mark.parametrize("partitions, split_every", [(9, 2), (3, 8)])
def test_token_lists_train_like_one_process(client, partitions, split_every):
    sentences = ud_sentences()
    text = train_bm25(
        db.from_sequence(sentences, npartitions=partitions), b=0.5, k1=2.0, segment=False, split_every=split_every
    )
    assert text == model_text(local_model(sentences, b=0.5, k1=2.0))


@pytest.mark.parametrize("query", [False, True])
def test_encode_documents_like_one_process(client, jieba, query):
    lines = bench_lines(400)
    model = local_model(index_tokens(jieba.cut(line)) for line in lines)
    text = model_text(model)
    vectors = encode_documents(db.from_sequence(lines, npartitions=4), text, query=query).compute()
    encode = load_model(text).encode_query if query else load_model(text).encode_document
    assert vectors == [encode(index_tokens(jieba.cut(line))) for line in lines]


def test_documents_of_the_wrong_kind_are_refused(client):
    with pytest.raises(TypeError, match="every document must be a list of tokens, not a string"):
        train_bm25(db.from_sequence(["长江 大桥"], npartitions=1), segment=False)
    with pytest.raises(TypeError, match="every document must be a string, got list"):
        train_bm25(db.from_sequence([["长江"]], npartitions=1))


@pytest.mark.parametrize(
    "partitions, analyzer_settings", [(1, None), (5, None), (3, {"stop_words": None, "bigram_weight": 0.5})]
)
def test_build_index_scores_like_one_build(client, partitions, analyzer_settings):
    from lumotext import Analyzer, Index
    from lumotext.dask import build_index

    lines = bench_lines(1500)
    analyzer = None if analyzer_settings is None else Analyzer(**analyzer_settings)
    merged = build_index(db.from_sequence(lines, npartitions=partitions), analyzer, k1=1.5, b=0.6)
    single = Index(analyzer, k1=1.5, b=0.6)
    single.add(lines)
    assert (merged.k1, merged.b, merged.analyzer.settings) == (single.k1, single.b, single.analyzer.settings)
    assert len(merged) == len(single) == len(lines)
    assert merged.live_documents() == single.live_documents()
    for query in lines[29::97]:
        got, expected = merged.search(query, k=20), single.search(query, k=20)
        assert [number for number, _ in got] == [number for number, _ in expected], query
        assert [score for _, score in got] == pytest.approx([score for _, score in expected], rel=1e-6)
    for got, expected in zip(merged.document_vectors(), single.document_vectors()):
        assert got["indices"] == expected["indices"]
        assert got["values"] == pytest.approx(expected["values"], rel=1e-6)


def test_build_index_of_an_empty_bag(client):
    from lumotext.dask import build_index

    index = build_index(db.from_sequence([], npartitions=1))
    assert len(index) == 0 and index.search("长江", k=3) == []

"""Merging BM25 models of shards: equal to one model of the whole corpus, in any order or grouping."""

from __future__ import annotations

import doctest
import itertools
import json
import random
from fractions import Fraction

import pytest
from pylumotext import BM25
from shared_data import bench_lines, ud_sentences

import lumotext.models
import lumotext.sparse
from lumotext import load_model, merge_models, model_text

# Each stored average is off by at most 5e-7, and the merged one is rounded once more.
MERGE_BOUND = 1e-6 + 1e-12


def train_text(documents, b=0.75, k1=1.2):
    model = BM25(b, k1)
    for document in documents:
        model.train(document)
    return model_text(model)


def split(documents, parts, how):
    if how == "contiguous":
        size = -(-len(documents) // parts)
        return [documents[i : i + size] for i in range(0, len(documents), size)]
    if how == "interleaved":
        return [documents[i::parts] for i in range(parts)]
    # Uneven: cut points drawn at random, so shard sizes differ widely.
    cuts = sorted(random.Random(parts).sample(range(1, len(documents)), parts - 1))
    return [documents[a:b] for a, b in zip([0, *cuts], [*cuts, len(documents)])]


def members(text):
    return json.loads(text)


@pytest.fixture(scope="module", params=["ud-words", "bench-characters"])
def corpus(request):
    if request.param == "ud-words":
        return ud_sentences()
    return [list(line) for line in bench_lines() if line]


@pytest.mark.parametrize("parts", [2, 3, 7])
@pytest.mark.parametrize("how", ["contiguous", "interleaved", "uneven"])
def test_merged_shards_equal_the_whole_corpus_model(corpus, parts, how):
    whole = train_text(corpus)
    merged = merge_models(train_text(shard) for shard in split(corpus, parts, how))
    expected, got = members(whole), members(merged)
    assert got["_doc_token_frequency"] == expected["_doc_token_frequency"]
    assert got["_doc_count"] == expected["_doc_count"] == len(corpus)
    true_average = sum(map(len, corpus)) / len(corpus)
    assert abs(got["_doc_length_average"] - true_average) <= MERGE_BOUND
    # Below a million documents per shard the totals are recovered exactly: same text.
    assert merged == whole


def test_merged_model_encodes_like_the_whole_corpus_model(corpus):
    shards = split(corpus, 4, "uneven")
    merged = load_model(merge_models(train_text(shard) for shard in shards))
    whole = load_model(train_text(corpus))
    for document in corpus[:: max(1, len(corpus) // 50)]:
        assert merged.encode_document(document) == whole.encode_document(document)
        assert merged.encode_query(document) == whole.encode_query(document)


def test_order_and_grouping_do_not_matter():
    documents = ud_sentences()[:600]
    texts = [train_text(shard) for shard in split(documents, 5, "uneven")]
    flat = merge_models(texts)
    for order in itertools.islice(itertools.permutations(texts), 0, None, 17):
        assert merge_models(order) == flat
    left = merge_models([merge_models([merge_models(texts[:2]), texts[2]]), *texts[3:]])
    right = merge_models([texts[0], merge_models([texts[1], merge_models(texts[2:])])])
    assert left == right == flat


def synthetic_model(doc_count, total, counts, b="0.750000", k1="1.200000"):
    """A model document as BM25.dump writes it, for statistics too large to train here."""
    tokens = ",\n".join(f'    "{token}" : {count}' for token, count in sorted(counts.items()))
    return (
        f'{{\n  "_b" : {b},\n  "_doc_count" : {doc_count},\n'
        f'  "_doc_length_average" : {total / doc_count:.6f},\n'
        f'  "_doc_token_frequency" : {{\n{tokens}\n  }},\n  "_k1" : {k1}\n}}'
    )


@pytest.mark.parametrize(
    "shards",
    [
        [(3_000_001, 41_234_567), (2_500_000, 9_999_999)],
        [(1_999_999, 7_654_321), (10, 37), (4_000_003, 123_456_789), (1_000_000, 1_000_001)],
    ],
)
def test_large_shards_stay_within_the_rounding_bound(shards):
    """Past a million documents a shard's total is no longer recoverable from its six-decimal
    average; the merged average must still be within the bound, whatever the order."""
    texts = [synthetic_model(n, total, {"x": n, f"t{i}": 1}) for i, (n, total) in enumerate(shards)]
    true_average = Fraction(sum(total for _, total in shards), sum(n for n, _ in shards))
    averages = set()
    for order in itertools.permutations(texts):
        got = members(merge_models(order))
        assert got["_doc_count"] == sum(n for n, _ in shards)
        assert got["_doc_token_frequency"]["x"] == got["_doc_count"]
        assert abs(Fraction(got["_doc_length_average"]) - true_average) <= Fraction(MERGE_BOUND)
        averages.add(got["_doc_length_average"])
    assert max(averages) - min(averages) <= MERGE_BOUND


@pytest.mark.parametrize(
    "params, message",
    [
        ({"b": 0.5}, r"model #1 has b=0\.500000, k1=1\.200000 but model #0 has b=0\.750000"),
        ({"k1": 2.0}, r"model #1 has b=0\.750000, k1=2\.000000"),
    ],
)
def test_parameters_must_agree(params, message):
    first = train_text([["a", "b"]])
    second = train_text([["c"]], **params)
    with pytest.raises(ValueError, match=message):
        merge_models([first, second])


def test_parameters_equal_after_rounding_do_agree():
    # Both are written 0.750000: the file cannot tell them apart, nor can the merge.
    merged = merge_models([train_text([["a"]], b=0.75), train_text([["b"]], b=0.7500001)])
    assert members(merged)["_b"] == 0.75


GOOD = synthetic_model(2, 5, {"a": 3, "b": 2})


@pytest.mark.parametrize(
    "text, message",
    [
        ("not json", "load doc_count failed"),
        ("[1, 2]", "load doc_count failed"),
        ("", "json data should not be empty"),
        (GOOD.replace('"_doc_count" : 2', '"_doc_count" : 2.0'), "load doc_count failed"),
        (GOOD.replace('"_doc_count" : 2,\n', ""), "load doc_count failed"),
        (GOOD.replace('"_b" : 0.750000', '"_b" : 1'), "load b failed"),
        (GOOD.replace('"_k1" : 1.200000', '"_k1" : "1.2"'), "load k1 failed"),
        (GOOD.replace('"a" : 3', '"a" : -3'), "load doc_token_frequency failed"),
        (GOOD.replace('"a" : 3', '"a" : 3.5'), "load doc_token_frequency failed"),
        (
            GOOD.replace('"_doc_token_frequency" : {', '"_doc_token_frequency" : [{').replace("\n  },", "\n  }],"),
            "load doc_token_frequency failed",
        ),
        (GOOD.replace('"_doc_count" : 2', '"_doc_count" : 99999999999999999999'), "64-bit range"),
    ],
)
def test_rejects_what_the_loader_rejects(text, message):
    with pytest.raises(ValueError, match=f"^model #0: .*{message}"):
        merge_models([text])
    if text.lstrip().startswith("{"):
        with pytest.raises((RuntimeError, IndexError), match=message):
            load_model(text)
    else:  # not a JSON object, so load_model takes it for a path
        with pytest.raises(FileNotFoundError):
            load_model(text)


def test_bad_model_is_named_by_position():
    with pytest.raises(ValueError, match=r"^model #2: load doc_count failed$"):
        merge_models([GOOD, GOOD, "{", GOOD])


def test_needs_a_model():
    with pytest.raises(ValueError, match="at least one model"):
        merge_models([])


def test_untrained_shards_change_nothing():
    empty = model_text(BM25())
    trained = train_text([["a", "b", "b"], ["c"]])
    assert merge_models([empty, trained, empty]) == trained
    only_empty = load_model(merge_models([empty, empty]))
    with pytest.raises(RuntimeError, match="BM25 has not been initialized"):
        only_empty.encode_query(["a"])


@pytest.mark.parametrize(
    "tokens",
    [
        ['say "hi"', "back\\slash", "\\u0041", "tab\there", "line\nfeed", "\x01\x1f", "😀", "7"],
        ["\\", '"', "\\\\u", "\r\n"],
    ],
)
def test_tokens_that_need_escaping_survive_the_merge(tokens):
    documents = [tokens[: i + 1] for i in range(len(tokens))]
    merged = merge_models(train_text(shard) for shard in split(documents, 2, "interleaved"))
    assert merged == train_text(documents)
    model = load_model(merged)
    assert list(model.encode_query(tokens)) == sorted(set(tokens))
    assert model.encode_document(tokens) == load_model(train_text(documents)).encode_document(tokens)


@pytest.mark.parametrize("module", [lumotext.models, lumotext.sparse])
def test_documented_examples_hold(module):
    result = doctest.testmod(module, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.attempted > 0
    assert result.failed == 0

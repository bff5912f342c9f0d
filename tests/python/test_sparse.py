"""Sparse shapes of BM25 vectors: vocabulary and hashed indices, CSR matrices."""

from __future__ import annotations

import os
import random
import subprocess
import sys

import pytest
from pylumotext import BM25

from lumotext.sparse import HASH_SPACE, build_vocabulary, encode_csr, to_csr_matrix, to_sparse_vector, token_hash

DOCUMENTS = [["长江", "大桥", "长江"], ["大桥", "通车"], ["通车", "时间", "今天", "今天", "今天"], []]


@pytest.fixture(scope="module")
def model():
    trained = BM25()
    for document in DOCUMENTS:
        if document:
            trained.train(document)
    return trained


@pytest.fixture(scope="module")
def vectors(model):
    return [model.encode_document(document) for document in DOCUMENTS] + [model.encode_query(["长江", "明天"])]


@pytest.fixture(scope="module")
def colliding_pair():
    seen: dict[int, str] = {}
    for i in range(1_000_000):
        token = f"w{i}"
        index = token_hash(token)
        if index in seen:
            return seen[index], token
        seen[index] = token
    pytest.fail("no hash collision among a million tokens")


def assert_well_formed(sparse):
    assert set(sparse) == {"indices", "values"}
    assert len(sparse["indices"]) == len(sparse["values"])
    assert sparse["indices"] == sorted(set(sparse["indices"]))
    assert all(isinstance(i, int) and i >= 0 for i in sparse["indices"])


def test_vocabulary_indices_carry_the_dict_weights(vectors):
    vocabulary = build_vocabulary(vectors)
    assert sorted(vocabulary.values()) == list(range(len(vocabulary)))
    for vector in vectors:
        sparse = to_sparse_vector(vector, vocabulary)
        assert_well_formed(sparse)
        assert dict(zip(sparse["indices"], sparse["values"])) == {vocabulary[t]: w for t, w in vector.items()}


def test_hashed_indices_carry_the_dict_weights(vectors):
    for vector in vectors:
        sparse = to_sparse_vector(vector)
        assert_well_formed(sparse)
        assert dict(zip(sparse["indices"], sparse["values"])) == {token_hash(t): w for t, w in vector.items()}
        assert all(i < HASH_SPACE for i in sparse["indices"])


def test_colliding_tokens_add_up(colliding_pair):
    first, second = colliding_pair
    sparse = to_sparse_vector({first: 0.25, second: 0.5, "other": 1.0})
    assert_well_formed(sparse)
    assert sparse["values"][sparse["indices"].index(token_hash(first))] == 0.75
    assert len(sparse["indices"]) == 2


@pytest.mark.parametrize(
    "vocabulary, unknown, expected",
    [
        ({"b": 7, "a": 3}, "ignore", {"indices": [3, 7], "values": [1.0, 2.0]}),
        ({"a": 0}, "ignore", {"indices": [0], "values": [1.0]}),
        ({}, "ignore", {"indices": [], "values": []}),
    ],
)
def test_given_vocabulary(vocabulary, unknown, expected):
    assert to_sparse_vector({"a": 1.0, "b": 2.0}, vocabulary, unknown=unknown) == expected


@pytest.mark.parametrize(
    "vocabulary, message",
    [
        ({"a": 0, "b": 0}, "gives index 0 to both 'a' and 'b'"),
        ({"a": -1}, "must be a non-negative integer"),
        ({"a": 1.0}, "must be a non-negative integer"),
        ({"a": True}, "must be a non-negative integer"),
    ],
)
def test_bad_vocabularies_are_refused(vocabulary, message):
    with pytest.raises(ValueError, match=message):
        to_sparse_vector({"a": 1.0}, vocabulary)
    pytest.importorskip("scipy")
    with pytest.raises(ValueError, match=message):
        to_csr_matrix([{"a": 1.0}], vocabulary)


def test_unknown_tokens_can_be_an_error():
    with pytest.raises(ValueError, match="token 'b' is not in the vocabulary"):
        to_sparse_vector({"a": 1.0, "b": 2.0}, {"a": 0}, unknown="error")


def test_integer_tokens_hash_like_their_text(model):
    model_vector = model.encode_query([7, -12])
    assert list(model_vector) == [-12, 7]
    assert to_sparse_vector(model_vector) == to_sparse_vector({"-12": model_vector[-12], "7": model_vector[7]})


def test_hash_is_the_same_in_every_process():
    tokens = ["长江", "a", "7", ""]
    here = [token_hash(t) for t in tokens]
    script = f"from lumotext.sparse import token_hash; print([token_hash(t) for t in {tokens!r}])"
    for seed in ("1", "2"):
        env = {**os.environ, "PYTHONHASHSEED": seed}
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, check=True)
        assert result.stdout.strip() == repr(here)
    assert len(set(here)) == len(here)


def test_csr_rows_equal_the_dict_vectors(vectors):
    pytest.importorskip("scipy")
    matrix, vocabulary = to_csr_matrix(vectors)
    assert matrix.shape == (len(vectors), len(vocabulary))
    assert matrix.dtype.name == "float64"
    for row, vector in enumerate(vectors):
        start, end = matrix.indptr[row], matrix.indptr[row + 1]
        columns = matrix.indices[start:end].tolist()
        assert columns == sorted(set(columns))
        assert dict(zip(columns, matrix.data[start:end].tolist())) == {vocabulary[t]: w for t, w in vector.items()}
    assert matrix.getrow(3).nnz == 0  # the empty document


def test_csr_with_a_given_vocabulary(vectors):
    pytest.importorskip("scipy")
    vocabulary = {"今天": 9, "长江": 2}
    matrix, used = to_csr_matrix(vectors, vocabulary, dtype="float32")
    assert used == vocabulary
    assert matrix.shape == (len(vectors), 10)
    assert matrix.dtype.name == "float32"
    dense = matrix.toarray()
    assert dense[0, 2] == pytest.approx(vectors[0]["长江"])
    assert dense[2, 9] == pytest.approx(vectors[2]["今天"])
    assert dense.sum() == pytest.approx(vectors[0]["长江"] + vectors[2]["今天"] + vectors[4]["长江"])
    first_unknown = next(t for v in vectors for t in v if t not in vocabulary)
    with pytest.raises(ValueError, match=f"token '{first_unknown}' is not in the vocabulary"):
        to_csr_matrix(vectors, vocabulary, unknown="error")
    for row, vector in enumerate(vectors):
        start, end = matrix.indptr[row], matrix.indptr[row + 1]
        assert matrix.indices[start:end].tolist() == sorted(vocabulary[t] for t in vector if t in vocabulary)


@pytest.mark.parametrize("mode", ["numbered", "vocabulary", "error"])
def test_csr_of_a_long_stream_of_vectors(mode):
    """Vectors from a generator, with a token first seen (or first unknown) long after the
    start: columns in order of first appearance, rows matching the dicts, the right token named."""
    pytest.importorskip("scipy")
    rng = random.Random(3)
    vectors = [{f"t{rng.randrange(900)}": rng.random() for _ in range(rng.randrange(6))} for _ in range(1000)]
    vectors[777]["late"] = 0.5  # first seen, or first unknown, long after the first chunk
    vocabulary = None if mode == "numbered" else {f"t{i}": 899 - i for i in range(900)}
    if mode == "error":
        with pytest.raises(ValueError, match="token 'late' is not in the vocabulary"):
            to_csr_matrix((v for v in vectors), vocabulary, unknown="error")
        return
    matrix, used = to_csr_matrix((v for v in vectors), vocabulary)
    if vocabulary is None:
        assert list(used) == list(dict.fromkeys(t for v in vectors for t in v))
        assert used == {t: i for i, t in enumerate(used)}
    else:
        assert used == vocabulary
    for row, vector in enumerate(vectors):
        start, end = matrix.indptr[row], matrix.indptr[row + 1]
        expected = {used[t]: w for t, w in vector.items() if t in used}
        assert dict(zip(matrix.indices[start:end].tolist(), matrix.data[start:end].tolist())) == expected
        assert matrix.indices[start:end].tolist() == sorted(expected)


def test_csr_of_nothing():
    pytest.importorskip("scipy")
    matrix, vocabulary = to_csr_matrix([])
    assert matrix.shape == (0, 0)
    assert vocabulary == {}


@pytest.mark.parametrize("query", [False, True])
def test_encode_csr_scores_like_the_dicts(model, query):
    pytest.importorskip("scipy")
    documents = [d for d in DOCUMENTS if d]
    matrix, vocabulary = encode_csr(model, documents, query=query)
    encode = model.encode_query if query else model.encode_document
    probe = model.encode_query(["长江", "通车"])
    scores = matrix @ to_csr_matrix([probe], vocabulary)[0].T
    for row, document in enumerate(documents):
        vector = encode(document)
        expected = sum(w * vector.get(t, 0.0) for t, w in probe.items())
        assert scores[row, 0] == pytest.approx(expected)

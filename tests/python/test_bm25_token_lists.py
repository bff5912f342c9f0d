"""Token lists of every accepted shape give the same vectors as a plain list of the same values,
and result keys are plain str and int objects whatever the input elements were."""

import enum
from collections.abc import Sequence

import pytest
from pylumotext import BM25


class Color(enum.IntEnum):
    RED = 3


class Index:
    """Not an int, but usable as one (like a numpy integer)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FreshItems(Sequence):
    """A sequence that makes a new object on every access, which nobody else holds."""

    def __init__(self, make, n):
        self.make, self.n = make, n

    def __len__(self):
        return self.n

    def __getitem__(self, i):
        if not 0 <= i < self.n:
            raise IndexError(i)
        return self.make(i)


class Text(str):
    pass


def model():
    m = BM25()
    m.train(["t0", "t1", "t1", "t2", "3", "1"])
    m.train([1, 2, 3, 3])
    return m


@pytest.mark.parametrize(
    "tokens, plain",
    [
        ((1, 2, 2), [1, 2, 2]),
        (range(4), [0, 1, 2, 3]),
        (FreshItems(lambda i: 10**12 + i % 3, 7), [10**12 + i % 3 for i in range(7)]),
        ([True, 1, False], [1, 1, 0]),
        ([Color.RED, 3], [3, 3]),
        ([Index(5), Index(-5), 5], [5, -5, 5]),
    ],
)
@pytest.mark.parametrize("method", ["encode_document", "encode_query"])
def test_integer_sequences_match_a_plain_list(tokens, plain, method):
    m = model()
    got = getattr(m, method)(tokens)
    assert got == getattr(m, method)(plain)
    assert list(got) == sorted(set(plain))
    assert all(type(k) is int for k in got)


@pytest.mark.parametrize(
    "tokens, plain",
    [
        (("t1", "t0"), ["t1", "t0"]),
        (FreshItems(lambda i: f"t{i % 2}", 5), ["t0", "t1", "t0", "t1", "t0"]),
        ([Text("t2"), "t2", b"t1", bytearray(b"t0")], ["t2", "t2", "t1", "t0"]),
    ],
)
@pytest.mark.parametrize("method", ["encode_document", "encode_query"])
def test_string_sequences_match_a_plain_list(tokens, plain, method):
    m = model()
    got = getattr(m, method)(tokens)
    assert got == getattr(m, method)(plain)
    assert list(got) == sorted(set(plain))
    assert all(type(k) is str for k in got)


def test_training_from_fresh_items_counts_like_a_list():
    a, b = BM25(), BM25()
    a.train(FreshItems(lambda i: f"w{i % 3}", 9))
    b.train([f"w{i % 3}" for i in range(9)])
    a.train(FreshItems(lambda i: i % 4, 8))
    b.train([i % 4 for i in range(8)])
    query = ["w0", "w1", "0", "3", "x"]
    assert a.encode_query(query) == b.encode_query(query)
    assert a.encode_document(query) == b.encode_document(query)


@pytest.mark.parametrize("tokens", [[Index(2**63)], [1, Index(-(2**63) - 1)], [1, "a"], ["a", 1.5]])
def test_out_of_range_or_mixed_elements_match_no_overload(tokens):
    with pytest.raises(TypeError):
        model().encode_document(tokens)

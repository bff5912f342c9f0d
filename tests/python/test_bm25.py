"""The Python face of BM25: overload choice, conversions, messages and the encoding formulas."""

import math

import pylumotext
import pytest
from pylumotext import BM25

NOT_INITIALIZED = "BM25 has not been initialized"
EMPTY_TRAINING = "trainning tokens_vec should not be empty"


def trained(*docs, **params):
    model = BM25(**params)
    for doc in docs:
        model.train(doc)
    return model


def test_module_holds_only_its_classes():
    own = [name for name in vars(pylumotext) if not name.startswith("__")]
    assert own[0] == "BM25"
    assert set(own) <= {"BM25", "Jieba"}
    assert pylumotext.__doc__ is None


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((), {}, (0.75, 1.2)),
        ((0.5, 2), {}, (0.5, 2.0)),
        ((), {"k1": 1.5}, (0.75, 1.5)),
        ((), {"b": 0, "k1": -1}, (0.0, -1.0)),
    ],
)
def test_constructor_arguments(args, kwargs, expected):
    model = BM25(*args, **kwargs)
    assert (model.b(), model.k1()) == expected
    assert isinstance(model.k1(), float)


@pytest.mark.parametrize("name", ["b", "k1"])
def test_parameter_setters(name):
    model = BM25()
    assert getattr(model, name)(0.3) is None
    assert getattr(model, name)() == 0.3
    getattr(model, name)(2)  # an int converts in the second pass
    assert getattr(model, name)() == 2.0


def test_signatures_as_registered():
    assert "__init__(self: pylumotext.BM25, b: float = 0.75, k1: float = 1.2) -> None" in BM25.__init__.__doc__
    train_doc = BM25.train.__doc__
    assert "train(self: pylumotext.BM25, arg0: list[str]) -> None" in train_doc
    assert train_doc.index("list[str]") < train_doc.index("list[int]")
    for name in ("encode_document", "encode_query"):
        doc = getattr(BM25, name).__doc__
        assert f"{name}(self: pylumotext.BM25, arg0: list[str]) -> dict[str, float]" in doc
        assert f"{name}(self: pylumotext.BM25, arg0: list[int]) -> dict[int, float]" in doc


@pytest.mark.parametrize(
    "tokens",
    [["a", "b"], [1, 2], ("a", "b"), (1, 2), [True, 3], [b"raw", "text"], [2**63 - 1, -(2**63)]],
)
def test_train_accepts_token_sequences(tokens):
    model = BM25()
    model.train(tokens)
    assert model.encode_document(list(tokens))


@pytest.mark.parametrize(
    "tokens",
    ["ab", b"ab", ["a", 1], [1.0], [1, 2.5], [2**63], [-(2**63) - 1], [None], 5],
)
def test_train_refuses_other_arguments(tokens):
    model = BM25()
    with pytest.raises(TypeError, match="incompatible function arguments"):
        model.train(tokens)


def test_numpy_integers_take_the_integer_overload():
    numpy = pytest.importorskip("numpy")
    model = trained([1, 2])
    result = model.encode_document([numpy.int64(2), numpy.int32(1)])
    assert list(result) == [1, 2]


@pytest.mark.parametrize("empty", [[], ()])
def test_empty_training_list_raises(empty):
    model = trained(["a"])
    with pytest.raises(RuntimeError, match=f"^{EMPTY_TRAINING}$"):
        model.train(empty)
    assert model.encode_query(["a"]) == {"a": 1.0}  # still usable and unchanged


@pytest.mark.parametrize("method", ["encode_document", "encode_query"])
def test_untrained_model(method):
    model = BM25()
    assert getattr(model, method)([]) == {}
    for tokens in (["a"], [1]):
        with pytest.raises(RuntimeError, match=f"^{NOT_INITIALIZED}$"):
            getattr(model, method)(tokens)


def test_input_list_is_not_modified():
    tokens = ["b", "a", "b"]
    model = trained(tokens)
    model.encode_document(tokens)
    model.encode_query(tokens)
    assert tokens == ["b", "a", "b"]


def test_document_weights_match_the_formula():
    model = trained(["a", "b"])
    weights = model.encode_document(["a", "a", "b"])
    norm = (3 / 2 * 0.75 + 0.25) * 1.2
    assert weights == pytest.approx({"a": 2 / (norm + 2), "b": 1 / (norm + 1)})
    assert weights["a"] == pytest.approx(0.5479, abs=1e-4)
    assert weights["b"] == pytest.approx(0.3774, abs=1e-4)


def test_document_weight_ignores_training_counts():
    model = trained(["common"] * 5 + ["rare"])
    weights = model.encode_document(["common", "rare", "unseen"])
    assert weights["common"] == weights["rare"] == weights["unseen"]


@pytest.mark.parametrize(
    "b, k1, check",
    [
        (0.75, 1.2, lambda short, long: short > long),
        (0.0, 1.2, lambda short, long: short == pytest.approx(long)),
        (0.75, 0.0, lambda short, long: short == long == 1.0),
    ],
)
def test_document_length_normalisation(b, k1, check):
    model = trained(["x", "y", "z", "w"], b=b, k1=k1)
    short = model.encode_document(["t", "u"])["t"]
    long = model.encode_document(["t", "u", "v", "w", "x", "y"])["t"]
    assert check(short, long)


@pytest.mark.parametrize(
    "query, expected",
    [
        (["a", "c"], {"a": 0.5, "c": 0.5}),
        (["a", "a"], {"a": 1.0}),
        (["c", "a", "c", "a"], {"a": 0.5, "c": 0.5}),
    ],
)
def test_query_weights(query, expected):
    assert trained(["a", "b"]).encode_query(query) == pytest.approx(expected)


def test_query_with_negative_idf():
    model = trained(["a", "a"])  # idf(a) = log(2 / 2.5) < 0
    assert model.encode_query(["a"]) == {"a": 1.0}
    weights = model.encode_query(["a", "z"])
    neg, pos = math.log(2 / 2.5), math.log(2 / 1.5)
    assert weights == pytest.approx({"a": neg / (neg + pos), "z": pos / (neg + pos)})
    assert weights["a"] < 0 < 1 < weights["z"]
    assert sum(weights.values()) == pytest.approx(1.0)


def test_integer_and_string_tokens_share_statistics():
    model = trained([7, 7, 3], ["7", "x"])
    by_int = model.encode_query([7, 3])
    by_str = model.encode_query(["7", "3"])
    assert by_int[7] == by_str["7"]
    assert list(by_int) == [3, 7] and list(by_str) == ["3", "7"]


@pytest.mark.parametrize(
    "tokens, order",
    [
        (["y", "x"], ["x", "y"]),
        (["é", "z", "Z", "中", "a"], ["Z", "a", "z", "é", "中"]),  # UTF-8 byte order
        ([3, -1, 10, -20, 0], [-20, -1, 0, 3, 10]),
    ],
)
@pytest.mark.parametrize("method", ["encode_document", "encode_query"])
def test_result_keys_are_ordered(method, tokens, order):
    model = trained(["x", "y"], [1, 2])
    assert list(getattr(model, method)(tokens)) == order


def test_invalid_utf8_bytes_token_fails_on_the_way_back():
    model = trained(["a"])
    with pytest.raises(UnicodeDecodeError):
        model.encode_document([b"\xff\xfe"])
    assert model.encode_document(["a"]) == pytest.approx({"a": 1 / (1 + 1.2)})


def test_training_accumulates_across_calls():
    model = trained(["a", "b"], ["a"], [1, 2, 3])
    # idf(a) uses the count 2 of a over 3 documents.
    assert model.encode_query(["a", "zz"])["a"] == pytest.approx(
        math.log(4 / 2.5) / (math.log(4 / 2.5) + math.log(4 / 1.5))
    )


class TokenSequence:
    """A sequence that hands out a fresh string on every access."""

    def __init__(self, tokens):
        self._tokens = tokens

    def __len__(self):
        return len(self._tokens)

    def __getitem__(self, index):
        return "".join(list(self._tokens[index]))


class Text(str):
    pass


@pytest.mark.parametrize(
    "tokens",
    [
        TokenSequence(["tok-a", "tok-b", "tok-a"]),
        [Text("tok-a"), "tok-b", Text("tok-a")],
        [b"tok-a", bytearray(b"tok-b"), "tok-a"],
    ],
    ids=["fresh-objects", "str-subclass", "bytes-like"],
)
@pytest.mark.parametrize("method", ["encode_document", "encode_query"])
def test_any_string_like_tokens_give_plain_str_keys(method, tokens):
    model = trained(["tok-a", "x"])
    result = getattr(model, method)(tokens)
    assert result == getattr(model, method)(["tok-a", "tok-b", "tok-a"])
    assert all(type(key) is str for key in result)


def test_unencodable_str_does_not_match():
    with pytest.raises(TypeError):
        BM25().train(["ok", "\ud800"])


def test_long_tokens_sharing_a_prefix_are_ordered_and_counted():
    prefix = "abcdefgh"  # longer than the sort's fast comparison window
    tokens = [prefix + "2", prefix, prefix + "1", prefix + "\x00", prefix + "1", prefix + "é"]
    model = trained(tokens)
    weights = model.encode_document(tokens)
    assert list(weights) == sorted(set(tokens), key=lambda t: t.encode())
    assert weights[prefix + "1"] > weights[prefix]  # counted twice


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m.b(),
        lambda m: m.k1(0.5),
        lambda m: m.train(["a"]),
        lambda m: m.encode_query([1]),
        lambda m: m.load("{}"),
        lambda m: m.encode_document(["a"]),
    ],
)
def test_instance_never_constructed_raises(call):
    with pytest.raises(RuntimeError):
        call(BM25.__new__(BM25))

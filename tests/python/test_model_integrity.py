"""Model statistics that stay true: the total length after load, counts at their 64-bit limit,
negative counts, JSON escapes in token names, and the memory a model text may cost."""

from __future__ import annotations

import json
import os
import random
import subprocess
import sys
import textwrap

import pytest
from pylumotext import BM25

from lumotext import _native, merge_models, model_text

MAX = 2**63 - 1


def document(doc_count="3", average="2.5", counts='{"x": 4, "y": 1}', b="0.5", k1="1.5"):
    members = {
        "_b": b,
        "_doc_count": doc_count,
        "_doc_length_average": average,
        "_doc_token_frequency": counts,
        "_k1": k1,
    }
    return "{" + ", ".join(f'"{k}": {v}' for k, v in members.items() if v is not None) + "}"


def loaded(text):
    model = BM25()
    model.load(text)
    return model


# --- The total length is rebuilt on load --------------------------------------------------------


@pytest.mark.parametrize(
    "documents, extra",
    [
        ([["t"] * 50] * 1000, ["a", "b"]),
        ([["a", "b", "c"], ["d"]], ["e"] * 7),
        ([[i for i in range(k % 13 + 1)] for k in range(777)], [1, 2, 3]),  # an average of 6.98...
    ],
)
def test_training_after_load_continues_the_statistics(documents, extra):
    whole = BM25()
    for tokens in [*documents, extra]:
        whole.train(tokens)
    first = BM25()
    for tokens in documents:
        first.train(tokens)
    resumed = loaded(model_text(first))
    resumed.train(extra)
    assert model_text(resumed) == model_text(whole)


# --- 64-bit limits ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, message",
    [
        (document(doc_count=str(MAX)), "load doc_count failed"),  # the idf divides by doc_count + 1
        (document(doc_count="-1"), "load doc_count failed"),
        (document(counts='{"x": -4, "y": 1}'), "load doc_token_frequency failed"),
        (document(counts='{"x": 4, "y": -9223372036854775808}'), "load doc_token_frequency failed"),
        (document(counts="[1, 2]"), "load doc_token_frequency failed"),
        (document(counts='"x"'), "load doc_token_frequency failed"),
        (document(average="-2.5"), "load doc_length_average failed"),
        (document(doc_count="3", average="4000000000000000000.0"), "load doc_length_average failed"),
    ],
)
def test_load_refuses_what_no_training_gives(text, message):
    model = BM25(0.6, 1.4)
    model.train(["a", "b", "a"])
    before = model_text(model)
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        model.load(text)
    assert model_text(model) == before
    with pytest.raises(ValueError, match=f"^model #0: {message}$"):
        merge_models([text])


def test_the_largest_document_count_loads_and_queries():
    model = loaded(document(doc_count=str(MAX - 1), average="1.0", counts=f'{{"x": 5, "big": {MAX}}}'))
    weights = model.encode_query(["x", "unseen"])
    assert all(0.0 < weight < 1.0 for weight in weights.values())
    assert sum(weights.values()) == pytest.approx(1.0)


@pytest.mark.parametrize(
    "text, tokens, message",
    [
        (document(doc_count=str(MAX - 1), average="1.0"), ["a"], "train doc_count failed"),
        (document(doc_count="1", average="9223372036854775000.0"), ["a"] * 2000, "train doc_length_total failed"),
        (document(counts=f'{{"a": 1, "x": {MAX}}}'), ["a", "new", "x"], "train doc_token_frequency failed"),
        (document(counts=f'{{"a": 1, "x": {MAX - 1}}}'), ["a", "new", "x", "x"], "train doc_token_frequency failed"),
    ],
)
def test_train_that_would_overflow_changes_nothing(text, tokens, message):
    model = loaded(text)
    before = model_text(model)
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        model.train(tokens)
    assert model_text(model) == before


def test_merge_that_would_overflow_is_refused():
    half = document(doc_count=str(2**62), average="1.0", counts=f'{{"x": {2**62}}}')
    with pytest.raises(ValueError, match=r"^model #1: merge doc_count failed$"):
        merge_models([half, half])
    counts = document(doc_count="1", average="1.0", counts=f'{{"x": {2**62}}}')
    with pytest.raises(ValueError, match=r"^model #1: merge doc_token_frequency failed$"):
        merge_models([counts, counts])


# --- Escapes in token names ---------------------------------------------------------------------

PIECES = [
    "a",
    "\\",
    "u",
    "0041",
    "\\u0041",
    "\\\\u0041",
    '"',
    "/",
    "\n",
    "\x00",
    "\x1f",
    "\u4e2d",
    "\U0001f600",
    "\ud83d",
    "\ude00",
    "\ud800",
    "\udfff",
    "\udbff",
    "\udc00",
    "\\ud83d",
    "\\ude00",
    "é",
    " ",
]


def tricky_tokens(count, seed):
    rng = random.Random(seed)
    return ["".join(rng.choice(PIECES) for _ in range(rng.randint(1, 6))) for _ in range(count)]


def python_json_model(tokens, ensure_ascii):
    counts = {token: i + 1 for i, token in enumerate(tokens)}
    return json.dumps(
        {"_b": 0.5, "_doc_count": 2, "_doc_length_average": 1.5, "_k1": 1.25, "_doc_token_frequency": counts},
        ensure_ascii=ensure_ascii,
    ), counts


def utf8(token):
    return token.encode("utf-8", "surrogatepass")


FIXED_TOKENS = [
    "\\u0041",
    "\\\\u0041",
    "\\u005c",
    "A",
    "\ud800",
    "\ud83d\ude00",
    "\ud83d",
    "\ude00\ud83d",
    "\ud83dA",
    "\\ud83d\\ude00",
    "\ud83d\\ude00",
    "a/b",
    "\\/",
    "\u00e9",
]


@pytest.mark.parametrize("tokens", [FIXED_TOKENS, *(tricky_tokens(40, seed) for seed in range(6))])
@pytest.mark.parametrize("ensure_ascii", [True, False])
def test_token_names_read_as_pythons_json_reads_them(tmp_path, tokens, ensure_ascii):
    if not ensure_ascii:  # a surrogate written raw is no UTF-8 text
        tokens = [t for t in tokens if not any(0xD800 <= ord(c) <= 0xDFFF for c in t)]
    text, counts = python_json_model(tokens, ensure_ascii)
    expected = json.loads(text)["_doc_token_frequency"]
    assert _native.parse_model(text).token_counts() == {utf8(t): c for t, c in expected.items()}
    path = tmp_path / "model.json"
    loaded(text).dump(str(path))
    written = path.read_bytes()
    # Every token comes back from the written file as Python's reader read it from the source.
    assert json.loads(written.decode("utf-8"))["_doc_token_frequency"] == expected
    assert json.loads(merge_models([text]))["_doc_token_frequency"] == expected
    again = tmp_path / "again.json"
    loaded(written.decode("utf-8")).dump(str(again))
    assert again.read_bytes() == written


def test_escaped_member_names_are_members():
    text = '{"_doc\\u005fcount": 2, "\\u005f\\u0062": 0.5, "_k1": 1.5, "_doc_length_average": 1.0}'
    model = loaded(text)
    assert model.b() == 0.5
    assert json.loads(model_text(model))["_doc_count"] == 2


# --- Memory a model text costs ------------------------------------------------------------------

PEAK_SCRIPT = textwrap.dedent("""
    import resource, sys
    from pylumotext import BM25
    size = int(sys.argv[2])
    kind = sys.argv[1]
    unit = {
        "arrays": '[],', "objects": '{},', "nested": '[[{"a":[]}]],', "numbers": '1,',
    }.get(kind)
    if kind == "tokens":
        body = ",".join(f'"{i:x}":1' for i in range(size // 8))
        text = '{"_doc_token_frequency":{' + body + '},"_doc_count":1,"_doc_length_average":1.0,"_b":0.5,"_k1":1.0}'
    elif kind == "root array":
        text = "[" + "[]," * (size // 3) + "[]]"
    else:
        text = '{"junk":[' + unit * (size // len(unit)) + '0],"_doc_count":1}'
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    model = BM25()
    try:
        model.load(text)
    except RuntimeError:
        pass
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(len(text), (after - before) * 1024)
""")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="ASan keeps freed memory on purpose")
@pytest.mark.parametrize("kind", ["arrays", "objects", "nested", "numbers", "root array", "tokens"])
def test_loading_costs_memory_in_proportion_to_the_text(kind):
    result = subprocess.run(
        [sys.executable, "-c", PEAK_SCRIPT, kind, str(3_000_000)], capture_output=True, text=True, check=True
    )
    size, grown = map(int, result.stdout.split())
    assert grown <= 30 * size, f"{kind}: {grown / size:.1f} bytes per byte of text"

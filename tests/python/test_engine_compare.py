"""The engine benchmark's corpus building and result tables (no engine needed)."""

import os
import random
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "bench"))

import engine_compare as ec  # noqa: E402
import harness  # noqa: E402

HAN = [chr(cp) for cp in range(0x4E00, 0x4E00 + 400)]


def made_up_lines(count: int, seed: int = 5) -> list[str]:
    """Lines of one to three sentences of 8-20 ideographs, a few of them repeated."""
    rng = random.Random(seed)
    sentences = ["".join(rng.choices(HAN, k=rng.randint(8, 20))) + "。" for _ in range(count)]
    lines = []
    for i in range(0, count, 2):
        lines.append("".join(sentences[i : i + rng.randint(1, 3)]))
    return lines + lines[:5]


def test_sentences_are_split_stripped_and_kept_once():
    long_a, long_b = "甲乙丙丁戊己庚辛壬。", "子丑寅卯辰巳午未申！"
    lines = [f"  {long_a}{long_b}", long_b, f"{long_a}短。", "", "   "]
    # A piece under 8 characters joins the sentence before it.
    assert ec.corpus_sentences(lines) == [long_a, long_b, long_a + "短。"]


def test_queries_are_held_out_of_every_document():
    sentences = ec.corpus_sentences(made_up_lines(3000))
    pool, queries = ec.hold_out(sentences, 200)
    assert len(queries) == len(set(queries)) == 200
    assert not set(queries) & set(pool)
    assert sorted(pool + queries) == sorted(sentences)
    assert all(ec.ideographs(q) >= ec.MIN_QUERY_IDEOGRAPHS for q in queries)
    docs = ec.first_documents(pool, 3 * len(pool))
    pieces = {d[: d.index("。") + 1] for d in docs} | {d[d.index("。") + 1 :] for d in docs}
    assert pieces <= set(pool) and not pieces & set(queries)


@pytest.mark.parametrize("seed", [1, 22])
def test_corpus_building_is_deterministic_and_prefix_stable(seed):
    sentences = ec.corpus_sentences(made_up_lines(400))
    pool, queries = ec.hold_out(sentences, 20, seed=seed)
    assert (pool, queries) == ec.hold_out(sentences, 20, seed=seed)
    large = ec.first_documents(pool, 5 * len(pool), seed=seed)
    assert ec.first_documents(pool, 333, seed=seed) == large[:333]
    assert large == ec.first_documents(pool, len(large), seed=seed)
    # The first pass pairs neighbours as they stand in the text; later passes mix them.
    half = len(pool) // 2
    assert large[:half] == [pool[2 * i] + pool[2 * i + 1] for i in range(half)]
    assert large[half : 2 * half] != large[:half]
    assert len(set(large)) > 0.9 * len(large)


def test_a_different_seed_gives_different_queries_and_mixes():
    sentences = ec.corpus_sentences(made_up_lines(400))
    pool_a, queries_a = ec.hold_out(sentences, 20, seed=1)
    _, queries_b = ec.hold_out(sentences, 20, seed=2)
    assert queries_a != queries_b
    n = 2 * len(pool_a)
    assert ec.first_documents(pool_a, n, seed=1) != ec.first_documents(pool_a, n, seed=2)


def test_too_many_queries_and_too_small_pools_are_refused():
    sentences = ec.corpus_sentences(made_up_lines(20))
    with pytest.raises(ValueError, match="queries"):
        ec.hold_out(sentences, len(sentences) + 1)
    with pytest.raises(ValueError, match="two sentences"):
        ec.first_documents(["甲乙丙丁戊己庚辛。"], 1)


@pytest.mark.parametrize(
    "reference, other, expected",
    [
        ([[1, 2, 3, 4]], [[4, 3, 2, 1]], 1.0),
        ([[1, 2, 3, 4]], [[1, 9, 8, 7]], 0.25),
        # Queries the reference found nothing for are left out of the mean.
        ([[1, 2], [], [5]], [[2, 7], [3], [6]], 0.25),
        ([[], []], [[1], [2]], None),
    ],
)
def test_top_agreement(reference, other, expected):
    assert ec.top_agreement(reference, other) == (pytest.approx(expected) if expected is not None else None)


def test_top_agreement_compares_only_the_top_k():
    assert ec.top_agreement([list(range(20))], [list(range(10, 30))], k=10) == 0.0
    with pytest.raises(ValueError):
        ec.top_agreement([[1], [2]], [[1]])


def test_result_table_rendering():
    results = [
        {
            "system": "lumotext.Index",
            "docs": 100_000,
            "build_s": 12.5,
            "segments": 1,
            "qps_1": 1234.5,
            "qps_2": 2222.0,
            "speedup_2": 1.8,
            "busy_speedup_2": 1.1,
            "disk_bytes": 50 * ec.MIB,
            "load_s": 0.0123,
            "rss_load": 10 * ec.MIB,
            "rss_queries": 20 * ec.MIB,
            "load_average": [2.0, 3.3, 4.0],
        },
        {"system": "tantivy", "docs": 100_000, "qps_1": 2469.0, "disk_bytes": 25 * ec.MIB, "agreement": 0.756},
        {"system": "bm25s", "docs": 100_000, "error": "did not install"},
    ]
    table = harness.markdown_table(ec.RESULT_COLUMNS, ec.table_rows(results)).splitlines()
    assert table[0].count("|") == len(ec.RESULT_COLUMNS) + 1
    ours = [cell.strip() for cell in table[2].split("|")[1:-1]]
    assert ours == [
        "lumotext.Index",
        "100,000",
        "12.50",
        "1",
        "1,234",
        "2,222",
        "1.80x",
        "1.10x",
        "50.00",
        "0.012",
        "10.00",
        "20.00",
        "-",
        "2.0/3.3/4.0",
    ]
    peer = [cell.strip() for cell in table[3].split("|")[1:-1]]
    assert peer[ec.RESULT_COLUMNS.index(("agreement", "top-10 agreement"))] == "76%"
    assert peer[ec.RESULT_COLUMNS.index(("build_s", "build s"))] == "-"
    assert peer[ec.RESULT_COLUMNS.index(("segments", "segments"))] == "-"
    notes = ec.ratio_notes(results)
    assert notes == ["100,000 documents, lumotext.Index / tantivy: q/s 1 thread 0.50x, size 2.00x"]


def test_the_engines_get_exactly_the_analyzers_terms(tmp_path):
    """The terms travel to the engines through a file of space-joined lines: every term must
    come back as it was, the bigram field's marked terms and Latin words included."""
    from lumotext import Analyzer

    texts = ["北京大学的学生在Ｐｙｔｈｏｎ课上", "", "。，！", "Hello World 2024 年的計劃", "a\tb  c"] * 3
    path = str(tmp_path / "terms.txt")
    _, with_space = ec.analyze_to_file(texts, path, processes=1)
    analyzer = Analyzer()
    assert ec.read_terms(path) == [analyzer.analyze(t) for t in texts]
    assert with_space == 0
    assert any(t.startswith("\x01") for terms in ec.read_terms(path) for t in terms)


@pytest.mark.parametrize("text, sizes", [("100000,1000000", [100_000, 1_000_000]), ("20_000", [20_000])])
def test_document_counts_option(text, sizes):
    assert ec.parse_sizes(text) == sizes


@pytest.mark.parametrize("text", ["", "0", "100,-5"])
def test_document_counts_option_refuses_nonsense(text):
    with pytest.raises(Exception, match="positive"):
        ec.parse_sizes(text)

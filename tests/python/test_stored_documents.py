"""Stored documents: texts, ids and metadata come back from document(), from searches with
return_documents=True and after save/load; bad ids and metadata are refused before their batch
is added; an index with store=False, or saved before documents were stored, says it has none."""

from __future__ import annotations

import math
import shutil
from pathlib import Path

import pytest

from lumotext import Document, Hit, Index

TEXTS = [
    "北京今天天气晴朗，适合出门。",
    "上海明天有雨，记得带伞。",
    "长江大桥今天正式通车。",
    "广州的早茶很有名。",
    "北京的秋天很美，天气凉爽。",
    "深圳的科技公司很多。",
]
IDS = ["bj-1", None, "cj", "gz", "bj-2", None]
METADATA = [{"city": "北京", "n": 1}, None, {"tags": ["桥", "江"]}, {}, {"city": "北京", "nested": {"a": [1.5]}}, None]
FIXTURES = Path(__file__).parent / "fixtures"


@pytest.fixture()
def stored() -> Index:
    index = Index()
    index.add(TEXTS, ids=IDS, metadata=METADATA, batch_size=4)
    return index


def expected_document(number: int) -> Document:
    return Document(TEXTS[number], IDS[number], METADATA[number] or {})


def check_documents(index: Index) -> None:
    for number in range(len(TEXTS)):
        assert index.document(number) == expected_document(number)
    for query in ("北京天气", "长江", "早茶", "火星"):
        plain = index.search(query, k=4)
        hits = index.search(query, k=4, return_documents=True)
        assert [(h.number, h.score) for h in hits] == plain
        assert all(isinstance(h, Hit) for h in hits)
        assert [(h.text, h.id, h.metadata) for h in hits] == [(TEXTS[n], IDS[n], METADATA[n] or {}) for n, _ in plain]
    many = index.search_many(["北京天气", "火星", "雨"], k=3, return_documents=True)
    assert many == [index.search(q, k=3, return_documents=True) for q in ["北京天气", "火星", "雨"]]


def test_documents_come_back_before_and_after_save_and_load(stored: Index, tmp_path: Path) -> None:
    check_documents(stored)
    stored.save(tmp_path / "ix")
    loaded = Index.load(tmp_path / "ix")
    assert loaded.stores_documents
    check_documents(loaded)
    # Added and saved again into the same directory: the new commit holds the old and new documents.
    loaded.add(["成都的火锅很辣。"], ids=["cd"], metadata=[{"spicy": True}])
    loaded.save(tmp_path / "ix")
    again = Index.load(tmp_path / "ix")
    assert again.document(6) == Document("成都的火锅很辣。", "cd", {"spicy": True})
    check_documents(again)


def test_results_without_documents_are_those_of_a_numbers_only_index(stored: Index) -> None:
    plain = Index(store=False)
    plain.add(TEXTS)
    for query in ("北京天气", "长江大桥", "雨"):
        assert stored.search(query, k=5) == plain.search(query, k=5)
    assert stored.search_many(["北京", "上海"], k=3) == plain.search_many(["北京", "上海"], k=3)


def test_documents_survive_merges(stored: Index, tmp_path: Path) -> None:
    other = Index()
    other.add(["杭州的西湖很美。"], ids=["hz"])
    merged = Index.merge([stored, other])
    assert merged.document(len(TEXTS)) == Document("杭州的西湖很美。", "hz", {})
    assert merged.document(2) == expected_document(2)
    with pytest.raises(ValueError, match="store documents"):
        Index.merge([stored, Index(store=False)])


def test_remove_ids_removes_the_holders_or_nothing(stored: Index) -> None:
    assert stored.remove_ids(["gz", "bj-1"]) == [3, 0]
    assert stored.live_documents() == [1, 2, 4, 5]
    with pytest.raises(KeyError):
        stored.document(3)
    for ids in (["cj", "missing"], ["cj", "cj"], ["gz"]):
        with pytest.raises(KeyError):
            stored.remove_ids(ids)
        assert stored.live_documents() == [1, 2, 4, 5], ids
    # A removed document's id may be given again.
    assert stored.add(["新的广州"], ids=["gz"]) == range(6, 7)
    assert stored.remove_ids(["gz"]) == [6]


@pytest.mark.parametrize(
    "ids, metadata, error, message",
    [
        ([7], None, TypeError, "must be str or None, not int"),
        ([""], None, ValueError, "is empty"),
        (["bj-1"], None, ValueError, "already held by document 0"),
        (["x", "x"], None, ValueError, "given twice"),
        (["\ud800"], None, UnicodeEncodeError, "surrogates"),
        (None, [{"s": {1, 2}}], TypeError, "cannot be stored as JSON"),
        (None, [{"x": math.nan}], ValueError, "cannot be stored as JSON"),
        (None, [{"x": "\udcff"}], ValueError, "cannot be stored as JSON"),
        (None, [["not", "a", "mapping"]], TypeError, "must be a mapping"),
        (None, "{}", TypeError, "one entry per text"),
    ],
)
def test_bad_ids_and_metadata_add_nothing(stored: Index, ids, metadata, error, message) -> None:
    texts = ["新文档"] * (len(ids) if ids is not None else len(metadata))
    with pytest.raises(error, match=message):
        stored.add(texts, ids=ids, metadata=metadata)
    assert len(stored) == len(TEXTS)
    check_documents(stored)


def test_ids_running_out_stop_before_their_batch(stored: Index) -> None:
    with pytest.raises(ValueError, match="3 texts but 2 ids"):
        stored.add(["一", "二", "三"], ids=["a", "b"])
    with pytest.raises(ValueError, match="ids ran out at document 8"):
        stored.add(iter(["一", "二", "三"]), ids=iter(["a", "b"]), batch_size=2)
    assert len(stored) == len(TEXTS) + 2  # the first whole batch went in, as with any interrupted add


def test_a_numbers_only_index_says_it_stores_nothing(tmp_path: Path) -> None:
    plain = Index(store=False)
    plain.add(TEXTS)
    assert not plain.stores_documents
    with pytest.raises(RuntimeError, match="does not store documents"):
        plain.document(0)
    with pytest.raises(RuntimeError, match="does not store documents"):
        plain.search("北京", return_documents=True)
    with pytest.raises(RuntimeError, match="does not store documents"):
        plain.search_many(["火星"], return_documents=True)
    with pytest.raises(ValueError, match="need an index that stores documents"):
        plain.add(["一"], ids=["a"])
    plain.save(tmp_path / "ix")
    assert not Index.load(tmp_path / "ix").stores_documents
    shutil.copytree(FIXTURES / "index_v1", tmp_path / "old")
    old = Index.load(tmp_path / "old")
    assert not old.stores_documents and len(old) > 0


def test_argument_mistakes(stored: Index) -> None:
    with pytest.raises(ValueError, match="cannot be used together"):
        stored.search_many(["北京"], as_arrays=True, return_documents=True)
    with pytest.raises(TypeError, match="store must be True or False"):
        Index(store=1)  # type: ignore[arg-type]
    with pytest.raises(KeyError):
        stored.document(len(TEXTS))

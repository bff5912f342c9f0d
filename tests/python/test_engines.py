"""The index's vectors in the real engines: Qdrant's local mode and Milvus Lite rank like
Index.search, keep payloads, refuse collections configured otherwise, and catch up with an
index changed after the export."""

from __future__ import annotations

import engine_checks
import pytest

from lumotext import Index

qdrant_client = pytest.importorskip(
    "qdrant_client", reason="the qdrant extra is not installed (pip install '.[qdrant]')"
)


@pytest.fixture(scope="module")
def corpus_index():
    index = Index()
    index.add(engine_checks.corpus())
    return index


@pytest.fixture(scope="module")
def expected(corpus_index):
    # The whole ranking of every query, so an engine's scores can be checked document by document.
    return {query: corpus_index.search(query, k=len(corpus_index)) for query in engine_checks.queries()}


# --- Qdrant -------------------------------------------------------------------------------------


def qdrant_collection(index, name="docs", **options):
    from lumotext.qdrant import QdrantCollection

    return QdrantCollection(qdrant_client.QdrantClient(":memory:"), name, index, **options)


@pytest.mark.parametrize("idf", ["index", "qdrant"])
def test_qdrant_ranks_like_the_index(corpus_index, expected, idf):
    collection = qdrant_collection(corpus_index, idf=idf)
    collection.create()
    assert collection.upsert(batch_size=300) == len(corpus_index)
    agreed = []
    for query, ranking in expected.items():
        found = collection.search(query, k=engine_checks.TOP)
        top = ranking[: engine_checks.TOP]
        agreed.append(engine_checks.agreeing_places(found, top))
        assert engine_checks.scores_match(found, dict(ranking)) == [], query
        assert len(found) == len(top), query
    assert sum(agreed) / len(agreed) >= 9.5, agreed


# --- Milvus -------------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def milvus_client(tmp_path_factory):
    pymilvus = pytest.importorskip("pymilvus", reason="the milvus extra is not installed (pip install '.[milvus]')")
    pytest.importorskip("milvus_lite", reason="milvus-lite is not installed (pip install '.[milvus]')")
    client = pymilvus.MilvusClient(str(tmp_path_factory.mktemp("milvus") / "engine-tests.db"))
    yield client
    client.close()


def milvus_collection(client, index, name):
    from lumotext.milvus import MilvusCollection

    if client.has_collection(name):
        client.drop_collection(name)
    collection = MilvusCollection(client, name, index)
    collection.create()
    return collection


def test_milvus_ranks_like_the_index(milvus_client, corpus_index, expected):
    collection = milvus_collection(milvus_client, corpus_index, "ranking")
    assert collection.upsert(batch_size=300) == len(corpus_index)
    agreed = []
    for query, ranking in expected.items():
        found = collection.search(query, k=engine_checks.TOP)
        top = ranking[: engine_checks.TOP]
        agreed.append(engine_checks.agreeing_places(found, top))
        assert engine_checks.scores_match(found, dict(ranking)) == [], query
    assert sum(agreed) / len(agreed) >= 9.5, agreed


# --- Both ---------------------------------------------------------------------------------------

SMALL = ["长江大桥今天通车", "南京市长江大桥", "今天下雨", "北京的大桥", "长江流域的降雨", "市长今天讲话"]


def small_index():
    index = Index()
    index.add(SMALL)
    return index


def make_collection(engine, index, request, name):
    if engine == "qdrant":
        return qdrant_collection(index, name)
    client = request.getfixturevalue("milvus_client")
    return milvus_collection(client, index, name)


def stored_payload(engine, collection, number):
    if engine == "qdrant":
        (point,) = collection.client.retrieve(collection.name, [number], with_payload=True)
        return point.payload
    (row,) = collection.client.get(collection.name, ids=[number])
    return {key: value for key, value in row.items() if key not in ("doc", collection.vector_field)}


@pytest.mark.parametrize("engine", ["qdrant", "milvus"])
def test_sync_after_adds_and_removes(engine, request):
    index = small_index()
    collection = make_collection(engine, index, request, "sync")
    if engine == "qdrant":
        collection.create()
    collection.upsert()
    index.remove([1])
    index.add(["长江大桥的桥头堡", "大桥通车"])
    # Only the new documents: document 1 is still there, and the older vectors are stale.
    collection.upsert(since=len(SMALL))
    assert 1 in [number for number, _ in collection.search("南京市长江大桥", k=10)]
    assert collection.sync() == 1
    for query in ["长江大桥", "今天", "南京市长江大桥", "大桥通车"]:
        expected = index.search(query, k=10)
        found = collection.search(query, k=10)
        assert [number for number, _ in found] == [number for number, _ in expected], query
        assert engine_checks.scores_match(found, dict(expected)) == []


@pytest.mark.parametrize("engine", ["qdrant", "milvus"])
@pytest.mark.parametrize("form", ["sequence", "mapping", "function"])
def test_payloads_go_with_their_documents(engine, form, request):
    index = small_index()
    index.remove([0])
    collection = make_collection(engine, index, request, f"payloads_{form}")
    if engine == "qdrant":
        collection.create()
    payloads = [{"text": text, "position": number} for number, text in enumerate(SMALL)]
    given = {"sequence": payloads, "mapping": dict(enumerate(payloads)), "function": payloads.__getitem__}[form]
    assert collection.upsert(payloads=given, batch_size=2) == len(SMALL) - 1
    for number in [1, 5]:
        assert stored_payload(engine, collection, number) == payloads[number]


@pytest.mark.parametrize("engine", ["qdrant", "milvus"])
def test_queries_without_index_terms_find_nothing(engine, request):
    collection = make_collection(engine, small_index(), request, "empty_queries")
    if engine == "qdrant":
        collection.create()
    collection.upsert()
    assert collection.search("", k=3) == [] == collection.search("。，！", k=3)
    with pytest.raises(ValueError, match="k must be positive"):
        collection.search("长江", k=0)


@pytest.mark.parametrize("engine", ["qdrant", "milvus"])
def test_progress_bar_on_request(engine, request, capfd):
    collection = make_collection(engine, small_index(), request, "progress")
    if engine == "qdrant":
        collection.create()
    collection.upsert(progress=True, batch_size=4)
    err = capfd.readouterr().err
    assert f"{engine} upsert" in err and "100%" in err and f"{len(SMALL)}/{len(SMALL)}" in err
    collection.upsert()
    assert "upsert" not in capfd.readouterr().err


# --- Collections configured otherwise -----------------------------------------------------------


@pytest.mark.parametrize(
    "existing, asked, message",
    [
        (
            {"sparse": {"lumotext": None}},
            "qdrant",
            r"sparse 'lumotext' \(modifier none\)\].*idf='qdrant' needs \[sparse 'lumotext' \(modifier idf\)\]",
        ),
        (
            {"sparse": {"lumotext": "idf"}},
            "index",
            r"sparse 'lumotext' \(modifier idf\)\].*idf='index' needs \[sparse 'lumotext' \(modifier none\)\]",
        ),
        (
            {"sparse": {"other": None}},
            "index",
            r"has vectors \[sparse 'other' \(modifier none\)\].*needs \[sparse 'lumotext'",
        ),
        ({"dense": 4}, "index", r"has vectors \[dense '\(unnamed\)'\].*needs \[sparse 'lumotext' \(modifier none\)\]"),
    ],
)
def test_qdrant_refuses_a_collection_configured_otherwise(existing, asked, message):
    from qdrant_client import models

    from lumotext.qdrant import CollectionMismatchError

    collection = qdrant_collection(small_index(), "configured", idf=asked)
    sparse = {
        name: models.SparseVectorParams(modifier=models.Modifier.IDF if modifier else None)
        for name, modifier in existing.get("sparse", {}).items()
    }
    dense = models.VectorParams(size=existing["dense"], distance=models.Distance.DOT) if "dense" in existing else {}
    collection.client.create_collection("configured", vectors_config=dense, sparse_vectors_config=sparse or None)
    for action in (collection.create, collection.upsert, collection.sync):
        with pytest.raises(CollectionMismatchError, match=message):
            action()
    with pytest.raises(ValueError, match="exists already"):
        collection.create(exist_ok=False)


MILVUS_MISMATCHES = {
    "dense": (
        [("doc", "INT64", True), ("lumotext", "FLOAT_VECTOR", False)],
        r"has fields \['doc' INT64 primary key, 'lumotext' FLOAT_VECTOR \(FLAT, metric IP\)\], but lumotext.milvus needs "
        r"\['doc' INT64 primary key, 'lumotext' SPARSE_FLOAT_VECTOR \(SPARSE_INVERTED_INDEX, metric IP\)\]",
    ),
    "other_name": (
        [("doc", "INT64", True), ("vector", "SPARSE_FLOAT_VECTOR", False)],
        r"has fields \['doc' INT64 primary key, 'vector' SPARSE_FLOAT_VECTOR \(SPARSE_INVERTED_INDEX, metric IP\)\]",
    ),
    "text_key": (
        [("doc", "VARCHAR", True), ("lumotext", "SPARSE_FLOAT_VECTOR", False)],
        r"has fields \['doc' VARCHAR primary key, 'lumotext' SPARSE_FLOAT_VECTOR",
    ),
}


@pytest.mark.parametrize("kind", MILVUS_MISMATCHES)
def test_milvus_refuses_a_collection_configured_otherwise(milvus_client, kind):
    from pymilvus import DataType, MilvusClient

    from lumotext.milvus import CollectionMismatchError, MilvusCollection

    fields, message = MILVUS_MISMATCHES[kind]
    name = f"configured_{kind}"
    if milvus_client.has_collection(name):
        milvus_client.drop_collection(name)
    schema = MilvusClient.create_schema(auto_id=False)
    index_params = milvus_client.prepare_index_params()
    for field, type_name, primary in fields:
        options = {"dim": 4} if type_name == "FLOAT_VECTOR" else {"max_length": 16} if type_name == "VARCHAR" else {}
        schema.add_field(field, getattr(DataType, type_name), is_primary=primary, **options)
        if type_name.endswith("_VECTOR"):
            index_type = "FLAT" if type_name == "FLOAT_VECTOR" else "SPARSE_INVERTED_INDEX"
            index_params.add_index(field_name=field, index_type=index_type, metric_type="IP")
    milvus_client.create_collection(name, schema=schema, index_params=index_params)
    collection = MilvusCollection(milvus_client, name, small_index())
    for action in (collection.create, collection.upsert, collection.sync, lambda: collection.search("长江", k=1)):
        with pytest.raises(CollectionMismatchError, match=message):
            action()
    with pytest.raises(ValueError, match="exists already"):
        collection.create(exist_ok=False)


def test_milvus_takes_both_input_forms(milvus_client):
    pytest.importorskip("scipy", reason="the scipy extra is not installed")
    from lumotext.milvus import to_csr_rows, to_milvus

    index = small_index()
    collection = milvus_collection(milvus_client, index, "input_forms")
    vectors = list(index.document_vectors())
    rows = to_csr_rows(vectors)
    assert rows.shape[0] == len(vectors)
    for number, vector in enumerate(vectors):
        row = rows.getrow(number)
        assert to_milvus(vector) == pytest.approx(dict(zip(row.indices.tolist(), row.data.tolist())), rel=1e-6)
    # Rows written in the CSR form rank like the index, as the dict form does.
    milvus_client.upsert(collection.name, [{"doc": n, "lumotext": rows.getrow(n)} for n in range(len(vectors))])
    for query in ["长江大桥", "今天"]:
        assert [n for n, _ in collection.search(query, k=6)] == [n for n, _ in index.search(query, k=6)]

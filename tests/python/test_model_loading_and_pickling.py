"""lumotext.load_model's text-or-path rule, and pickling of BM25 through the companion."""

from __future__ import annotations

import multiprocessing
import pickle
from pathlib import Path

import pytest
from pylumotext import BM25

import lumotext
from lumotext import load_model, model_text

DOCUMENTS = [["长江", "大桥", "通车"], ["a", "b", "a"], ["tab\there", 'quote"', "back\\slash"], ["大桥"]]


def trained(b: float = 0.75, k1: float = 1.2) -> BM25:
    model = BM25(b, k1)
    for document in DOCUMENTS:
        model.train(document)
    return model


def test_load_model_reads_text_str_path_and_path_object(tmp_path: Path) -> None:
    text = model_text(trained())
    path = tmp_path / "model.json"
    path.write_text(text, encoding="utf-8")
    for source in (text, "\n  " + text, str(path), path):
        assert model_text(load_model(source)) == text


@pytest.mark.parametrize("name", ["missing.json", "", "dir"])
def test_load_model_names_a_path_that_is_not_a_file(tmp_path: Path, name: str) -> None:
    (tmp_path / "dir").mkdir()
    with pytest.raises(FileNotFoundError, match="neither a model document"):
        load_model(str(tmp_path / name) if name else name)


def test_load_model_rejects_other_types() -> None:
    with pytest.raises(TypeError):
        load_model(b"{}")  # type: ignore[arg-type]


def test_file_that_is_not_a_model_fails_in_the_loader(tmp_path: Path) -> None:
    path = tmp_path / "notes.txt"
    path.write_text("not a model", encoding="utf-8")
    with pytest.raises(RuntimeError):
        load_model(path)


@pytest.mark.parametrize(
    "model",
    [BM25(), trained(), trained(b=0.123456789, k1=2.0000001)],
    ids=["untrained", "trained", "parameters-beyond-six-decimals"],
)
def test_pickle_round_trip_keeps_document_and_parameters(model: BM25) -> None:
    copy = pickle.loads(pickle.dumps(model))
    assert type(copy) is BM25 and copy is not model
    assert model_text(copy) == model_text(model)
    assert (copy.b(), copy.k1()) == (model.b(), model.k1())
    if model_text(model) != model_text(BM25()):
        for document in DOCUMENTS + [["unseen", "大桥"]]:
            assert copy.encode_document(document) == model.encode_document(document)
            assert copy.encode_query(document) == model.encode_query(document)


def _encode_in_worker(model: BM25, document: list[str]) -> tuple[str, dict[str, float], dict[str, float]]:
    return model_text(model), model.encode_document(document), model.encode_query(document)


@pytest.mark.parametrize("method", ["spawn", "forkserver"])
def test_models_travel_to_worker_processes(method: str) -> None:
    model = trained(b=0.5, k1=1.7)
    context = multiprocessing.get_context(method)
    with context.Pool(2) as pool:
        results = pool.starmap(_encode_in_worker, [(model, document) for document in DOCUMENTS])
    for document, (text, doc_vector, query_vector) in zip(DOCUMENTS, results, strict=True):
        assert text == model_text(model)
        assert doc_vector == model.encode_document(document)
        assert query_vector == model.encode_query(document)


def test_version_is_the_installed_distributions() -> None:
    from importlib.metadata import version

    assert lumotext.__version__ == version("pylumotext")

"""Each engine and framework module names the extra to install when its package is missing."""

from __future__ import annotations

import importlib
import sys

import pytest

CASES = [
    ("lumotext.qdrant", "qdrant_client", "qdrant"),
    ("lumotext.milvus", "pymilvus", "milvus"),
    ("lumotext.langchain", "langchain_core", "langchain"),
    ("lumotext.llama_index", "llama_index", "llama-index"),
    ("lumotext.dask", "dask", "dask"),
]


@pytest.mark.parametrize("module, package, extra", CASES)
def test_a_missing_package_names_its_extra(monkeypatch, module, package, extra):
    # None in sys.modules makes every import of the package (and its submodules) fail.
    for name in [name for name in sys.modules if name == package or name.startswith(package + ".")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, package, None)
    monkeypatch.delitem(sys.modules, module, raising=False)
    with pytest.raises(ImportError, match=rf"needs the {extra} extra: pip install '\.\[{extra}\]'"):
        importlib.import_module(module)
    monkeypatch.delitem(sys.modules, module, raising=False)

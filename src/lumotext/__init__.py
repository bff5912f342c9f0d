"""Companion package of the :mod:`pylumotext` extension: data paths, pipelines, command line.

* :class:`Index` is an in-process Chinese BM25 index (add, search, save, load) that keeps its
  documents (:class:`Document`, search results as :class:`Hit`), and :class:`Analyzer` the
  text-to-terms step it uses;
* :func:`default_paths` names the bundled segmenter data: ``pylumotext.Jieba(**default_paths())``;
* :func:`segment_many` segments many texts on a thread pool, in order;
* :mod:`lumotext.sparse` turns BM25 vectors into vector-database sparse vectors and CSR
  matrices;
* :func:`merge_models` adds up BM25 models trained on shards of a corpus, and
  :mod:`lumotext.dask` does that on a Dask cluster;
* ``lumotext`` (or ``python -m lumotext``) is the command line;
* importing it makes ``pylumotext.BM25`` picklable (as its model document).
"""

from importlib.metadata import PackageNotFoundError
from importlib.metadata import version as _distribution_version

from lumotext import _pickle
from lumotext._data import default_paths
from lumotext._export import CollectionMismatchError
from lumotext.documents import Document, Hit
from lumotext.index import Analyzer, Index
from lumotext.models import load_model, merge_models, model_text
from lumotext.pipeline import Segmenter, index_tokens, segment_many
from lumotext.segmenter import make_jieba, shared_jieba
from lumotext.sparse import SparseVector, encode_csr, to_csr_matrix, to_sparse_vector, token_hash

try:
    __version__ = _distribution_version("pylumotext")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

_pickle.register()

__all__ = [
    "__version__",
    "Analyzer",
    "CollectionMismatchError",
    "Document",
    "Hit",
    "Index",
    "Segmenter",
    "SparseVector",
    "default_paths",
    "encode_csr",
    "index_tokens",
    "load_model",
    "make_jieba",
    "merge_models",
    "model_text",
    "segment_many",
    "shared_jieba",
    "to_csr_matrix",
    "to_sparse_vector",
    "token_hash",
]

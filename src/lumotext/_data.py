"""Paths of the default segmenter data shipped inside this package."""

from __future__ import annotations

import os
from importlib import resources

#: The keyword of each data file in ``pylumotext.Jieba`` and its file name, in the order of the
#: constructor's arguments: the one place these names are spelled (the segmenter helpers, the
#: command line, the data build, the benchmarks and the tests read them from here).
DATA_FILES = {
    "dict_path": "dict.txt",
    "hmm_path": "hmm_model.txt",
    "user_dict_path": "user_dict.txt",
    "idf_path": "idf.txt",
    "stop_word_path": "stop_words.txt",
}


def data_paths(directory: str) -> dict[str, str]:
    """The five keyword arguments of ``pylumotext.Jieba`` for a set of data files in ``directory``
    named as the bundled ones (``tools/make_data.py --out DIR`` writes such a set)."""
    return {key: os.path.join(directory, name) for key, name in DATA_FILES.items()}


def default_paths() -> dict[str, str]:
    """The five keyword arguments of ``pylumotext.Jieba`` for the bundled data:

        pylumotext.Jieba(**lumotext.default_paths())

    Each value is an absolute file-system path (the native loader opens files by name, so
    the package must be installed as files, which pip does). A missing file raises
    FileNotFoundError here rather than a fatal loader error later.
    """
    base = resources.files("lumotext").joinpath("data")
    paths = {}
    for key, name in DATA_FILES.items():
        path = os.path.abspath(str(base.joinpath(name)))
        if not os.path.isfile(path):
            raise FileNotFoundError(f"default data file {name} is missing from {os.path.dirname(path)}")
        paths[key] = path
    return paths

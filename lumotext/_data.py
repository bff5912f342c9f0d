"""Paths of the default segmenter data shipped inside this package."""

from __future__ import annotations

import os
from importlib import resources

_FILES = {
    "dict_path": "dict.txt",
    "hmm_path": "hmm_model.txt",
    "user_dict_path": "user_dict.txt",
    "idf_path": "idf.txt",
    "stop_word_path": "stop_words.txt",
}


def default_paths() -> dict[str, str]:
    """The five keyword arguments of ``pylumotext.Jieba`` for the bundled data:

        pylumotext.Jieba(**lumotext.default_paths())

    Each value is an absolute file-system path (the native loader opens files by name, so
    the package must be installed as files, which pip does). A missing file raises
    FileNotFoundError here rather than a fatal loader error later.
    """
    base = resources.files("lumotext").joinpath("data")
    paths = {}
    for key, name in _FILES.items():
        path = os.path.abspath(str(base.joinpath(name)))
        if not os.path.isfile(path):
            raise FileNotFoundError(f"default data file {name} is missing from {os.path.dirname(path)}")
        paths[key] = path
    return paths

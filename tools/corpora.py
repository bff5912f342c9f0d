"""Where the shared corpora live: a ``shared/corpora`` directory beside the repository or beside
one of its parent directories (a worktree may sit deeper). The one place that searches for them:
the tools, the benchmarks and the tests (through tests/support/shared_data.py) all ask here."""

from __future__ import annotations

import os

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def find_corpora_dir(start: str = ROOT) -> str | None:
    """The nearest ``shared/corpora`` beside ``start`` or one of its parents, or None."""
    d = os.path.abspath(start)
    while True:
        parent = os.path.dirname(d)
        candidate = os.path.join(parent, "shared", "corpora")
        if os.path.isdir(candidate):
            return candidate
        if parent == d:
            return None
        d = parent


def corpora_dir(start: str = ROOT) -> str:
    found = find_corpora_dir(start)
    if found is None:
        raise FileNotFoundError(f"no shared/corpora beside {start} or any parent")
    return found


def corpus_file(relative: str, start: str = ROOT) -> str | None:
    """The file ``relative`` (such as ``zh-text/bench-zh.txt``) of the shared corpora, or None."""
    found = find_corpora_dir(start)
    if found is None:
        return None
    path = os.path.join(found, relative)
    return path if os.path.isfile(path) else None

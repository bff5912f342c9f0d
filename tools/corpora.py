"""Where the shared corpora live: a ``shared/corpora`` directory beside the repository
or beside one of its parent directories (a worktree may sit one level deeper)."""

from __future__ import annotations

import os

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def corpora_dir(start: str = ROOT) -> str:
    d = os.path.abspath(start)
    while True:
        parent = os.path.dirname(d)
        candidate = os.path.join(parent, "shared", "corpora")
        if os.path.isdir(candidate):
            return candidate
        if parent == d:
            raise FileNotFoundError(f"no shared/corpora beside {start} or any parent")
        d = parent

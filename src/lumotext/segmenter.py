"""Building ``pylumotext.Jieba`` from the bundled data files, with any of them replaced."""

from __future__ import annotations

import threading
from typing import TYPE_CHECKING, Mapping

import pylumotext

from lumotext._data import DATA_FILES

if TYPE_CHECKING:
    from pylumotext import Jieba

__all__ = ["PATH_NAMES", "resolve_paths", "make_jieba", "shared_jieba"]

#: The ``Jieba`` constructor's arguments, in their order.
PATH_NAMES = tuple(DATA_FILES)

_shared: dict[tuple[str, ...], Jieba] = {}
_shared_lock = threading.Lock()


def resolve_paths(overrides: Mapping[str, str | None] | None = None) -> dict[str, str]:
    """The five data paths: the bundled defaults, each replaced by ``overrides[name]`` unless
    that is missing or None. An empty ``user_dict_path`` means no user dictionary."""
    given = {name: value for name, value in (overrides or {}).items() if value is not None}
    unknown = sorted(set(given) - set(PATH_NAMES))
    if unknown:
        raise TypeError(f"unknown data path name(s) {', '.join(unknown)}; expected {', '.join(PATH_NAMES)}")
    if len(given) < len(PATH_NAMES):
        from lumotext._data import default_paths

        return {**default_paths(), **given}
    return {name: given[name] for name in PATH_NAMES}


def make_jieba(paths: Mapping[str, str | None] | None = None) -> Jieba:
    """A new ``Jieba`` over :func:`resolve_paths` of ``paths``."""
    resolved = resolve_paths(paths)
    return pylumotext.Jieba(*(resolved[name] for name in PATH_NAMES))


def shared_jieba(paths: Mapping[str, str | None] | None = None) -> Jieba:
    """One ``Jieba`` per process and set of paths, built on first use.

    Loading the dictionaries takes a while and a ``Jieba`` is read-only once built, so every
    thread of a process (a Dask worker's, say) can share one.
    """
    resolved = resolve_paths(paths)
    key = tuple(resolved[name] for name in PATH_NAMES)
    with _shared_lock:
        jieba = _shared.get(key)
        if jieba is None:
            jieba = _shared[key] = pylumotext.Jieba(*key)
        return jieba

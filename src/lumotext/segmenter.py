"""Building ``pylumotext.Jieba`` from the bundled data files, with any of them replaced, and
sharing one per process for each set of data and user words."""

from __future__ import annotations

import os
import tempfile
import threading
import weakref
from typing import TYPE_CHECKING, Any, Iterable, Mapping, Union

import pylumotext

from lumotext._data import DATA_FILES

if TYPE_CHECKING:
    from pylumotext import Jieba

__all__ = ["PATH_NAMES", "resolve_paths", "make_jieba", "shared_jieba", "segmenter_for", "user_dict_lines"]

#: The ``Jieba`` constructor's arguments, in their order.
PATH_NAMES = tuple(DATA_FILES)

_shared: dict[tuple[str, ...], Jieba] = {}
_shared_lock = threading.Lock()
# Segmenters with user words: kept while an analyzer holds one, so a process that tries many
# dictionaries does not keep every one loaded.
_with_user_words: weakref.WeakValueDictionary[tuple[str, ...], Jieba] = weakref.WeakValueDictionary()
# The loader splits its user-dictionary argument at these characters.
_USER_DICT_SEPARATORS = "|;"


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


UserDict = Union[str, "os.PathLike[str]", Iterable[str], Iterable["os.PathLike[str]"], None]


def user_dict_lines(user_dict: Any) -> list[str] | None:
    """The lines of a user dictionary, as the segmenter's loader reads them (blank lines left
    out), from: None; the path of a file, or several joined by ``|`` or ``;`` as the loader's
    ``user_dict_path`` takes them; an iterable of :class:`os.PathLike` files; or an iterable of
    lines (``word``, ``word tag`` or ``word frequency tag``). None when there are no lines.

    OSError for a file that cannot be read, ValueError for one that is not UTF-8 or a line
    with a line break in it, TypeError for anything else."""
    if user_dict is None:
        return None
    if isinstance(user_dict, (str, os.PathLike)):
        if isinstance(user_dict, str):
            files = [p for p in user_dict.replace(";", "|").split("|") if p]
        else:
            files = [os.fspath(user_dict)]
        return _lines_of_files(files)
    if isinstance(user_dict, bytes):
        raise TypeError("user_dict must be a path, an iterable of paths or of lines, or None; not bytes")
    items = list(user_dict)
    if items and all(isinstance(item, os.PathLike) for item in items):
        return _lines_of_files([os.fspath(item) for item in items])
    lines = []
    for item in items:
        if not isinstance(item, str):
            raise TypeError(f"user dictionary lines must be str, not {type(item).__name__}")
        if "\n" in item:
            raise ValueError(f"a user dictionary line holds a line break: {item!r}")
        if item.strip():
            lines.append(item)
    return lines or None


def _lines_of_files(files: list[str]) -> list[str] | None:
    lines = []
    for path in files:
        with open(path, "rb") as f:
            data = f.read()
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError as e:
            raise ValueError(f"user dictionary {path} is not UTF-8: {e}") from None
        lines += [line for line in text.split("\n") if line]
    return lines or None


def segmenter_for(user_lines: list[str] | None) -> Jieba:
    """The process's segmenter over the bundled data plus the given user-dictionary lines:
    :func:`shared_jieba` itself without any, otherwise one per set of lines, alive while used.
    """
    if not user_lines:
        return shared_jieba()
    key = tuple(user_lines)
    with _shared_lock:
        jieba = _with_user_words.get(key)
        if jieba is not None:
            return jieba
    paths = resolve_paths()
    # The loader reads files only: the lines go to a temporary one, after the bundled user
    # dictionary's own lines, so the result is the bundled data plus these words.
    with open(paths["user_dict_path"], "rb") as f:
        bundled = f.read()
    fd, temp = tempfile.mkstemp(prefix="lumotext-user-dict-", suffix=".txt")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(bundled)
            if bundled and not bundled.endswith(b"\n"):
                f.write(b"\n")
            f.write("".join(line + "\n" for line in user_lines).encode("utf-8"))
        if any(c in temp for c in _USER_DICT_SEPARATORS):
            raise OSError(f"the temporary directory's path {os.path.dirname(temp)!r} holds '|' or ';'")
        built = pylumotext.Jieba(*(temp if name == "user_dict_path" else paths[name] for name in PATH_NAMES))
    finally:
        os.unlink(temp)
    with _shared_lock:
        # Another thread may have built the same meanwhile: keep the first one.
        jieba = _with_user_words.setdefault(key, built)
    return jieba

"""A saved retriever: its index, which keeps the texts and metadata itself (``Index`` with
``store=True``), in ``index/`` of the retriever's directory. A save is one ``Index.save``, so a
failed or killed save leaves the old retriever or the new one, never texts of one paired with
the index of the other.

Directories saved by earlier releases hold a numbers-only index and ``documents.jsonl`` (one
JSON object per document number) beside it; they load, their documents added again to an index
that stores them, and the next save drops the file.
"""

from __future__ import annotations

import json
import os
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Iterable, Iterator, Mapping

if TYPE_CHECKING:
    from lumotext import Index

INDEX_DIRECTORY = "index"
DOCUMENTS_FILE = "documents.jsonl"

#: A document as a retriever hands it to the index: text, id (or None), metadata.
Entry = tuple[str, "str | None", Mapping[str, Any]]


def new_index(entries: Iterable[Entry], index_options: Mapping[str, Any] | None) -> Index:
    """An index that stores ``entries`` (numbered in order), made with ``Index(**index_options)``."""
    from lumotext import Index

    options = dict(index_options or {})
    if options.get("store", True) is not True:
        raise ValueError("a retriever's index keeps its documents: store=False cannot be used here")
    index = Index(**options)
    _add(index, list(entries))
    return index


def _add(index: Index, entries: list[Entry]) -> None:
    index.add(
        [text for text, _, _ in entries],
        ids=[id_ for _, id_, _ in entries],
        metadata=[metadata for _, _, metadata in entries],
    )


def save(path: str | os.PathLike[str], index: Index) -> None:
    directory = Path(path)
    directory.mkdir(parents=True, exist_ok=True)
    index.save(directory / INDEX_DIRECTORY)
    # Left by an earlier release's save: the index now holds what it held.
    (directory / DOCUMENTS_FILE).unlink(missing_ok=True)


def load(path: str | os.PathLike[str], entry: Callable[[dict[str, Any]], Entry]) -> Index:
    """The retriever's index; for a directory of an earlier release, ``entry`` reads each line
    of its documents file."""
    from lumotext import Index

    directory = Path(path)
    if not (directory / INDEX_DIRECTORY).is_dir():
        raise FileNotFoundError(
            f"{directory / INDEX_DIRECTORY} is missing: {directory} is not a saved lumotext retriever"
        )
    index = Index.load(directory / INDEX_DIRECTORY)
    if index.stores_documents:
        return index
    documents = directory / DOCUMENTS_FILE
    if not documents.is_file():
        raise FileNotFoundError(f"{documents} is missing: {directory} is not a saved lumotext retriever")
    return stored_copy(index, [entry(record) for record in _records(documents)], str(documents))


def stored_copy(index: Index, entries: list[Entry], source: str = "the documents") -> Index:
    """An index that stores ``entries``, made like the numbers-only ``index`` they were numbered in."""
    from lumotext import Index

    if index.live_documents() != list(range(len(entries))):
        raise ValueError(f"{source} must hold one document for each document number of the index")
    stored = Index(index.analyzer, k1=index.k1, b=index.b)
    _add(stored, entries)
    return stored


def _records(documents: Path) -> Iterator[dict[str, Any]]:
    with open(documents, encoding="utf-8") as stream:
        for number, line in enumerate(stream):
            try:
                record = json.loads(line)
            except json.JSONDecodeError as error:
                raise ValueError(f"{documents}, line {number + 1}: {error}") from None
            if not isinstance(record, dict):
                raise ValueError(f"{documents}, line {number + 1}: not a JSON object")
            yield record


def check_metadatas(texts: list[str], metadatas: Iterable[Mapping[str, Any]] | None) -> list[dict[str, Any]]:
    metadata_list = [{} for _ in texts] if metadatas is None else [dict(m) for m in metadatas]
    if len(metadata_list) != len(texts):
        raise ValueError(f"{len(texts)} texts but {len(metadata_list)} metadatas")
    return metadata_list

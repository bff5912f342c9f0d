"""An index saved beside the texts it was built from, for the framework retrievers.

Layout of the directory: ``index/`` (``Index.save``) and ``documents.jsonl`` with one JSON
object per document number, written to a temporary name and renamed, so a reader sees the
old directory or the new one.
"""

from __future__ import annotations

import json
import os
from pathlib import Path
from typing import TYPE_CHECKING, Any, Iterable, Iterator

if TYPE_CHECKING:
    from lumotext import Index

INDEX_DIRECTORY = "index"
DOCUMENTS_FILE = "documents.jsonl"


def save(path: str | os.PathLike[str], index: Index, records: Iterable[dict[str, Any]]) -> None:
    directory = Path(path)
    directory.mkdir(parents=True, exist_ok=True)
    index.save(directory / INDEX_DIRECTORY)
    temporary = directory / (DOCUMENTS_FILE + ".tmp")
    with open(temporary, "w", encoding="utf-8") as stream:
        for record in records:
            stream.write(json.dumps(record, ensure_ascii=False) + "\n")
    os.replace(temporary, directory / DOCUMENTS_FILE)


def load(path: str | os.PathLike[str]) -> tuple[Index, Iterator[dict[str, Any]]]:
    from lumotext import Index

    directory = Path(path)
    documents = directory / DOCUMENTS_FILE
    if not documents.is_file():
        raise FileNotFoundError(f"{documents} is missing: {directory} is not a saved lumotext retriever")
    index = Index.load(directory / INDEX_DIRECTORY)

    def records() -> Iterator[dict[str, Any]]:
        with open(documents, encoding="utf-8") as stream:
            for number, line in enumerate(stream):
                try:
                    record = json.loads(line)
                except json.JSONDecodeError as error:
                    raise ValueError(f"{documents}, line {number + 1}: {error}") from None
                if not isinstance(record, dict):
                    raise ValueError(f"{documents}, line {number + 1}: not a JSON object")
                yield record

    return index, records()


def new_index(texts: list[str], index_options: dict[str, Any] | None) -> Index:
    from lumotext import Index

    index = Index(**(index_options or {}))
    index.add(texts)
    return index

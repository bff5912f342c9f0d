"""The records an index that stores documents gives back: :class:`Document` (by number) and
:class:`Hit` (a search result with its document).

Metadata is one JSON object per document, kept as its JSON text: what ``json.dumps`` cannot
encode (sets, bytes, NaN, objects of other classes) is refused when the document is added, and
what comes back is what ``json.loads`` reads, so tuples come back as lists and keys as str.
"""

from __future__ import annotations

import json
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

__all__ = ["Document", "Hit"]


@dataclass(frozen=True)
class Document:
    """A stored document: its text, the caller's id (or None) and its metadata (``{}`` when
    none was given)."""

    text: str
    id: str | None = None
    metadata: dict[str, Any] = field(default_factory=dict)


@dataclass(frozen=True)
class Hit:
    """A search result: the document's number and score, with its stored text, id and
    metadata."""

    number: int
    score: float
    text: str
    id: str | None = None
    metadata: dict[str, Any] = field(default_factory=dict)


def check_id(value: object, position: int) -> str:
    """The id as the native index takes it; TypeError for anything but a non-empty str."""
    if not isinstance(value, str):
        raise TypeError(f"the id of document {position} must be str or None, not {type(value).__name__}")
    if not value:
        raise ValueError(f"the id of document {position} is empty (use None for no id)")
    value.encode("utf-8")  # UnicodeEncodeError for lone surrogates, before anything is added
    return value


def encode_metadata(value: object, position: int) -> str:
    """The metadata's JSON text ("" for None); TypeError or ValueError for what JSON cannot hold."""
    if value is None:
        return ""
    if not isinstance(value, Mapping):
        raise TypeError(f"the metadata of document {position} must be a mapping or None, not {type(value).__name__}")
    try:
        text = json.dumps(dict(value), ensure_ascii=False, allow_nan=False)
        text.encode("utf-8")  # lone surrogates
        return text
    except (TypeError, ValueError) as error:
        kind = TypeError if isinstance(error, TypeError) else ValueError  # UnicodeEncodeError included
        raise kind(f"the metadata of document {position} cannot be stored as JSON: {error}") from None


def decode_metadata(text: str | None) -> dict[str, Any]:
    if text is None:
        return {}
    try:
        value = json.loads(text)
    except json.JSONDecodeError as error:
        raise ValueError(f"damaged index: stored metadata is not JSON: {error}") from None
    if not isinstance(value, dict):
        raise ValueError("damaged index: stored metadata is not a JSON object")
    return value

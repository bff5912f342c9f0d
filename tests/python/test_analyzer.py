"""lumotext.Analyzer: numbers and Latin runs, stop-word-only texts, user dictionaries carried by
the settings (through save and load in another process), one segmenter per set of data, and
settings from earlier releases analyzing as they did."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pylumotext
import pytest

import lumotext
from lumotext import Analyzer, Index, _native
from lumotext.index import DEFAULTS
from lumotext.segmenter import segmenter_for, shared_jieba, user_dict_lines

# What a manifest of an earlier release held: these five settings, always all of them.
FIRST_RELEASE_SETTINGS = {
    "stop_words": "default",
    "mode": "default",
    "fold_traditional": True,
    "hmm": True,
    "bigram_weight": 0.5,
}
# Not in the bundled dictionary: the default cut splits it.
DOMAIN_WORD = "蓝鲸数智"


def words(text: str, **settings: object) -> list[str]:
    return Analyzer(bigram_weight=0, **settings).analyze(text)  # type: ignore[arg-type]


@pytest.mark.parametrize(
    "text, kept",
    [
        ("GPT-4发布", ["gpt", "4", "发布"]),
        ("3号线 5月28日", ["3", "号", "线", "5", "28"]),
        ("第１季度", ["1"]),  # full-width digits fold to ASCII and stay
        ("A股上涨", ["a"]),
    ],
)
def test_numbers_and_single_letters_are_never_stop_words(text: str, kept: list[str]) -> None:
    terms = words(text)
    assert all(term in terms for term in kept), terms


def test_listed_numbers_and_letters_stay_but_other_listed_words_go() -> None:
    assert words("1个a的ok", stop_words=["1", "１", "a", "的", "ok"]) == ["1", "个", "a"]


@pytest.mark.parametrize(
    "spellings",
    [
        ["CVPR2022", "CVPR 2022", "cvpr-2022", "ＣＶＰＲ２０２２"],
        ["GPT-4", "GPT4", "gpt 4"],
        ["iPhone15", "iPhone 15", "IPHONE-15"],
        ["5G", "5g", "５Ｇ"],
        ["H5N1", "h5n1", "H5 N1"],
    ],
)
def test_letter_digit_spellings_give_the_same_terms(spellings: list[str]) -> None:
    analyzed = {tuple(words(s + "会议")) for s in spellings}
    assert len(analyzed) == 1, analyzed


def test_a_run_of_letters_and_digits_gives_its_parts() -> None:
    assert words("cvpr2022") == ["cvpr", "2022"]
    assert words("x86") == ["x", "86"]
    assert words("abc") == ["abc"] and words("2022") == ["2022"]


def test_numbers_are_found() -> None:
    index = Index()
    index.add(["GPT-4发布了", "GPT-3发布了", "CVPR 2022 会议论文", "ICCV 2023 会议论文"])
    assert index.search("gpt4发布")[0][0] == 0
    assert index.search("CVPR2022")[0][0] == 2


@pytest.mark.parametrize("bigram_weight", [0.0, 0.5])
@pytest.mark.parametrize("query", ["的了是", "是的", "，的。"])
def test_a_query_of_only_stop_words_finds_nothing(query: str, bigram_weight: float) -> None:
    analyzer = Analyzer(bigram_weight=bigram_weight)
    index = Index(analyzer)
    index.add(["的了是", "北京是哪里的", "这是的了"])
    assert analyzer.analyze(query) == []
    assert index.search(query) == []
    assert index.search_many([query, "北京"])[0] == []


def test_bigrams_of_and_across_stop_words_stay_beside_content_words() -> None:
    # Chosen by measurement: dropping them loses pasted fragments (bench/retrieval_quality.py).
    assert "\x01国的" in Analyzer(bigram_weight=0.5).analyze("中国的电脑")


# --- settings and defaults -----------------------------------------------------------------


def test_missing_settings_take_the_defaults() -> None:
    assert Analyzer.from_settings({}).settings == Analyzer().settings
    settings = Analyzer().settings
    for key in ("stop_words", "mode", "fold_traditional", "hmm", "bigram_weight", "user_dict"):
        assert settings[key] == DEFAULTS[key], key
    assert settings["rules"] == _native.TERM_RULES
    assert Analyzer.from_settings({"bigram_weight": 0}).settings == Analyzer(bigram_weight=0).settings


@pytest.mark.parametrize(
    "settings, error",
    [
        ({"rules": 99}, ValueError),
        ({"rules": "2"}, ValueError),
        ({"user_dict": "words.txt"}, ValueError),
        ({"user_dict": [1]}, ValueError),
        ({"colour": "blue"}, ValueError),
        ([], ValueError),
    ],
)
def test_bad_settings_are_refused(settings: object, error: type[Exception]) -> None:
    with pytest.raises(error):
        Analyzer.from_settings(settings)  # type: ignore[arg-type]


def test_settings_of_an_earlier_release_keep_their_analysis() -> None:
    old = Analyzer.from_settings(dict(FIRST_RELEASE_SETTINGS))
    assert old.settings["rules"] == 1 and old.settings["user_dict"] is None
    assert [t for t in old.analyze("GPT-4发布") if t[0] != "\x01"] == ["gpt", "发布"]
    assert "cvpr2022" in old.analyze("CVPR2022")
    assert Analyzer.from_settings(old.settings).settings == old.settings


def test_an_index_saved_by_an_earlier_release_keeps_its_rules_through_a_save(tmp_path: Path) -> None:
    old = tmp_path / "old"
    shutil.copytree(Path(__file__).parent / "fixtures" / "index_v1", old)
    loaded = Index.load(old)
    assert loaded.analyzer.settings["rules"] == 1
    assert "cvpr2022" in loaded.analyzer.analyze("CVPR2022")  # the run whole, as it was indexed
    loaded.add(["CVPR2022会议"])
    loaded.save(old)
    again = Index.load(old)
    assert again.analyzer.settings == loaded.analyzer.settings
    assert again.search("cvpr2022") == loaded.search("cvpr2022") != []


# --- user dictionaries ---------------------------------------------------------------------


@pytest.fixture()
def dict_files(tmp_path: Path) -> tuple[Path, Path]:
    first = tmp_path / "domain.txt"
    first.write_text(f"{DOMAIN_WORD}\n\n云端智算 5 n\n", encoding="utf-8")
    second = tmp_path / "more.txt"
    second.write_text("量子纠缠态 nz\n", encoding="utf-8")
    return first, second


def test_user_words_are_segmented_whole() -> None:
    text = f"{DOMAIN_WORD}发布了新产品"
    assert DOMAIN_WORD not in words(text)
    assert DOMAIN_WORD in words(text, user_dict=[DOMAIN_WORD])


def test_every_form_of_user_dictionary_gives_the_same_content(dict_files: tuple[Path, Path]) -> None:
    first, second = dict_files
    lines = [DOMAIN_WORD, "云端智算 5 n", "量子纠缠态 nz"]
    forms = [f"{first}|{second}", f"{first};{second}", [first, second], lines, iter(lines)]
    for form in forms:
        assert Analyzer(user_dict=form).settings["user_dict"] == lines, form
    assert Analyzer(user_dict=first).settings["user_dict"] == lines[:2]
    assert Analyzer(user_dict=[]).settings["user_dict"] is None


def test_settings_with_a_windows_dictionary_round_trip(tmp_path: Path) -> None:
    path = tmp_path / "crlf.txt"
    path.write_bytes(f"{DOMAIN_WORD}\r\n".encode())
    analyzer = Analyzer(user_dict=path)
    again = Analyzer.from_settings(analyzer.settings)
    assert again.settings == analyzer.settings
    assert again.analyze(DOMAIN_WORD + "发布") == analyzer.analyze(DOMAIN_WORD + "发布")


@pytest.mark.parametrize(
    "user_dict, error",
    [
        (["好\n词"], ValueError),
        ([3], TypeError),
        (b"words.txt", TypeError),
        ("/no/such/user/dict.txt", FileNotFoundError),
    ],
)
def test_bad_user_dictionaries_are_refused(user_dict: object, error: type[Exception]) -> None:
    with pytest.raises(error):
        Analyzer(user_dict=user_dict)  # type: ignore[arg-type]


def test_a_user_dictionary_that_is_not_utf8_is_refused(tmp_path: Path) -> None:
    path = tmp_path / "gbk.txt"
    path.write_bytes(DOMAIN_WORD.encode("gbk"))
    with pytest.raises(ValueError, match="not UTF-8"):
        Analyzer(user_dict=path)


def test_a_saved_index_analyzes_the_same_elsewhere_without_the_dictionary_file(
    dict_files: tuple[Path, Path], tmp_path: Path
) -> None:
    first, _ = dict_files
    index = Index(Analyzer(user_dict=first))
    index.add([f"{DOMAIN_WORD}发布新品", "蓝色的鲸鱼", "数智化转型"])
    index.save(tmp_path / "ix")
    first.unlink()
    query = f"{DOMAIN_WORD}的新品"
    script = (
        "import json, sys; from lumotext import Index; ix = Index.load(sys.argv[1]);"
        "print(json.dumps([ix.analyzer.analyze(sys.argv[2]), ix.search(sys.argv[2])]))"
    )
    run = subprocess.run(
        [sys.executable, "-c", script, str(tmp_path / "ix"), query], capture_output=True, timeout=300, check=True
    )
    terms, hits = json.loads(run.stdout)
    assert DOMAIN_WORD in terms and terms == index.analyzer.analyze(query)
    want = index.search(query)
    assert [n for n, _ in hits] == [n for n, _ in want] and want[0][0] == 0
    assert [s for _, s in hits] == pytest.approx([s for _, s in want])


def test_cli_build_takes_user_dictionaries(dict_files: tuple[Path, Path], tmp_path: Path) -> None:
    first, second = dict_files
    corpus = tmp_path / "corpus.txt"
    corpus.write_text(f"{DOMAIN_WORD}发布新品\n量子纠缠态研究\n", encoding="utf-8")
    args = ["index", "build", corpus, "--out", tmp_path / "ix", "--user-dict", first, "--user-dict", second]
    built = subprocess.run([sys.executable, "-m", "lumotext", *map(str, args)], capture_output=True, timeout=300)
    assert built.returncode == 0, built.stderr
    assert Index.load(tmp_path / "ix").analyzer.settings == Analyzer(user_dict=[first, second]).settings
    missing = [*args[:4], tmp_path / "ix2", "--user-dict", tmp_path / "gone.txt"]
    failed = subprocess.run([sys.executable, "-m", "lumotext", *map(str, missing)], capture_output=True, timeout=300)
    assert failed.returncode != 0 and b"gone.txt" in failed.stderr


# --- one segmenter per process -----------------------------------------------------------------


def test_analyzers_share_the_process_segmenter() -> None:
    assert segmenter_for(None) is shared_jieba() is lumotext.shared_jieba()
    lines = user_dict_lines([DOMAIN_WORD])
    assert segmenter_for(lines) is segmenter_for(list(lines or []))
    assert segmenter_for(lines) is not shared_jieba()
    assert not hasattr(_native, "Segmenter")


def test_the_native_analyzer_takes_a_pylumotext_jieba() -> None:
    jieba = pylumotext.Jieba(**lumotext.default_paths())
    native = _native.Analyzer(jieba, None, [], False, True, 0.0, _native.TERM_RULES)
    assert native.analyze("北京大学") == jieba.cut("北京大学")
    with pytest.raises(TypeError):
        _native.Analyzer(object(), None, [], False, True, 0.0, _native.TERM_RULES)
    with pytest.raises(ValueError):
        _native.Analyzer(jieba, None, [], False, True, -1.0, _native.TERM_RULES)


def test_user_dictionary_temporary_file_is_removed(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    import tempfile

    monkeypatch.setattr(tempfile, "tempdir", None)
    Analyzer(user_dict=["临时词典词"])
    assert os.listdir(tmp_path) == []

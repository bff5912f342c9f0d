"""The bundled default data: where default_paths() points, and that each file is in the
format its loader reads."""

import os
import subprocess
import sys

import pytest

import lumotext

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))

import build_dict  # noqa: E402
import build_idf  # noqa: E402
import hmm  # noqa: E402

KEYS = {"dict_path", "hmm_path", "user_dict_path", "idf_path", "stop_word_path"}


def lines_of(key):
    with open(lumotext.default_paths()[key], "rb") as f:
        raw = f.read()
    assert b"\r" not in raw
    text = raw.decode("utf-8")
    assert text == "" or text.endswith("\n")
    return text.split("\n")[:-1]


def test_default_paths_names_the_five_constructor_arguments():
    paths = lumotext.default_paths()
    assert set(paths) == KEYS
    for path in paths.values():
        assert os.path.isabs(path) and os.path.isfile(path)
    assert len({os.path.dirname(p) for p in paths.values()}) == 1


def test_default_paths_do_not_depend_on_the_working_directory(tmp_path):
    code = "import json, lumotext; print(json.dumps(lumotext.default_paths()))"
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    out = subprocess.run(
        [sys.executable, "-c", code], cwd=tmp_path, env=env, capture_output=True, text=True, check=True
    ).stdout
    import json

    assert json.loads(out) == lumotext.default_paths()


def test_missing_data_file_is_reported_by_name(monkeypatch):
    from lumotext import _data

    monkeypatch.setitem(_data.DATA_FILES, "idf_path", "no-such-file.txt")
    with pytest.raises(FileNotFoundError, match="no-such-file.txt"):
        lumotext.default_paths()


def test_dictionary_lines_have_three_columns_and_known_tags():
    tags = set(build_dict.UPOS_TAGS.values()) | {build_dict.FALLBACK_TAG}
    words = []
    for line in lines_of("dict_path"):
        word, freq, tag = build_dict.parse_dict_line(line)
        assert freq >= 1 and freq == int(freq)
        assert tag in tags
        words.append(word)
    assert len(words) > 50000
    assert words == sorted(set(words))


def test_hmm_model_reads_back_with_finite_negative_values():
    with open(lumotext.default_paths()["hmm_path"], encoding="utf-8") as f:
        model = hmm.parse_model(f)
    values = model.start + [x for row in model.trans for x in row]
    for emit in model.emit:
        assert all(ord(r) >= 0x80 for r in emit)
        values += list(emit.values())
    assert all(-1e3 < v < 0 for v in values)


def test_hmm_model_covers_every_dictionary_rune_in_its_states():
    with open(lumotext.default_paths()["hmm_path"], encoding="utf-8") as f:
        model = hmm.parse_model(f)
    for line in lines_of("dict_path"):
        word = line.split(" ")[0]
        for rune, state in zip(word, hmm.word_states(len(word))):
            if ord(rune) >= 0x80:
                assert rune in model.emit[state], (word, rune, hmm.STATES[state])


def test_idf_and_stop_word_files_are_in_loader_format():
    idf = [build_idf.parse_idf_line(line) for line in lines_of("idf_path")]
    assert idf and all(value > 0 for _, value in idf)
    stop = lines_of("stop_word_path")
    assert stop and all(w and not any(ch.isspace() for ch in w) for w in stop)
    assert {"的", "了", "，"} <= set(stop)


def test_default_data_builds_a_segmenter():
    pylumotext = pytest.importorskip("pylumotext")
    if not hasattr(pylumotext, "Jieba"):
        pytest.skip("this build has no segmenter")
    jieba = pylumotext.Jieba(**lumotext.default_paths())
    sentence = "我们在北京大学学习自然语言处理。"
    words = jieba.cut(sentence)
    assert "".join(words) == sentence
    assert "北京" in words or "北京大学" in words
    assert len(words) < len(sentence)

"""Bad input of every kind gets a clear Python exception, and nothing else changes: objects built
before keep working and give the same results, files are neither created nor altered."""

import os
import pathlib
import tempfile

import pytest
from pylumotext import BM25, Jieba

DATA = {
    "dict_path": "中 20 n\n中国 10 ns\n国 8 n\n人 12 n\n中国人 5 n\nab 3 eng\n",
    "hmm_path": (
        "# B E M S\n"
        "-0.26 -3.14e+100 -3.14e+100 -1.46\n"
        "-3.14e+100 -0.51 -0.91 -3.14e+100\n"
        "-0.59 -3.14e+100 -3.14e+100 -0.81\n"
        "-3.14e+100 -0.33 -1.26 -3.14e+100\n"
        "-0.72 -3.14e+100 -3.14e+100 -0.67\n"
        "中:-4.1,国:-5.2,人:-6.0\n"
        "中:-6.1,国:-4.2,人:-5.0\n"
        "中:-7.1,国:-7.2,人:-7.0\n"
        "中:-5.1,国:-5.5,人:-4.0\n"
    ),
    "user_dict_path": "人民 nr\n",
    "idf_path": "中国 3.5\n人 2.0\n",
    "stop_word_path": "的\n",
}
SENTENCE = "中国人民 ab，中国。"


@pytest.fixture
def paths(tmp_path):
    out = {}
    for name, content in DATA.items():
        path = tmp_path / name
        path.write_text(content, encoding="utf-8")
        out[name] = str(path)
    return out


@pytest.fixture
def tok(paths):
    return Jieba(**paths)


def snapshot(directory):
    return {p.name: p.read_bytes() for p in pathlib.Path(directory).iterdir() if p.is_file()}


def assert_fatal(excinfo, *pieces):
    message = str(excinfo.value)
    assert " FATAL exp: [" in message
    for piece in pieces:
        assert piece in message


# --- Data files that cannot be read ---------------------------------------------------------

BAD_PATHS = {
    "missing": lambda d: str(d / "does-not-exist.txt"),
    "directory": lambda d: str(d),
    "embedded NUL": lambda d: str(d / "dict_path") + "\0.bak",
    "empty path": lambda d: "",
}


# An empty user dictionary path means "no user dictionary", so it is not a bad path there.
UNREADABLE_CASES = [
    (which, kind)
    for which in sorted(DATA)
    for kind in sorted(BAD_PATHS)
    if not (which == "user_dict_path" and kind == "empty path")
]


@pytest.mark.parametrize("which,kind", UNREADABLE_CASES)
def test_unreadable_data_file_fails_with_the_open_check(tok, paths, tmp_path, which, kind):
    before = tok.cut(SENTENCE)
    files = snapshot(tmp_path)
    bad = BAD_PATHS[kind](tmp_path)
    with pytest.raises(RuntimeError) as excinfo:
        Jieba(**{**paths, which: bad})
    check = "ifile.is_open()" if which == "hmm_path" else "ifs.is_open()"
    assert_fatal(excinfo, check, "open ", " failed")
    assert tok.cut(SENTENCE) == before
    assert snapshot(tmp_path) == files


def test_user_dictionary_list_with_an_unreadable_entry_fails(paths, tmp_path):
    with pytest.raises(RuntimeError) as excinfo:
        Jieba(**{**paths, "user_dict_path": paths["user_dict_path"] + ";" + str(tmp_path)})
    assert_fatal(excinfo, "ifs.is_open()", f"open {tmp_path} failed")


@pytest.mark.parametrize("which", sorted(DATA))
def test_file_without_read_permission_fails(paths, which):
    # Root reads any file, so the check runs in a child that gives up root first.
    with tempfile.TemporaryDirectory() as shared:
        os.chmod(shared, 0o755)
        copies = {}
        for name, path in paths.items():
            copy = os.path.join(shared, name)
            pathlib.Path(copy).write_bytes(pathlib.Path(path).read_bytes())
            os.chmod(copy, 0o644)
            copies[name] = copy
        os.chmod(copies[which], 0o000 if os.geteuid() != 0 else 0o600)
        pid = os.fork()
        if pid == 0:  # child: report through the exit code only
            code = 3
            try:
                if os.geteuid() == 0:
                    os.setgid(65534)
                    os.setuid(65534)
                try:
                    Jieba(**copies)
                    code = 1
                except RuntimeError as e:
                    code = 0 if (" FATAL exp: [" in str(e) and "open " in str(e)) else 2
            finally:
                os._exit(code)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0


# --- Broken content ---------------------------------------------------------------------------

BROKEN = [
    ("dict_path", "中 20 n\n国  8 n\n", ["buf.size() == DICT_COLUMN_NUM", "split result illegal, line:国  8 n"]),
    ("dict_path", "中 20 n\n\n", ["buf.size() == DICT_COLUMN_NUM", "split result illegal, line:"]),
    ("dict_path", "", ["!static_node_infos_.empty()"]),
    ("hmm_path", DATA["hmm_path"][:150], ["tmp.size() == STATUS_SUM"]),
    ("hmm_path", "\n".join(DATA["hmm_path"].splitlines()[:8]), ["GetLine(ifile, line)"]),
    ("hmm_path", DATA["hmm_path"].replace("中:-5.1", "中国:-5.1"), ["LoadEmitProb(line, emitProbS)"]),
    ("hmm_path", DATA["hmm_path"].replace("中:-4.1", "中-4.1"), ["LoadEmitProb(line, emitProbB)"]),
]


@pytest.mark.parametrize("which,content,pieces", BROKEN)
def test_broken_file_fails_its_check(tok, paths, tmp_path, which, content, pieces):
    before = tok.cut(SENTENCE)
    broken = tmp_path / "broken.txt"
    broken.write_text(content, encoding="utf-8")
    with pytest.raises(RuntimeError) as excinfo:
        Jieba(**{**paths, which: str(broken)})
    assert_fatal(excinfo, *pieces)
    assert tok.cut(SENTENCE) == before


def test_broken_lines_of_optional_files_are_skipped(paths, tmp_path):
    # A user line of four columns, an undecodable word and a broken IDF line are reported or
    # ignored; the tokenizer is built and cuts as without them.
    user = tmp_path / "user.txt"
    user.write_bytes("人民 nr\n国 3 n extra\n".encode() + b"\xff\xfe 5 n\n")
    idf = tmp_path / "idf.txt"
    idf.write_text("中国 3.5\n\nword 1 2\n", encoding="utf-8")
    assert Jieba(**{**paths, "user_dict_path": str(user), "idf_path": str(idf)}).cut(SENTENCE) == Jieba(**paths).cut(
        SENTENCE
    )


# --- Sentences --------------------------------------------------------------------------------


@pytest.mark.parametrize("sentence", [b"\xff\xfe", b"\xe4\xb8", b"ok \xf8\x88\x80\x80\x80"])
def test_sentence_that_does_not_decode_gives_no_words(tok, sentence):
    before = tok.cut(SENTENCE)
    assert tok.cut(sentence) == []
    assert tok.cut_for_search(sentence) == []
    assert tok.cut(SENTENCE) == before


def test_leniently_decoded_bytes_raise_a_decode_error(tok):
    # E4 41 42 decodes as one rune, but the word is not valid UTF-8 for Python.
    with pytest.raises(UnicodeDecodeError):
        tok.cut(b"\xe4\x41\x42")
    assert tok.cut("中国") == ["中国"]


def test_huge_single_line_is_cut_whole(tok):
    line = "中国人民ab，" * 200_000 + "x" * 100_000
    words = tok.cut(line)
    assert "".join(words) == line
    search = tok.cut_for_search(line)
    assert len(search) >= len(words)


def test_huge_dictionary_word(paths, tmp_path):
    word = "中国" * 50_000
    user = tmp_path / "long.txt"
    user.write_text(word + " n\n", encoding="utf-8")
    tok = Jieba(**{**paths, "user_dict_path": str(user)})
    assert "".join(tok.cut(word + "人")) == word + "人"


# --- Model files ------------------------------------------------------------------------------


@pytest.fixture
def model():
    m = BM25(0.5, 1.5)
    m.train(["a", "b", "a"])
    m.train([7, 42])
    return m


def model_text(m, tmp_path):
    path = tmp_path / "state.json"
    m.dump(str(path))
    return path.read_text(encoding="utf-8")


BAD_MODELS = [
    ("empty", "", RuntimeError, "json data should not be empty"),
    ("deep array", "[" * 100_000, RuntimeError, "load doc_count failed"),
    ("deep member", '{"_doc_count" : ' + "{" * 100_000, RuntimeError, "load doc_count failed"),
    # the last number ends the text, so it is not complete: the count is no Integer
    ("truncated", '{"_doc_token_frequency" : {"x" : 1', RuntimeError, "load doc_token_frequency failed"),
    ("truncated after a member", '{"_doc_token_frequency" : {"x" : 1}, ', RuntimeError, "load doc_count failed"),
    ("bare word", "model", RuntimeError, "load doc_count failed"),
    ("wrong count kind", '{"_doc_token_frequency" : {"x" : 1.5}}', RuntimeError, "load doc_token_frequency failed"),
    (
        "b without point",
        '{"_doc_count" : 1, "_doc_length_average" : 1.0, "_b" : 1, "_k1" : 1.0}',
        RuntimeError,
        "load b failed",
    ),
    ("k1 missing", '{"_doc_count" : 1, "_doc_length_average" : 1.0, "_b" : 1.0}', RuntimeError, "load k1 failed"),
    ("count too big", '{"_doc_count" : 99999999999999999999 }', IndexError, "64-bit range"),
    ("infinite b", '{"_b" : 1e999 }', IndexError, "range of a double"),
    ("lone minus", '{"_doc_count" : - }', ValueError, "not a number"),
]


@pytest.mark.parametrize("text,error,message", [c[1:] for c in BAD_MODELS], ids=[c[0] for c in BAD_MODELS])
def test_bad_model_text_leaves_the_model_unchanged(model, tmp_path, text, error, message):
    before = model_text(model, tmp_path)
    query = model.encode_query(["a", "zzz"])
    with pytest.raises(error, match=message):
        model.load(text)
    assert model_text(model, tmp_path) == before
    assert model.encode_query(["a", "zzz"]) == query


@pytest.mark.parametrize("where", ["directory", "missing directory", "embedded NUL"])
def test_dump_to_a_bad_path_writes_nothing(model, tmp_path, where):
    (tmp_path / "keep.json").write_text("kept", encoding="utf-8")
    files = snapshot(tmp_path)
    path = {
        "directory": str(tmp_path),
        "missing directory": str(tmp_path / "no" / "m.json"),
        "embedded NUL": str(tmp_path / "keep.json") + "\0x",
    }[where]
    with pytest.raises(RuntimeError, match="Failed to dump: Unable to open file"):
        model.dump(path)
    assert snapshot(tmp_path) == files


# --- Wrong argument types ---------------------------------------------------------------------

WRONG_TYPES = [
    ("train str", lambda m, t: m.train("ab")),
    ("train mixed", lambda m, t: m.train(["a", 1])),
    ("train float", lambda m, t: m.train([1.5])),
    ("train huge int", lambda m, t: m.train([2**64])),
    ("train None", lambda m, t: m.train(None)),
    ("encode dict", lambda m, t: m.encode_query({"a": 1})),
    ("b str", lambda m, t: m.b("x")),
    ("load int", lambda m, t: m.load(5)),
    ("load path object", lambda m, t: m.load(pathlib.Path("x"))),
    ("dump None", lambda m, t: m.dump(None)),
    ("cut int", lambda m, t: t.cut(5)),
    ("cut None", lambda m, t: t.cut(None)),
    ("cut list", lambda m, t: t.cut(["中国"])),
    ("cut lone surrogate", lambda m, t: t.cut("\ud800")),
    ("search int", lambda m, t: t.cut_for_search(1)),
    ("Jieba path None", lambda m, t: Jieba(None, "h", "u", "i", "s")),
    ("Jieba path int", lambda m, t: Jieba(1, 2, 3, 4, 5)),
    ("Jieba too few", lambda m, t: Jieba("d", "h")),
]


@pytest.mark.parametrize("call", [c[1] for c in WRONG_TYPES], ids=[c[0] for c in WRONG_TYPES])
def test_wrong_argument_types_raise_type_error(model, tok, tmp_path, call):
    before = (model_text(model, tmp_path), tok.cut(SENTENCE))
    with pytest.raises(TypeError):
        call(model, tok)
    assert (model_text(model, tmp_path), tok.cut(SENTENCE)) == before

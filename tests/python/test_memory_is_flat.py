"""Building and dropping many tokenizers and encoders, with cuts, load, dump and failures in
between, leaves the process's resident memory where it was after the first rounds. Each round
here holds far more memory than the allowed growth, so a leak of any one round's objects would
show many times over."""

import gc
import os

import pytest
from pylumotext import BM25, Jieba

# AddressSanitizer keeps freed memory in quarantine on purpose, so resident memory grows there
# whatever the code does; its own leak checker covers the same loops in the C++ tests.
flat_memory_check = pytest.mark.skipif(
    not os.path.exists("/proc/self/statm") or "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="needs /proc and an allocator that returns freed memory",
)

ROUNDS = 1500
ALLOWED_GROWTH = 8 * 1024 * 1024

DICT = "".join(f"{chr(0x4E00 + i)}{chr(0x4E00 + i + 1)} {i + 1} n\n" for i in range(2000))
HMM = (
    "-0.26 -3.14e+100 -3.14e+100 -1.46\n"
    "-3.14e+100 -0.51 -0.91 -3.14e+100\n"
    "-0.59 -3.14e+100 -3.14e+100 -0.81\n"
    "-3.14e+100 -0.33 -1.26 -3.14e+100\n"
    "-0.72 -3.14e+100 -3.14e+100 -0.67\n"
    "中:-4.1,国:-5.2\n中:-6.1,国:-4.2\n中:-7.1,国:-7.2\n中:-5.1,国:-5.5\n"
)


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure(round_, rounds=ROUNDS):
    warm_up = 50
    for i in range(warm_up):
        round_(i)
    gc.collect()
    before = resident_bytes()
    for i in range(warm_up, rounds):
        round_(i)
    gc.collect()
    return resident_bytes() - before


@pytest.fixture
def files(tmp_path):
    paths = {}
    for name, text in [
        ("dict_path", DICT),
        ("hmm_path", HMM),
        ("user_dict_path", "人民 nr\n"),
        ("idf_path", "中国 3.5\n"),
        ("stop_word_path", "的\n"),
    ]:
        path = tmp_path / name
        path.write_text(text, encoding="utf-8")
        paths[name] = str(path)
    paths["broken"] = str(tmp_path / "broken")
    with open(paths["broken"], "w", encoding="utf-8") as f:
        f.write("中 20 n\n国  8 n\n")
    return paths


@flat_memory_check
def test_tokenizers_built_and_dropped_leave_memory_flat(files):
    good = {k: v for k, v in files.items() if k != "broken"}
    text = "".join(chr(0x4E00 + i) for i in range(0, 4000, 3)) + " 中国人民"

    def round_(i):
        tok = Jieba(**good)
        assert "".join(tok.cut(text)) == text
        tok.cut_for_search(text)
        with pytest.raises(RuntimeError):
            Jieba(**{**good, "dict_path": files["broken"]})

    assert measure(round_) < ALLOWED_GROWTH


@flat_memory_check
def test_encoders_trained_dumped_and_loaded_leave_memory_flat(tmp_path):
    path = str(tmp_path / "model.json")
    tokens = [f"token-{i}" for i in range(3000)]

    def round_(i):
        model = BM25(0.75, 1.2)
        model.train(tokens)
        model.train(list(range(i, i + 3000)))
        model.dump(path)
        copy = BM25(0.0, 0.0)
        with open(path, encoding="utf-8") as f:
            copy.load(f.read())
        assert copy.encode_document(tokens[:5]) == model.encode_document(tokens[:5])
        with pytest.raises(RuntimeError):
            copy.load('{"_doc_token_frequency" : {"x" : 1}, "_doc_count" : 1.5}')

    assert measure(round_, rounds=600) < ALLOWED_GROWTH


# One cut of a long text in a fresh process: the growth of the peak resident size over the size
# just before the call, and the size of the Python list that the call returns (the list and its
# distinct str objects). What the native cut itself holds at any moment is the difference.
CUT_PEAK = """
import json, sys
import lumotext
jieba = lumotext.make_jieba()
text = {text}
jieba.cut("warm up")
def field(name):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith(name + ":"))
before = field("VmRSS")
with open("/proc/self/clear_refs", "w") as refs:
    refs.write("5")
words = jieba.cut(text)
peak = field("VmHWM")
distinct = {{id(w): w for w in words}}
result = sys.getsizeof(words) + sum(sys.getsizeof(w) for w in distinct.values())
print(json.dumps([peak - before, result, len(text.encode("utf-8"))]))
"""

# Native bytes per input byte that a cut may hold on top of its Python result. Runs without any
# separator used to take 85 (NUL bytes) and 53 (spaces) bytes per byte.
NATIVE_BYTES_PER_BYTE = 40


@flat_memory_check
@pytest.mark.skipif(not os.path.exists("/proc/self/clear_refs"), reason="needs a resettable peak-RSS mark")
@pytest.mark.parametrize(
    "text",
    [
        '"\\0" * 4_000_000',
        '" " * 4_000_000',
        '"\\u5565" * 1_400_000',
        '"\\u0436" * 2_000_000',
        '"ab1,\\u00e9\\u4e2d" * 500_000',
    ],
)
def test_a_cut_holds_a_bounded_number_of_bytes_per_input_byte(text):
    import json
    import subprocess
    import sys

    result = subprocess.run([sys.executable, "-c", CUT_PEAK.format(text=text)], capture_output=True, timeout=300)
    assert result.returncode == 0, result.stderr.decode()
    growth, python_result, size = json.loads(result.stdout)
    assert growth - python_result <= NATIVE_BYTES_PER_BYTE * size, (growth / size, python_result / size)

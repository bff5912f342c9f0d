"""Training and writing of the B/E/M/S character-tagging model.

States, in file order: B (first rune of a longer word), E (last rune), M (inner rune),
S (one-rune word). The model combines two sources:

* gold word segmentation (CoNLL-U FORMs): start, transition and emission counts;
* the main dictionary: every entry contributes its rune positions, weighted by a function
  of its frequency, so runes that the small gold corpus never shows still get emissions in
  every state the dictionary lets them take.

Everything is smoothed so that no table holds a zero probability. Runes outside both
sources still get emissions from a fixed rune inventory (Unicode blocks below): word-forming
runes in all four states at a floor value, symbols and punctuation in state S only, so that
an unseen rune can never knock out every state of a Viterbi column.

File layout: line 1 the four start log-probabilities, lines 2-5 the transition rows, lines
6-9 the emission lines ``rune:logprob`` joined by ``,``. The comma and the colon are the
item and field separators and so can never be keys; ASCII runes never reach the model (the
segmenter cuts them by fixed rules before labelling), so no ASCII rune is written, which
also keeps ``#`` (the comment marker) off the start of every emission line.
"""

from __future__ import annotations

import dataclasses
import math
import unicodedata
from typing import Iterable, Mapping, Sequence

STATES = "BEMS"
B, E, M, S = range(4)

# Blocks whose runes get an emission even when no source shows them.
INVENTORY_BLOCKS = (
    (0x0080, 0x02FF),  # C1 controls, Latin-1 supplement, Latin extended, IPA, modifiers
    (0x0370, 0x03FF),  # Greek
    (0x0400, 0x04FF),  # Cyrillic
    (0x2000, 0x2BFF),  # punctuation, super/subscripts, currency, arrows, maths, boxes, shapes
    (0x3000, 0x30FF),  # CJK symbols and punctuation, kana
    (0x3400, 0x4DBF),  # CJK unified ideographs extension A
    (0x4E00, 0x9FFF),  # CJK unified ideographs
    (0xF900, 0xFAFF),  # CJK compatibility ideographs
    (0xFE30, 0xFE4F),  # CJK compatibility forms
    (0xFF00, 0xFFEF),  # half- and full-width forms
)

FORBIDDEN_KEYS = frozenset(",:")


def word_states(length: int) -> list[int]:
    """State sequence of a word of ``length`` runes."""
    if length <= 0:
        return []
    if length == 1:
        return [S]
    return [B] + [M] * (length - 2) + [E]


def is_symbol(rune: str) -> bool:
    """Punctuation, symbols, separators and controls: runes that make a word on their own."""
    return unicodedata.category(rune)[0] in "PSZC"


def is_writable_key(rune: str) -> bool:
    """Whether the rune can be an emission key: non-ASCII (ASCII runes never reach the
    model, and the separators ',' ':' and the comment mark '#' are ASCII) and not a
    surrogate, which UTF-8 cannot carry."""
    return len(rune) == 1 and ord(rune) >= 0x80 and not 0xD800 <= ord(rune) <= 0xDFFF


def inventory() -> list[str]:
    runes = []
    for lo, hi in INVENTORY_BLOCKS:
        for cp in range(lo, hi + 1):
            ch = chr(cp)
            if unicodedata.category(ch) != "Cn":
                runes.append(ch)
    return runes


@dataclasses.dataclass(frozen=True)
class HmmConfig:
    trans_pseudo: float = 0.01  # pseudo-count for start and transition cells
    gold_share: float = 0.8  # weight of the gold emission distribution in the mix
    smoothing: float = 1e-4  # probability mass spread uniformly over a state's runes
    dict_weight: str = "raw"  # how a dictionary frequency weighs its runes: raw|log|one
    run_share: float = 0.0  # weight of the statistics of the runs the dictionary route
    # leaves to the HMM (emissions; start and transitions
    # come from those runs alone when it is above 0)
    run_transitions: bool = True  # with run_share above 0: start and transitions from the runs
    fullwidth: bool = True  # add synthesised full-width number and word examples
    zero_years: bool = True  # add synthesised years in Chinese digits with 〇 or ○
    free_share: float | None = 0.5  # a rune that the gold corpus writes as a word of its own
    # in at least this share of its uses has its B, E
    # and M emissions scaled by the odds (1 - share) / share
    free_min_uses: int = 3  # gold uses a rune needs before free_share judges it
    synthetic_share: float = 0.001  # weight of the synthesised examples in every state's
    # emissions (the same in all states, so the labels of
    # runes they do not hold stay as they were)


@dataclasses.dataclass
class HmmModel:
    start: list[float]  # log-probabilities, B E M S
    trans: list[list[float]]  # trans[from][to]
    emit: list[dict[str, float]]  # per state: rune -> log-probability


def _freq_weight(freq: float, how: str) -> float:
    if how == "raw":
        return float(freq)
    if how == "log":
        return math.log1p(freq)
    if how == "one":
        return 1.0
    raise ValueError(f"unknown dictionary weighting {how!r}")


def _log_normalise(counts: Sequence[float], pseudo: float) -> list[float]:
    total = math.fsum(counts) + pseudo * len(counts)
    return [math.log((c + pseudo) / total) for c in counts]


CHINESE_DIGITS = "〇一二三四五六七八九"
ZERO_SIGNS = "〇○"


def to_fullwidth(text: str) -> str:
    """ASCII letters, digits and signs as their full-width forms (U+FF01..U+FF5E)."""
    return "".join(chr(ord(ch) + 0xFEE0) if "!" <= ch <= "~" else ch for ch in text)


def synthetic_words(gold_words: Mapping[str, int], fullwidth: bool = True, zero_years: bool = True) -> dict[str, int]:
    """Words the gold corpus writes in ASCII, rewritten as text from other sources writes
    them, each with the gold count of its model: full-width (``１９９６``, ``ｉＰｈｏｎｅ``
    and its upper, lower and capitalised forms, ``５０％``), and leading digit strings of two or more digits in Chinese digits with
    either zero sign (``二〇〇〇年``, ``二○○○年``). The segmenter cuts ASCII by fixed rules,
    so the model never sees the ASCII originals; these examples teach it that such runes
    sit inside one word, as the gold corpus keeps their ASCII forms whole."""
    made: dict[str, int] = {}
    for word, n in sorted(gold_words.items()):
        if not any(ch.isascii() and ch.isalnum() for ch in word):
            continue
        variants = []
        if fullwidth:
            # Letters in every case pattern: a small corpus has few capitalised words.
            variants = [to_fullwidth(w) for w in (word, word.upper(), word.lower(), word.capitalize())]
        digits = len(word) - len(word.lstrip("0123456789"))
        rest = word[digits:]
        if zero_years and digits == 4 == len(word) and "1000" <= word < "2100":
            for zero in ZERO_SIGNS:
                variants.append("".join(zero if ch == "0" else CHINESE_DIGITS[int(ch)] for ch in word[:digits]) + rest)
        for v in dict.fromkeys(variants):  # a year without a zero is one variant
            if v != word:
                made[v] = made.get(v, 0) + n
    return made


def _count_words(
    words: Iterable[str],
    n: float,
    start: list[float] | None,
    trans: list[list[float]] | None,
    emit: list[dict[str, float]],
) -> None:
    labels: list[tuple[str, int]] = []
    for form in words:
        labels.extend(zip(form, word_states(len(form))))
        if start is not None:
            start[word_states(len(form))[0]] += n
    if trans is not None:
        for (_, a), (_, b) in zip(labels, labels[1:]):
            trans[a][b] += n
    for rune, state in labels:
        if is_writable_key(rune):
            emit[state][rune] = emit[state].get(rune, 0.0) + n


def train(
    sentences: Iterable[Sequence[str]],
    dictionary: Mapping[str, float],
    config: HmmConfig = HmmConfig(),
    runs: Iterable[Sequence[str]] = (),
) -> HmmModel:
    """Train from gold sentences (each a sequence of word FORMs), a word->frequency map and
    the runs the dictionary route leaves to the model (each the gold words cut to the run;
    see route.py), used when ``config.run_share`` is above 0."""
    sentences = [list(s) for s in sentences]
    start = [0.0] * 4
    trans = [[0.0] * 4 for _ in range(4)]
    gold_emit: list[dict[str, float]] = [{} for _ in range(4)]
    synthetic: dict[str, int] = {}
    if config.fullwidth or config.zero_years:
        counts: dict[str, int] = {}
        for forms in sentences:
            for form in forms:
                counts[form] = counts.get(form, 0) + 1
        synthetic = synthetic_words(counts, config.fullwidth, config.zero_years)
    synth_emit: list[dict[str, float]] = [{} for _ in range(4)]
    for word in sorted(synthetic):
        _count_words([word], synthetic[word], None, None, synth_emit)
    run_emit: list[dict[str, float]] = [{} for _ in range(4)]
    run_start = [0.0] * 4
    run_trans = [[0.0] * 4 for _ in range(4)]
    if config.run_share > 0:
        for run in runs:
            labels = [st for form in run for st in word_states(len(form))]
            run_start[labels[0]] += 1
            _count_words(run, 1.0, None, run_trans, run_emit)
    for forms in sentences:
        labels: list[tuple[str, int]] = []
        for form in forms:
            labels.extend(zip(form, word_states(len(form))))
        # Runs handed to the model start at word starts, so every word start counts.
        for form in forms:
            start[word_states(len(form))[0]] += 1
        for (_, a), (_, b) in zip(labels, labels[1:]):
            trans[a][b] += 1
        for rune, state in labels:
            if is_writable_key(rune):
                gold_emit[state][rune] = gold_emit[state].get(rune, 0.0) + 1

    dict_emit: list[dict[str, float]] = [{} for _ in range(4)]
    for word in sorted(dictionary):
        w = _freq_weight(dictionary[word], config.dict_weight)
        if w <= 0:
            continue
        for rune, state in zip(word, word_states(len(word))):
            if is_writable_key(rune):
                dict_emit[state][rune] = dict_emit[state].get(rune, 0.0) + w

    inv = inventory()
    seen = set()
    for maps in (gold_emit, dict_emit, run_emit, synth_emit):
        for m in maps:
            seen.update(m)
    emit: list[dict[str, float]] = []
    for state in range(4):
        gold, dic, ran = gold_emit[state], dict_emit[state], run_emit[state]
        gold_total, dict_total = math.fsum(gold.values()), math.fsum(dic.values())
        run_total = math.fsum(ran.values())
        run_share = config.run_share if run_total > 0 else 0.0
        synth = synth_emit[state]
        # One normaliser for all four states: a synthesised rune's emissions then keep the
        # ratios of its positions (inside a run far more often than alone), which a
        # per-state normaliser would blur.
        synth_total = math.fsum(v for m in synth_emit for v in m.values())
        synth_share = config.synthetic_share if synthetic else 0.0
        runes = set(gold) | set(dic) | set(ran) | set(synth)
        # Runes without evidence for this state: word-forming ones may take any state,
        # symbols only S (seen symbols keep what the data gives them).
        for rune in inv:
            if rune not in seen and (state == S or not is_symbol(rune)):
                runes.add(rune)
        for rune in seen:
            if state == S or not is_symbol(rune):
                runes.add(rune)
        share = config.gold_share if gold_total > 0 else 0.0
        if dict_total <= 0:
            share = 1.0
        floor = config.smoothing / len(runes)
        m = {}
        for rune in sorted(runes):
            p = 0.0
            if gold_total > 0:
                p += share * gold.get(rune, 0.0) / gold_total
            if dict_total > 0:
                p += (1.0 - share) * dic.get(rune, 0.0) / dict_total
            p *= 1.0 - run_share
            if run_share > 0:
                p += run_share * ran.get(rune, 0.0) / run_total
            p *= 1.0 - synth_share
            if synth_total > 0:
                p += synth_share * synth.get(rune, 0.0) / synth_total
            m[rune] = math.log((1.0 - config.smoothing) * p + floor)
        emit.append(m)

    if config.free_share is not None:
        for rune in sorted(emit[S]):
            uses = [gold_emit[state].get(rune, 0.0) for state in range(4)]
            total = math.fsum(uses)
            # Smoothed, so a rune that is always alone gets a finite, strong odds.
            alone = (uses[S] + 0.5) / (total + 1.0) if total >= config.free_min_uses else 0.0
            if alone >= config.free_share:
                odds = math.log((1.0 - alone) / alone)
                for state in (B, E, M):
                    if rune in emit[state]:
                        emit[state][rune] += odds
    if config.run_share > 0 and config.run_transitions and sum(run_start) > 0:
        start, trans = run_start, run_trans
    return HmmModel(
        start=_log_normalise(start, config.trans_pseudo),
        trans=[_log_normalise(row, config.trans_pseudo) for row in trans],
        emit=emit,
    )


def format_number(x: float) -> str:
    """Fixed formatting keeps rebuilt files byte-identical."""
    text = f"{x:.6f}"
    return "0.000000" if text == "-0.000000" else text


def emission_line(emit: Mapping[str, float]) -> str:
    """One emission line, items ordered by code point.

    Raises ValueError on a key the loader could not read back: a separator, a rune that
    would start the line with the comment mark, or anything but one rune."""
    items = []
    for rune in sorted(emit):
        if not is_writable_key(rune) or rune in FORBIDDEN_KEYS:
            raise ValueError(f"rune {rune!r} cannot be an emission key")
        items.append(f"{rune}:{format_number(emit[rune])}")
    if not items:
        raise ValueError("an emission line needs at least one item")
    line = ",".join(items)
    if line.lstrip(" \t\r\n\v\f").startswith("#"):
        raise ValueError("emission line would read as a comment")
    return line


def model_lines(model: HmmModel) -> list[str]:
    lines = [
        "# start log-probabilities: B E M S",
        " ".join(format_number(x) for x in model.start),
        "# transitions, one row per from-state B E M S; columns to B E M S",
    ]
    lines += [" ".join(format_number(x) for x in row) for row in model.trans]
    for state in range(4):
        lines.append(f"# emissions of {STATES[state]}")
        lines.append(emission_line(model.emit[state]))
    return lines


def write_model(model: HmmModel, path: str) -> None:
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        for line in model_lines(model):
            f.write(line + "\n")


def _split(text: str, sep: str) -> list[str]:
    """Split as the loader does: a final empty piece (text ending in sep) is dropped."""
    pieces = text.split(sep)
    if pieces and pieces[-1] == "":
        pieces.pop()
    return pieces


def parse_model(lines: Iterable[str]) -> HmmModel:
    """Read a model back the way the segmenter's loader does: trimmed lines, blank lines
    and lines starting with '#' skipped, nine significant lines. Strict: anything the
    loader would reject raises ValueError."""
    significant = []
    for line in lines:
        line = line.strip(" \t\n\v\f\r")
        if not line or line.startswith("#"):
            continue
        significant.append(line)
        if len(significant) == 9:
            break
    if len(significant) != 9:
        raise ValueError(f"expected 9 significant lines, got {len(significant)}")

    def numbers(line: str) -> list[float]:
        fields = line.split(" ")
        if len(fields) != 4:
            raise ValueError(f"expected 4 fields, got {len(fields)}: {line[:40]!r}")
        return [float(x) for x in fields]

    start = numbers(significant[0])
    trans = [numbers(line) for line in significant[1:5]]
    emit = []
    for line in significant[5:]:
        m = {}
        for item in _split(line, ","):
            parts = _split(item, ":")
            if len(parts) != 2:
                raise ValueError(f"emission item {item!r} is not rune:number")
            if len(parts[0]) != 1:
                raise ValueError(f"emission key {parts[0]!r} is not one rune")
            m[parts[0]] = float(parts[1])
        emit.append(m)
    return HmmModel(start, trans, emit)

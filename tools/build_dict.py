"""Main dictionary: rime-essay counts (Simplified), gold words added, phrases pruned, tags.

Output lines are exactly ``word freq tag``: one space between columns, no empty column, no
whitespace inside a word, frequencies as positive integers, words in code-point order.
"""

from __future__ import annotations

import collections
import dataclasses
import math
from typing import Iterable, Mapping, Sequence

from conllu import Sentence

# UD UPOS -> short lowercase tag written in the dictionary.
UPOS_TAGS = {
    "ADJ": "a",  # adjective
    "ADP": "p",  # adposition (preposition, postposition)
    "ADV": "d",  # adverb
    "AUX": "vx",  # auxiliary (aspect marker, modal, copula)
    "CCONJ": "c",  # coordinating conjunction
    "DET": "dt",  # determiner
    "INTJ": "e",  # interjection
    "NOUN": "n",  # common noun, also measure words
    "NUM": "m",  # numeral
    "PART": "u",  # particle, also nominal suffixes
    "PRON": "r",  # pronoun
    "PROPN": "nr",  # proper noun (names of people, places, organisations)
    "PUNCT": "w",  # punctuation
    "SCONJ": "cs",  # subordinating conjunction, also relative-clause 的
    "SYM": "sy",  # symbol
    "VERB": "v",  # verb
    "X": "xx",  # foreign or otherwise unclassifiable word
}
FALLBACK_TAG = "x"  # word not seen in the tagged corpus


@dataclasses.dataclass(frozen=True)
class DictConfig:
    zero_count: str = "drop"  # what a count of 0 becomes: "drop" or "floor" (count 1)
    max_len: int | None = 8  # longest rime-essay entry kept, in runes (None: no cap)
    min_pmi: float | None = 12.0  # drop entries whose cheapest two-word split has a
    # pointwise mutual information below this (phrases)
    min_pmi_two: float | None = 5.0  # the same for two-rune entries (None: as min_pmi)
    min_freedom: float | None = 0.05  # keep a low-PMI entry when its split would leave a
    # one-rune part that is rarely a word on its own
    prune_gold_split: bool = True  # drop entries the gold corpus splits more often than not
    gold_scale: float = 1.0  # frequency of an added gold word: its gold count times
    # (essay tokens / gold tokens) times this factor
    gold_ascii: bool = False  # add gold words that hold ASCII runes (numbers, Latin)
    split_affixes: bool = True  # drop entries = dictionary word + gold suffix (or prefix
    # + word) when the gold corpus treats the affix apart
    split_measures: bool = True  # drop numeral/determiner + measure-word entries
    min_affix_count: int = 2  # gold occurrences for a suffix/prefix to count
    min_split_votes: int = 1  # gold splits needed (besides outnumbering the whole
    # uses) before an entry is dropped for them
    classifiers: bool = True  # measure-word rule also with the CLASSIFIERS list and
    # for numeral + measure + word entries
    keep_places: bool = True  # place names (places.py) escape the phrase and
    # affix rules, and need two gold-split votes
    drop_digit_codes: bool = True  # drop entries spelt digit by digit with a zero sign
    # (〇〇, 〇一): pieces of years and codes, which the
    # HMM joins whole


@dataclasses.dataclass
class DictStats:
    essay_entries: int = 0
    dropped_zero: int = 0
    floored_zero: int = 0
    dropped_long: int = 0
    dropped_pmi: int = 0
    dropped_gold_split: int = 0
    dropped_space: int = 0
    dropped_affix: int = 0
    dropped_measure: int = 0
    dropped_digit_code: int = 0
    spared_places: int = 0
    skipped_ascii_gold: int = 0
    gold_added: int = 0
    entries: int = 0
    tagged: int = 0


def gold_word_counts(sentences: Iterable[Sentence]) -> collections.Counter:
    return collections.Counter(t.form for s in sentences for t in s.tokens)


def gold_tags(sentences: Iterable[Sentence]) -> dict[str, str]:
    """Most frequent UPOS of each FORM, ties broken by tag name, mapped to the short set."""
    per_word: dict[str, collections.Counter] = collections.defaultdict(collections.Counter)
    for s in sentences:
        for t in s.tokens:
            per_word[t.form][t.upos] += 1
    tags = {}
    for word, counter in per_word.items():
        upos = min(counter, key=lambda u: (-counter[u], u))
        tags[word] = UPOS_TAGS.get(upos, FALLBACK_TAG)
    return tags


def gold_split_votes(
    sentences: Iterable[Sentence], vocabulary: Mapping[str, int], max_len: int = 8
) -> tuple[collections.Counter, collections.Counter]:
    """For every vocabulary word of two or more runes that occurs in a gold sentence with
    both of its ends on gold word boundaries, count whether the gold corpus has it as one
    word (kept) or as several (split)."""
    kept, split = collections.Counter(), collections.Counter()
    for s in sentences:
        text = "".join(s.forms)
        bounds = [0]
        for form in s.forms:
            bounds.append(bounds[-1] + len(form))
        words = set(zip(bounds, bounds[1:]))
        for a, i in enumerate(bounds):
            for j in bounds[a + 1 :]:
                if j - i > max_len:
                    break
                if j - i < 2:
                    continue
                w = text[i:j]
                if w in vocabulary:
                    (kept if (i, j) in words else split)[w] += 1
    return kept, split


def weakest_split(word: str, counts: Mapping[str, int], total: float) -> tuple[float, int] | None:
    """Pointwise mutual information of the word against its most probable split into two
    dictionary words, and where that split falls; None when no such split exists. Without
    the entry, the dictionary route through the word takes that split."""
    best = None
    c = counts[word]
    for k in range(1, len(word)):
        a, b = counts.get(word[:k], 0), counts.get(word[k:], 0)
        if a > 0 and b > 0:
            pmi = math.log(c * total / (a * b))
            if best is None or pmi < best[0]:
                best = (pmi, k)
    return best


def rune_freedom(counts: Mapping[str, int]) -> dict[str, float]:
    """Share of a rune's occurrences (weighted by count) in which it is a word by itself."""
    alone: dict[str, float] = {}
    inside: dict[str, float] = collections.defaultdict(float)
    for word, c in counts.items():
        if len(word) == 1:
            alone[word] = alone.get(word, 0.0) + c
        else:
            for ch in word:
                inside[ch] += c
    return {
        ch: alone.get(ch, 0.0) / (alone.get(ch, 0.0) + inside[ch])
        for ch in set(alone) | set(inside)
        if alone.get(ch, 0.0) + inside[ch] > 0
    }


def gold_affixes(sentences: Iterable[Sentence], min_count: int) -> tuple[set, set]:
    """One-rune suffixes (XPOS SFN) and prefixes (XPOS PFA) the gold corpus cuts off."""
    sfn, pfa = collections.Counter(), collections.Counter()
    for s in sentences:
        for t in s.tokens:
            if len(t.form) == 1:
                if t.xpos == "SFN":
                    sfn[t.form] += 1
                elif t.xpos == "PFA":
                    pfa[t.form] += 1
    return ({r for r, n in sfn.items() if n >= min_count}, {r for r, n in pfa.items() if n >= min_count})


def splits_off_affix(word: str, counts: Mapping[str, int], suffixes: set, prefixes: set) -> bool:
    """Whether the word is a dictionary word plus a one-rune suffix (or a prefix plus a
    dictionary word) that cuts cleanly: no other dictionary word crosses the seam, so that
    without the whole entry the cut falls at the affix. (Dropping 'library' = 'books' +
    'hall' would otherwise leave 'picture' + 'book-hall' when 'book-hall' is a word.)"""
    if word[-1] in suffixes and word[:-1] in counts:
        if not any(word[k:] in counts for k in range(1, len(word) - 1)):
            return True
    if word[0] in prefixes and word[1:] in counts:
        if not any(word[:k] in counts for k in range(2, len(word))):
            return True
    return False


def gold_measures(sentences: Iterable[Sentence]) -> tuple[set, set]:
    """One-rune numerals and determiners (XPOS CD, DT) and measure words (XPOS NNB) that
    the gold corpus writes as separate words."""
    quantifiers, measures = set(), set()
    for s in sentences:
        for t in s.tokens:
            if t.xpos in ("CD", "DT") and len(t.form) == 1 and not t.form.isascii():
                quantifiers.add(t.form)
            elif t.xpos == "NNB" and not t.form.isascii():
                measures.add(t.form)
    return quantifiers, measures


# Classifiers that count things and events, written apart from the numeral or determiner
# before them (一 本 书, 两 次); a small corpus does not show all of them as measure words.
# Units of time, money and measure (年, 元, 米) are left out: they also make words.
CLASSIFIERS = frozenset(
    "个 位 本 次 件 条 张 只 种 把 名 项 家 所 座 部 台 辆 架 艘 匹 头 棵 朵 片 块 根 支 "
    "枝 封 首 篇 幅 场 届 层 套 双 对 批 群 份 段 句 声 顿 遍 番 趟 栋 株 粒 颗 杯 碗 "
    "瓶 盒 箱 袋 间 起 例 枚 则 副 扇 盏 笔 门 桩 宗 道 辆".split()
)


def is_measure_phrase(word: str, quantifiers: set, measures: set, words: Mapping[str, int] | None = None) -> bool:
    """Numeral/determiner runes followed by a measure word, like 'three' + classifier, and,
    given the dictionary ``words``, such a pair followed by a dictionary word ('one' +
    classifier + 'book')."""
    for k in range(1, len(word)):
        if not all(ch in quantifiers for ch in word[:k]):
            break
        for m in range(k + 1, len(word) + 1):
            if word[k:m] in measures and (m == len(word) or (words is not None and word[m:] in words)):
                return True
    return False


CHINESE_DIGITS = "〇○零一二三四五六七八九"
ZERO_SIGNS = "〇○"


def is_digit_code(word: str) -> bool:
    """Two or more Chinese digits, one of them a zero sign: a piece of a number read out
    digit by digit (a year such as 二〇〇〇, a code), never a word of its own."""
    return len(word) >= 2 and all(ch in CHINESE_DIGITS for ch in word) and any(ch in ZERO_SIGNS for ch in word)


def protected_words(config: DictConfig) -> frozenset[str]:
    """The outside names that ``config`` spares (needs the pinned place table installed)."""
    if not config.keep_places:
        return frozenset()
    import places

    return frozenset(places.place_names())


def build_entries(
    essay_counts: Mapping[str, int],
    gold: Sequence[Sentence],
    config: DictConfig = DictConfig(),
    stats: DictStats | None = None,
    protected: frozenset[str] | set[str] = frozenset(),
) -> dict[str, tuple[int, str]]:
    """word -> (frequency, tag) for the main dictionary. Entries in ``protected`` (names
    from an outside list) escape the phrase and affix rules; the gold votes still apply."""
    stats = stats if stats is not None else DictStats()
    if not config.keep_places:
        protected = frozenset()
    stats.essay_entries = len(essay_counts)
    counts: dict[str, int] = {}
    for word in sorted(essay_counts):
        c = essay_counts[word]
        if any(ch.isspace() for ch in word):
            stats.dropped_space += 1
            continue
        if c <= 0:
            if config.zero_count == "drop":
                stats.dropped_zero += 1
                continue
            stats.floored_zero += 1
            c = 1
        if config.max_len is not None and len(word) > config.max_len:
            stats.dropped_long += 1
            continue
        counts[word] = c

    if config.drop_digit_codes:
        drop = [w for w in counts if is_digit_code(w)]
        for word in drop:
            del counts[word]
        stats.dropped_digit_code = len(drop)

    gold_counts = gold_word_counts(gold)
    if config.min_pmi is not None:
        total = float(sum(counts.values()))
        freedom = rune_freedom(counts) if config.min_freedom is not None else {}
        drop = []
        for word in counts:
            if len(word) < 2 or word in gold_counts:
                continue
            split = weakest_split(word, counts, total)
            limit = config.min_pmi
            if len(word) == 2 and config.min_pmi_two is not None:
                limit = config.min_pmi_two
            if split is None or split[0] >= limit:
                continue
            if config.min_freedom is not None and len(word) > 2:
                k = split[1]
                loose = [word[:k]] if k == 1 else [word[k:]] if k == len(word) - 1 else []
                if any(freedom.get(p, 0.0) < config.min_freedom for p in loose):
                    continue
            if word in protected:
                stats.spared_places += 1
                continue
            drop.append(word)
        for word in drop:
            del counts[word]
        stats.dropped_pmi = len(drop)

    if config.split_affixes:
        suffixes, prefixes = gold_affixes(gold, config.min_affix_count)
        drop = [
            w
            for w in counts
            if len(w) >= 3
            and w not in gold_counts
            and w not in protected
            and splits_off_affix(w, counts, suffixes, prefixes)
        ]
        for word in drop:
            del counts[word]
        stats.dropped_affix = len(drop)

    if config.split_measures:
        quantifiers, measures = gold_measures(gold)
        if config.classifiers:
            measures |= CLASSIFIERS
        drop = [
            w
            for w in counts
            if len(w) >= 2
            and w not in gold_counts
            and is_measure_phrase(w, quantifiers, measures, counts if config.classifiers else None)
        ]
        for word in drop:
            del counts[word]
        stats.dropped_measure = len(drop)

    if config.prune_gold_split:
        kept, split = gold_split_votes(gold, counts)
        # A listed name needs two votes: one sentence that happens to cut it is too little
        # against an outside list.
        drop = [
            w
            for w in split
            if split[w] > kept[w]
            and w not in gold_counts
            and split[w] >= max(config.min_split_votes, 2 if w in protected else 1)
        ]
        for word in drop:
            del counts[word]
        stats.dropped_gold_split = len(drop)

    essay_total = sum(counts.values())
    gold_total = sum(gold_counts.values())
    scale = config.gold_scale * essay_total / gold_total if gold_total else 0.0
    for word in sorted(gold_counts):
        if word in counts or any(ch.isspace() for ch in word):
            continue
        if not config.gold_ascii and any(ch.isascii() for ch in word):
            # The segmenter joins ASCII letter and digit runs by itself; dictionary entries
            # such as "19" or "23" would only cut a held-out "1923" in two.
            stats.skipped_ascii_gold += 1
            continue
        counts[word] = max(1, round(gold_counts[word] * scale))
        stats.gold_added += 1

    tags = gold_tags(gold)
    entries = {}
    for word in sorted(counts):
        tag = tags.get(word, FALLBACK_TAG)
        if word in tags:
            stats.tagged += 1
        entries[word] = (counts[word], tag)
    stats.entries = len(entries)
    return entries


def dict_line(word: str, freq: int, tag: str) -> str:
    if not word or any(ch.isspace() for ch in word):
        raise ValueError(f"word {word!r} is empty or holds white space")
    if not tag or any(ch.isspace() for ch in tag):
        raise ValueError(f"tag {tag!r} of {word!r} is empty or holds white space")
    if not isinstance(freq, int) or freq <= 0:
        raise ValueError(f"frequency of {word!r} must be a positive integer, got {freq!r}")
    return f"{word} {freq} {tag}"


def write_dict(entries: Mapping[str, tuple[int, str]], path: str) -> None:
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        for word in sorted(entries):
            freq, tag = entries[word]
            f.write(dict_line(word, freq, tag) + "\n")


def parse_dict_line(line: str) -> tuple[str, float, str]:
    """Read a line the way the segmenter's loader does (split at every single space,
    exactly three columns)."""
    cols = line.rstrip("\n").split(" ")
    if len(cols) != 3:
        raise ValueError(f"expected 3 columns, got {len(cols)}: {line!r}")
    return cols[0], float(cols[1]), cols[2]

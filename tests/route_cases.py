"""Random dictionaries, texts and HMM tables for the tests of segmentation by
word frequency: small alphabets and few distinct frequencies, so that routes
tie; words longer than the walks go (over 32 code points), texts made of
them; every kind of character the segmentation treats apart."""

from route_model import MISSING, Dictionary, Tables

HAN = "中国人民大学生前来研究"
CORE = HAN + "ab01" + "+#.%-&_"
OTHER = [" ", "\t", "\u3000", "\r\n", "\r", "\n", "，", "\u9fd6", "\u4dff", "\U0001f600", "é", "\x1c", "\x85", "\0"]
LONG = 33  # code points: the shortest word that the walks leave to the long words' automaton


def random_tables(rng):
    """Tables of a few values, some events missing, so that paths tie."""
    def pick():
        return rng.choice([-1.0, -2.0, -0.5, -3.0, MISSING])
    start = {y: pick() for y in "BEMS"}
    trans = {a: {b: pick() for b in "BEMS" if rng.random() < 0.9} for a in "BEMS"}
    emit = {y: {c: pick() for c in HAN if rng.random() < 0.8} for y in "BEMS"}
    return Tables(start, trans, emit)


def random_dictionary(rng, long_words=False):
    """A Dictionary of random words; with long_words, words around the
    walks' limit, many of them periodic, over a two-letter alphabet."""
    words = {}
    alphabet = "ab" if long_words else rng.choice([CORE, CORE[:3], HAN[:2] + "a", "中国人"])
    frequencies = rng.choice([[1], [1, 2], [1, 1, 2, 3, 0, 100, 7], [4, 16, 2]])
    for _ in range(rng.randint(0, 25)):
        n = rng.randint(LONG - 5, LONG + 7) if long_words else rng.randint(1, 5)
        word = "".join(rng.choice(alphabet) for _ in range(n))
        if long_words and rng.random() < 0.6:
            word = (rng.choice(["a", "ab", "aab"]) * (LONG + 7))[:n]
        words[word] = rng.choice(frequencies)
    if long_words:
        for c in "ab中":
            words.setdefault(c, rng.choice([1, 2]))
    total = max(1, sum(words.values()) + rng.choice([0, 0, 5]))
    return Dictionary(words, total, {w for w in words if rng.random() < 0.1}), alphabet


def random_text(rng, dictionary, alphabet, long_words=False):
    if long_words:
        pool = list(dictionary.freq) + ["a", "b", "中", " "]
        return "".join(rng.choice(pool) for _ in range(rng.randint(0, 30)))
    return "".join(rng.choice(alphabet if rng.random() < 0.7 else CORE) if rng.random() < 0.85 else rng.choice(OTHER)
                   for _ in range(rng.randint(0, 30)))


def pieces(text, ends):
    """The segments of `text` that end at `ends`."""
    out, start = [], 0
    for end in ends:
        out.append(text[start:end])
        start = end
    return out


def user_dictionary(lines, known, count=600, seed=29):
    """A jieba user dictionary (bytes) made from text lines and a main
    dictionary's words (`known`, a list): new words cut from the lines' Han
    runs and known words, with and without frequencies and tags, frequencies
    of 0 (words the HMM must then split), words given twice, words with
    spaces and ASCII ones, and lines as people write them (spaces around,
    a byte order mark, empty lines)."""
    import random
    import re

    rng = random.Random(seed)
    runs = [run for line in lines for run in re.findall("[\u4e00-\u9fd5]{2,}", line)]
    out = ["\ufeff" + rng.choice(known) + " 5"]
    while len(out) < count:
        kind = rng.random()
        if kind < 0.55:
            run = rng.choice(runs)
            start = rng.randrange(len(run) - 1)
            word = run[start:start + rng.randint(2, 5)]
        elif kind < 0.85:
            word = rng.choice(known)
        else:
            word = rng.choice(["Python3", "C++", "hello world", "云 计算", "ABC公司", "3.5G", "Wi-Fi"])
        freq = rng.choice([None, None, None, 0, 1, 3, 50, 1000, 100000])
        tag = rng.choice([None, None, "n", "nz", "vn"])
        line = word + ("" if freq is None else f" {freq}") + ("" if tag is None else f" {tag}")
        out.append(rng.choice(["", "", "  ", "\t"]) + line + rng.choice(["", "", " ", "\r"]))
        if rng.random() < 0.02:
            out.append("")
    return "\n".join(out).encode("utf-8") + b"\n"

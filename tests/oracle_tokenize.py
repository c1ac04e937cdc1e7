"""WordPiece against tokenizers' BertWordPieceTokenizer, line by line: ids,
tokens and offsets, on the real texts and a mixed text, with every
vocabulary, lowercase on and off, special tokens on and off.

    python tests/oracle_tokenize.py [--sample N]      (or ./dev oracle tokenize)

prints, for each configuration, how many lines came out identical, and the
first line that did not. The suite runs a sample of the same comparison
(test_wordpiece_oracle.py).
"""

import argparse
import random
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "benchmarks"))
sys.path.insert(0, str(HERE))

import corpus  # noqa: E402
from velbench import vocab  # noqa: E402

TEXTS = ("fortunes-zh", "manpages-zh", "fortunes-en", "mixed")

# Pieces of the mixed text: what real text from the web and terminals holds
# besides words.
URLS = ("https://example.org/a/b?q=1&x=%20y#frag", "http://例子.测试/路径", "ftp://host:21/file.tar.gz",
        "mailto:someone@example.com", "www.debian.org/~user/index.html")
EMOJI = ("😀", "👍🏽", "🇨🇳", "👨\u200d👩\u200d👧", "❤\ufe0f", "🥲", "✨", "🙂")
ACCENTED = ("café", "naïve", "Ångström", "São Paulo", "e\u0301", "A\u030a", "İstanbul", "ΑΣ", "straße", "Œuvre",
            "ǅ", "ﬁne", "Ǆemal", "Ⅻ", "K")
FULL_WIDTH = ("Ｈｅｌｌｏ", "ＡＢＣ１２３", "！？（）", "：；", "ｶﾀｶﾅ", "　")
CONTROL = ("\x00", "\x01", "\x07", "\x08", "\x0b", "\x0c", "\x1b[1m", "\x1f", "\x7f", "\x85", "\u00ad", "\u200b",
           "\u200d", "\u2028", "\u2029", "\ufeff", "\ufffd", "\t", "\r", "\u3000", "\u00a0", "\ue000")
LITERAL = ("[SEP]", "[CLS]", "[UNK]", "[MASK]", "[PAD]", "[sep]", "[ SEP]", "[[CLS]]", "##", "#hashtag", "##ing")


def mixed_lines(count=3000, seed=0):
    """Lines that mix words of the real texts with URLs, emoji, accented
    letters, full-width forms, control characters and special tokens."""
    rng = random.Random(seed)
    words = []
    for name in ("fortunes-en", "fortunes-zh"):
        if corpus.available(name):
            words += [w for line in corpus._all_lines(name)[:4000] for w in line.split()]
    words = words or ["word", "中文", "text"]
    kinds = (URLS, EMOJI, ACCENTED, FULL_WIDTH, CONTROL, LITERAL)
    lines = []
    for _ in range(count):
        parts = []
        for _ in range(rng.randint(1, 14)):
            piece = rng.choice(words) if rng.random() < 0.5 else rng.choice(rng.choice(kinds))
            parts.append(piece + rng.choice(("", "", " ", " ", "  ", ",", "\t")))
        lines.append("".join(parts))
    return lines


def text_lines(name, sample=None):
    """The lines of text `name` (all, or a fixed sample of a real text), or
    None when it is not installed."""
    if name == "mixed":
        return mixed_lines(sample or 3000)
    if not corpus.available(name):
        return None
    every = corpus._all_lines(name)
    if sample is None or sample >= len(every):
        return list(every)
    return [every[i] for i in sorted(random.Random(0).sample(range(len(every)), sample))]


def configurations():
    """(vocabulary name, lowercase, add_special_tokens) to compare."""
    for name in vocab.VOCABULARIES:
        for lowercase in (True, False):
            for special in (True, False):
                yield name, lowercase, special


def compare(ours, reference, lines, special):
    """How many lines the two tokenize alike, and the first that they do not
    (None when all do)."""
    mine = ours.encode_batch(lines, add_special_tokens=special)
    theirs = reference.encode_batch(lines, add_special_tokens=special)
    same, first = 0, None
    for line, a, b in zip(lines, mine, theirs):
        if a.ids == b.ids and a.tokens == b.tokens and a.offsets == b.offsets:
            same += 1
        elif first is None:
            first = (line, a.tokens, b.tokens, a.offsets, b.offsets)
    return same, first


def tokenizers_for(path, lowercase):
    """Ours and the reference, over the vocabulary file at path."""
    from tokenizers import BertWordPieceTokenizer

    from ondrel_velarin import WordPiece

    return WordPiece.from_vocab(path, lowercase=lowercase), BertWordPieceTokenizer(path, lowercase=lowercase)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sample", type=int, default=None, help="lines of each real text (default: all)")
    args = parser.parse_args()
    texts = {name: text_lines(name, args.sample) for name in TEXTS}
    started = time.perf_counter()
    print("| vocabulary | lowercase | special tokens | text | identical lines |")
    print("|---|---|---|---|---:|")
    mismatches = 0
    for name, lowercase, special in configurations():
        ours, reference = tokenizers_for(vocab.VOCABULARIES[name](), lowercase)
        for text, lines in texts.items():
            if lines is None:
                print(f"| {name} | {lowercase} | {special} | {text} | not installed |")
                continue
            same, first = compare(ours, reference, lines, special)
            mismatches += len(lines) - same
            print(f"| {name} | {lowercase} | {special} | {text} | {same:,} of {len(lines):,} |", flush=True)
            if first is not None:
                print(f"    first difference: {first[0]!r}\n    ours:   {first[1]} {first[3]}\n"
                      f"    theirs: {first[2]} {first[4]}")
    print(f"\n{mismatches:,} lines differ; {time.perf_counter() - started:.0f} s")
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())

"""WordPiece against the reference, tokenizers' BertWordPieceTokenizer: a
sample of every real text and the mixed text, random text over all of
Unicode, pairs and truncation. Skipped with the reason when tokenizers or
a vocabulary cannot be had; `./dev oracle tokenize` runs the whole texts."""

import functools
import random
import sys
import unicodedata
from pathlib import Path

import pytest

import oracle_tokenize as oracle

tokenizers = pytest.importorskip("tokenizers", reason="tokenizers (the reference) is not installed: pip install tokenizers")
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "benchmarks"))
from velbench import vocab as vocabularies  # noqa: E402

# Characters of Unicode 3.2 whose category has changed since, so that the
# reference (whose categories are older than Python's) and Python disagree on
# them; characters added after 3.2 are left out of random texts for the same
# reason (README: "Unicode versions").
CHANGED_SINCE_3_2 = {0x166D, 0x1734, 0x1885, 0x1886}


def vocab_path(name):
    try:
        return vocabularies.VOCABULARIES[name]()
    except vocabularies.VocabUnavailable as why:
        pytest.skip(str(why))


@pytest.fixture(scope="module", params=[(name, lower) for name in vocabularies.VOCABULARIES for lower in (True, False)],
                ids=lambda p: f"{p[0]}-{'lower' if p[1] else 'cased'}")
def pair_of_tokenizers(request):
    name, lowercase = request.param
    return oracle.tokenizers_for(vocab_path(name), lowercase)


@pytest.mark.oracle
@pytest.mark.parametrize("text", oracle.TEXTS)
def test_a_sample_of_each_text(pair_of_tokenizers, text):
    lines = oracle.text_lines(text, sample=150)
    if lines is None:
        pytest.skip(f"{text} is not installed")
    ours, reference = pair_of_tokenizers
    same, first = oracle.compare(ours, reference, lines, special=text != "mixed")
    assert first is None and same == len(lines)


@functools.cache
def old_characters():
    return [chr(c) for c in range(0x110000)
            if not 0xD800 <= c < 0xE000 and c not in CHANGED_SINCE_3_2
            and unicodedata.ucd_3_2_0.category(chr(c)) != "Cn"]


def test_random_text_over_all_of_unicode(pair_of_tokenizers):
    rng = random.Random(0)
    characters = old_characters()
    ascii_ = [chr(c) for c in range(128)]
    lines = ["".join(rng.choice(characters if rng.random() < 0.6 else ascii_) for _ in range(rng.randint(0, 60)))
             for _ in range(200)]
    ours, reference = pair_of_tokenizers
    same, first = oracle.compare(ours, reference, lines, True)
    assert first is None


def test_texts_made_of_the_vocabularys_tokens(pair_of_tokenizers, request):
    # Tokens run together, "##" pieces glued to words and standing alone, cut
    # tokens: the longest match at each point, and words that fall back to
    # the unknown token part-way.
    name, _ = request.node.callspec.params["pair_of_tokenizers"]
    with open(vocab_path(name), encoding="utf-8") as f:
        tokens = [line.rstrip("\n") for line in f if line.strip()]
    rng = random.Random(name)
    lines = []
    for _ in range(300):
        parts = []
        for _ in range(rng.randint(1, 10)):
            token = rng.choice(tokens)
            roll = rng.random()
            parts.append(token.removeprefix("##") if roll < 0.5 else token if roll < 0.7
                         else token[: rng.randint(1, len(token))] if roll < 0.85 else rng.choice(" ,.-中"))
        lines.append("".join(parts))
    ours, reference = pair_of_tokenizers
    same, first = oracle.compare(ours, reference, lines, True)
    assert first is None and same == len(lines)


def test_pairs_and_truncation():
    ours, reference = oracle.tokenizers_for(vocab_path("english-uncased"), True)
    rng = random.Random(5)
    words = "the cat sat on unbelievable mats , said 中文 ok".split()
    for _ in range(150):
        a = " ".join(rng.choice(words) for _ in range(rng.randint(0, 12)))
        b = " ".join(rng.choice(words) for _ in range(rng.randint(0, 12)))
        max_length = rng.randint(3, 20)
        reference.enable_truncation(max_length)
        mine, theirs = ours.encode(a, b, max_length=max_length), reference.encode(a, b)
        assert (mine.ids, mine.offsets, mine.type_ids, mine.special_tokens_mask) == \
            (theirs.ids, theirs.offsets, theirs.type_ids, theirs.special_tokens_mask), (a, b, max_length)

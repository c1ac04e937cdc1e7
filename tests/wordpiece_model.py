"""A plain Python model of WordPiece tokenisation, for differential tests:
normalisation character by character from unicodedata, splitting, and
greedy matching by trying every end from the longest down, as the rule is
written. Slow, and meant to be obviously right."""

import unicodedata

CJK = ((0x3400, 0x4DBF), (0x4E00, 0x9FFF), (0xF900, 0xFAFF), (0x20000, 0x2A6DF), (0x2A700, 0x2B73F),
       (0x2B740, 0x2B81F), (0x2B920, 0x2CEAF), (0x2F800, 0x2FA1F))
ASCII_PUNCTUATION = set("!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~")


def is_punctuation(ch):
    return ch in ASCII_PUNCTUATION or unicodedata.category(ch).startswith("P")


def is_split_space(ch):
    return ch.isspace() and not "\x1c" <= ch <= "\x1f"


def normalised(ch, clean_text, chinese, strip_accents, lowercase):
    """What normalisation makes of one character: a str, with spaces where
    it splits."""
    category = unicodedata.category(ch)
    if clean_text:
        if ch in "\x00\ufffd" or (ch not in "\t\n\r" and category in ("Cc", "Cf", "Co")):
            return ""
        if ch in "\t\n\r" or category in ("Zs", "Zl", "Zp"):
            return " "
    out = ch
    if strip_accents:
        out = "".join(x for x in unicodedata.normalize("NFD", out) if unicodedata.category(x) != "Mn")
    if lowercase:
        out = out.lower()
    if chinese and any(a <= ord(ch) <= b for a, b in CJK):
        out = " " + out + " "
    return out


def words(text, specials, **options):
    """The words of text as lists of (character, origin), and the special
    tokens as (token, start, end), in text order."""
    out, word, i = [], [], 0
    while i < len(text):
        special = max((s for s in specials if s and text.startswith(s, i)), key=len, default=None)
        if special:
            out += [word] if word else []
            out.append((special, i, i + len(special)))
            word, i = [], i + len(special)
            continue
        for x in normalised(text[i], **options):
            if is_split_space(x):
                out += [word] if word else []
                word = []
            elif is_punctuation(x):
                out += [word] if word else []
                out.append([(x, i)])
                word = []
            else:
                word.append((x, i))
        i += 1
    return out + ([word] if word else [])


def greedy(word, vocab, prefix):
    """The tokens of word (a str), longest first; None when it is unknown."""
    tokens, start = [], 0
    while start < len(word):
        for end in range(len(word), start, -1):
            piece = word[start:end] if start == 0 else prefix + word[start:end]
            if piece in vocab:
                tokens.append((piece, start, end))
                start = end
                break
        else:
            return None
    return tokens


def tokenize(text, vocab, *, unk_token="[UNK]", specials=(), prefix="##", max_chars=100, clean_text=True,
             chinese=True, strip_accents=True, lowercase=True):
    """(id, token, (start, end)) for each token of text."""
    options = dict(clean_text=clean_text, chinese=chinese, strip_accents=strip_accents, lowercase=lowercase)
    out = []
    for w in words(text, [s for s in specials if s in vocab], **options):
        if isinstance(w, tuple):
            out.append((vocab[w[0]], w[0], (w[1], w[2])))
            continue
        chars = "".join(c for c, _ in w)
        pieces = greedy(chars, vocab, prefix) if len(chars) <= max_chars else None
        if pieces is None:
            out.append((vocab[unk_token], unk_token, (w[0][1], w[-1][1] + 1)))
            continue
        out += [(vocab[p], p, (w[s][1], w[e - 1][1] + 1)) for p, s, e in pieces]
    return out

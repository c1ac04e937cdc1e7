"""Every public path in a loop: the interpreter's allocated blocks and the
native heap and mappings must not grow. The suite runs a few thousand loops per path;
`python -P tests/test_leaks.py [LOOPS]` (`./dev leaks`) runs 100,000 and
prints the figures."""

import copy
import pickle
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

from leaks import growth  # noqa: E402
from ondrel_velarin import Lexicon, WordPiece, longest_matches, segment  # noqa: E402
from ondrel_velarin.impl_c import Velarin  # noqa: E402
from test_nomemory import WIDE, WORDS, Raw, Seq  # noqa: E402

class Interrupts:
    def encode(self, encoding):
        raise KeyboardInterrupt


class ShortSeq(Seq):
    """Claims more items than it has. One class for every loop: a class made
    per loop is freed by the collector when it runs, not within the loop."""

    def __len__(self):
        return 20


RAW = [Raw(w.encode()) for w in WORDS]
SHARED = Velarin(WORDS)
ENTRIES = {w: (i if i % 3 else f"v{i}") for i, w in enumerate(WORDS)}
LEXICON = Lexicon(ENTRIES)
TAGGED = Lexicon._from_columns(list(WORDS), list(range(len(WORDS))), ["n" if i % 2 else None for i in range(len(WORDS))])
IMAGE = TAGGED._image()[0]


def lexicon_questions():
    for lex in (LEXICON, TAGGED):
        for k in ("abcd", "中文字", "zz", "", "\U0001F600!"):
            k in lex, lex.get(k), lex.prefixes(k), lex.prefix_items(k, 1), lex.longest_prefix_item(k)
            lex.keys(k[:1]), lex.items(k[:1]), lex.has_keys_with_prefix(k)
        list(lex.items()), [lex.key_id(w) for w in lex], [lex.restore_key(i) for i in range(len(lex))]
        [lex.tag(w) for w in lex]


TOKENS = ["[UNK]", "[CLS]", "[SEP]", "ab", "##c", "中", "##ab"]
WP = WordPiece(TOKENS)


def refused(call):
    try:
        call()
    except (TypeError, AttributeError, UnicodeEncodeError, KeyboardInterrupt, IndexError, KeyError, ValueError):
        return
    raise AssertionError("no error")


def abandoned_iteration():
    g = iter(SHARED)
    next(g)
    next(g)


def wordpiece_encode():
    e = WP.encode("abc 中文 ab[SEP]x İ", "abab c", max_length=9)
    return e.ids, e.tokens, e.offsets, e.type_ids, e.special_tokens_mask, len(e)


def rebuild():
    v = Velarin(["old"])
    v.__init__(WORDS)
    v.get_closest_prefix("abc")
    v.__init__(WIDE)


PATHS = {
    "construct_list": lambda: Velarin(WORDS),
    "construct_tuple": lambda: Velarin(tuple(WORDS)),
    "construct_str": lambda: Velarin("abc中"),
    "construct_sequence": lambda: Velarin(Seq()),
    "construct_encode": lambda: Velarin(RAW),
    "construct_wide": lambda: Velarin(WIDE),
    "construct_empty": lambda: Velarin([]),
    "construct_fails": lambda: refused(lambda: Velarin(["a", 1])),
    "construct_surrogate": lambda: refused(lambda: Velarin(["a", "\ud800"])),
    "construct_interrupted": lambda: refused(lambda: Velarin(["a", Interrupts()])),
    "construct_short_sequence": lambda: refused(lambda: Velarin(ShortSeq())),
    "rebuild": rebuild,
    "lookup": lambda: [SHARED.get_closest_prefix(k) for k in ("abcd", "中文字", "zz", "", "\U0001F600!")],
    "lookup_errors": lambda: [refused(lambda k=k: SHARED.get_closest_prefix(k)) for k in (None, 1, b"a", "a\udc00")],
    "iteration": lambda: list(SHARED),
    "abandoned_iteration": abandoned_iteration,
    "segment": lambda: [segment(SHARED, t, alnum_runs=r) for t in ("abcd中文字 zz", "", "\U0001F600!─" * 9) for r in (0, 1)],
    "longest_matches": lambda: [longest_matches(SHARED, t) for t in ("abcd中文字 zz", "\U0001F600!" * 9)],
    "scan_errors": lambda: [refused(lambda a=a: segment(*a)) for a in ((SHARED, b"a"), (1, "a"), (SHARED, "a\udc00"))],
    "scan_raw": lambda: [segment(v, "abcd中文") for v in (Velarin(RAW),)],
    "wordpiece_construct": lambda: WordPiece(TOKENS, lowercase=False),
    "wordpiece_encode": wordpiece_encode,
    "wordpiece_tokenize_unlocked": lambda: WP.tokenize("abc 中 " * 1000),
    "wordpiece_batch": lambda: [e.offsets for e in WP.encode_batch(["abc", ("ab", "c"), ""], max_length=4)],
    "wordpiece_errors": lambda: [refused(lambda a=a: WP.encode(a)) for a in (b"a", "a\udc00", None)],
    "pickling_refused": lambda: [refused(lambda: pickle.dumps(SHARED)), refused(lambda: copy.copy(SHARED)),
                                 refused(lambda: SHARED.__setstate__(None))],
    "lexicon_construct": lambda: [Lexicon(ENTRIES), Lexicon(WORDS), Lexicon(list(ENTRIES.items()) * 2), Lexicon(WIDE)],
    "lexicon_construct_fails": lambda: [refused(lambda a=a: Lexicon(a)) for a in ("ab", ["a", 1], [("a", 1), (2, 2)], ["\ud800"])],
    "lexicon_questions": lexicon_questions,
    "lexicon_question_errors": lambda: [refused(lambda k=k: LEXICON[k]) for k in ("not a word", 1)]
    + [refused(lambda: LEXICON.restore_key(10**6)), refused(lambda: LEXICON.prefixes(b"a")), refused(lambda: LEXICON.tag("not a word"))],
    "lexicon_texts": lambda: [(LEXICON.segment(t), LEXICON.tokenize(t), LEXICON.find_all(t), LEXICON.find_longest(t))
                              for t in ("abcd中文字 zz", "", "\U0001F600!─" * 9)],
    "lexicon_image": lambda: [Lexicon._from_image(IMAGE, None), refused(lambda: Lexicon._from_image(IMAGE[:-1], None)),
                              Lexicon._from_image(*LEXICON._image())],
}



def leaking(blocks, heap, space, loops):
    """A leak of one block per loop shows as `loops` blocks, or 32 bytes a loop
    of native heap (the smallest malloc chunk), or a mapped table (64 KiB or
    more) a loop; the allowances are for the interpreter's caches settling and
    its allocators taking new arenas. Fewer blocks by one a loop is as wrong
    (caches emptying account for some hundreds): something is freed that the
    loop did not allocate, or freed by another allocator than the one that
    gave it."""
    return (blocks > max(10, loops // 10) or blocks < -(loops // 2)
            or (heap is not None and heap > (1 << 20) + 16 * loops)
            or (space is not None and space > (32 << 20) + 4096 * loops))


def measure(loops):
    return {name: growth(action, loops) for name, action in PATHS.items()}


if __name__ == "__main__":
    loops = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    count = 0
    for name, (blocks, heap, space) in measure(loops).items():
        bad = leaking(blocks, heap, space, loops)
        count += bad
        print(f"{name:26} {loops} loops: {blocks:+d} blocks, {heap:+d} native heap bytes, {space:+d} mapped bytes"
              f"{'  LEAK' if bad else ''}")
    print(f"leaks: {len(PATHS)} paths x {loops} loops, {count} leaking")
    sys.exit(1 if count else 0)


import pytest  # noqa: E402


@pytest.mark.parametrize("name", list(PATHS))
def test_path_does_not_grow(name):
    loops = 3000
    blocks, heap, space = growth(PATHS[name], loops)
    assert not leaking(blocks, heap, space, loops), (blocks, heap, space)

"""Longest-match segmentation of text against a Velarin word list."""

from collections.abc import Iterator

from .impl_c import Velarin


def longest_word_length(trie: Velarin) -> int:
    """Length in code points of the longest stored string (0 when empty)."""
    return max(map(len, trie), default=0)


def segment_spans(trie: Velarin, text: str, longest: int | None = None) -> Iterator[tuple[int, str]]:
    """Yields (offset, segment) pairs covering `text` from left to right.

    At each position the segment is the longest stored string that the text
    there begins with, or the single character there when none is. Offsets
    are code-point offsets into `text`. `longest` is the length of the longest
    stored string; pass it when segmenting many texts, as finding it walks the
    whole trie.
    """
    if longest is None:
        longest = longest_word_length(trie)
    # Looking up only a window as long as the longest word keeps each call
    # cheap however long the text is: no match can be longer than that.
    window = max(longest, 1)
    i, end = 0, len(text)
    while i < end:
        word = trie.get_closest_prefix(text[i : i + window])
        if not word:
            word = text[i]
        yield i, word
        i += len(word)


def segment(trie: Velarin, text: str, longest: int | None = None) -> Iterator[str]:
    """Yields the segments of `text`, as `segment_spans` finds them."""
    for _, word in segment_spans(trie, text, longest):
        yield word

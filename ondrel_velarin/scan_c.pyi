from .impl_c import Velarin

def segment(trie: Velarin, text: str, /, *, alnum_runs: bool = False) -> list[str]:
    """Forward longest-match segmentation of text; the segments join to text.

    With alnum_runs, runs of letters and digits (with the combining marks
    after them) no word covers stay whole."""

def longest_matches(trie: Velarin, text: str, /) -> list[int]:
    """For every position i, len(trie.get_closest_prefix(text[i:]))."""

def nbytes(trie: Velarin, /) -> int:
    """The bytes of memory trie holds: its node table and the blocks the nodes
    point into, its copies of the strings, the index its lookups build, and
    its cache of matched words."""

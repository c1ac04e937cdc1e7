"""A static trie over UTF-8 strings with a fast longest-prefix lookup."""

from .impl_c import Velarin
from .segment import longest_word_length, segment, segment_spans

__all__ = ["Velarin", "longest_word_length", "segment", "segment_spans"]

"""A static trie over UTF-8 strings with a fast longest-prefix lookup."""

from .impl_c import Velarin
from .scan_c import longest_matches, segment

__all__ = ["Velarin", "longest_matches", "segment"]

"""A static trie over UTF-8 strings with a fast longest-prefix lookup."""

from .handle import VelarinHandle
from .impl_c import Velarin
from .scan_c import longest_matches, segment

__all__ = ["Velarin", "VelarinHandle", "longest_matches", "segment"]

from collections.abc import Generator, Sequence
from typing import NoReturn

from typing_extensions import disjoint_base

# A C type with its own instance layout: it cannot share a subclass with
# another such type.
@disjoint_base
class Velarin:
    """A static trie over the UTF-8 bytes of a fixed list of strings."""

    def __init__(self, strings: Sequence[str]) -> None: ...
    def get_closest_prefix(self, key: str) -> str:
        """The longest stored string that is a prefix of `key`, or ""."""
    def __iter__(self) -> Generator[str, None, None]:
        """Every distinct stored string once, in node order."""
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object) -> NoReturn: ...

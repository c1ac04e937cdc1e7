"""Task functions that worker processes import by name (spawned workers
cannot receive functions defined in a test module's body)."""

from ondrel_velarin import VelarinHandle
from ondrel_velarin.handle import cache_info


def segment_and_count(handle: VelarinHandle, text: str) -> tuple[list[str], int]:
    """The handle's segments of the text, and how many tries this process has built."""
    return handle(text), cache_info().builds


def builds() -> int:
    return cache_info().builds


def lexicon_answers(lexicon, text: str):
    """A lexicon's answers about a text, and how many dictionaries this process has built."""
    return lexicon.prefixes(text), sorted(lexicon.items()), cache_info().builds

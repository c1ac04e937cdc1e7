"""A static trie over UTF-8 strings with a fast longest-prefix lookup."""

import os
import sys
from importlib.machinery import EXTENSION_SUFFIXES


def _has_native_modules(folder: str) -> bool:
    return any(os.path.isfile(os.path.join(folder, "impl_c" + suffix)) for suffix in EXTENSION_SUFFIXES)


def _use_an_installed_copy() -> None:
    """Imported from a source checkout, which holds no built modules (as from
    its root folder, whose package folder comes first on sys.path): the
    package's modules are taken from a copy installed further along sys.path."""
    here = os.path.dirname(os.path.abspath(__file__))
    for entry in sys.path:
        folder = os.path.join(os.path.abspath(entry or os.curdir), __name__)
        if folder != here and _has_native_modules(folder):
            __path__.insert(0, folder)
            return
    raise ImportError(
        f"{__name__} is not built in {here}: run `pip install .` in the checkout (or `./dev run`), "
        "then import it again"
    )


if not _has_native_modules(os.path.dirname(os.path.abspath(__file__))):
    _use_an_installed_copy()

from .handle import VelarinHandle  # noqa: E402
from .impl_c import Velarin  # noqa: E402
from .scan_c import longest_matches, nbytes, segment  # noqa: E402
from .wordpiece import Encoding, WordPiece  # noqa: E402

__all__ = ["Encoding", "Velarin", "VelarinHandle", "WordPiece", "longest_matches", "nbytes", "segment"]

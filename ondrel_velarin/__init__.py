"""A static trie over UTF-8 strings with a fast longest-prefix lookup."""

import os
import sys

# The suffixes of extension modules, from the interpreter's own import
# machinery: importlib.machinery would load importlib for nothing.
from _imp import extension_suffixes

EXTENSION_SUFFIXES = extension_suffixes()


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

# Each name is imported from its module when first asked for, so that
# importing the package costs next to nothing, and importing one native
# module loads only what it needs.
_HOMES = {
    "HMM": "frequency",
    "Converter": "conversion",
    "Encoding": "wordpiece",
    "Lexicon": "lexicon",
    "Velarin": "impl_c",
    "VelarinHandle": "handle",
    "longest_matches": "scan_c",
    "nbytes": "scan_c",
    "segment": "scan_c",
    "WordPiece": "wordpiece",
}

__all__ = sorted(_HOMES)

TYPE_CHECKING = False
if TYPE_CHECKING:
    from .conversion import Converter as Converter
    from .frequency import HMM as HMM
    from .handle import VelarinHandle as VelarinHandle
    from .impl_c import Velarin as Velarin
    from .lexicon import Lexicon as Lexicon
    from .scan_c import longest_matches as longest_matches
    from .scan_c import nbytes as nbytes
    from .scan_c import segment as segment
    from .wordpiece import Encoding as Encoding
    from .wordpiece import WordPiece as WordPiece


def __getattr__(name: str) -> object:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    module = __import__(f"{__name__}.{home}", fromlist=[name])
    value = getattr(module, name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_HOMES))

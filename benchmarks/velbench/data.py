"""The benchmark's data: real word lists and texts, plus generated adversarial sets.

`prepare()` copies the Debian files, extracts the Chinese prose of the
manpages-zh sources and unpacks jieba's dictionary into benchmarks/data/
(run.sh installs the Debian packages and downloads the jieba sdist first).
Everything else reads from there, so a run is reproducible from the recorded
sha256 sums and package versions; the generated lists (German phrases, the
small tries) are made from those files with fixed seeds.
"""

import glob
import gzip
import hashlib
import io
import json
import os
import random
import re
import subprocess
import tarfile
import zipfile

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = os.path.join(HERE, "data")
FORTUNES = "/usr/share/games/fortunes"
ZH_FORTUNE_FILES = ("chinese", "song100", "tang300")   # what fortunes-zh ships
ANSI = re.compile(r"\x1b\[[0-9;]*m")
# The American list by name: /usr/share/dict/words follows whichever wordlist
# package debconf last chose, and wngerman is installed beside wamerican.
EN_WORDS = "/usr/share/dict/american-english"
DE_WORDS = "/usr/share/dict/ngerman"
TH_DIC = "/usr/share/hunspell/th_TH.dic"
ZH_MAN = "/usr/share/man/zh_CN"


def _dpkg_files(package):
    try:
        out = subprocess.run(["dpkg", "-L", package], capture_output=True,
                             text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return []
    return out.split()


def _dpkg_version(package):
    try:
        return subprocess.run(["dpkg-query", "-W", "-f=${Version}", package],
                              capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return "not installed"


def _fortune_texts(package):
    """The plain fortune files a package ships (no .dat index, no .u8 links)."""
    names = []
    for path in _dpkg_files(package):
        if (path.startswith(FORTUNES + "/") and os.path.isfile(path)
                and not os.path.islink(path) and not path.endswith((".dat", ".u8"))):
            names.append(path)
    return sorted(names)


def _write(name, text):
    with open(os.path.join(DATA, name), "w", encoding="utf-8") as f:
        f.write(text)


def _jieba_raw(pkg_dir):
    """The downloaded jieba distribution's name and its dict.txt, as bytes."""
    archives = sorted(glob.glob(os.path.join(pkg_dir, "jieba-*")))
    if not archives:
        raise SystemExit(f"no jieba distribution in {pkg_dir}")
    path = archives[-1]
    if path.endswith((".tar.gz", ".tgz")):
        with tarfile.open(path) as tar:
            member = next(m for m in tar.getmembers()
                          if m.name.endswith("/jieba/dict.txt"))
            raw = tar.extractfile(member).read()
    else:
        with zipfile.ZipFile(path) as z:
            raw = z.read(next(n for n in z.namelist() if n.endswith("jieba/dict.txt")))
    return os.path.basename(path), raw


def _jieba_dict(pkg_dir):
    """First column of dict.txt inside the downloaded jieba distribution."""
    name, raw = _jieba_raw(pkg_dir)
    words = [line.split(" ", 1)[0] for line in io.StringIO(raw.decode("utf-8"))]
    return name, [w for w in words if w]


def jieba_pairs():
    """jieba's words with their frequencies, in the file's order."""
    with open(jieba_dict_path(), encoding="utf-8") as f:
        return [(fields[0], int(fields[1])) for fields in (line.split() for line in f) if len(fields) >= 2]


def jieba_dict_path():
    """jieba's dict.txt whole (words, frequencies, tags), taken from the
    downloaded distribution the first time it is asked for."""
    path = os.path.join(DATA, "zh_dict.txt")
    if not os.path.exists(path):
        _name, raw = _jieba_raw(os.path.join(DATA, "pkgs"))
        with open(path, "wb") as f:
            f.write(raw)
    return path


def _plain_lines(path):
    with open(path, encoding="utf-8") as f:
        return [line.rstrip("\n") for line in f if line.rstrip("\n")]


def hunspell_words(lines):
    """Words of a hunspell .dic: the first line is the count; each entry is
    `word[/FLAGS]`, `\\/` being a slash inside the word. The affix flags are
    dropped, not expanded: the stems are the list."""
    out = []
    for line in lines[1:]:
        entry = line.split("\t", 1)[0].strip()      # morphological fields follow a tab
        word = re.split(r"(?<!\\)/", entry, maxsplit=1)[0].replace("\\/", "/")
        if word:
            out.append(word)
    return out


# roff: escapes that stand for a character, escapes that are dropped, and
# the requests whose arguments are text on the page.
_ROFF_CHARS = {"(em": "—", "(en": "–", "(bu": "•", "(co": "©", "(lq": "“", "(rq": "”",
               "(oq": "‘", "(cq": "’", "(aq": "'", "(dq": '"', "(hy": "-", "(mi": "-",
               "(rg": "®", "(tm": "™", "(ga": "`", "(ti": "~", "(ha": "^", "(lh": "", "(rh": ""}
_ROFF_ESCAPE = re.compile(r"""\\(?:
      f(?:\[[^\]]*\]|\(..|.)        # font changes
    | s[-+]?(?:\d+|\(\d\d|\[\d+\])   # size changes
    | \*(?:\[[^\]]*\]|\(..|.)       # strings
    | n[-+]?(?:\[[^\]]*\]|\(..|.)    # registers
    | [hvwlLDxXoZbk](?:'[^']*')?        # motions and the like, with their argument
    | (\(..|\[[^\]]*\])              # named characters (group 1)
    | (.)                              # one-character escapes (group 2)
    )""", re.X)
_ROFF_TEXT_REQUESTS = {"B", "I", "BI", "BR", "IB", "IR", "RB", "RI", "SM", "SB",
                       "SH", "SS", "TP", "IP", "HP", "Nm", "Nd", "Sh", "Ss", "Pa", "Ar", "Fl"}
_HAN = re.compile(r"[\u3400-\u4dbf\u4e00-\u9fff\uf900-\ufaff\u3000-\u303f\uff00-\uffef]")


def _roff_escape(m):
    named, single = m.group(1), m.group(2)
    if named is not None:
        return _ROFF_CHARS.get(named.replace("[", "(").rstrip("]"), "")
    if single is None:
        return ""
    return {"-": "-", "e": "\\", "\\": "\\", " ": " ", "~": " ", "0": " ", "|": "",
            "^": "", "&": "", ")": "", "c": "", "%": "", "'": "'", "`": "`", ".": "."}.get(single, "")


def roff_text(source):
    """The text lines of a man page source: comments and requests dropped,
    except the arguments of the font and heading macros, escapes resolved."""
    out = []
    for line in source.splitlines():
        line = re.sub(r'\\".*', "", line)            # comments
        if line[:1] in (".", "'"):
            parts = line[1:].strip().split(None, 1)
            if not parts or parts[0] not in _ROFF_TEXT_REQUESTS or len(parts) == 1:
                continue
            line = parts[1].replace('"', " ")
        line = _ROFF_ESCAPE.sub(_roff_escape, line).strip()
        if line:
            out.append(line)
    return out


def mostly_chinese(line, share=0.5):
    """At least `share` of the line's non-space characters are Han
    ideographs or CJK punctuation."""
    chars = len(line) - sum(c.isspace() for c in line)
    return chars > 0 and len(_HAN.findall(line)) >= share * chars


def _man_sources(root):
    paths = []
    for path in sorted(glob.glob(os.path.join(root, "man*", "*"))):
        if os.path.isfile(path) and not os.path.islink(path):
            paths.append(path)
    return paths


def man_chinese_text(root=ZH_MAN):
    """The mostly-Chinese lines of every man page under `root`, in file
    order; also the number of pages read and of lines kept."""
    lines, pages = [], 0
    for path in _man_sources(root):
        opener = gzip.open if path.endswith(".gz") else open
        with opener(path, "rb") as f:
            source = f.read().decode("utf-8", errors="replace")
        if source.lstrip().startswith(".so "):       # a page that only points at another
            continue
        pages += 1
        lines += [line for line in roff_text(source) if mostly_chinese(line)]
    return "\n".join(lines) + "\n", pages, len(lines)


def prepare(pkg_dir):
    os.makedirs(DATA, exist_ok=True)
    en_words = _plain_lines(EN_WORDS)
    _write("en_words.txt", "\n".join(en_words) + "\n")
    _write("de_words.txt", "\n".join(_plain_lines(DE_WORDS)) + "\n")
    _write("th_words.txt", "\n".join(hunspell_words(_plain_lines(TH_DIC))) + "\n")
    man_text, pages, kept = man_chinese_text()
    _write("zh_man_text.txt", man_text)

    en_files = _fortune_texts("fortunes")
    if not en_files:
        raise SystemExit("fortunes package files not found")
    en_text = "".join(open(p, encoding="utf-8", errors="replace").read() for p in en_files)
    _write("en_text.txt", en_text)

    zh_text = "".join(open(os.path.join(FORTUNES, n), encoding="utf-8").read()
                      for n in ZH_FORTUNE_FILES)
    # The fortunes carry terminal colour codes around signatures: markup, not prose.
    _write("zh_text.txt", ANSI.sub("", zh_text))

    archive, zh_words = _jieba_dict(pkg_dir)
    _write("zh_words.txt", "\n".join(zh_words) + "\n")

    provenance = {
        "en_words": "Debian wamerican %s, %s" % (_dpkg_version("wamerican"), EN_WORDS),
        "de_words": "Debian wngerman %s, %s" % (_dpkg_version("wngerman"), DE_WORDS),
        "th_words": "Debian hunspell-th %s, %s without its affix flags" % (
            _dpkg_version("hunspell-th"), TH_DIC),
        "zh_man_text": "Debian manpages-zh %s, the mostly-Chinese text lines (half or more of "
                       "their characters Han or CJK punctuation) of %d pages under %s, roff "
                       "requests and escapes removed: %d lines" % (
                           _dpkg_version("manpages-zh"), pages, ZH_MAN, kept),
        "en_text": "Debian fortunes %s, %d files under %s" % (
            _dpkg_version("fortunes"), len(en_files), FORTUNES),
        "zh_words": "PyPI %s, first column of jieba/dict.txt" % archive,
        "zh_text": "Debian fortunes-zh %s, files %s (colour codes removed)" % (
            _dpkg_version("fortunes-zh"), ", ".join(ZH_FORTUNE_FILES)),
    }
    for name in ("en_words", "en_text", "zh_words", "zh_text", "de_words", "th_words",
                 "zh_man_text"):
        with open(os.path.join(DATA, name + ".txt"), "rb") as f:
            provenance[name] += ", sha256 " + hashlib.sha256(f.read()).hexdigest()[:16]
    with open(os.path.join(DATA, "provenance.json"), "w") as f:
        json.dump(provenance, f, indent=1)
    print("data ready in", DATA)


def provenance():
    with open(os.path.join(DATA, "provenance.json")) as f:
        return json.load(f)


def _read(name):
    with open(os.path.join(DATA, name), encoding="utf-8") as f:
        return f.read()


def words(name):
    """A word list, with duplicates and order as shipped."""
    if name in ("en", "zh", "de", "th"):
        return _read(name + "_words.txt").split("\n")[:-1]
    if name == "de1m":
        return german_phrases()
    if name == "longwords":
        return adversarial_long_words()[0]
    if name == "bytes256":
        return adversarial_bytes256()[0]
    raise KeyError(name)


def text(name):
    return _read(name + "_text.txt")


PHRASE_LIST = 1_000_000


def german_phrases(n=PHRASE_LIST):
    """Every word of the German list, then two-word phrases of them (random
    pairs, seed 22) until there are `n` distinct entries."""
    ws = words("de")
    out = list(dict.fromkeys(ws))
    seen = set(out)
    rng = random.Random(22)
    while len(out) < n:
        p = rng.choice(ws) + " " + rng.choice(ws)
        if p not in seen:
            seen.add(p)
            out.append(p)
    return out


def small_tries(count=10_000, size=10):
    """`count` lists of `size` distinct English words each (seed 10)."""
    ws = words("en")
    rng = random.Random(10)
    return [rng.sample(ws, size) for _ in range(count)]


def mixed_small_tries(count=10_000, size=10):
    """`count` lists of `size` distinct words each, half English and half
    from jieba's list, shuffled (seed 11)."""
    en, zh = words("en"), words("zh")
    rng = random.Random(11)
    out = []
    for _ in range(count):
        ws = rng.sample(en, size - size // 2) + rng.sample(zh, size // 2)
        rng.shuffle(ws)
        out.append(ws)
    return out


LONG = 100_000


def adversarial_long_words():
    """Words of 100 KB: 32 slices of English text, each with its 25/50/75 KB
    prefixes stored too. Keys: each slice plus a tail (the match is the whole
    100 KB word), and each slice cut at 60 KB (the match is the 50 KB word)."""
    t = text("en")
    rng = random.Random(5)
    bases = [t[p:p + LONG] for p in sorted(rng.sample(range(len(t) - LONG), 32))]
    ws = []
    for b in bases:
        ws += [b[:LONG // 4], b[:LONG // 2], b[:3 * LONG // 4], b]
    keys = [b + " and then some" for b in bases] + [b[:60_000] for b in bases]
    return ws, keys


def adversarial_bytes256():
    """An alphabet of all 256 byte values (code points 0-255, NUL included):
    50,000 random words of 1-12 characters, and 50,000 keys of 32 characters,
    half of which start with a stored word."""
    rng = random.Random(256)
    alphabet = [chr(c) for c in range(256)]
    ws = ["".join(rng.choices(alphabet, k=rng.randint(1, 12))) for _ in range(50_000)]
    keys = []
    for i in range(50_000):
        tail = "".join(rng.choices(alphabet, k=32))
        keys.append((rng.choice(ws) + tail)[:32] if i % 2 == 0 else tail)
    return ws, keys


MIXED_MEGABYTES = 20


def mixed_lines(chinese, english, megabytes=MIXED_MEGABYTES, seed=29):
    """A corpus of at least `megabytes` MB of UTF-8 lines for comparing
    segmenters, from lists of Chinese and English lines (seed fixed): nine
    lines in ten Chinese. Each line is one source line, or (one time in
    three) two or three slices of source lines joined by nothing, a space
    or a Chinese comma, so that blocks, letter runs and punctuation meet in
    ways no single source has."""
    rng = random.Random(seed)
    out, size = [], 0
    while size < megabytes * 1_000_000:
        parts = []
        for _ in range(rng.choice((1, 1, 1, 1, 2, 3))):
            line = rng.choice(chinese if rng.random() < 0.9 else english)
            if parts or rng.random() < 0.3:
                a, b = sorted(rng.randrange(len(line) + 1) for _ in range(2))
                line = line[a:b] or line
            parts.append(line)
        line = rng.choice(("", " ", "，")).join(parts)
        out.append(line)
        size += len(line.encode("utf-8")) + 1
    return out


DNA_TEXT = 200_000


def dna_words(count, seed=41):
    """Deep words over ACGT beside a DNA text of DNA_TEXT letters (a random
    genome's start, seeded), in two dictionaries of `count` words of the
    same lengths (100-1,000 letters): "reads", taken from the text in loci
    of four, each read of a locus its start cut to its length with one
    letter changed in its second half, so that the reads of a locus share
    long prefixes, some reads are prefixes of others, and the text follows
    every read far and matches none; and "random", random words. Returns
    (reads, random, text)."""
    rng = random.Random(seed)
    text = "".join(rng.choices("ACGT", k=DNA_TEXT))
    lengths = [rng.randint(100, 1000) for _ in range(count)]
    reads = []
    for i in range(0, count, 4):
        start = rng.randrange(DNA_TEXT - 1000)
        for length in lengths[i:i + 4]:
            read = list(text[start:start + length])
            at = rng.randrange(length // 2, length)
            read[at] = rng.choice([c for c in "ACGT" if c != read[at]])
            reads.append("".join(read))
    randoms = ["".join(rng.choices("ACGT", k=length)) for length in lengths]
    return reads, randoms, text

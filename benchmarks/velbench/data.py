"""The benchmark's data: real word lists and texts, plus generated adversarial sets.

`prepare()` copies the Debian files and unpacks jieba's dictionary into
benchmarks/data/ (run.sh installs the Debian packages and downloads the jieba
sdist first). Everything else reads from there, so a run is reproducible from
the recorded sha256 sums and package versions.
"""

import glob
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


def _jieba_dict(pkg_dir):
    """First column of dict.txt inside the downloaded jieba distribution."""
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
    words = [line.split(" ", 1)[0] for line in io.StringIO(raw.decode("utf-8"))]
    return os.path.basename(path), [w for w in words if w]


def prepare(pkg_dir):
    os.makedirs(DATA, exist_ok=True)
    with open("/usr/share/dict/words", encoding="utf-8") as f:
        en_words = [line.rstrip("\n") for line in f if line.rstrip("\n")]
    _write("en_words.txt", "\n".join(en_words) + "\n")

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
        "en_words": "Debian wamerican %s, /usr/share/dict/words" % _dpkg_version("wamerican"),
        "en_text": "Debian fortunes %s, %d files under %s" % (
            _dpkg_version("fortunes"), len(en_files), FORTUNES),
        "zh_words": "PyPI %s, first column of jieba/dict.txt" % archive,
        "zh_text": "Debian fortunes-zh %s, files %s (colour codes removed)" % (
            _dpkg_version("fortunes-zh"), ", ".join(ZH_FORTUNE_FILES)),
    }
    for name in ("en_words", "en_text", "zh_words", "zh_text"):
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
    if name in ("en", "zh"):
        return _read(name + "_words.txt").split("\n")[:-1]
    if name == "longwords":
        return adversarial_long_words()[0]
    if name == "bytes256":
        return adversarial_bytes256()[0]
    raise KeyError(name)


def text(name):
    return _read(name + "_text.txt")


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

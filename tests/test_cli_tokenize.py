"""The tool's tokenize job: each line's tokens, ids or --json record as
WordPiece.encode gives them, across blocks, pieces of long lines and
worker processes; its errors."""

import json
import random
from pathlib import Path

import pytest

from ondrel_velarin import WordPiece
from test_cli_jobs import run, write

VOCAB = "[PAD]\n[UNK]\n[CLS]\n[SEP]\n[MASK]\nab\n##c\n中\n文\nx\n##1\n,\ne\n##e\n"


def mixed_text(rng: random.Random, lines: int) -> str:
    pieces = ["ab", "abc", "中文", " ", "  ", "x1", "Abc", "é", "\x00", ",", "[SEP]", "zz", "\t", "\u3000"]
    out = []
    for _ in range(lines):
        out += rng.choices(pieces, k=rng.choice([0, 1, 5, 30]))
        out.append(rng.choice(["\n", "\n", "\r\n"]))
    return "".join(out)


def expected_output(vocab_path: str, text: str, options: list[str]) -> bytes:
    wp = WordPiece.from_vocab(vocab_path, lowercase="--cased" not in options)
    out = []
    for line in text.replace("\r\n", "\n").split("\n")[:-1]:
        e = wp.encode(line, add_special_tokens="--special" in options)
        if "--json" in options:
            out.append(json.dumps({"tokens": e.tokens, "ids": e.ids, "offsets": [list(o) for o in e.offsets]},
                                  ensure_ascii=False))
        else:
            out.append(" ".join(map(str, e.ids)) if "--ids" in options else " ".join(e.tokens))
    return "".join(line + "\n" for line in out).encode("utf-8")


@pytest.mark.parametrize("options, sizes", [
    ([], {}),
    (["--ids", "--special"], {"block": 97, "piece": 300}),
    (["--json", "--special"], {"block": 61, "piece": 200}),
    (["--cased", "--json"], {"block": 64, "piece": 250}),
])
def test_each_line_as_encode_gives_it(tmp_path: Path, options, sizes) -> None:
    text = mixed_text(random.Random(len(options)), 1500)
    # A line longer than a piece, tokenised by the tool in pieces.
    text = text.replace("\n", "\n" + "中文 abc, x1 " * 300 + "\n", 1)
    path = write(tmp_path / "t.txt", text)
    vocab = write(tmp_path / "vocab.txt", VOCAB)
    want = expected_output(vocab, text, options)
    for jobs in ("1", "2"):
        result = run(tmp_path, "tokenize", "--vocab", vocab, path, "-j", jobs, *options, **sizes)
        assert (result.returncode, result.stderr) == (0, b"")
        assert result.stdout == want


@pytest.mark.parametrize("vocab, options, complaint", [
    (b"ab\n", [], b"the unknown token '[UNK]' is not in the vocabulary"),
    (b"[UNK]\nab\n\xff\n", [], b"line 3 is not UTF-8"),
    (b"[UNK]\nab\n", ["--special"], b"no [CLS] or [SEP] token"),
    (None, [], b"cannot read"),
])
def test_errors(tmp_path: Path, vocab, options, complaint) -> None:
    path = tmp_path / "vocab.txt"
    if vocab is not None:
        path.write_bytes(vocab)
    result = run(tmp_path, "tokenize", "--vocab", str(path), *options, stdin=b"ab\n")
    assert result.returncode == 1 and complaint in result.stderr and result.stdout == b""
    assert result.stderr.count(b"\n") == 1

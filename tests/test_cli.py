"""The segmentation tool, run as a user runs it: a subprocess per call."""

import json
import os
import pty
import random
import select
import subprocess
import sys
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

from model import Model, segment_loop  # noqa: E402

CLI = [sys.executable, "-m", "ondrel_velarin"]
# Buffered as for most users, so the flushing the tool does itself is tested.
ENV = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
SAMPLE = Path(__file__).resolve().parent.parent / "ondrel_velarin" / "data" / "sample.txt"


def run(tmp_path: Path, *args: str, stdin: bytes | None = None) -> subprocess.CompletedProcess[bytes]:
    # cwd is a scratch folder so the installed package is imported, not the
    # source tree; without given input stdin is /dev/null, as in CI.
    return subprocess.run(
        [*CLI, *args],
        cwd=tmp_path, env=ENV,
        input=stdin,
        stdin=None if stdin is not None else subprocess.DEVNULL,
        capture_output=True,
        timeout=120,
    )


def text_of(result: subprocess.CompletedProcess[bytes]) -> tuple[str, str]:
    return result.stdout.decode("utf-8"), result.stderr.decode("utf-8")


def write(path: Path, data: str | bytes) -> str:
    path.write_bytes(data.encode("utf-8") if isinstance(data, str) else data)
    return str(path)


def oracle(words: set[str], line: str) -> list[str]:
    """Longest match by trying every length, longest first."""
    out, i = [], 0
    while i < len(line):
        n = next((n for n in range(len(line) - i, 0, -1) if line[i : i + n] in words), 1)
        out.append(line[i : i + n])
        i += n
    return out


@pytest.mark.parametrize(
    "words, text, options, expected",
    [
        ("ab\nabc\nb\n", "abcabx\n", ["--chars"], "abc ab x\n"),
        ("中\n中文\n分词\n", "中文分词中\n", [], "中文 分词 中\n"),
        # CRLF endings go from words and text; empty word lines are skipped.
        ("ab\r\n\r\n\nc\r\n", "abc\r\nab\n", ["--chars"], "ab c\nab\n"),
        ("a\na\na\n", "aa\n", ["--chars"], "a a\n"),
        # No word matches: one character at a time, an empty line stays one.
        ("zz\n", "xy\n\nz\n", ["--chars"], "x y\n\nz\n"),
        # A last line without newline still gives a whole output line.
        ("is\nthis\n", "thisis", ["--chars"], "this is\n"),
        # Runs of letters and digits stay whole; a word ending inside one is
        # not taken, one ending where the run ends is.
        ("中文\nDeb\nhttp\n", "Debian 2024中文http://x\n", [], "Debian 2024 中文 http : / / x\n"),
        ("中文\nDeb\n", "Debian中文\n", ["--chars"], "Deb i a n 中文\n"),
        ("中\n", "中和English混\n", [], "中 和 English 混\n"),
        # Whitespace segments are left out with a whitespace delimiter only.
        ("中文\n", "中文  中文 a\tb\n", [], "中文 中文 a b\n"),
        ("中文\n", "中文  中文 a\tb\n", ["-d", "|"], "中文| | |中文| |a|\t|b\n"),
        ("中文\n", "中文 中文\n", ["-d", "\t"], "中文\t中文\n"),
        # U+0000 in the text, and whitespace words.
        ("中文\n \n", "中文\0中文 x\n\n \0\n", [], "中文 \0 中文 x\n\n\0\n"),
        ("中文\n\t\t\n", "中文\t\t中文\n", ["-f", "lines", "-d", "|"], "中文|\t\t|中文\n"),
        # Line ends of every kind, and a byte order mark, in the text.
        ("中文\n", "\ufeff中文\r中文\r\n\n中文", [], "中文\n中文\n\n中文\n"),
    ],
)
def test_segments(tmp_path: Path, words: str, text: str, options: list[str], expected: str) -> None:
    result = run(tmp_path, "--words", write(tmp_path / "w.txt", words), *options, stdin=text.encode())
    assert result.returncode == 0, result.stderr
    assert text_of(result) == (expected, "")


@pytest.mark.parametrize("seed", range(4))
def test_json_matches_brute_force(tmp_path: Path, seed: int) -> None:
    rng = random.Random(seed)
    alphabet = "ab中é\x00 "
    words = {"".join(rng.choices(alphabet, k=rng.randint(1, 5))) for _ in range(30)}
    lines = ["".join(rng.choices(alphabet, k=rng.randint(0, 40))) for _ in range(200)]
    word_file = write(tmp_path / "w.txt", "".join(w + "\n" for w in words))
    text_file = write(tmp_path / "t.txt", "".join(line + "\n" for line in lines))
    for options, expect in [(["--chars"], oracle), ([], lambda words, line: segment_loop(Model(words), line, True))]:
        result = run(tmp_path, "--json", "-f", "lines", "-w", word_file, text_file, *options)
        assert result.returncode == 0, result.stderr
        records = [json.loads(r) for r in result.stdout.decode().split("\n")[:-1]]
        assert len(records) == len(lines)
        for line, record in zip(lines, records):
            assert record["segments"] == expect(words, line)
        ends = [o + len(s) for o, s in zip(record["offsets"], record["segments"])]
        assert record["offsets"] == [0, *ends][: len(ends)]


def test_files_lists_delimiter_and_output(tmp_path: Path) -> None:
    first = write(tmp_path / "a.txt", "中文\n")
    second = write(tmp_path / "b.txt", "分词\n中文分\n")
    one = write(tmp_path / "t1.txt", "中文分词\n")
    two = write(tmp_path / "t2.txt", "分词中文\n")
    out = tmp_path / "out.txt"
    result = run(tmp_path, "-w", first, "-w", second, "-d", " | ", one, "-", two, "-o", str(out), stdin="词中\n".encode())
    assert result.returncode == 0, result.stderr
    assert result.stdout == b""
    # Inputs in the order given, '-' being standard input.
    assert out.read_text("utf-8") == "中文分 | 词\n词 | 中\n分词 | 中文\n"


def test_sample_runs_without_arguments(tmp_path: Path) -> None:
    result = run(tmp_path)
    out, err = text_of(result)
    assert result.returncode == 0, err
    assert "sample" in err
    lines = out.splitlines()
    sample = SAMPLE.read_text("utf-8").splitlines()
    assert [line.replace(" ", "") for line in lines] == [line.replace(" ", "") for line in sample]
    assert {"图书馆", "longest", "English", "Debian", "12"} <= set(out.split())


def test_sample_ships_in_the_installed_package(tmp_path: Path) -> None:
    code = (
        "import importlib.resources as r, ondrel_velarin as m;"
        "d = r.files(m); print(*(d.joinpath(p).is_file() for p in "
        "('data/words.txt', 'data/sample.txt', 'impl_c.pyi', 'py.typed')))"
    )
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=ENV, capture_output=True, text=True)
    assert result.stdout.split() == ["True"] * 4, result.stderr


def test_output_starts_before_input_ends(tmp_path: Path) -> None:
    words = write(tmp_path / "w.txt", "ab\n")
    proc = subprocess.Popen([*CLI, "--chars", "-w", words], cwd=tmp_path, env=ENV, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    assert proc.stdin is not None and proc.stdout is not None
    try:
        for line, expected in [(b"abab\n", b"ab ab\n"), (b"xab\n", b"x ab\n")]:
            proc.stdin.write(line)
            proc.stdin.flush()
            ready, _, _ = select.select([proc.stdout], [], [], 30)
            assert ready, "no output while the input is still open"
            assert proc.stdout.readline() == expected
    finally:
        proc.stdin.close()
        proc.wait(timeout=30)
    assert proc.returncode == 0


def peak_memory_kib(tmp_path: Path, words: str, repeats: int) -> int:
    """Peak RSS of the tool segmenting `repeats` lines fed through a pipe."""
    line = "x" * 4000
    feed = f"import sys\nfor _ in range({repeats}): sys.stdout.write({line!r} + '\\n')"
    gen = subprocess.Popen([sys.executable, "-c", feed], stdout=subprocess.PIPE)
    tool = subprocess.Popen([*CLI, "-w", words], cwd=tmp_path, env=ENV, stdin=gen.stdout, stdout=subprocess.DEVNULL)
    assert gen.stdout is not None
    gen.stdout.close()
    _, status, usage = os.wait4(tool.pid, 0)
    gen.wait(timeout=60)
    assert os.waitstatus_to_exitcode(status) == 0
    return usage.ru_maxrss


def test_memory_does_not_grow_with_input(tmp_path: Path) -> None:
    words = write(tmp_path / "w.txt", "x" * 4000 + "\n")
    small = peak_memory_kib(tmp_path, words, 10)
    large = peak_memory_kib(tmp_path, words, 25_000)  # 100 MB of text
    assert large - small < 20_000, (small, large)


def test_closed_pipe_exits_quietly(tmp_path: Path) -> None:
    words = write(tmp_path / "w.txt", "中文\n")
    text = write(tmp_path / "t.txt", "中文x中文\n" * 400_000)
    command = " ".join([*CLI, "-w", words, text]) + ' | head -1; echo "status ${PIPESTATUS[0]}" >&2'
    result = subprocess.run(["bash", "-c", command], cwd=tmp_path, env=ENV, capture_output=True, text=True, timeout=120)
    assert result.stdout == "中文 x 中文\n"
    assert result.stderr == "status 141\n"


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda d: ["-w", str(d / "missing.txt")], "cannot read {d}/missing.txt: No such file or directory"),
        (lambda d: ["-w", str(d)], "cannot read {d}: Is a directory"),
        (lambda d: ["-w", write(d / "w.txt", "ab\n"), str(d / "gone.txt")], "cannot read {d}/gone.txt"),
        (lambda d: ["-w", write(d / "w.txt", b"ok\nfine\nbad\xe4x\n")], "{d}/w.txt: line 3 is not UTF-8"),
        (lambda d: ["-w", write(d / "w.txt", b"")], "no words in {d}/w.txt"),
        # Sources without end: refused once they hold more than a word list may.
        (lambda d: ["-w", "/dev/zero"], "/dev/zero: larger than 256 MiB, the most a word list may hold"),
        (lambda d: ["-w", "/dev/urandom"], "/dev/urandom: larger than 256 MiB, the most a word list may hold"),
        (lambda d: ["-w", write(d / "w.txt", "\n\r\n\n")], "no words in {d}/w.txt"),
        (lambda d: ["-w", write(d / "w.txt", "a\n"), write(d / "t.txt", b"a\n\xff\n")], "{d}/t.txt: line 2 is not UTF-8"),
        (lambda d: ["-w", write(d / "w.txt", "a\n"), "-o", str(d / "no" / "out.txt")], "cannot write {d}/no/out.txt"),
    ],
)
def test_errors_are_one_line(tmp_path: Path, make, message: str) -> None:  # type: ignore[no-untyped-def]
    result = run(tmp_path, *make(tmp_path), stdin=b"a\n")
    out, err = text_of(result)
    assert result.returncode == 1
    assert err.count("\n") == 1 and err.startswith("ondrel_velarin: "), err
    assert message.format(d=tmp_path) in err


def test_closed_stdin_is_an_error(tmp_path: Path) -> None:
    words = write(tmp_path / "w.txt", "ab\n")
    command = " ".join([*CLI, "-w", words]) + " <&-"
    result = subprocess.run(["bash", "-c", command], cwd=tmp_path, env=ENV, capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr) == (1, "ondrel_velarin: standard input is closed: name the TEXT files to segment\n")


def test_bad_option_shows_usage(tmp_path: Path) -> None:
    result = run(tmp_path, "--no-such-option")
    _, err = text_of(result)
    assert result.returncode == 2
    assert "usage:" in err and "Traceback" not in err


def test_help_explains_every_option(tmp_path: Path) -> None:
    result = run(tmp_path, "--help")
    out, _ = text_of(result)
    assert result.returncode == 0
    for option in ["--words", "--format", "--chars", "--delimiter", "--json", "--output", "--verbose", "TEXT",
                   "examples:", "exit status", "jieba/dict.txt", "Debian"]:
        assert option in out


def many_words(tmp_path: Path) -> str:
    return write(tmp_path / "many.txt", "".join(f"w{i}\n" for i in range(1_100_000)))


def test_progress_is_quiet_when_stderr_is_not_a_terminal(tmp_path: Path) -> None:
    result = run(tmp_path, "--chars", "-w", many_words(tmp_path), "-o", str(tmp_path / "o.txt"), stdin=b"w123x\n")
    assert result.returncode == 0
    assert result.stderr == b""
    assert (tmp_path / "o.txt").read_text() == "w123 x\n"


def test_progress_shows_on_a_terminal(tmp_path: Path) -> None:
    words = many_words(tmp_path)
    # Long enough to outlast the half second before progress shows.
    text = write(tmp_path / "t.txt", "w1w2w3zz\n" * 2_000_000)
    master, slave = pty.openpty()
    proc = subprocess.Popen([*CLI, "-w", words, text, "-o", str(tmp_path / "o.txt")], cwd=tmp_path, env=ENV, stderr=slave)
    os.close(slave)
    shown = b""
    deadline = time.monotonic() + 120
    while proc.poll() is None and time.monotonic() < deadline:
        if select.select([master], [], [], 0.5)[0]:
            try:
                shown += os.read(master, 4096)
            except OSError:
                break
    proc.wait(timeout=30)
    os.close(master)
    assert proc.returncode == 0
    assert b"building from 1,100,000 words" in shown
    assert b"segmented" in shown
    # Each status line is wiped when its step ends.
    assert shown.endswith(b"\r\x1b[K")


# jieba's dict.txt lines, the same list as tab-separated columns, and as one
# word per line (where a word may hold a space).
WORD_LISTS = {
    "jieba": ["中文 3000 n", "分词 120 v", "图书馆 57 n", "Debian 3 eng"],
    "tsv": ["中文\t3000\tn", "分词\t120", "图书馆\t57\tn", "Debian\t3"],
    "lines": ["中文", "分词", "图书馆", "Debian 12"],
}


@pytest.mark.parametrize("bom", [False, True], ids=["plain", "bom"])
@pytest.mark.parametrize("end", ["\n", "\r\n", "\r"], ids=["lf", "crlf", "cr"])
@pytest.mark.parametrize("format", list(WORD_LISTS))
def test_word_list_formats(tmp_path: Path, format: str, end: str, bom: bool) -> None:
    mark = "\ufeff" if bom else ""
    words = write(tmp_path / "w.txt", mark + "".join(line + end for line in WORD_LISTS[format]))
    text = write(tmp_path / "t.txt", mark + end.join(["中文分词", "Debian 12图书馆", ""]))
    result = run(tmp_path, "-v", "-w", words, text)
    out, err = text_of(result)
    assert result.returncode == 0, err
    assert out == "中文 分词\nDebian 12 图书馆\n"
    assert f"w.txt: 4 words, {format} format" in err and "warning" not in err
    # The line format keeps "Debian 12" as one segment, which --json shows.
    records = [json.loads(r) for r in text_of(run(tmp_path, "--json", "-w", words, text))[0].splitlines()]
    assert records[1]["segments"] == (["Debian 12", "图书馆"] if format == "lines" else ["Debian", " ", "12", "图书馆"])


def test_format_option_overrides_detection(tmp_path: Path) -> None:
    words = write(tmp_path / "w.txt", "中文 3 n\n分词 4\n")
    result = run(tmp_path, "-f", "lines", "-v", "-w", words, stdin="中文分词\n".encode())
    out, err = text_of(result)
    assert out == "中 文 分 词\n" and "2 words, lines format" in err
    # Plainly another format: said once, on standard error.
    assert err.count(f"warning: {words} looks like 'word freq tag' lines, as jieba's dict.txt (-f jieba)") == 1
    assert run(tmp_path, "-f", "csv", "-w", words, stdin=b"").returncode == 2


def test_bad_delimiter_is_a_usage_error(tmp_path: Path) -> None:
    result = subprocess.run([*CLI, "-d", b"\xff"], cwd=tmp_path, env=ENV, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    _, err = text_of(result)
    assert result.returncode == 2
    assert err.endswith("error: argument -d/--delimiter: not valid UTF-8 text\n") and "Traceback" not in err

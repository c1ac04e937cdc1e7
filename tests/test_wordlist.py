"""Word-list files: each format, byte order marks, line ends, detection, errors."""

import io
import os
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from ondrel_velarin.wordlist import FORMATS, WORD_LIST_LIMIT, WordListError, read_word_list, read_words

from leaks import SANITIZED

# The same four words written in each format; "new york" has a space inside,
# which only the line format keeps.
WRITTEN = {
    "lines": ["中文", "分词", "2024", "new york"],
    "jieba": ["中文 3000 n", "分词 12", "2024 5 m", "new 7 ns"],
    "tsv": ["中文\t3000\tn", "分词\t12", "2024\t5\tm", "new york\t7"],
}
WORDS = {
    "lines": ["中文", "分词", "2024", "new york"],
    "jieba": ["中文", "分词", "2024", "new"],
    "tsv": ["中文", "分词", "2024", "new york"],
}


def write(path: Path, lines: list[str], end: str = "\n", bom: bool = False) -> Path:
    path.write_bytes((b"\xef\xbb\xbf" if bom else b"") + "".join(line + end for line in lines).encode())
    return path


@pytest.mark.parametrize("bom", [False, True], ids=["plain", "bom"])
@pytest.mark.parametrize("end", ["\n", "\r\n", "\r"], ids=["lf", "crlf", "cr"])
@pytest.mark.parametrize("format", ["lines", "jieba", "tsv"])
def test_each_format_is_detected_and_read(tmp_path: Path, format: str, end: str, bom: bool) -> None:
    path = write(tmp_path / "w.txt", WRITTEN[format], end, bom)
    assert read_words(path) == (WORDS[format], format)
    assert read_words(str(path), format) == (WORDS[format], format)


@pytest.mark.parametrize(
    "lines, format, words",
    [
        # Empty lines and empty first fields are skipped, in every format.
        (["", "a", "", "b", ""], "lines", ["a", "b"]),
        (["a 1", "", " 2", "b 3 x"], "jieba", ["a", "b"]),
        (["a\t1", "\t2", "", "b"], "tsv", ["a", "b"]),
        # Spaces at a word's ends are the word's own in the line format.
        ([" a ", "b c"], "lines", [" a ", "b c"]),
        # A file mostly of jieba lines is jieba; a word without a frequency is
        # still the first field.
        ([*(f"w{i} {i}" for i in range(20)), "solo", "two words"], "jieba", [*(f"w{i}" for i in range(20)), "solo", "two"]),
    ],
)
def test_read_as(tmp_path: Path, lines: list[str], format: str, words: list[str]) -> None:
    assert read_words(write(tmp_path / "w.txt", lines), format)[0] == words


@pytest.mark.parametrize(
    "lines, detected",
    [
        # Phrases with a number after a space now and then stay phrases.
        (["route 66", "new york", "tea", "a b", "x", "y", "z", "u", "v", "w"], "lines"),
        # A few tabs do not make a table.
        (["a\tb", "c", "d", "e", "f", "g", "h", "i", "j", "k"], "lines"),
        ([], "lines"),
        (["", "", "a 1 n"], "jieba"),
        (["a 1.5", "b 2"], "jieba"),
    ],
)
def test_detection(tmp_path: Path, lines: list[str], detected: str) -> None:
    assert read_words(write(tmp_path / "w.txt", lines))[1] == detected


def test_only_a_leading_byte_order_mark_is_dropped(tmp_path: Path) -> None:
    path = write(tmp_path / "w.txt", ["a", "\ufeffb"], bom=True)
    assert read_words(path, "lines")[0] == ["a", "\ufeffb"]


@pytest.mark.parametrize(
    "data, message",
    [
        (b"ok\nfine\nbad\xe4x\n", "{p}: line 3 is not UTF-8 (byte 0xe4)"),
        (b"a\r\nb\rc\n\xff", "{p}: line 4 is not UTF-8 (byte 0xff)"),
        (b"\xef\xbb\xbf\xc0", "{p}: line 1 is not UTF-8 (byte 0xc0)"),
    ],
)
def test_bytes_that_are_not_utf8_name_the_line(tmp_path: Path, data: bytes, message: str) -> None:
    path = tmp_path / "w.txt"
    path.write_bytes(data)
    with pytest.raises(WordListError) as excinfo:
        read_words(path)
    assert str(excinfo.value) == message.format(p=path)
    assert isinstance(excinfo.value, ValueError)


@pytest.mark.parametrize("make", [lambda d: d / "missing.txt", lambda d: d], ids=["missing", "directory"])
def test_unreadable_files(tmp_path: Path, make) -> None:  # type: ignore[no-untyped-def]
    path = make(tmp_path)
    with pytest.raises(WordListError, match=f"^cannot read {path}: "):
        read_words(path)


def test_unknown_format(tmp_path: Path) -> None:
    with pytest.raises(ValueError, match="unknown word-list format 'csv'"):
        read_words(write(tmp_path / "w.txt", ["a"]), "csv")
    assert FORMATS == ("auto", "lines", "jieba", "tsv", "vocab")


def test_a_source_past_the_limit_is_refused_in_one_line(tmp_path: Path) -> None:
    with pytest.raises(WordListError) as excinfo:
        read_word_list("/dev/zero", limit=4096)
    assert str(excinfo.value) == "/dev/zero: larger than 4 KiB, the most a word list may hold"
    big = tmp_path / "big.txt"
    big.write_bytes(b"a\n" * 3000)
    with pytest.raises(WordListError, match=f"^{big}: larger than 4 KiB"):
        read_word_list(big, limit=4096)
    assert read_word_list(big, limit=6000) == b"a\n" * 3000


@pytest.mark.parametrize("size", [100, 5000, 3 * 1024 * 1024])
@pytest.mark.parametrize("blocking", [True, False], ids=["blocking", "non-blocking"])
def test_pipes_are_read_to_their_end_or_refused(size: int, blocking: bool) -> None:
    # No size is known beforehand; a non-blocking pipe is waited on.
    read_end, write_end = os.pipe()
    os.set_blocking(read_end, blocking)
    data = bytes(range(256)) * (size // 256) + b"x" * (size % 256)

    def feed() -> None:
        with open(write_end, "wb") as w:
            for k in range(0, len(data), 1000):
                w.write(data[k : k + 1000])
                w.flush()
                if k < 3000:
                    time.sleep(0.01)

    writer = threading.Thread(target=feed)
    writer.start()
    try:
        with open(read_end, "rb", buffering=0) as stream:
            if size > 4 * 1024 * 1024 // 2:
                with pytest.raises(WordListError, match="^<pipe>: larger than 2 MiB"):
                    read_word_list(stream, "<pipe>", limit=2 * 1024 * 1024)
                while stream.read(1 << 20) != b"":  # let the writer finish
                    pass
            else:
                assert read_word_list(stream, "<pipe>") == data
    finally:
        writer.join()


def test_a_stream_is_read_from_where_it_stands(tmp_path: Path) -> None:
    path = write(tmp_path / "w.txt", ["ab", "cd"])
    with open(path, "rb") as f:
        f.read(3)
        assert read_word_list(f) == b"cd\n"
        assert not f.closed
    assert read_word_list(io.BytesIO(b"x\ny\n"), "<bytes>") == b"x\ny\n"


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's shadow memory needs terabytes of address space")
def test_a_device_without_end_is_refused_with_the_stated_limit() -> None:
    # In a child process with its address space capped: the read stops at
    # the limit instead of filling memory.
    code = (
        "import resource, sys\n"
        "resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))\n"
        "from ondrel_velarin import VelarinHandle\n"
        "from ondrel_velarin.wordlist import WordListError\n"
        "try:\n"
        "    VelarinHandle.from_file('/dev/zero')\n"
        "except WordListError as e:\n"
        "    print(e)\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "/dev/zero: larger than 256 MiB, the most a word list may hold\n"
    assert WORD_LIST_LIMIT == 256 * 1024 * 1024

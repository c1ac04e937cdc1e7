"""Word-list files: each format, byte order marks, line ends, detection, errors."""

from pathlib import Path

import pytest

from ondrel_velarin.wordlist import FORMATS, WordListError, read_words

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
    assert FORMATS == ("auto", "lines", "jieba", "tsv")

"""The stub and py.typed: mypy accepts typed use of the package and rejects misuse."""

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parent.parent / "ondrel_velarin"

GOOD = """
    from ondrel_velarin import Velarin, longest_matches, segment
    from ondrel_velarin.impl_c import Velarin as Direct

    v: Direct = Velarin(["中", "中文", "ab"])
    found: str = v.get_closest_prefix("中文字")
    stored: list[str] = list(v)
    present: bool = "ab" in v
    words: list[str] = segment(v, "abx中文")
    lengths: list[int] = longest_matches(v, "中文字")
    rebuilt = Velarin(("a", "b"))

    from ondrel_velarin import Lexicon

    freq: Lexicon[int] = Lexicon({"中文": 3, "ab": 1})
    count: int = freq["中文"]
    maybe: int | None = freq.get("x")
    pairs: list[tuple[str, int]] = freq.items("中") + freq.prefix_items("中文字")
    names: list[str] = freq.keys("a") + list(freq.keys())
    spans: list[tuple[int, int]] = freq.find_all("中文ab")
    plain: Lexicon[None] = Lexicon(["a", "b"])
    jieba: Lexicon[int] = Lexicon.from_file("dict.txt", "jieba")

    from ondrel_velarin import Encoding, WordPiece

    wp = WordPiece(["[UNK]", "[CLS]", "[SEP]", "ab", "##c"], lowercase=False)
    encoding: Encoding = wp.encode("abc", "ab", max_length=8)
    ids: list[int] = encoding.ids
    offsets: list[tuple[int, int]] = encoding.offsets
    tokens: list[str] = wp.tokenize("abc")
    batch: list[Encoding] = wp.encode_batch(["abc", ("ab", "c")], add_special_tokens=False)
    known: int | None = wp.token_to_id("ab")
"""


def mypy(tmp_path: Path, *targets: str) -> subprocess.CompletedProcess[str]:
    # Run from a scratch folder so the installed package (with its stub and
    # py.typed) is what a user's snippet sees.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"), *targets],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )


def check_snippet(tmp_path: Path, code: str) -> subprocess.CompletedProcess[str]:
    (tmp_path / "snippet.py").write_text(textwrap.dedent(code))
    return mypy(tmp_path, "snippet.py")


def test_typed_use_passes(tmp_path: Path) -> None:
    result = check_snippet(tmp_path, GOOD)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize(
    "line, complaint",
    [
        ("v.get_closest_prefix(1)", 'incompatible type "int"'),
        ("n: int = v.get_closest_prefix('a')", "Incompatible types in assignment"),
        ("Velarin([1, 2])", "List item 0 has incompatible type"),
        ("Velarin()", "Missing positional argument"),
        ("x: list[int] = list(v)", 'expected "Iterable[int]"'),
        ("v.lookup('a')", 'has no attribute "lookup"'),
        ("import ondrel_velarin.impl_c as m; m.segment", 'has no attribute "segment"'),
        ("segment(v, b'ab')", 'incompatible type "bytes"'),
        ("segment(['ab'], 'ab')", 'incompatible type "list[str]"'),
        ("longest_matches(v, text='ab')", "Unexpected keyword argument"),
        ("from ondrel_velarin import Lexicon; x: str = Lexicon({'a': 1})['a']", "Incompatible types in assignment"),
        ("from ondrel_velarin import Lexicon; Lexicon({'a': 1}).keys(1)", "No overload variant"),
    ],
)
def test_misuse_is_reported(tmp_path: Path, line: str, complaint: str) -> None:
    code = f"from ondrel_velarin import Velarin, longest_matches, segment\nv = Velarin(['a'])\n{line}\n"
    result = check_snippet(tmp_path, code)
    assert result.returncode == 1
    assert "snippet.py:3: error:" in result.stdout and complaint in result.stdout, result.stdout


def test_package_sources_pass_strict(tmp_path: Path) -> None:
    result = mypy(tmp_path, str(PACKAGE))
    assert result.returncode == 0, result.stdout + result.stderr


def test_stub_matches_the_built_module(tmp_path: Path) -> None:
    # __test__ is the module's empty doctest table, not API for users.
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("ondrel_velarin.impl_c.__test__\n")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--allowlist", str(allowlist), "ondrel_velarin.impl_c", "ondrel_velarin.scan_c",
         "ondrel_velarin.lexicon_c", "ondrel_velarin.lexicon"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr

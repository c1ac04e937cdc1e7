"""The README's examples as written: its Python blocks that need nothing but
the package pass mypy --strict, the Lexicon example gives what its comments
say, and the process-pool and Dask scripts run in a folder with a dict.txt."""

import ast
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

from test_typing import mypy  # noqa: E402

README = Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
THIRD_PARTY = ("dask", "pyspark")
DICT = "图书 300 n\n图书馆 200 n\n我们 900 r\n读书 100 v\n在 5000 p\n"


def block(containing: str) -> str:
    found = [b for b in BLOCKS if containing in b]
    assert len(found) == 1, containing
    return found[0]


def test_examples_pass_mypy_strict(tmp_path: Path) -> None:
    # Sessions at the prompt (">>>") are shown, not scripts.
    checked = [b for b in BLOCKS if not b.startswith(">>>")
               and not any(f"import {m}" in b or f"from {m}" in b for m in THIRD_PARTY)]
    assert any("Lexicon" in b for b in checked)
    for i, code in enumerate(checked):
        (tmp_path / f"example_{i}.py").write_text(code)
    result = mypy(tmp_path, *[f"example_{i}.py" for i in range(len(checked))])
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_lexicon_example_gives_what_its_comments_say() -> None:
    code = block("lex = Lexicon({\"中\": 1")
    lines = code.splitlines()
    namespace: dict[str, object] = {}
    exec(lines[0] + "\n" + lines[2], namespace)
    for line in lines[3:]:
        expression, _, comment = line.partition("#")
        if not expression.strip():
            continue
        shown = re.match(r"\s*(\(.*\)|\[.*\]|'.*?'|\S+)", comment).group(1)
        assert eval(expression, namespace) == ast.literal_eval(shown), line


def run_script(tmp_path: Path, code: str) -> str:
    (tmp_path / "dict.txt").write_text(DICT, encoding="utf-8")
    (tmp_path / "script.py").write_text(code)
    done = subprocess.run([sys.executable, "script.py"], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout


def expected_segments(tmp_path: Path, texts: list[str]) -> list[list[str]]:
    from ondrel_velarin import Lexicon

    lexicon = Lexicon.from_file(tmp_path / "dict.txt")
    return [lexicon.segment(t) for t in texts]


def test_the_process_pool_example_runs_as_written(tmp_path: Path) -> None:
    out = run_script(tmp_path, block("ProcessPoolExecutor() as pool"))
    texts = ["我们在图书馆读书", "Debian 在图书馆"] * 100
    assert out.splitlines() == [" ".join(s) for s in expected_segments(tmp_path, texts)]


def test_the_dask_example_runs_as_written(tmp_path: Path) -> None:
    pytest.importorskip("distributed")
    out = run_script(tmp_path, block("LocalCluster("))
    assert ast.literal_eval(out.splitlines()[-1]) == expected_segments(tmp_path, ["我们在图书馆读书", "Debian 在图书馆"])


def test_the_spark_example_runs_as_written(tmp_path: Path) -> None:
    pytest.importorskip("pyspark")
    (tmp_path / "corpus.txt").write_text("我们在图书馆读书\nDebian 在图书馆\n", encoding="utf-8")
    run_script(tmp_path, block("SparkSession.builder"))
    written = sorted((tmp_path / "corpus-segmented").glob("part-*"))
    lines = [line for part in written for line in part.read_text(encoding="utf-8").splitlines()]
    assert lines == [" ".join(s) for s in expected_segments(tmp_path, ["我们在图书馆读书", "Debian 在图书馆"])]

"""The tool's --method frequency and hmm: jieba's segmentation, its output
in every form (delimiters, --json offsets, pieces of long lines, workers),
and one line for each dictionary it cannot use."""

import json
import random
import subprocess
import sys
from pathlib import Path

import pytest

import corpus
import route_cases
from ondrel_velarin import HMM, Lexicon, cli
from test_cli_safety import ENV, run_in_process, write

MAIN = "中国 5\n中 3\n国 4\n大学 3\n学生 8\n大 2\n生 1\n前 2\n前来 2\nab 3\nDebian 2\n研究 4\n生命 3\n命 1\n"
USER = "大学生 9\n云计算\n研究生 0 n\n"
ALPHABET = "中国大学生前来研究命ab1 。\t\u3000\x00" * 3 + "\r\n"


def write_tables(folder: Path, tables) -> str:
    folder.mkdir(exist_ok=True)
    for name, table in (("prob_start.py", tables.start), ("prob_trans.py", tables.trans), ("prob_emit.py", tables.emit)):
        (folder / name).write_text(f"P={table!r}\n", encoding="utf-8")
    return str(folder)


def expected_output(lexicon, text, method, hmm, options):
    """What the tool writes for `text`, from the lexicon's segmentation of
    each line."""
    text = text.removeprefix("\ufeff").replace("\r\n", "\n").replace("\r", "\n")
    lines = text.split("\n")
    if lines[-1] == "":
        lines.pop()
    out = []
    for line in lines:
        segments = lexicon.segment(line, method=method, hmm=hmm)
        if "--json" in options:
            offsets = [sum(map(len, segments[:i])) for i in range(len(segments))]
            out.append(json.dumps({"segments": segments, "offsets": offsets}, ensure_ascii=False))
        elif "-d" in options:
            out.append("|".join(segments))
        else:
            out.append(" ".join(s for s in segments if not s.isspace()))
    return "".join(line + "\n" for line in out)


@pytest.mark.parametrize("method", ["frequency", "hmm"])
def test_the_tool_writes_the_lexicons_segmentation(tmp_path, monkeypatch, method):
    """A main dictionary and a user dictionary, HMM tables from a folder:
    the output of each line is the lexicon's segments, in every output form,
    and the same when blocks and pieces are a few characters long."""
    rng = random.Random(len(method))
    tables = route_cases.random_tables(rng)
    hmm = HMM(tables.start, tables.trans, tables.emit) if method == "hmm" else None
    main, user = write(tmp_path / "dict.txt", MAIN), write(tmp_path / "user.txt", USER)
    lexicon = Lexicon.from_file(main).with_user_dictionary(user)
    extra = ["--hmm-tables", write_tables(tmp_path / "tables", tables)] if method == "hmm" else []
    for _ in range(15):
        text = ("\ufeff" if rng.random() < 0.3 else "") + "".join(rng.choices(ALPHABET, k=rng.randint(0, 200)))
        path = write(tmp_path / "t.txt", text)
        for options in ([], ["--json"], ["-d", "|"]):
            args = ["-m", method, "-w", main, "-w", user, *extra, path, *options]
            monkeypatch.setattr(cli, "PIECE", 1 << 20)
            monkeypatch.setattr(cli, "BLOCK", 1 << 20)
            whole = run_in_process(args)
            assert whole == (0, expected_output(lexicon, text, method, hmm, options)), (text, options)
            monkeypatch.setattr(cli, "PIECE", rng.randint(1, 9))
            monkeypatch.setattr(cli, "BLOCK", rng.randint(1, 9))
            assert run_in_process(args) == whole, (text, options)


def test_workers_write_what_one_process_writes(tmp_path):
    main = write(tmp_path / "dict.txt", MAIN)
    rng = random.Random(5)
    path = write(tmp_path / "t.txt", "".join(rng.choices(ALPHABET, k=200_000)))
    outputs = []
    for jobs in ("1", "2"):
        out = tmp_path / f"out{jobs}.txt"
        done = subprocess.run([sys.executable, "-m", "ondrel_velarin", "-m", "frequency", "-w", main, "-j", jobs, path,
                               "-o", str(out)], cwd=tmp_path, env=ENV, capture_output=True, timeout=120)
        assert done.returncode == 0, done.stderr
        outputs.append(out.read_bytes())
    assert outputs[0] == outputs[1] and outputs[0].count(b"\n") > 1000


@pytest.mark.parametrize(("args", "status", "message"), [
    (["-m", "frequency"], 1, "--method frequency needs a dictionary with frequencies (jieba's 'word freq [tag]' "
                             "lines): give it with -w, e.g. jieba's dict.txt"),
    (["-m", "hmm", "-w", "LINES"], 1, "--method hmm needs a dictionary with frequencies (jieba's 'word freq "
                                      "[tag]' lines); LINES is in lines format"),
    (["-m", "frequency", "-w", "MAIN", "-w", "BAD"], 1, "BAD: line 1 is not UTF-8 (byte 0xff)"),
    (["-m", "hmm", "-w", "MAIN", "--hmm-tables", "NOWHERE"], 1, "cannot read the HMM's tables: "),
    (["-m", "frequency", "--chars", "-w", "MAIN"], 2, "--chars is for --method longest"),
    (["-m", "frequency", "--hmm-tables", "NOWHERE", "-w", "MAIN"], 2, "--hmm-tables is for --method hmm"),
    (["-m", "fast"], 2, "argument -m/--method: invalid choice: 'fast'"),
])
def test_what_the_frequency_methods_refuse(tmp_path, args, status, message):
    names = {"MAIN": write(tmp_path / "dict.txt", MAIN), "LINES": write(tmp_path / "lines.txt", "中国\n大学\n"),
             "BAD": str(tmp_path / "bad.txt"), "NOWHERE": str(tmp_path / "nowhere")}
    (tmp_path / "bad.txt").write_bytes(b"\xff 5\n")
    args = [names.get(a, a) for a in args]
    message = message.replace("LINES", names["LINES"]).replace("BAD", names["BAD"])
    done = subprocess.run([sys.executable, "-m", "ondrel_velarin", *args], cwd=tmp_path, env=ENV, input=b"x\n",
                          capture_output=True, timeout=60)
    stderr = done.stderr.decode("utf-8")
    assert done.returncode == status and message in stderr, stderr
    if status == 1:
        assert stderr.count("\n") == 1 and done.stdout == b""


@pytest.mark.oracle
def test_the_tool_gives_jiebas_results(tmp_path):
    jieba = pytest.importorskip("jieba", reason="jieba is not installed (pip install jieba, or the test extra)")
    dict_txt = str(Path(jieba.__file__).parent / "dict.txt")
    lines = corpus.lines("fortunes-zh", sample=300, seed=4) + corpus.lines("manpages-zh", sample=300, seed=4)
    path = write(tmp_path / "t.txt", "\n".join(lines) + "\n")
    # (The frequency method's output is the lexicon's, as tested above, and
    # the lexicon's is jieba's, as test_frequency tests.)
    status, out = run_in_process(["-m", "hmm", "-w", dict_txt, "-d", "|", path])
    assert status == 0
    assert out.split("\n")[:-1] == ["|".join(jieba.lcut(line)) for line in lines]

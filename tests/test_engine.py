"""The C++ engine on its own: the fuzz harness's reference comparison over a
fixed set of random inputs under ASan+UBSan, and the interposed-allocator
sweep. Each is compiled here with g++ or clang++; without one they skip."""

import os
import random
import shutil
import struct
import subprocess
from pathlib import Path

import pytest

from leaks import SANITIZED
from route_cases import pieces, random_dictionary, random_tables, random_text
from route_model import MISSING

ROOT = Path(__file__).resolve().parent.parent
ENGINE = ROOT / "tests" / "engine"
TRIE = ROOT / "ondrel_velarin" / "trie"
COMPILER = shutil.which("g++") or shutil.which("clang++")

pytestmark = [
    pytest.mark.skipif(COMPILER is None, reason="no C++ compiler"),
    # The programs are built here with sanitizers of their own, whatever the
    # module's build: under the sanitized suite they would only run again.
    pytest.mark.skipif(SANITIZED, reason="run by the plain suite"),
]

SANITIZE = ["-fsanitize=address,undefined", "-fno-sanitize-recover=undefined", "-fno-omit-frame-pointer"]


ENGINE_SOURCES = ["automaton.cpp", "build.cpp", "char_index.cpp", "lexicon_image.cpp", "store.cpp", "long_words.cpp", "wordpiece.cpp"]


def compile_command(flags):
    return [COMPILER, "-std=c++20", "-O1", "-g", "-Wall", "-Wextra", "-Werror", "-ffp-contract=off", f"-I{TRIE}", *flags]


@pytest.fixture(scope="module")
def compile_program(tmp_path_factory):
    """compile_program(name, sources, flags): a program of the given test
    sources and the engine, whose objects are compiled once per set of flags."""
    folder = tmp_path_factory.mktemp("engine")
    objects = {}

    def program(name, sources, flags=()):
        flags = tuple(flags)
        if flags not in objects:
            where = folder / f"objects{len(objects)}"
            where.mkdir()
            done = subprocess.run([*compile_command(flags), "-c", *[str(TRIE / s) for s in ENGINE_SOURCES]],
                                  cwd=where, capture_output=True, text=True)
            assert done.returncode == 0, done.stderr
            objects[flags] = [str(where / s.replace(".cpp", ".o")) for s in ENGINE_SOURCES]
        out = folder / name
        done = subprocess.run([*compile_command(flags), *[str(ENGINE / s) for s in sources], *objects[flags],
                               "-o", str(out)], capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        return out

    return program


def run(program, *args, stdin=None):
    # The sanitizer runtimes preloaded into a surrounding ASan run are the
    # program's own here; LD_PRELOAD would load them twice.
    environment = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    environment["ASAN_OPTIONS"] = "detect_leaks=1:abort_on_error=1"
    done = subprocess.run([str(program), *args], input=stdin, capture_output=True, text=True, env=environment)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


@pytest.fixture(scope="module")
def fuzz_main(compile_program):
    return compile_program("fuzz_main", ["fuzz_engine.cpp", "fuzz_main.cpp"], SANITIZE)


@pytest.mark.parametrize("seed", ["1", "2"])
def test_fuzz_harness_agrees_with_the_reference(fuzz_main, seed):
    assert run(fuzz_main, "--runs", "3000", seed) == "fuzz: 3000 inputs, 0 failures (a failure aborts)\n"


def test_fuzz_harness_replays_files(tmp_path, fuzz_main):
    program = fuzz_main
    inputs = [b"", b"\xff", b"\xff\x03ab\xffa\xffabc\xffab\xffx", bytes([0, 200]) + bytes(range(1, 256)) * 2]
    paths = []
    for i, data in enumerate(inputs):
        paths.append(tmp_path / f"input{i}")
        paths[-1].write_bytes(data)
    assert run(program, *map(str, paths)) == f"fuzz: replayed {len(inputs)} inputs, 0 failures\n"


def test_every_native_allocation_failure_is_survived(compile_program):
    program = compile_program("alloc_fail", ["alloc_fail_test.cpp"])
    out = run(program)
    injected, mapped = (int(part.split()[0]) for part in out.split(": ")[1].split(", ")[:2])
    assert out.endswith(", 0 problems\n") and injected > 300 and mapped > 0, out


def table_bytes(tables):
    """The model's doubles as the engine holds them: states B E M S, each
    Han character of the block's range."""
    order = "BEMS"
    values = [tables.start[y] for y in order] + [tables.trans[a].get(b, MISSING) for a in order for b in order]
    for y in order:
        values += [tables.emit[y].get(chr(c), MISSING) for c in range(0x4E00, 0x9FD6)]
    return struct.pack(f"<{len(values)}d", *values)


def as_hex(text):
    return "x" + text.encode("utf-8").hex()


@pytest.fixture(scope="module")
def route_main(compile_program):
    return compile_program("route_main", ["route_main.cpp"], SANITIZE)


@pytest.mark.parametrize("seed", [1, 2])
def test_route_agrees_with_the_model(tmp_path, route_main, seed):
    """Random dictionaries (ties, frequencies of 0, words the HMM must split,
    words longer than the walks go), with and without the code point index,
    without and with the HMM: the engine's pieces are the model's."""
    program = route_main
    rng = random.Random(seed)
    tables = random_tables(rng)
    (tmp_path / "tables").write_bytes(table_bytes(tables))
    lines, cases = [], []
    for i in range(100):
        dictionary, alphabet = random_dictionary(rng, long_words=i % 5 == 4)
        texts = [random_text(rng, dictionary, alphabet, long_words=i % 5 == 4) for _ in range(12)]
        lines.append(str(len(dictionary.freq)))
        lines += [f"{as_hex(w)} {f} {int(w in dictionary.force_split)}" for w, f in dictionary.freq.items()]
        lines += [f"{dictionary.total} {tmp_path / 'tables'} {i % 2}", str(len(texts)), *map(as_hex, texts)]
        cases.append((dictionary, texts))
    out = iter(run(program, stdin="\n".join(lines) + "\n").split("\n"))
    for dictionary, texts in cases:
        for text in texts:
            for model in (None, tables):
                assert pieces(text, map(int, next(out).split())) == dictionary.segment(text, model), (text, dictionary.freq)

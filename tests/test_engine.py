"""The C++ engine on its own: the fuzz harness's reference comparison over a
fixed set of random inputs under ASan+UBSan, and the interposed-allocator
sweep. Each is compiled here with g++ or clang++; without one they skip."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

from leaks import SANITIZED

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


def compile_program(tmp_path, name, sources, flags=()):
    out = tmp_path / name
    command = [COMPILER, "-std=c++20", "-O1", "-g", "-Wall", "-Wextra", "-Werror", f"-I{TRIE}", *flags,
               *[str(ENGINE / s) for s in sources], str(TRIE / "build.cpp"), str(TRIE / "char_index.cpp"), str(TRIE / "store.cpp"),
               str(TRIE / "wordpiece.cpp"), "-o", str(out)]
    done = subprocess.run(command, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return out


def run(program, *args):
    # The sanitizer runtimes preloaded into a surrounding ASan run are the
    # program's own here; LD_PRELOAD would load them twice.
    environment = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    environment["ASAN_OPTIONS"] = "detect_leaks=1:abort_on_error=1"
    done = subprocess.run([str(program), *args], capture_output=True, text=True, env=environment)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


@pytest.fixture(scope="module")
def fuzz_main(tmp_path_factory):
    return compile_program(tmp_path_factory.mktemp("fuzz"), "fuzz_main", ["fuzz_engine.cpp", "fuzz_main.cpp"], SANITIZE)


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


def test_every_native_allocation_failure_is_survived(tmp_path):
    program = compile_program(tmp_path, "alloc_fail", ["alloc_fail_test.cpp"])
    out = run(program)
    injected, mapped = (int(part.split()[0]) for part in out.split(": ")[1].split(", ")[:2])
    assert out.endswith(", 0 problems\n") and injected > 300 and mapped > 0, out

"""valgrind memcheck over every public path (`./dev valgrind`).

Run with --run, it starts itself under valgrind with the interpreter's
allocator switched to malloc, runs each path of test_leaks a few hundred
times, and then reads valgrind's log: any definite or indirect loss whose
stack passes through the module (impl_c) fails the run. Losses of the
interpreter's own are counted and shown, not held against the module."""

import os
import re
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).parent


def exercise(loops):
    sys.path.insert(0, str(HERE))
    from test_leaks import PATHS

    for action in PATHS.values():
        for _ in range(loops):
            action()
    print(f"exercised {len(PATHS)} paths x {loops} loops")


def losses(log: str):
    """(records blaming the module, all definite/indirect records)."""
    records = re.split(r"\n==\d+== \n", log)
    lost = [r for r in records if re.search(r"are (definitely|indirectly) lost in loss record", r)]
    return [r for r in lost if "impl_c" in r], lost


def main():
    # Kept for reading: the records of the interpreter's own are there too.
    log_path = HERE.parent / "build" / "valgrind-memcheck.log"
    log_path.parent.mkdir(exist_ok=True)
    env = {**os.environ, "PYTHONMALLOC": "malloc"}
    done = subprocess.run(
        ["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite,indirect",
         "--num-callers=30", f"--log-file={log_path}", sys.executable, "-P", __file__, "--exercise"],
        env=env, capture_output=True, text=True,
    )
    ran = done.stdout.strip()
    log = log_path.read_text()
    module, everything = losses(log)
    for record in module:
        print(record)
    errors = re.search(r"ERROR SUMMARY: (\d+) errors", log)
    print(f"valgrind: {ran or 'the script did not run'}; exit {done.returncode}, {errors.group(0) if errors else 'no summary'}; "
          f"{len(everything)} definite/indirect loss records, {len(module)} through the module")
    return 1 if module or done.returncode or not ran else 0


if __name__ == "__main__":
    if "--exercise" in sys.argv:
        exercise(200)
    elif "--run" in sys.argv:
        sys.exit(main())
    else:
        print(__doc__)

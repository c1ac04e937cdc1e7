"""WordPiece tokenisation against tokenizers' BertWordPieceTokenizer, end to
end (ids and offsets as Python lists), and the matcher's linear time.

    python -m velbench.tokenize [--megabytes 20] [--rounds 2] [--save]

Speed: on Chinese text (fortunes-zh and the Chinese man pages, repeated to
the size asked) with the BERT Chinese vocabulary, and on English text (the
English fortunes, repeated) with a 30,000-token vocabulary trained on them,
both lowercase: every line encoded and its .ids and .offsets read, per line
(`encode`) and as batches of 10,000 lines (`encode_batch`, on every core for
both; ours also held to one core), the runs alternating batch by batch, best
of the rounds. Outputs are checked identical first. Targets: ours at least
5x the reference's encode per line, and at least 3x its encode_batch.

Linear time: a word of n characters that a vocabulary of tokens that are
prefixes of each other makes greedy matching backtrack on (every walk goes
999 characters deep for a match of one), a text of n characters, for n
doubling up to a million and a hundred million: the time per character
should stay flat.

The report goes to results/local/tokenize.md, or results/tokenize.md with --save.
"""

import argparse
import os
import platform
import sys
import time

from . import data, vocab

pc = time.perf_counter
# Lines each run takes in turn (a batch is this many lines).
CHUNK = 10_000


def repeated_lines(texts, megabytes):
    """The non-empty lines of the texts, repeated to at least that many MB of UTF-8."""
    lines = [line for t in texts for line in t.splitlines() if line.strip()]
    size = sum(len(line.encode("utf-8")) + 1 for line in lines)
    return lines * -(-megabytes * 1_000_000 // size)


def per_line(tokenizer):
    def run(lines):
        for line in lines:
            e = tokenizer.encode(line)
            e.ids, e.offsets
    return run


def batch(tokenizer):
    def run(lines):
        for e in tokenizer.encode_batch(lines):
            e.ids, e.offsets
    return run


def on_one_core(run):
    """The run with the process held to one core: ours then tokenises a batch
    on the calling thread alone, which shows what the other cores add."""
    def pinned(lines):
        cores = os.sched_getaffinity(0)
        os.sched_setaffinity(0, {min(cores)})
        try:
            run(lines)
        finally:
            os.sched_setaffinity(0, cores)
    return pinned


def timed(run, lines):
    started = pc()
    run(lines)
    return pc() - started


def check_identical(ours, reference, lines):
    sample = lines[: 20_000]
    for a, b in zip(ours.encode_batch(sample), reference.encode_batch(sample)):
        if (a.ids, a.offsets) != (b.ids, b.offsets):
            raise SystemExit("ours and the reference differ: not timed")


def speed(name, lines, vocab_path, rounds, out):
    from tokenizers import BertWordPieceTokenizer

    from ondrel_velarin import WordPiece

    ours, reference = WordPiece.from_vocab(vocab_path), BertWordPieceTokenizer(vocab_path, lowercase=True)
    check_identical(ours, reference, lines)
    runs = {"ours, encode per line": per_line(ours), "tokenizers, encode per line": per_line(reference),
            "ours, encode_batch": batch(ours), "tokenizers, encode_batch": batch(reference),
            "ours, encode_batch on one core": on_one_core(batch(ours))}
    # The runs alternate chunk by chunk, so that a change of the
    # machine's load meets all of them alike; a round is the whole text.
    chunks = [lines[i:i + CHUNK] for i in range(0, len(lines), CHUNK)]
    best = {k: float("inf") for k in runs}
    for r in range(rounds):
        spent = dict.fromkeys(runs, 0.0)
        for chunk in chunks:
            for k, run in runs.items():
                spent[k] += timed(run, chunk)
        for k in runs:
            best[k] = min(best[k], spent[k])
        progress(f"{name} round {r + 1}: " + ", ".join(f"{k} {v:.2f} s" for k, v in spent.items()))
    megabytes = sum(len(line.encode("utf-8")) + 1 for line in lines) / 1e6
    characters = sum(map(len, lines))
    out(f"\n### {name}: {megabytes:.1f} MB, {len(lines):,} lines, {characters / 1e6:.1f} M characters\n")
    out("| run | seconds | ns per character |\n|---|---:|---:|")
    for k, seconds in best.items():
        out(f"| {k} | {seconds:.2f} | {seconds / characters * 1e9:.0f} |")
    out("")
    targets = [("encode per line", best["tokenizers, encode per line"] / best["ours, encode per line"], 5.0),
               ("encode_batch", best["tokenizers, encode_batch"] / best["ours, encode_batch"], 3.0)]
    for what, ratio, target in targets:
        out(f"- {what}: ours {ratio:.1f}x as fast as tokenizers (target {target:.0f}x): "
            f"{'met' if ratio >= target else 'missed'}")
    out(f"- ours, encode_batch on {os.process_cpu_count()} cores against one: "
        f"{best['ours, encode_batch on one core'] / best['ours, encode_batch']:.2f}x")
    out(f"- ours per line against tokenizers' encode_batch: "
        f"{best['tokenizers, encode_batch'] / best['ours, encode per line']:.1f}x")


def linear(out):
    from ondrel_velarin import WordPiece

    out("\n### Linear time\n")
    out("| case | characters | seconds | ns per character |\n|---|---:|---:|---:|")
    backtracking = ["[UNK]", "a", "##a", "a" * 999 + "b", "##" + "a" * 999 + "b"]
    wp = WordPiece(backtracking, max_input_chars_per_word=10**9)
    for n in (250_000, 500_000, 1_000_000):
        word = "a" * n
        seconds = min(timed(lambda _: wp.encode(word, add_special_tokens=False), None) for _ in range(3))
        out(f"| one word, tokens prefixes of each other | {n:,} | {seconds:.3f} | {seconds / n * 1e9:.1f} |")
    zh = WordPiece.from_vocab(vocab.bert_chinese())
    one = data.text("zh")
    for n in (25_000_000, 50_000_000, 100_000_000):
        text = (one * -(-n // len(one)))[:n]
        seconds = timed(lambda _: len(zh.encode(text)), None)
        out(f"| one text, Chinese fortunes | {n:,} | {seconds:.2f} | {seconds / n * 1e9:.1f} |")
        del text


def progress(message):
    print(f"[{time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def main():
    parser = argparse.ArgumentParser(prog="velbench.tokenize", description=__doc__.split("\n\n")[0])
    parser.add_argument("--megabytes", type=int, default=20, help="MB of each text (default 20)")
    parser.add_argument("--rounds", type=int, default=2, help="rounds of the runs (default 2)")
    parser.add_argument("--save", action="store_true", help="write results/tokenize.md instead of results/local/")
    parser.add_argument("--no-linear", action="store_true", help="leave out the linear-time runs")
    args = parser.parse_args()
    folder = os.path.join(data.HERE, "results", "" if args.save else "local")
    os.makedirs(folder, exist_ok=True)
    lines_out = []

    def out(line):
        print(line, flush=True)
        lines_out.append(line)

    import tokenizers

    load = os.getloadavg()
    out(f"## WordPiece against tokenizers {tokenizers.__version__}\n")
    out(f"{platform.processor() or platform.machine()}, {os.process_cpu_count()} cores, Python "
        f"{platform.python_version()}; load average at the start {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}; "
        f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}")
    speed("Chinese", repeated_lines([data.text("zh"), data.text("zh_man")], args.megabytes), vocab.bert_chinese(),
          args.rounds, out)
    speed("English", repeated_lines([data.text("en")], args.megabytes), vocab.english(True), args.rounds, out)
    if not args.no_linear:
        linear(out)
    load = os.getloadavg()
    out(f"\nload average at the end {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")
    path = os.path.join(folder, "tokenize.md")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines_out) + "\n")
    progress(f"written to {path}")


if __name__ == "__main__":
    main()

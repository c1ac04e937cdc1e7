"""A plain model of segmentation by word frequency (jieba's, with and without
its HMM), written from the behaviour it must have, for tests to compare the
native engine with. Slow and simple on purpose: every candidate of every
position, the route by Python's own max over (value, end) pairs, the Viterbi
decoding with dicts.
"""

import ast
import math
import re
from pathlib import Path

BLOCK = re.compile("([\u4e00-\u9fd5a-zA-Z0-9+#&._%\\-]+)")
SKIP = re.compile("(\r\n|\\s)")
HAN = re.compile("([\u4e00-\u9fd5]+)")
LETTERS = re.compile("([a-zA-Z0-9]+(?:\\.\\d+)?%?)")
USER_LINE = re.compile("^(.+?)( [0-9]+)?( [a-z]+)?$")
MISSING = -3.14e100
BEFORE = {"B": "ES", "M": "MB", "S": "SE", "E": "BM"}


def ascii_alnum(c):
    return c.isascii() and c.isalnum()


class Tables:
    """The HMM's log probabilities: start[state], trans[state][state],
    emit[state][character]."""

    def __init__(self, start, trans, emit):
        self.start, self.trans, self.emit = start, trans, emit

    @classmethod
    def read(cls, folder):
        """From the prob_start.py, prob_trans.py and prob_emit.py in `folder`."""
        def table(name):
            source = (Path(folder) / name).read_text(encoding="utf-8")
            return ast.literal_eval(source[source.index("P=") + 2:])
        return cls(table("prob_start.py"), table("prob_trans.py"), table("prob_emit.py"))

    def viterbi(self, text):
        v = {y: self.start[y] + self.emit[y].get(text[0], MISSING) for y in "BMES"}
        paths = {y: y for y in "BMES"}
        for c in text[1:]:
            step, new_paths = {}, {}
            for y in "BMES":
                emit = self.emit[y].get(c, MISSING)
                step[y], before = max((v[y0] + self.trans[y0].get(y, MISSING) + emit, y0) for y0 in BEFORE[y])
                new_paths[y] = paths[before] + y
            v, paths = step, new_paths
        return paths[max((v[y], y) for y in "ES")[1]]


class Dictionary:
    """Words with frequencies, their total as counted (duplicated lines of a
    dictionary file count each time), and the words the HMM must split."""

    def __init__(self, frequencies, total=None, force_split=()):
        self.freq = dict(frequencies)
        self.total = sum(self.freq.values()) if total is None else total
        self.known = {w[:i] for w in self.freq for i in range(1, len(w) + 1)}
        self.force_split = set(force_split)
        self.longest = max(map(len, self.freq), default=0)

    @classmethod
    def from_lines(cls, lines):
        """From `word freq [tag]` lines, as a main dictionary file has them."""
        freq, total = {}, 0
        for line in lines:
            word, f = line.split(" ")[:2]
            freq[word] = int(f)
            total += int(f)
        return cls(freq, total)

    def frequency(self, word, unknown):
        """The word's frequency, 0 for a known prefix that is no word, and
        `unknown` for anything else."""
        return self.freq.get(word, 0 if word in self.known else unknown)

    def add_user_words(self, data):
        """Adds the lines of a user dictionary (bytes) one after another:
        `word [freq] [tag]`, a missing frequency suggested from the
        segmentation so far; a frequency of 0 makes the HMM split the word."""
        for raw in data.split(b"\n"):
            line = raw.strip().decode("utf-8").lstrip("\ufeff")
            if not line:
                continue
            word, f, _ = USER_LINE.match(line).groups()
            f = int(f) if f is not None else self.suggested_frequency(word)
            self.freq[word] = f
            self.total += f
            self.known.update(word[:i] for i in range(1, len(word) + 1))
            self.longest = max(self.longest, len(word))
            if f == 0:
                self.force_split.add(word)

    def suggested_frequency(self, word):
        p = 1
        for piece in self.segment(word):
            p *= self.frequency(piece, 1) / float(self.total)
        return max(int(p * self.total) + 1, self.frequency(word, 1))

    def route(self, block):
        log_total = math.log(self.total)
        longest = self.longest
        best = [None] * len(block) + [(0, 0)]
        for k in range(len(block) - 1, -1, -1):
            ends = [i - 1 for i in range(k + 1, min(len(block), k + longest) + 1) if self.freq.get(block[k:i])] or [k]
            best[k] = max((math.log(self.freq.get(block[k:x + 1]) or 1) - log_total + best[x + 1][0], x)
                          for x in ends)
        pieces, x = [], 0
        while x < len(block):
            pieces.append(block[x:best[x][1] + 1])
            x = best[x][1] + 1
        return pieces

    def segment(self, text, tables=None):
        """The segments of `text`: without the HMM when `tables` is None."""
        out = []
        for part in BLOCK.split(text):
            if BLOCK.fullmatch(part):
                out += self.hmm_block(part, tables) if tables else self.plain_block(part)
            else:
                for piece in SKIP.split(part):
                    out += [piece] if SKIP.fullmatch(piece) else list(piece)
        return out

    def plain_block(self, block):
        out, letters = [], ""
        for piece in self.route(block):
            if len(piece) == 1 and ascii_alnum(piece):
                letters += piece
                continue
            out += [letters] if letters else []
            letters = ""
            out.append(piece)
        return out + ([letters] if letters else [])

    def hmm_block(self, block, tables):
        out, run = [], ""
        for piece in self.route(block) + [None]:
            if piece is not None and len(piece) == 1:
                run += piece
                continue
            if len(run) == 1:
                out.append(run)
            elif run and self.freq.get(run):
                out += list(run)
            elif run:
                out += self.decode(run, tables)
            run = ""
            if piece is not None:
                out.append(piece)
        return out

    def decode(self, run, tables):
        out = []
        for part in HAN.split(run):
            if HAN.fullmatch(part):
                states, start = tables.viterbi(part), 0
                for i, state in enumerate(states):
                    if state in "ES":
                        word = part[start:i + 1]
                        out += list(word) if word in self.force_split else [word]
                        start = i + 1
                if start < len(part):
                    out.append(part[start:])
            else:
                out += [piece for piece in LETTERS.split(part) if piece]
        return out

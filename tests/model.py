"""A plain Python model of a Velarin object, to compare answers with."""

import unicodedata


class Model:
    def __init__(self, words):
        self.words = {w.encode("utf-8") for w in words}
        self.longest = max(map(len, self.words), default=0)

    def get_closest_prefix(self, key: str) -> str:
        data = key.encode("utf-8")
        for n in range(min(len(data), self.longest), -1, -1):
            if data[:n] in self.words:
                return data[:n].decode("utf-8")
        return ""

    def node_order(self) -> list[str]:
        """Stored strings in the order the node table numbers their nodes."""
        return [p.decode("utf-8") for p in self.node_paths() if p in self.words]

    def node_paths(self) -> list[bytes]:
        """The path of every node, by node index: a node's children take the
        next free indices in byte order when the node is built, then each
        child's subtree is built in that order."""
        if not self.words:
            return []
        # children[path] = the sorted next bytes below that path
        children: dict[bytes, set[int]] = {}
        for w in self.words:
            for i in range(len(w)):
                children.setdefault(w[:i], set()).add(w[i])
        numbered = [b""]
        pending = [b""]
        while pending:
            path = pending.pop()
            below = [path + bytes([b]) for b in sorted(children.get(path, ()))]
            numbered.extend(below)
            pending.extend(reversed(below))
        return numbered


class BytesModel(Model):
    """The same model over stored byte strings that need not be UTF-8, as
    items with their own encode() can give."""

    def __init__(self, raw_words):
        self.words = set(raw_words)
        self.longest = max(map(len, self.words), default=0)

    def closest_prefix_bytes(self, data: bytes) -> bytes | None:
        for n in range(min(len(data), self.longest), -1, -1):
            if data[:n] in self.words:
                return data[:n]
        return None

    def node_order_bytes(self) -> list[bytes]:
        return [p for p in self.node_paths() if p in self.words]


# Letters and digits of scripts written without spaces between words (Han,
# kana, Bopomofo, Yi, Thai, Lao, Khmer, Myanmar): never part of a run.
WITHOUT_SPACES = [
    (0x0E00, 0x0EFF), (0x1000, 0x109F), (0x1780, 0x17FF), (0x19E0, 0x19FF), (0x3005, 0x3007),
    (0x3021, 0x3029), (0x3031, 0x3035), (0x3038, 0x303C), (0x3040, 0x30FF), (0x3100, 0x312F),
    (0x31A0, 0x31BF), (0x31F0, 0x31FF), (0x3400, 0x4DBF), (0x4E00, 0x9FFF), (0xA000, 0xA4CF),
    (0xA9E0, 0xA9FF), (0xAA60, 0xAA7F), (0xF900, 0xFAFF), (0xFF66, 0xFF9F), (0x1AFF0, 0x1B16F),
    (0x20000, 0x2FA1F), (0x30000, 0x323AF),
]


def is_run_character(c: str) -> bool:
    return c.isalnum() and not any(first <= ord(c) <= last for first, last in WITHOUT_SPACES)


def continues_run(c: str) -> bool:
    """A letter or digit, or a combining mark, which a run takes in."""
    return is_run_character(c) or unicodedata.category(c)[0] == "M"


def ends_in_run(text: str, start: int, end: int) -> bool:
    """Whether text[start:end] ends with a letter or digit, or marks after one."""
    k = end - 1
    while k >= start and not is_run_character(text[k]) and continues_run(text[k]):
        k -= 1
    return k >= start and is_run_character(text[k])


def segment_loop(trie, text: str, alnum_runs: bool = False) -> list[str]:
    """Forward longest match by asking `trie.get_closest_prefix` at each
    segment start; with alnum_runs, a word ending inside a run of letters and
    digits (and the marks after them) is not taken, and a run no word is
    taken at is one segment."""
    out, i = [], 0
    while i < len(text):
        end = i + len(trie.get_closest_prefix(text[i:]))
        if alnum_runs and i < end < len(text) and continues_run(text[end]) and ends_in_run(text, i, end):
            end = i
        if end == i:
            end = i + 1
            while alnum_runs and is_run_character(text[i]) and end < len(text) and continues_run(text[end]):
                end += 1
        out.append(text[i:end])
        i = end
    return out


class LexiconModel:
    """A plain model of a Lexicon: a dict, and its words sorted (Python orders
    strs by code point, which is the UTF-8 byte order the ids follow)."""

    def __init__(self, pairs):
        self.values = dict(pairs)
        self.words = sorted(self.values)
        self.longest = max(map(len, self.words), default=0)

    def prefixes(self, text: str, start: int = 0) -> list[str]:
        rest = text[start:]
        return [rest[:n] for n in range(min(len(rest), self.longest) + 1) if rest[:n] in self.values]

    def longest_prefix(self, text: str, start: int = 0) -> str | None:
        found = self.prefixes(text, start)
        return found[-1] if found else None

    def keys(self, prefix: str) -> list[str]:
        return [w for w in self.words if w.startswith(prefix)]

"""A plain Python model of a Velarin object, to compare answers with."""


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

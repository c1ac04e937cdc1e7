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
        prefixes = {w[:i] for w in self.words for i in range(len(w) + 1)} if self.words else set()
        order: list[bytes] = []
        if not prefixes:
            return []
        numbered = [b""]
        pending = [b""]
        while pending:
            path = pending.pop()
            children = sorted(p for p in prefixes if len(p) == len(path) + 1 and p.startswith(path))
            numbered.extend(children)
            pending.extend(reversed(children))
        order = [p for p in numbered if p in self.words]
        return [p.decode("utf-8") for p in order]

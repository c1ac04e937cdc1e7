"""Plain models of replacement by longest match and of conversion chains,
written from what the issue says and OpenCC does, for the differential
tests: dictionaries are dicts, groups ask their members at each position,
and nothing is merged or folded as the package does."""

from model import Model, segment_loop


def replace(mapping: dict, text: str, alnum_runs: bool = False) -> str:
    """Each longest key replaced by its value, where segment() takes it as a
    word: a segment that is the longest key at its start (one that the run
    rule refused is shorter than the segment taken instead, or longer)."""
    words = Model([k for k in mapping if k])
    out, pos = [], 0
    for segment in segment_loop(words, text, alnum_runs):
        out.append(mapping[segment] if segment == words.get_closest_prefix(text[pos:]) else segment)
        pos += len(segment)
    return "".join(out)


class Text:
    """A dictionary: its longest key at a position, within the segment's end."""

    def __init__(self, mapping: dict):
        self.mapping = mapping
        self.longest = max(map(len, mapping), default=0)

    def match(self, text: str, pos: int, end: int):
        for length in range(min(self.longest, end - pos), 0, -1):
            value = self.mapping.get(text[pos:pos + length])
            if value is not None:
                return length, value
        return None


class Group:
    """short_circuit: the match of the first member that has one; union: the
    longest of all members' matches, the earlier member's on a tie."""

    def __init__(self, policy: str, members: list):
        self.policy, self.members = policy, members

    def match(self, text: str, pos: int, end: int):
        best = None
        for member in self.members:
            found = member.match(text, pos, end)
            if found is not None and self.policy == "short_circuit":
                return found
            if found is not None and (best is None or found[0] > best[0]):
                best = found
        return best


def convert_segment(dictionary, segment: str) -> str:
    out, pos = [], 0
    while pos < len(segment):
        found = dictionary.match(segment, pos, len(segment))
        length, value = found if found else (1, segment[pos])
        out.append(value)
        pos += length
    return "".join(out)


def segments(dictionary, text: str) -> list[str]:
    """Forward longest match: each match a segment, the characters between
    matches one segment."""
    out, pos, kept = [], 0, 0
    while pos < len(text):
        found = dictionary.match(text, pos, len(text))
        if found is None:
            pos += 1
            continue
        if kept < pos:
            out.append(text[kept:pos])
        out.append(text[pos:pos + found[0]])
        pos = kept = pos + found[0]
    if kept < len(text):
        out.append(text[kept:])
    return out


def convert(text: str, steps: list, normalization: list = (), segmentation=None) -> str:
    """A conversion chain: each normalization dictionary over the whole text,
    the segmentation (none: one segment), then each step over each segment."""
    for dictionary in normalization:
        text = convert_segment(dictionary, text)
    parts = segments(segmentation, text) if segmentation is not None else [text]
    for dictionary in steps:
        parts = [convert_segment(dictionary, part) for part in parts]
    return "".join(parts)

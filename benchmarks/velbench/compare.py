"""Answer checking: every library must give the reference's answers."""


def compare(reference, answers, limit=3):
    """Count the positions where `answers` differs from `reference`; keep a
    few examples (index, expected, got) for the report."""
    if len(answers) != len(reference):
        return {"mismatches": abs(len(answers) - len(reference)) or 1,
                "examples": [("length", len(reference), len(answers))]}
    bad = [i for i, (r, a) in enumerate(zip(reference, answers)) if r != a]
    return {"mismatches": len(bad),
            "examples": [(i, reference[i], answers[i]) for i in bad[:limit]]}


def compare_listing(expected_distinct, listed):
    """A listing must hold every distinct stored string exactly once."""
    listed = list(listed)
    seen = set(listed)
    missing = expected_distinct - seen
    extra = seen - expected_distinct
    dups = len(listed) - len(seen)
    return {"mismatches": len(missing) + len(extra) + dups,
            "examples": ([("missing", repr(w)[:40], "") for w in list(missing)[:2]]
                         + [("extra", "", repr(w)[:40]) for w in list(extra)[:2]]
                         + ([("duplicates", 0, dups)] if dups else []))}


def short(s, n=24):
    r = repr(s)
    return r if len(r) <= n else r[:n] + "...(%d chars)" % len(s)


def explain(reference, answers):
    """A known cause for the differences, when one covers all of them: the
    library stops at a NUL character, so a longer stored word holding one is
    never found. Returns '' when no such cause accounts for every difference."""
    bad = [(r, a) for r, a in zip(reference, answers) if r != a]
    if bad and len(reference) == len(answers) and all(
            "\0" in r and "\0" not in a and r.startswith(a) for r, a in bad):
        return "expected: every difference is a stored word holding NUL, which this library stops at"
    return ""


def compare_segments(reference, segments):
    """Segmentations of one text: the number of cut points one has and the
    other lacks, and the first segment where they part (character offset,
    expected, got)."""
    if segments == reference:
        return {"mismatches": 0, "examples": []}

    def cuts(segs):
        out, at = set(), 0
        for s in segs:
            at += len(s)
            out.add(at)
        return out
    at = 0
    for i, (r, g) in enumerate(zip(reference, segments)):
        if r != g:
            break
        at += len(r)
    else:
        i = min(len(reference), len(segments))
    first = (at, reference[i] if i < len(reference) else None,
             segments[i] if i < len(segments) else None)
    # Same cut points but different segments: the text itself was not kept.
    return {"mismatches": len(cuts(reference) ^ cuts(segments)) or 1, "examples": [first]}

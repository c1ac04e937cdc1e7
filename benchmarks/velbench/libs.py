"""Each library under test, behind one small shape.

A Lib builds from a word list, gives a one-argument callable that answers
"the longest stored word that `key` starts with, or ''", and lists what it
stores. The callables are what a user of that library would write for this
query; their cost is part of what is measured.
"""

import functools
import importlib.metadata as md


def window_segments(f, longest):
    """Forward longest-match segmentation from a per-key lookup `f`: at each
    segment start, look up a window as long as the longest stored word (the
    whole rest of the text would make the loop quadratic), take one
    character when nothing matches."""
    def segments(text):
        out = []
        append = out.append
        i, n = 0, len(text)
        while i < n:
            w = f(text[i:i + longest]) or text[i]
            append(w)
            i += len(w)
        return out
    return segments


class Unavailable(Exception):
    """The library is not installed, or cannot hold this word list."""


def _version(dist):
    try:
        return md.version(dist)
    except md.PackageNotFoundError:
        return None


class Lib:
    name = ""
    dist = ""            # distribution name, for the version
    kind = "peer"        # "ours", "peer" or "baseline"
    native = True
    lookups = True       # False: a whole-text scanner, timed in segmentation only
    seg_how = "window loop over the per-key lookup"

    def version(self):
        return _version(self.dist) if self.dist else "stdlib"

    def available(self):
        try:
            self._import()
            return None
        except Exception as e:          # reported, never hidden
            return "%s: %s" % (type(e).__name__, e)

    def _import(self):
        raise NotImplementedError

    def build(self, words):
        raise NotImplementedError

    def query(self, obj):
        raise NotImplementedError

    def listing(self, obj):
        return list(obj)

    def segmenter(self, obj, longest):
        """The fastest way this library offers to segment a whole text;
        the window loop over its per-key lookup unless it has better."""
        return window_segments(self.query(obj), longest)

    def first_use(self, obj, key, longest):
        """What a user does first with a finished object (some build their
        index lazily, on that first call)."""
        if self.lookups:
            return self.query(obj)(key)
        return self.segmenter(obj, longest)(key)


class Velarin(Lib):
    name, dist, kind = "velarin", "ondrel_velarin", "ours"
    seg_how = "`segment(v, text)`"

    def _import(self):
        from ondrel_velarin.impl_c import Velarin as V
        return V

    def build(self, words):
        return self._import()(words)

    def query(self, obj):
        return obj.get_closest_prefix

    def segmenter(self, obj, longest):
        from ondrel_velarin import segment
        return functools.partial(segment, obj)


class PySet(Lib):
    """The pure-Python baseline: a set, and key[:i] from the longest word down."""
    name, dist, kind, native = "set+loop", "", "baseline", False

    def _import(self):
        return set

    def build(self, words):
        s = set(words)
        return s, max(map(len, s), default=0)

    def query(self, obj):
        s, longest = obj

        def closest(key):
            for i in range(min(len(key), longest), 0, -1):
                k = key[:i]
                if k in s:
                    return k
            return ""
        return closest

    def listing(self, obj):
        return list(obj[0])


class Marisa(Lib):
    name, dist = "marisa-trie", "marisa-trie"
    seg_how = "window loop over `prefixes(window)[-1]`"

    def _import(self):
        import marisa_trie
        return marisa_trie

    def build(self, words):
        return self._import().Trie(words)

    def query(self, t):
        prefixes = t.prefixes

        def closest(key):
            p = prefixes(key)            # every stored prefix, shortest first
            return p[-1] if p else ""
        return closest


class Datrie(Lib):
    name, dist = "datrie", "datrie"
    seg_how = "window loop over `longest_prefix(window, \"\")`"

    def _import(self):
        import datrie
        return datrie

    def build(self, words):
        datrie = self._import()
        alphabet = "".join(sorted(set("".join(words))))
        t = datrie.Trie(alphabet)
        for w in words:
            t[w] = 0
        return t

    def query(self, t):
        lp = t.longest_prefix
        return lambda key: lp(key, "")

    def listing(self, t):
        return t.keys()


class PyGTrie(Lib):
    name, dist, native = "pygtrie", "pygtrie", False
    seg_how = "window loop over `longest_prefix(window).key`"

    def _import(self):
        import pygtrie
        return pygtrie

    def build(self, words):
        return self._import().CharTrie.fromkeys(words, True)

    def query(self, t):
        lp = t.longest_prefix

        def closest(key):
            step = lp(key)
            return step.key if step else ""
        return closest

    def listing(self, t):
        return t.keys()


class PyTrie(Lib):
    name, dist, native = "pytrie", "PyTrie", False
    seg_how = "window loop over `longest_prefix(window, \"\")`"

    def _import(self):
        import pytrie
        return pytrie

    def build(self, words):
        return self._import().StringTrie.fromkeys(words, True)

    def query(self, t):
        lp = t.longest_prefix
        return lambda key: lp(key, "")

    def listing(self, t):
        return t.keys()


class AhoCorasick(Lib):
    """pyahocorasick's Automaton used as a trie: `longest_prefix` gives the
    deepest path the key follows, then step back to the nearest stored word."""
    name, dist = "pyahocorasick", "pyahocorasick"
    seg_how = "`iter_long(text)`, gaps as single characters"

    def _import(self):
        import ahocorasick
        return ahocorasick

    def build(self, words):
        a = self._import().Automaton()
        for w in words:
            a.add_word(w, w)
        return a

    def query(self, a):
        deepest, get = a.longest_prefix, a.get

        def closest(key):
            for i in range(deepest(key), 0, -1):
                w = get(key[:i], None)
                if w is not None:
                    return w
            return ""
        return closest

    def listing(self, a):
        return list(a.keys())

    def segmenter(self, a, longest):
        """iter_long: the longest non-overlapping matches in one pass (needs
        the automaton made; the per-key lookup works on it too)."""
        if a.kind != self._import().AHOCORASICK:
            a.make_automaton()
        it = a.iter_long

        def segments(text):
            out, prev = [], 0
            for end, w in it(text):
                out.extend(text[prev:end + 1 - len(w)])     # one character per gap position
                out.append(w)
                prev = end + 1
            out.extend(text[prev:])
            return out
        return segments


class Dawg(Lib):
    name, dist = "DAWG2", "DAWG2"
    seg_how = "window loop over `prefixes(window)[-1]`"

    def _import(self):
        import dawg
        return dawg

    def build(self, words):
        return self._import().CompletionDAWG(words)   # DAWG has no listing

    def query(self, d):
        prefixes = d.prefixes

        def closest(key):
            p = prefixes(key)
            return p[-1] if p else ""
        return closest

    def listing(self, d):
        return d.keys()


class Cyac(Lib):
    name, dist = "cyac", "cyac"
    seg_how = "`match_longest(text)`, gaps as single characters"

    def _import(self):
        import cyac
        return cyac

    def build(self, words):
        t = self._import().Trie()
        for w in words:
            t.insert(w)
        return t

    def query(self, t):
        prefix = t.prefix

        def closest(key):
            end = 0
            for _id, end in prefix(key):
                pass
            return key[:end]
        return closest

    def listing(self, t):
        return [k for k, _id in t.items()]

    def segmenter(self, t, longest):
        ml = t.match_longest

        def segments(text):
            out, prev = [], 0
            for _id, start, end in ml(text):
                out.extend(text[prev:start])                # one character per gap position
                out.append(text[start:end])
                prev = end
            out.extend(text[prev:])
            return out
        return segments


class HatTrie(Lib):
    """hat-trie-python stores bytes; keys are encoded on the way in."""
    name, dist = "hat-trie", "hat-trie-python"
    seg_how = "window loop over `longest_prefix(window.encode())`"

    def _import(self):
        import hattrie
        return hattrie

    def build(self, words):
        h = self._import().HatTrieMap()
        for w in words:
            h.insert(w.encode(), 0)
        return h

    def query(self, h):
        lp = h.longest_prefix

        def closest(key):
            for k, _v in lp(key.encode()):
                return k.decode()
            return ""
        return closest

    def listing(self, h):
        return [k.decode() for k in h.keys()]


class DartsClone(Lib):
    """A double array over the UTF-8 bytes of the sorted distinct words; the
    value of each key is its index in that order, so a match gives the word."""
    name, dist = "dartsclone", "dartsclone"
    seg_how = "window loop over `common_prefix_search(window.encode())[-1]`"

    def _import(self):
        import dartsclone
        return dartsclone

    def build(self, words):
        ws = sorted(set(words), key=str.encode)
        d = self._import().DoubleArray()
        d.build([w.encode() for w in ws])
        return d, ws

    def query(self, obj):
        cps, ws = obj[0].common_prefix_search, obj[1]

        def closest(key):
            found = cps(key.encode())      # (value, byte length), shortest first
            return ws[found[-1][0]] if found else ""
        return closest

    def listing(self, obj):
        return list(obj[1])


def match_segments(matches):
    """Segments from (start, end) pairs of non-overlapping leftmost-longest
    matches: each match, and every character between matches on its own."""
    def segments(text):
        out, prev = [], 0
        for start, end in matches(text):
            out.extend(text[prev:start])
            out.append(text[start:end])
            prev = end
        out.extend(text[prev:])
        return out
    return segments


class LeftmostLongest(Lib):
    """An Aho-Corasick automaton in leftmost-longest mode over the distinct
    words: whole-text segmentation is its native scan, gaps filled one
    character at a time. `_finder` gives text -> [(start, end, word index)]."""
    lookups = False

    def _automaton(self, ws):
        raise NotImplementedError

    def _finder(self, automaton):
        raise NotImplementedError

    def build(self, words):
        ws = list(dict.fromkeys(words))        # patterns must be distinct
        return self._automaton(ws), ws

    def query(self, obj):
        # Leftmost longest: a match at 0, if any, is the longest stored prefix.
        find, ws = self._finder(obj[0]), obj[1]

        def closest(key):
            for start, _end, i in find(key):
                return ws[i] if start == 0 else ""
            return ""
        return closest

    def listing(self, obj):
        return list(obj[1])

    def segmenter(self, obj, longest):
        find = self._finder(obj[0])
        return match_segments(lambda text: ((s, e) for s, e, _i in find(text)))


class Daachorse(LeftmostLongest):
    name, dist = "daachorse", "daachorse"
    seg_how = "`find(text)` (leftmost longest), gaps as single characters"

    def _import(self):
        import daachorse
        return daachorse

    def _automaton(self, ws):
        d = self._import()
        return d.CharwiseDoubleArrayAhoCorasick(ws, d.MATCH_KIND_LEFTMOST_LONGEST)

    def _finder(self, automaton):
        return automaton.find                  # (start, end, index)


class AhoCorasickRs(LeftmostLongest):
    name, dist = "ahocorasick-rs", "ahocorasick_rs"
    seg_how = "`find_matches_as_indexes(text)` (leftmost longest), gaps as single characters"

    def _import(self):
        import ahocorasick_rs
        return ahocorasick_rs

    def _automaton(self, ws):
        a = self._import()
        return a.AhoCorasick(ws, matchkind=a.MatchKind.LeftmostLongest)

    def _finder(self, automaton):
        find = automaton.find_matches_as_indexes    # (index, start, end)
        return lambda text: [(s, e, i) for i, s, e in find(text)]


ALL = [Velarin(), PySet(), Marisa(), Datrie(), PyGTrie(), PyTrie(), AhoCorasick(),
       Dawg(), Cyac(), HatTrie(), DartsClone(), Daachorse(), AhoCorasickRs()]
BY_NAME = {lib.name: lib for lib in ALL}


# Word lists whose words carry values: each of these builds from (word,
# value) pairs, and its first use is the value of a word.
class Valued(Lib):
    def query(self, obj):
        get = obj.__getitem__
        return lambda key: get(key) if key in obj else None


class LexiconValues(Valued):
    name, dist, kind = "velarin Lexicon", "ondrel_velarin", "ours"

    def _import(self):
        from ondrel_velarin import Lexicon
        return Lexicon

    def build(self, pairs):
        return self._import()(pairs)

    def first_use(self, obj, key, longest):
        return obj.longest_prefix_item(key)


class VelarinOfPairs(Lib):
    """The same words as a Velarin, for the difference the values make."""
    name, dist, kind = "velarin", "ondrel_velarin", "ours"

    def _import(self):
        from ondrel_velarin.impl_c import Velarin as V
        return V

    def build(self, pairs):
        return self._import()([w for w, _ in pairs])

    def query(self, obj):
        return obj.get_closest_prefix


class DictValues(Valued):
    name, dist, kind = "dict", "", "baseline"

    def _import(self):
        return dict

    def build(self, pairs):
        return dict(pairs)


class IntDawg(Valued):
    name, dist = "DAWG2 IntDAWG", "DAWG2"

    def _import(self):
        import dawg
        return dawg

    def build(self, pairs):
        return self._import().IntDAWG(pairs)


class RecordTrie(Valued):
    name, dist = "marisa-trie RecordTrie", "marisa-trie"

    def _import(self):
        import marisa_trie
        return marisa_trie

    def build(self, pairs):
        return self._import().RecordTrie("<i", ((w, (v,)) for w, v in pairs))


VALUED = [VelarinOfPairs(), LexiconValues(), DictValues(), IntDawg(), RecordTrie()]
VALUED_BY_NAME = {lib.name: lib for lib in VALUED}

"""Each library under test, behind one small shape.

A Lib builds from a word list, gives a one-argument callable that answers
"the longest stored word that `key` starts with, or ''", and lists what it
stores. The callables are what a user of that library would write for this
query; their cost is part of what is measured.
"""

import importlib.metadata as md


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


class Velarin(Lib):
    name, dist, kind = "velarin", "ondrel_velarin", "ours"

    def _import(self):
        from ondrel_velarin.impl_c import Velarin as V
        return V

    def build(self, words):
        return self._import()(words)

    def query(self, obj):
        return obj.get_closest_prefix


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


class Dawg(Lib):
    name, dist = "DAWG2", "DAWG2"

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


class HatTrie(Lib):
    """hat-trie-python stores bytes; keys are encoded on the way in."""
    name, dist = "hat-trie", "hat-trie-python"

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


ALL = [Velarin(), PySet(), Marisa(), Datrie(), PyGTrie(), PyTrie(), AhoCorasick(),
       Dawg(), Cyac(), HatTrie()]
BY_NAME = {lib.name: lib for lib in ALL}

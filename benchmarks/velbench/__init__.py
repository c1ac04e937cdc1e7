"""Benchmark harness for ondrel_velarin: lookup, build, memory and iteration
against the native floor, a pure-Python baseline and peer trie libraries."""

"""Reads a Velarin object's native store through ctypes, at the pinned offsets."""

import ctypes
from dataclasses import dataclass

OBJECT_HEADER = 16
STORE = OBJECT_HEADER + 8  # after the native method-table pointer


class Node(ctypes.Structure):
    _fields_ = [
        ("mask", ctypes.c_uint64),
        ("children_indices", ctypes.POINTER(ctypes.c_uint32)),
        ("num_children", ctypes.c_int32),
        ("is_terminal", ctypes.c_int32),
        ("word", ctypes.c_void_p),
    ]


class Store(ctypes.Structure):
    _fields_ = [
        ("byte_to_mask", ctypes.c_uint64 * 256),
        ("nodes", ctypes.POINTER(Node)),
        ("num_nodes", ctypes.c_int32),
        ("bytes_strings", ctypes.POINTER(ctypes.c_void_p)),
        ("bytes_lengths", ctypes.POINTER(ctypes.c_int32)),
        ("num_strings", ctypes.c_int32),
        ("max_mask_bit", ctypes.c_int32),
    ]


@dataclass
class Record:
    mask: int
    children: list[int]
    is_terminal: int
    word: bytes | None


def word_length(word: int) -> int:
    """A word's length, kept before its bytes: one byte, or 255 after four."""
    mark = ctypes.c_uint8.from_address(word - 1).value
    return mark if mark != 255 else ctypes.c_uint32.from_address(word - 5).value


def store(obj) -> Store:
    return Store.from_address(id(obj) + STORE)


def method_table(obj) -> int:
    return ctypes.c_void_p.from_address(id(obj) + OBJECT_HEADER).value


def records(obj) -> list[Record]:
    s = store(obj)
    out = []
    for i in range(s.num_nodes):
        n = s.nodes[i]
        children = [n.children_indices[k] for k in range(n.num_children)]
        word = ctypes.string_at(n.word, word_length(n.word) + 1) if n.word else None
        out.append(Record(n.mask, children, n.is_terminal, word))
    return out


def strings(obj) -> list[bytes]:
    s = store(obj)
    return [ctypes.string_at(s.bytes_strings[i], s.bytes_lengths[i]) for i in range(s.num_strings)]

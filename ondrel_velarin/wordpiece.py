"""BERT-style subword tokenisation (WordPiece), greedy longest match first.

    from ondrel_velarin import WordPiece

    wp = WordPiece.from_vocab("vocab.txt")          # one token per line; its id is its line number
    enc = wp.encode("Hello, 世界!")
    enc.ids, enc.tokens, enc.offsets

The text is normalised (control characters dropped, whitespace made spaces,
CJK ideographs set apart, and, with lowercase, accents stripped and letters
lowercased), split at whitespace and around punctuation, and each word cut
into the longest vocabulary token it begins with, then the longest `##`
token from there on, and so on: a word that cannot be cut so, or is longer
than max_input_chars_per_word, is the unknown token. Offsets are in
characters of the text as given. Each call is one native call over the
whole text, which lets other threads run meanwhile.
"""

import os
from collections.abc import Callable, Iterable, Mapping
from typing import Any

from . import lexicon_c
from .lexicon import Lexicon
from .wordlist import WordListError

__all__ = ["Encoding", "WordPiece", "read_vocab"]

Encoding = lexicon_c.Encoding


def read_vocab(path: str | os.PathLike[str]) -> dict[str, int]:
    """The tokens of a vocabulary file and their ids: one token per line, its
    id its line number from 0. Line ends (`\\n`, `\\r\\n`) and spaces at the
    end of a line are not part of the token, a byte order mark at the start of
    the file is not text, and a token given twice has the id of its last line.
    A file that is not UTF-8 is a WordListError naming the line."""
    with open(path, "rb") as f:
        data = f.read()
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    lines = data.split(b"\n")
    if lines[-1] == b"":
        lines.pop()  # what follows the last line end
    vocab = {}
    for number, line in enumerate(lines):
        try:
            token = line.decode("utf-8")
        except UnicodeDecodeError as error:
            raise WordListError(f"{os.fspath(path)}: line {number + 1} is not UTF-8 ({error.reason})") from None
        vocab[token.rstrip()] = number
    return vocab


class WordPiece(lexicon_c.WordPiece):
    """A WordPiece tokenizer over a vocabulary, immutable once made.

    `vocab` maps each token to its id, or lists the tokens in id order.
    Continuation tokens start with `continuing_subword_prefix`. The special
    tokens that the vocabulary holds are matched in the raw text as tokens
    of their own; `unk_token` must be in the vocabulary. `strip_accents`
    None follows `lowercase`."""

    _vocab: dict[str, int]
    _options: dict[str, Any]
    _by_id: dict[int, str]

    def __new__(
        cls,
        vocab: Mapping[str, int] | Iterable[str],
        *,
        lowercase: bool = True,
        strip_accents: bool | None = None,
        clean_text: bool = True,
        handle_chinese_chars: bool = True,
        unk_token: str = "[UNK]",
        cls_token: str = "[CLS]",
        sep_token: str = "[SEP]",
        pad_token: str = "[PAD]",
        mask_token: str = "[MASK]",
        max_input_chars_per_word: int = 100,
        continuing_subword_prefix: str = "##",
    ) -> "WordPiece":
        if isinstance(vocab, str):
            raise TypeError("vocab must be a mapping of tokens to ids or a list of tokens, not a str "
                            "(WordPiece.from_vocab reads a file)")
        tokens = dict(vocab) if isinstance(vocab, Mapping) else {t: i for i, t in enumerate(vocab)}
        for token, id_ in tokens.items():
            if not isinstance(token, str) or not isinstance(id_, int) or isinstance(id_, bool) or id_ < 0:
                raise TypeError(f"vocab: {token!r}: tokens must be str and ids non-negative ints")
        if unk_token not in tokens:
            raise ValueError(f"the unknown token {unk_token!r} is not in the vocabulary")
        if not continuing_subword_prefix:
            raise ValueError("continuing_subword_prefix must not be empty")
        if max_input_chars_per_word < 0:
            raise ValueError("max_input_chars_per_word must not be negative")
        prefix = continuing_subword_prefix
        initial = {t: i for t, i in tokens.items() if t and not t.startswith(prefix)}
        continuation = {t[len(prefix):]: i for t, i in tokens.items() if t.startswith(prefix) and len(t) > len(prefix)}
        size = max(tokens.values()) + 1
        by_id: list[str | None] = [None] * size
        for token, id_ in tokens.items():
            by_id[id_] = token
        specials = [(t, tokens[t]) for t in dict.fromkeys((unk_token, sep_token, cls_token, pad_token, mask_token))
                    if t in tokens and t]
        options = (clean_text, handle_chinese_chars, lowercase if strip_accents is None else strip_accents,
                   lowercase, max_input_chars_per_word, tokens[unk_token], tokens.get(cls_token, -1),
                   tokens.get(sep_token, -1))
        self = super().__new__(cls, Lexicon(initial), Lexicon(continuation), tuple(by_id), tuple(range(size)),
                               specials, options)
        self._vocab = tokens
        self._options = dict(lowercase=lowercase, strip_accents=strip_accents, clean_text=clean_text,
                             handle_chinese_chars=handle_chinese_chars, unk_token=unk_token, cls_token=cls_token,
                             sep_token=sep_token, pad_token=pad_token, mask_token=mask_token,
                             max_input_chars_per_word=max_input_chars_per_word,
                             continuing_subword_prefix=continuing_subword_prefix)
        return self

    @classmethod
    def from_vocab(cls, path: str | os.PathLike[str], **options: Any) -> "WordPiece":
        """A tokenizer over the vocabulary file at `path` (see read_vocab);
        the options are those of the constructor."""
        vocab = read_vocab(path)
        unk = options.get("unk_token", "[UNK]")
        if unk not in vocab:
            raise ValueError(f"{os.fspath(path)}: the unknown token {unk!r} is not in the vocabulary")
        return cls(vocab, **options)

    def __reduce__(self) -> tuple[Callable[[dict[str, int], dict[str, Any]], "WordPiece"], tuple[Any, ...]]:
        return (_rebuild, (self._vocab, self._options))

    @property
    def vocab_size(self) -> int:
        return len(self._vocab)

    def get_vocab(self) -> dict[str, int]:
        """A copy of the vocabulary: each token and its id."""
        return dict(self._vocab)

    def token_to_id(self, token: str) -> int | None:
        return self._vocab.get(token)

    def id_to_token(self, id_: int) -> str | None:
        if not hasattr(self, "_by_id"):
            self._by_id = {i: t for t, i in self._vocab.items()}
        return self._by_id.get(id_)

    def __repr__(self) -> str:
        return f"WordPiece(vocab_size={len(self._vocab)}, lowercase={self._options['lowercase']})"


def _rebuild(vocab: dict[str, int], options: dict[str, Any]) -> WordPiece:
    return WordPiece(vocab, **options)

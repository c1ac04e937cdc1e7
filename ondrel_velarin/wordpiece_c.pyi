from collections.abc import Sequence
from typing import Self, final

from typing_extensions import disjoint_base

@final
class Encoding:
    """The tokens of one text or pair, from WordPiece.encode."""

    @property
    def ids(self) -> list[int]: ...
    @property
    def tokens(self) -> list[str]: ...
    @property
    def offsets(self) -> list[tuple[int, int]]: ...
    @property
    def type_ids(self) -> list[int]: ...
    @property
    def special_tokens_mask(self) -> list[int]: ...
    def __len__(self) -> int: ...

@disjoint_base
class WordPiece:
    """The native part of ondrel_velarin.WordPiece."""

    def __new__(cls, *parts: object) -> Self: ...
    def encode(
        self, text: str, pair: str | None = None, /, *, add_special_tokens: bool = True, max_length: int | None = None
    ) -> Encoding: ...
    def tokenize(self, text: str, /) -> list[str]: ...
    def encode_batch(
        self,
        texts: Sequence[str | tuple[str, str]],
        /,
        *,
        add_special_tokens: bool = True,
        max_length: int | None = None,
    ) -> list[Encoding]: ...

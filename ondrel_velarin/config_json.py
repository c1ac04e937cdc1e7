"""JSON as configurations and their test cases are written: strict JSON,
with commas allowed before a closing bracket (OpenCC's test cases have
them). The standard library's parser imports `re` and, through it, `enum`
and `functools`, which cost more than loading a small configuration; this
reader imports nothing.
"""

_WHITESPACE = " \t\n\r"
_ESCAPES = {'"': '"', "\\": "\\", "/": "/", "b": "\b", "f": "\f", "n": "\n", "r": "\r", "t": "\t"}
_LITERALS = (("true", True), ("false", False), ("null", None))
_DIGITS = "0123456789"
_NUMBER_STARTS = "-" + _DIGITS
_HEX = "0123456789abcdefABCDEF"
# Deeper nesting than any configuration has: refused, not a RecursionError.
_MAX_DEPTH = 200


class JSONError(ValueError):
    """Text that is not JSON: `msg`, and the line `lineno` it is on."""

    def __init__(self, msg: str, text: str, pos: int) -> None:
        super().__init__(msg)
        self.msg = msg
        self.lineno = text.count("\n", 0, pos) + 1


def loads(text: str) -> object:
    """The value that `text` holds, as json.loads gives it; JSONError when
    it is not JSON."""
    reader = _Reader(text)
    value = reader.value(0)
    if reader.skip() < len(text):
        raise JSONError("Extra data", text, reader.pos)
    return value


class _Reader:
    def __init__(self, text: str) -> None:
        self.text = text
        self.pos = 0

    def fail(self, msg: str) -> JSONError:
        return JSONError(msg, self.text, self.pos)

    def skip(self) -> int:
        """Moves past whitespace; the position reached."""
        text, pos = self.text, self.pos
        while pos < len(text) and text[pos] in _WHITESPACE:
            pos += 1
        self.pos = pos
        return pos

    def peek(self) -> str:
        """The character after the whitespace from here on, or "" at the end."""
        pos = self.skip()
        return self.text[pos : pos + 1]

    def value(self, depth: int) -> object:
        c = self.peek()
        pos = self.pos
        if c == '"':
            return self.string()
        if c in ("{", "["):
            if depth >= _MAX_DEPTH:
                raise self.fail("Nested too deep")
            return self.members(depth + 1) if c == "{" else self.elements(depth + 1)
        if c != "" and c in _NUMBER_STARTS:
            return self.number()
        for word, value in _LITERALS:
            if self.text.startswith(word, pos):
                self.pos = pos + len(word)
                return value
        raise self.fail("Expecting value")

    def after_item(self, close: str) -> bool:
        """Past the comma or closing bracket after an item; True at the
        close (a comma before it included)."""
        c = self.peek()
        if c != close and c != ",":
            raise self.fail("Expecting ',' delimiter")
        self.pos += 1
        if c == close:
            return True
        if self.peek() == close:
            self.pos += 1
            return True
        return False

    def elements(self, depth: int) -> list[object]:
        self.pos += 1
        items: list[object] = []
        if self.peek() == "]":
            self.pos += 1
            return items
        while True:
            items.append(self.value(depth))
            if self.after_item("]"):
                return items

    def members(self, depth: int) -> dict[str, object]:
        self.pos += 1
        items: dict[str, object] = {}
        if self.peek() == "}":
            self.pos += 1
            return items
        while True:
            if self.peek() != '"':
                raise self.fail("Expecting property name enclosed in double quotes")
            key = self.string()
            if self.peek() != ":":
                raise self.fail("Expecting ':' delimiter")
            self.pos += 1
            items[key] = self.value(depth)
            if self.after_item("}"):
                return items

    def string(self) -> str:
        text, pos = self.text, self.pos + 1
        parts = []
        while True:
            end = pos
            while end < len(text) and text[end] != '"' and text[end] != "\\" and text[end] >= " ":
                end += 1
            parts.append(text[pos:end])
            if end == len(text):
                self.pos = end
                raise self.fail("Unterminated string")
            c = text[end]
            if c == '"':
                self.pos = end + 1
                return "".join(parts)
            if c != "\\":
                self.pos = end
                raise self.fail("Invalid control character")
            escape = text[end + 1 : end + 2]
            if escape in _ESCAPES:
                parts.append(_ESCAPES[escape])
                pos = end + 2
                continue
            if escape != "u":
                self.pos = end
                raise self.fail("Invalid \\escape")
            code, pos = self.hex4(end + 2), end + 6
            if 0xD800 <= code < 0xDC00 and text.startswith("\\u", pos):
                low = self.hex4(pos + 2)
                if 0xDC00 <= low < 0xE000:
                    code, pos = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00), pos + 6
            parts.append(chr(code))

    def hex4(self, at: int) -> int:
        digits = self.text[at : at + 4]
        if len(digits) < 4 or any(d not in _HEX for d in digits):
            self.pos = at
            raise self.fail("Invalid \\uXXXX escape")
        return int(digits, 16)

    def number(self) -> int | float:
        text, start = self.text, self.pos
        pos = start + (text[start] == "-")
        integer = self.digits(pos)
        if integer == pos or (text[pos] == "0" and integer > pos + 1):
            raise self.fail("Expecting value")
        pos, real = integer, False
        if text[pos : pos + 1] == ".":
            fraction = self.digits(pos + 1)
            if fraction == pos + 1:
                raise self.fail("Expecting value")
            pos, real = fraction, True
        if text[pos : pos + 1] in ("e", "E"):
            sign = pos + 1 + (text[pos + 1 : pos + 2] in ("+", "-"))
            exponent = self.digits(sign)
            if exponent == sign:
                raise self.fail("Expecting value")
            pos, real = exponent, True
        try:
            return float(text[start:pos]) if real else int(text[start:pos])
        except ValueError:  # more digits than int() takes
            raise self.fail("Number too long") from None
        finally:
            self.pos = pos

    def digits(self, pos: int) -> int:
        """The position after the digits from `pos` on."""
        text = self.text
        while pos < len(text) and text[pos] in _DIGITS:
            pos += 1
        return pos

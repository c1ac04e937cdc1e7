"""Subword tokenisation (WordPiece): each line cut into the tokens of a BERT
vocabulary, printed as tokens or ids."""

import argparse
import json
import re
from collections.abc import Callable

from ..cli import PROG, CliError, Job, Report, Spool, check_delimiter
from ..wordpiece import Encoding, WordPiece

# Characters that always split words, whatever comes next: a piece of a long
# line may end after one of them. (Control characters are dropped, so they
# join what is around them.)
SPLITS = re.compile("[\t\n\r \u00a0\u1680\u2000-\u200a\u2028\u2029\u202f\u205f\u3000]")

EPILOG = f"""\
Tokenisation, as BERT's tokenizers do it: the text is normalised (control
characters dropped, whitespace made spaces, CJK ideographs set apart, and,
unless --cased, accents stripped and letters lowercased), split at
whitespace and around punctuation, and each word cut, from its start, into
the longest token of the vocabulary that it begins with, then the longest
"##" token from there on: a word that cannot be cut so, or is longer than
100 characters, is [UNK]. Special tokens of the vocabulary written in the
text ([SEP], [CLS], [MASK], ...) are tokens of their own. The output is the
one tokenizers' BertWordPieceTokenizer(vocab, lowercase=...) gives.

The vocabulary is a vocab.txt: one token per line, its id its line number
from 0 (a token given twice has its last line's id); it must hold [UNK].

Each input line gives one output line; lines end in "\\n", "\\r\\n" or "\\r",
and a UTF-8 byte order mark at the start of a file is not text. --json
offsets count code points from the line's start. A line of over a million
characters is tokenised in pieces cut after a space, with the output of the
whole line; a million characters without one are cut where they end.

examples:
  {PROG} tokenize --vocab vocab.txt text.txt          # tokens separated by spaces
  {PROG} tokenize --vocab vocab.txt --ids text.txt    # ids instead
  {PROG} tokenize --vocab vocab.txt --special --json text.txt
  echo '我们在图书馆读书' | {PROG} tokenize --vocab vocab.txt

exit status: 0 done, 1 an error (one line on standard error says which),
2 a bad command line, 130 interrupted, 141 the output pipe was closed early."""


class Tokenization(Job):
    name = "tokenize"
    summary = "cut text into the subword tokens of a BERT vocabulary (WordPiece)"
    description = "Cut text into the subword tokens of a BERT vocabulary (WordPiece), greedily, longest first."
    epilog = EPILOG
    verb, verbed = "tokenize", "tokenized"
    json_help = 'write one JSON object per line: {"tokens": [...], "ids": [...], "offsets": [[start, end], ...]}'

    def add_arguments(self, parser: argparse.ArgumentParser) -> None:
        parser.add_argument("--vocab", required=True, metavar="FILE",
                            help="the vocabulary: a UTF-8 vocab.txt, one token per line")
        parser.add_argument("--cased", action="store_true",
                            help="keep case and accents (for a cased vocabulary); default: lowercase")
        parser.add_argument("--ids", action="store_true", help="write the tokens' ids instead of the tokens")
        parser.add_argument("--special", action="store_true", help="add [CLS] before and [SEP] after each line")
        parser.add_argument("-d", "--delimiter", default=" ", metavar="STR",
                            help="what to put between tokens (default: a space)")

    def check(self, args: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
        check_delimiter(args, parser)

    def dictionaries(self, args: argparse.Namespace) -> list[str]:
        return [args.vocab]

    def prepare(self, args: argparse.Namespace, report: Report) -> "Tokenizer":
        try:
            wordpiece = WordPiece.from_vocab(args.vocab, lowercase=not args.cased)
        except OSError as e:
            raise CliError(f"cannot read {args.vocab}: {e.strerror or e}") from None
        except ValueError as e:  # WordListError too: a line that is not UTF-8
            raise CliError(str(e)) from None
        cls, sep = wordpiece.token_to_id("[CLS]"), wordpiece.token_to_id("[SEP]")
        if args.special and (cls is None or sep is None):
            raise CliError(f"{args.vocab} has no [CLS] or [SEP] token to add with --special")
        report.note(f"{args.vocab}: {wordpiece.vocab_size:,} tokens")
        return Tokenizer(wordpiece, args, cls or 0, sep or 0)


class Tokenizer:
    """Tokenises lines and formats them for output."""

    def __init__(self, wordpiece: WordPiece, args: argparse.Namespace, cls: int, sep: int) -> None:
        self.wordpiece = wordpiece
        self.cls, self.sep = cls, sep  # the ids of [CLS] and [SEP], with --special
        self.ids: bool = args.ids
        self.special: bool = args.special
        self.json: bool = args.json
        self.delimiter: str = args.delimiter

    def line(self, encoding: Encoding) -> str:
        if self.json:
            return json.dumps({"tokens": encoding.tokens, "ids": encoding.ids,
                               "offsets": [list(o) for o in encoding.offsets]}, ensure_ascii=False)
        return self.delimiter.join(map(str, encoding.ids) if self.ids else encoding.tokens)

    def block(self, text: str) -> str:
        """The output of `text`, whole lines each ended with "\\n": one native
        call for all of them."""
        encodings = self.wordpiece.encode_batch(text.split("\n")[:-1], add_special_tokens=self.special)
        return "".join([self.line(e) + "\n" for e in encodings])

    def long_line(self, write: Callable[[str], None]) -> "LongLineTokens":
        return LongLineTokens(self, write)


class LongLineTokens:
    """A line tokenised piece by piece, with the output a whole line would
    give: each piece is cut after its last space, where no word or special
    token goes on, and what follows is carried into the next piece. With
    --json the tokens are written as they come and the ids and offsets kept
    in temporary files until the line ends."""

    def __init__(self, tokenizer: Tokenizer, write: Callable[[str], None]) -> None:
        self.tokenizer = tokenizer
        self.write = write
        self.offset = 0  # characters of the line tokenised so far
        self.started = False  # a token was written
        self.spools = (Spool(), Spool()) if tokenizer.json else None
        if tokenizer.json:
            write('{"tokens": [')
        if tokenizer.special:
            self.put(["[CLS]"], [tokenizer.cls], [(0, 0)])

    def piece(self, text: str) -> int:
        ends = [m.end() for m in SPLITS.finditer(text, max(0, len(text) - (1 << 16)))]
        cut = ends[-1] if ends else len(text)
        self.tokens_of(text[:cut])
        return len(text) - cut

    def end(self, text: str) -> None:
        self.tokens_of(text)
        t = self.tokenizer
        if t.special:
            self.put(["[SEP]"], [t.sep], [(0, 0)])
        if self.spools is not None:
            self.write('], "ids": [')
            self.spools[0].write_to(self.write)
            self.write('], "offsets": [')
            self.spools[1].write_to(self.write)
            self.write("]}")
        self.write("\n")

    def tokens_of(self, text: str) -> None:
        encoding = self.tokenizer.wordpiece.encode(text, add_special_tokens=False)
        shift = self.offset
        self.offset += len(text)
        self.put(encoding.tokens, encoding.ids, [(s + shift, e + shift) for s, e in encoding.offsets])

    def put(self, tokens: list[str], ids: list[int], offsets: list[tuple[int, int]]) -> None:
        if not tokens:
            return
        t = self.tokenizer
        if self.spools is not None:
            separator = ", " if self.started else ""
            self.write(separator + ", ".join(json.dumps(token, ensure_ascii=False) for token in tokens))
            self.spools[0].add(separator + ", ".join(map(str, ids)))
            self.spools[1].add(separator + ", ".join(f"[{s}, {e}]" for s, e in offsets))
        else:
            shown = list(map(str, ids)) if t.ids else tokens
            self.write((t.delimiter if self.started else "") + t.delimiter.join(shown))
        self.started = True


TOKENIZE = Tokenization()

"""Search in a terminal's cleaned history: plain text or a regular
expression, with the hits' offsets and the lines around them.

Owns: the bounds of a search (the pattern's length, the time a regular
expression may take), the hits and their context. Must never let a pattern
stall its caller: Python's `re` backtracks, and a pattern such as
``(a+)+$`` takes exponential time on a long run of ``a``, with no way to
stop it from another thread. So a regular expression runs in a fresh
interpreter of its own, fed the text on its standard input and killed at
the deadline; only plain text is searched in this process (`str.find` is
linear).
"""

from __future__ import annotations

import json
import re
import subprocess
import sys
from typing import NamedTuple

# Longer patterns are refused: a model that needs one has the wrong tool.
MAX_PATTERN_CHARS = 1000
MAX_HITS = 1000
MAX_CONTEXT_LINES = 20
# How long a regular expression may search before its worker is killed:
# a start-up of about 20 ms plus the scan, which for a sane pattern over
# the 4 MiB a history holds is well under this.
REGEX_TIME_LIMIT_MS = 2000

# The worker: the pattern and the most hits on the first line, the text
# after it; the spans of the hits, in characters, as JSON.
_WORKER = """
import json, re, sys
data = sys.stdin.buffer.read()
head, _, text = data.partition(b"\\n")
pattern, limit = json.loads(head)
spans = []
for match in re.finditer(pattern, text.decode("utf-8", "surrogatepass"), re.MULTILINE):
    spans.append(match.span())
    if len(spans) >= limit:
        break
sys.stdout.write(json.dumps(spans))
"""


class Hit(NamedTuple):
    """One place the pattern matched in the history.

    ``offset`` and ``end``: the match, in characters from the start of the
    history as `Terminal.history` gives it (and ``terminal_history``'s
    ``offset`` takes). ``line``: the number of the line it starts on, from
    0. ``lines``: that line with up to ``context_lines`` before and after
    it, the first being line ``first_line``.
    """

    offset: int
    end: int
    line: int
    first_line: int
    lines: list[str]


def check(pattern: str, regex: bool, limit: int, context_lines: int) -> re.Pattern[str] | None:
    """Raises ValueError (TypeError) for what no search takes; the compiled
    expression when ``regex``: compiling is cheap for a bounded pattern,
    and a wrong one is told here, not by the worker."""
    if not isinstance(pattern, str):
        raise TypeError(f"pattern must be str, not {type(pattern).__name__}")
    if not pattern:
        raise ValueError("an empty pattern matches everywhere")
    if len(pattern) > MAX_PATTERN_CHARS:
        raise ValueError(f"a pattern is at most {MAX_PATTERN_CHARS} characters, not {len(pattern)}")
    for value, what, high in ((limit, "limit", MAX_HITS), (context_lines, "context_lines", MAX_CONTEXT_LINES)):
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"{what} must be an int, not {type(value).__name__}")
        if not (1 if what == "limit" else 0) <= value <= high:
            raise ValueError(f"{what} must be between {1 if what == 'limit' else 0} and {high}, not {value}")
    if not regex:
        return None
    try:
        return re.compile(pattern, re.MULTILINE)
    except re.error as error:
        raise ValueError(f"not a regular expression: {error}") from None


def spans(text: str, pattern: str, regex: bool, limit: int,
          time_limit_ms: int = REGEX_TIME_LIMIT_MS) -> list[tuple[int, int]]:
    """Where ``pattern`` matches ``text``, the first ``limit`` times, in order.
    Raises TimeoutError when a regular expression takes longer than
    ``time_limit_ms``."""
    if not regex:
        found: list[tuple[int, int]] = []
        at = text.find(pattern)
        while at >= 0 and len(found) < limit:
            found.append((at, at + len(pattern)))
            at = text.find(pattern, at + len(pattern))
        return found
    head = json.dumps([pattern, limit]).encode()
    data = head + b"\n" + text.encode("utf-8", "surrogatepass")
    try:
        done = subprocess.run([sys.executable, "-I", "-S", "-c", _WORKER], input=data, capture_output=True,
                              timeout=time_limit_ms / 1000)
    except subprocess.TimeoutExpired:
        raise TimeoutError(f"the regular expression took longer than {time_limit_ms} ms "
                           "(it backtracks: make it more specific, or search plain text)") from None
    if done.returncode != 0:
        raise RuntimeError(f"the search failed: {done.stderr.decode(errors='replace').strip()[-500:]}")
    return [(start, end) for start, end in json.loads(done.stdout)]


def hits(text: str, found: list[tuple[int, int]], context_lines: int) -> list[Hit]:
    """The spans of ``text`` as hits, with the lines around each."""
    made = []
    line, counted = 0, 0
    for start, end in found:
        line += text.count("\n", counted, start)
        counted = start
        begin = text.rfind("\n", 0, start) + 1
        for _ in range(min(context_lines, line)):
            begin = text.rfind("\n", 0, begin - 1) + 1
        # The newline that ends the line the match ends on, then as many more.
        stop = text.find("\n", end - 1 if end > start else start)
        for _ in range(context_lines):
            if stop < 0:
                break
            after = text.find("\n", stop + 1)
            if after < 0:
                # An unfinished last line counts; the empty rest after a final newline does not.
                stop = -1 if stop + 1 < len(text) else stop
                break
            stop = after
        block = text[begin:] if stop < 0 else text[begin:stop]
        made.append(Hit(start, end, line, line - min(context_lines, line), block.split("\n")))
    return made

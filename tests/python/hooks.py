"""The cleaning routine's C entry points, for tests that need the exact text
the module makes of a known raw stream, and the tests' one reference filter.

They live in a library of their own, never in the installed module (which
exports nothing but its entry point): MORVIK_HOOKS_LIBRARY names it, and by
default it is build/hooks/libmorvik_hooks.so of this checkout, which
`make hooks` builds (the Makefile's test targets do so first). Must never
fall back to anything else: a missing library is a failure with the way to
build it, not a skipped test.
"""

import ctypes
import functools
import os
from pathlib import Path

DEFAULT_LIBRARY = Path(__file__).resolve().parents[2] / "build" / "hooks" / "libmorvik_hooks.so"

FAILED = ctypes.c_size_t(-1).value


@functools.cache
def library() -> ctypes.CDLL:
    path = os.environ.get("MORVIK_HOOKS_LIBRARY", str(DEFAULT_LIBRARY))
    try:
        lib = ctypes.CDLL(path)
    except OSError as e:
        raise RuntimeError(f"cannot load the test hooks from {path} ({e}); build them with `make hooks`") from None
    for name in ("morvik_sanitize_for_agent", "morvik_strip_terminal_bytes", "morvik_reference_strip"):
        fn = getattr(lib, name)
        fn.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.POINTER(ctypes.c_char), ctypes.c_size_t]
        fn.restype = ctypes.c_size_t
    return lib


def clean(raw: bytes) -> str:
    """The text the module hands back for `raw` read in one piece."""
    out = ctypes.create_string_buffer(max(1, 3 * len(raw)))
    n = library().morvik_sanitize_for_agent(raw, len(raw), out, 3 * len(raw))
    assert n != FAILED
    return out.raw[:n].decode("utf-8")


class HookScreen:
    """The screen model, fed lazily as the agent layer will feed it, through
    the hooks library."""

    def __init__(self, rows: int, columns: int):
        lib = library()
        lib.morvik_screen_new.restype = ctypes.c_void_p
        lib.morvik_screen_new.argtypes = [ctypes.c_int, ctypes.c_int]
        lib.morvik_screen_free.argtypes = [ctypes.c_void_p]
        lib.morvik_screen_feed.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]
        for name in ("morvik_screen_text", "morvik_screen_replies"):
            fn = getattr(lib, name)
            fn.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_char), ctypes.c_size_t]
            fn.restype = ctypes.c_size_t
        self._lib = lib
        self._handle = lib.morvik_screen_new(rows, columns)
        assert self._handle, "out of memory"

    def close(self) -> None:
        if self._handle:
            self._lib.morvik_screen_free(self._handle)
            self._handle = None

    def feed(self, data: bytes) -> None:
        assert self._lib.morvik_screen_feed(self._handle, data, len(data)) == 0

    def _fetch(self, fn) -> bytes:
        cap = 1 << 16
        while True:
            out = ctypes.create_string_buffer(cap)
            n = fn(self._handle, out, cap)
            assert n != FAILED
            if n <= cap:
                return out.raw[:n]
            cap = n

    def state(self) -> tuple[list[str], tuple[int, int], bool]:
        """The lines, the cursor (row, column) and whether the alternate screen is in use."""
        head, *lines = self._fetch(self._lib.morvik_screen_text).decode("utf-8").split("\n")[:-1]
        row, column, alternate = head.split()
        return lines, (int(row), int(column)), alternate == "1"

    def replies(self) -> bytes:
        return self._fetch(self._lib.morvik_screen_replies)

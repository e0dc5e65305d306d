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

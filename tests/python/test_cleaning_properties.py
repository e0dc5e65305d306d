"""Properties of the cleaning routine, reached through its C hooks.

The hooks library (see hooks.py) is built from the same sources as the
module, so the tests drive the very code the extension runs, with nothing
added to the installed module. The decoder is held to CPython's own
"replace" decoding, and the filter to the tests' one reference reading of
the rules (tests/reference/cleaning_reference.h), which the library exports
beside the routine.
"""

import ctypes

from hypothesis import given, settings, strategies as st

import hooks

_LIB = hooks.library()
_FAILED = hooks.FAILED


def _call(fn, data, cap):
    out = ctypes.create_string_buffer(max(cap, 1))
    n = fn(data, len(data), out, cap)
    assert n != _FAILED
    return n, out.raw


def clean(data: bytes) -> str:
    n, raw = _call(_LIB.morvik_sanitize_for_agent, data, 3 * len(data))
    assert n <= 3 * len(data)
    # A strict decode: anything but well-formed UTF-8 fails the test here.
    return raw[:n].decode("utf-8")


def strip(data: bytes) -> bytes:
    n, raw = _call(_LIB.morvik_strip_terminal_bytes, data, len(data))
    assert n <= len(data)
    return raw[:n]


def reference_strip(data: bytes) -> bytes:
    """The reference filter's bytes: the rules, one escape at a time."""
    n, raw = _call(_LIB.morvik_reference_strip, data, len(data))
    assert n <= len(data)
    return raw[:n]


_KEPT_BYTE = st.one_of(st.integers(0x20, 0xFF), st.sampled_from([0x09, 0x0A]))
_PLAIN_TEXT = st.text(st.characters(min_codepoint=0x20, codec="utf-8")) | st.text(st.sampled_from("\t\n é€😀"))
plain_bytes = st.lists(
    st.one_of(_KEPT_BYTE.map(lambda b: bytes([b])), _PLAIN_TEXT.map(str.encode)), max_size=40
).map(b"".join)

_INTERESTING = b"\x1b\x1b\x1b[[]]\\\\P^_\x07\r\n\t\x00\x08\x1f\x18\x1a(#;?0m@~\x7f\x80\x9b\xbf\xc0\xc3\xe2\xed\xf0\xf4\xff "
_SEQUENCES = [
    b"\x1b[1;31m", b"\x1b[0m", b"\x1b[?25h", b"\x1b[", b"\x1b", b"\x1b]0;title\x07",
    b"\x1b]2;t\x1b\\", b"\x1bPq#1\x07\x1b\\", b"\x1b_apc\x1b\\", b"\x1b(B", b"\x1b(", b"\x1b# ", b"\r\n",
    "é".encode(), "€".encode(), "😀".encode(), b"\xe2\x82", b"\xf0\x9f\x98",
]
terminal_bytes = st.lists(
    st.one_of(
        st.sampled_from(_INTERESTING).map(lambda b: bytes([b])),
        st.sampled_from(_SEQUENCES),
        st.binary(max_size=6),
        _PLAIN_TEXT.map(str.encode),
    ),
    max_size=60,
).map(b"".join)
any_bytes = st.binary(max_size=400) | terminal_bytes

_SETTINGS = settings(max_examples=400, deadline=None)


@_SETTINGS
@given(plain_bytes)
def test_bytes_without_escapes_or_controls_decode_like_python_replace(data):
    assert clean(data) == data.decode("utf-8", "replace")


@_SETTINGS
@given(any_bytes)
def test_cleaned_text_is_well_formed_and_holds_no_c0_control_but_tab_and_lf(data):
    text = clean(data)  # strict decode inside
    assert all(ch >= " " or ch in "\t\n" for ch in text), ascii(text)


@_SETTINGS
@given(any_bytes)
def test_stripped_bytes_never_outgrow_the_input(data):
    assert len(strip(data)) <= len(data)


@_SETTINGS
@given(terminal_bytes)
def test_filter_follows_the_rules_byte_for_byte(data):
    expected = reference_strip(data)
    assert strip(data) == expected
    assert clean(data) == expected.decode("utf-8", "replace")


@_SETTINGS
@given(any_bytes)
def test_decoding_of_filtered_bytes_matches_python_replace(data):
    assert clean(data) == strip(data).decode("utf-8", "replace")


@_SETTINGS
@given(any_bytes)
def test_cleaning_clean_text_again_changes_nothing(data):
    text = clean(data)
    assert clean(text.encode()) == text


def test_short_buffer_gets_the_needed_length_and_no_partial_text():
    data = b"\x1b[31mr\xc3\xa9d\x1b[0m \xff"
    needed, raw = _call(_LIB.morvik_sanitize_for_agent, data, 3)
    assert needed == len("réd \ufffd".encode())
    assert raw == b"\x00\x00\x00"
    n, raw = _call(_LIB.morvik_sanitize_for_agent, data, needed)
    assert raw[:n].decode() == "réd \ufffd"


def test_empty_input_gives_empty_text():
    assert clean(b"") == ""
    assert strip(b"") == b""
    assert _LIB.morvik_sanitize_for_agent(None, 0, None, 0) == 0

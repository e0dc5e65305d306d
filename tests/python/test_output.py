"""Output as the caller gets it: budgets, cleaning, history, input and settings.

Protects: read_available's byte budget (a cut keeps the rest of the stream for
the next read, so the raw stream is gap-free), the cleaning of real terminal
output, the 4 MiB history and where its oldest edge falls (reads after the
child ended are test_waits.py's), Ctrl-C and long input lines reaching the
child, marker settings and what a session reports about itself. Must never guess when output has
arrived: children either end (close() then waits for every byte) or announce
themselves.
"""

import hashlib
import time

import numpy as np
import pytest

from morvik import Morvik

import hooks
import support


def _writer(tmp_path, *pieces, pause=0.0, name="writer"):
    """A child that writes each byte string in one write() and then ends."""
    return support.python_child(
        tmp_path,
        name,
        f"""\
        import os, time
        for i, piece in enumerate({[bytes(p) for p in pieces]!r}):
            if i:
                time.sleep({pause})
            os.write(1, piece)
        """,
    )


def _ended_session(command):
    """A session whose child has ended and whose output is all queued."""
    session = Morvik(command, False)
    assert support.wait_exited(session)
    # close() waits for the reader thread, which ends only after it has read
    # the last byte, so everything is in the channel from here on.
    session.close()
    return session


# ------------------------------------------------------------ read budgets


class TestReadAvailableBudget:
    # Every form of zero: an int, a bool, an object with __index__.
    @pytest.mark.parametrize("zero", [0, False, np.int8(0)], ids=["int", "bool", "index"])
    def test_zero_budget_takes_nothing(self, tmp_path, zero):
        session = _ended_session(_writer(tmp_path, b"kept for later"))
        assert session.read_available(zero) == ""
        assert session.get_history() == ""
        assert session.read_available() == "kept for later"
        assert session.get_history() == "kept for later"

    @pytest.mark.parametrize("pause", [0.0, 0.15], ids=["one-chunk", "two-chunks"])
    def test_cut_inside_a_chunk_leaves_the_rest_for_the_next_read(self, tmp_path, pause):
        session = _ended_session(
            _writer(tmp_path, b"0123456789", b"ABCDEFGHIJ", pause=pause)
        )
        assert session.read_available(15) == "0123456789ABCDE"
        assert session.get_history() == "0123456789ABCDE"
        assert session.read_available(15) == "FGHIJ"
        assert session.get_history() == "0123456789ABCDEFGHIJ"
        assert session.read_available(15) == ""

    def test_budget_matching_queued_output_empties_the_channel(self, tmp_path):
        session = _ended_session(_writer(tmp_path, b"0123456789", b"ABCDE", pause=0.15))
        assert session.read_available(15) == "0123456789ABCDE"
        assert session.read_available() == ""

    def test_small_budgets_walk_the_whole_stream_without_gaps(self, tmp_path):
        payload = bytes(48 + (i * 7) % 75 for i in range(50000))  # printable, no LF
        session = _ended_session(_writer(tmp_path, payload))
        pieces = []
        while piece := session.read_available(777):
            pieces.append(piece)
        assert all(len(p) == 777 for p in pieces[:-1])
        assert 0 < len(pieces[-1]) <= 777
        assert "".join(pieces) == payload.decode()
        assert session.get_history() == payload.decode()

    def test_default_budget_is_64_kib(self, tmp_path):
        payload = b"x" * 70000
        session = _ended_session(_writer(tmp_path, payload))
        assert len(session.read_available()) == 65536
        assert len(session.read_available()) == 70000 - 65536

    # A budget that ends inside a character or an escape sequence hands out
    # none of it: all of it comes with the next read, and the history
    # records only what was handed out.
    @pytest.mark.parametrize("data, first, rest", [
        (b"ab\xe2\x82\xaccd", "ab", "\u20accd"),  # the budget ends after E2
        (b"x\x1b[31mred\x1b[0m", "x", "red"),       # ... after ESC [
    ], ids=["character", "escape"])
    def test_cut_inside_a_unit_leaves_all_of_it_for_the_next_read(self, tmp_path, data, first, rest):
        session = _ended_session(_writer(tmp_path, data))
        assert session.read_available(3) == first
        assert session.get_history() == first
        assert session.read_available() == rest
        assert session.get_history() == first + rest


# ------------------------------------------------------------ cleaning


CLEANING_CASES = [
    # The basic table is test_sanitize.cpp's; these rows take the whole way
    # from the child through the terminal to the str. 8-bit introducers are
    # plain bytes, C1 controls written as UTF-8 survive, a truncated 4-byte
    # character is one U+FFFD, unterminated strings swallow the rest, and
    # ESC ^ / ESC _ ignore BEL.
    ("9B 41", "\ufffdA"),
    ("C2 9B 7A", "\x9bz"),
    ("F0 9F 98 7A", "\ufffdz"),
    ("E2 82 AC 0A", "\u20ac\n"),
    ("7A 1B 5D 32 3B 74 69 74 6C 65", "z"),
    ("1B 5E 71 07 61 1B 5C 62 1B 5F 07 1B 5C 63", "bc"),
    ("1B 5B 3F 32 30 30 34 68 24 1B 5B 3F 32 30 30 34 6C", "$"),
    ("00 01 0B 0C 1A 1C 1F 41", "A"),
    # tput sgr0 under TERM=xterm; a string that never ends stops at the next
    # escape, so the prompt after it shows; CAN cuts a sequence short.
    ("61 1B 28 42 1B 5B 6D 62", "ab"),
    ("68 1B 5D 67 0A 1B 5B 3F 32 30 30 34 68 24 20", "h$ "),
    ("61 1B 5B 31 18 62", "ab"),
]


@pytest.mark.parametrize("hex_bytes, expected", CLEANING_CASES, ids=[c[0] for c in CLEANING_CASES])
def test_child_output_is_cleaned_for_the_reader(tmp_path, hex_bytes, expected):
    # The terminal turns LF into CR LF on the way; the cleaning drops the CR,
    # so the expected texts are those of the bytes as the child wrote them.
    session = _ended_session(_writer(tmp_path, bytes.fromhex(hex_bytes)))
    assert session.read_available() == expected
    assert session.get_history() == expected


def test_output_of_only_escape_bytes_reads_empty_but_is_recorded(tmp_path):
    session = _ended_session(_writer(tmp_path, b"\x1b", b"Xabc", pause=0.1))
    assert session.read_available(1) == ""
    assert session.read_available() == "Xabc"
    # Cleaned as one stream, the recorded ESC pairs with the X after it; had
    # the empty read recorded nothing, the X would survive.
    assert session.get_history() == "abc"


CJK_LINES = 6000


@pytest.mark.parametrize("loop", ["capped waits", "polled reads"])
def test_reads_of_coloured_cjk_text_join_up_to_the_whole_text(tmp_path, spawn, loop):
    # Written in pieces of a prime size, so that the terminal's reads, and
    # with them these reads, end inside characters and sequences everywhere.
    prog = support.python_child(
        tmp_path, "cjk",
        f"""\
        import os, time
        line = "\\x1b[1;35m項目%d\\x1b[0m 説明テキスト\\x1b[32m%d\\x1b[0m 終わり\\n"
        data = "".join(line % (n, n) for n in range({CJK_LINES})).encode()
        for i in range(0, len(data), 4093):
            os.write(1, data[i:i + 4093])
        os.write(1, b"END> ")
        time.sleep(60)
        """,
    )
    session = spawn(prog, True, ["END> "])
    pieces = []
    deadline = time.monotonic() + 60
    while not "".join(pieces).endswith("END> ") and time.monotonic() < deadline:
        if loop == "capped waits":
            pieces.append(session.read_until_ready(timeout_ms=10000, max_output_bytes=5000))
        elif piece := session.read_available(5000):
            pieces.append(piece)
        else:
            time.sleep(0.001)
    expected = "".join(f"項目{n} 説明テキスト{n} 終わり\n" for n in range(CJK_LINES)) + "END> "
    text = "".join(pieces)
    assert "\ufffd" not in text
    assert text == expected
    assert session.get_history() == expected
    assert len(pieces) > 10  # the output really came in many reads


# Lines whose text needs each width of str, with escapes around and inside,
# and one with ill-formed bytes (U+FFFD, which needs two bytes a character).
WIDTH_LINES = {
    "ascii": b"row %d \x1b[32mok\x1b[0m \x1b]0;title\x07done\n",
    "latin-1": "r\u00e9sum\u00e9 %d \x1b[1m\u00fc\u00df\x1b[0m\n".encode(),
    "two-byte": "\u2500\u2500 %d \x1b[7m\u9805\u76ee\x1b[0m \u2713\n".encode(),
    "four-byte": "\U0001f600 %d \x1b[33m\u00e9\u2500\U0010ffff\x1b[0m\n".encode(),
    "ill-formed": b"bad \xff\xfe %d \xe2\x82 \xc3\n",
}


@pytest.mark.parametrize("size", [1 << 17, 3 << 20], ids=["128KiB", "3MiB"])
@pytest.mark.parametrize("width", WIDTH_LINES)
def test_output_of_every_width_and_size_comes_back_exactly(tmp_path, width, size):
    # Small results are cleaned aside and copied into their str, large ones
    # straight into it; either way the text must be the cleaning of the
    # whole stream, in a str as narrow as its widest character (a str of a
    # wider kind never compares equal to the same characters).
    line = WIDTH_LINES[width]
    data = b"".join(line % n for n in range(size // len(line)))
    (tmp_path / "data").write_bytes(data)
    command = support.write_script(tmp_path, "dump", f"#!/bin/sh\ncat '{tmp_path / 'data'}'\n")
    expected = hooks.clean(data)
    waited = Morvik(command, False)
    try:
        # Quiet mode: once the child has ended the wait returns with all of it.
        assert waited.read_until_ready(timeout_ms=30000, max_output_bytes=64 << 20, quiet_ms=5000) == expected
    finally:
        waited.close()
    drained = _ended_session(command)
    assert drained.read_available(64 << 20) == expected
    assert drained.get_history() == expected  # under 4 MiB of raw output


# ------------------------------------------------------------ history


HISTORY_LIMIT = 4 * 1024 * 1024
END_MARKER = "END-OF-PAYLOAD"


def _history_payload(cut_sequence: bytes, cut_at: int):
    """Bytes for the child and the history text expected after draining them.

    The raw stream (after the terminal turns LF into CR LF) is
    filler + cut_sequence + tail, where the newest HISTORY_LIMIT raw bytes
    start `cut_at` bytes into cut_sequence.
    """
    lines_raw, lines_clean = [], []
    for i in range(60000):
        if i % 997 == 0:
            lines_raw.append(f"\x1b[1mrow {i:07d}\x1b[0m \u00e9\n".encode())
            lines_clean.append(f"row {i:07d} \u00e9\n")
        else:
            lines_raw.append(f"row {i:07d} plain text\n".encode())
            lines_clean.append(f"row {i:07d} plain text\n")
    body = b"".join(lines_raw)
    body_on_wire = len(body) + body.count(b"\n")
    tail_on_wire = HISTORY_LIMIT - (len(cut_sequence) - cut_at)
    pad = tail_on_wire - body_on_wire - len(END_MARKER)
    assert pad > 0
    filler = b"filler line, not kept\n" * 20000
    payload = filler + cut_sequence + body + b"p" * pad + END_MARKER.encode()
    expected_tail = "".join(lines_clean) + "p" * pad + END_MARKER
    return payload, expected_tail


@pytest.mark.parametrize(
    "cut_sequence, cut_at, expected_head",
    [
        # Cut after ESC [: the parameters and final byte are ordinary bytes.
        (b"\x1b[31m", 2, "31m"),
        # Cut after the first byte of the euro sign: each continuation byte
        # left becomes one U+FFFD.
        ("\u20ac".encode(), 1, "\ufffd\ufffd"),
    ],
    ids=["inside-escape-sequence", "inside-character"],
)
def test_history_keeps_the_newest_4_mib_of_raw_output(tmp_path, cut_sequence, cut_at, expected_head):
    payload, expected_tail = _history_payload(cut_sequence, cut_at)
    (tmp_path / "payload").write_bytes(payload)
    script = support.write_script(
        tmp_path,
        "bulk",
        f"""\
        #!/bin/sh
        cat '{tmp_path / "payload"}'
        exec sleep 60
        """,
    )
    session = Morvik(script, True, [END_MARKER])
    try:
        text = session.read_until_ready(timeout_ms=60000, max_output_bytes=64 << 20)
        assert text.endswith(END_MARKER)
        assert text.startswith("filler line, not kept\n")
        history = session.get_history()
    finally:
        session.close()
    assert len(history) == len(expected_head) + len(expected_tail)
    assert history[: len(expected_head)] == expected_head
    assert history[len(expected_head):] == expected_tail


def test_fresh_session_has_empty_history(spawn):
    session = spawn("cat", False)
    assert session.get_history() == ""
    assert session.get_history() == ""


def test_history_is_not_consumed_by_reading_it(tmp_path):
    session = _ended_session(_writer(tmp_path, b"one ", b"two", pause=0.1))
    assert session.read_available() == "one two"
    assert session.get_history() == "one two"
    assert session.get_history() == "one two"


# ------------------------------------------------------------ input


class TestInterrupt:
    def test_ctrl_c_interrupts_a_python_loop(self, tmp_path, spawn):
        script = support.python_child(
            tmp_path,
            "loop",
            """\
            import time
            try:
                # Inside the try: the interrupt may land before print returns.
                print("READY", flush=True)
                while True:
                    time.sleep(0.01)
            except KeyboardInterrupt:
                print("INTERRUPTED", flush=True)
            time.sleep(60)
            """,
        )
        session = spawn(script, False)
        assert support.collect(session, "READY\n") == "READY\n"
        result, took = support.elapsed(session.send_ctrl_c)
        assert result is None
        assert took < 0.5
        assert support.collect(session, "INTERRUPTED\n", timeout=5) == "INTERRUPTED\n"
        assert session.is_alive()

    def test_ctrl_c_brings_a_shell_back_from_a_sleep(self, tmp_path, spawn):
        session = spawn(support.shell_child(tmp_path), True, [support.SHELL_PROMPT])
        assert session.read_until_ready(timeout_ms=10000).endswith(support.SHELL_PROMPT)
        busy = session.send_and_read_until_ready("sleep 100", timeout_ms=500)
        assert support.SHELL_PROMPT not in busy
        session.send_ctrl_c()
        text, took = support.elapsed(session.read_until_ready, timeout_ms=10000)
        assert text.endswith(support.SHELL_PROMPT)
        assert took < 5
        status = session.send_and_read_until_ready("echo $?", timeout_ms=10000)
        assert status == f"\n130\n{support.SHELL_PROMPT}"


def test_line_longer_than_the_canonical_limit_reaches_a_raw_mode_child(tmp_path, spawn):
    # Canonical mode would cut a line at 4095 bytes, so the child switches to
    # raw mode and announces it before the long line is sent.
    script = support.python_child(
        tmp_path,
        "rawread",
        """\
        import hashlib, os, time, tty
        tty.setraw(0)
        os.write(1, b"RAW\\n")
        data = b""
        while len(data) < 9001:
            data += os.read(0, 9001 - len(data))
        os.write(1, f"GOT {len(data)} {hashlib.sha256(data).hexdigest()}\\n".encode())
        time.sleep(60)
        """,
    )
    # 9000 bytes of UTF-8: mostly ASCII in a varying pattern, three 2-byte
    # characters, so lost, reordered or re-encoded bytes all change the hash.
    line = "".join(chr(33 + (i * 13) % 90) for i in range(8994)) + "\u00e9\u00f8\u00df"
    assert len(line.encode()) == 9000
    digest = hashlib.sha256(line.encode() + b"\n").hexdigest()
    session = spawn(script, False)
    assert support.collect(session, "RAW\n") == "RAW\n"
    answer = session.send_and_read_until_ready(line, timeout_ms=15000, quiet_ms=300)
    assert answer == f"GOT 9001 {digest}\n"


# ------------------------------------------------------------ settings


class TestReadyMarkerSettings:
    def _prompt_child(self, tmp_path):
        # "(gdb) " arrives first, "second" after a pause long enough to end
        # a marker settle but shorter than the quiet time used below.
        return support.python_child(
            tmp_path,
            "prompt",
            """\
            import os, time
            os.write(1, b"first (gdb) ")
            time.sleep(0.15)
            os.write(1, b"second")
            time.sleep(60)
            """,
        )

    def test_bare_string_in_constructor_starts_nothing(self, tmp_path):
        before = support.Resources.snapshot()
        with pytest.raises(TypeError) as info:
            Morvik(self._prompt_child(tmp_path), True, "(gdb) ")
        assert str(info.value) == "argument 'ready_markers': Can't extract `str` to `Vec`"
        assert support.settled_difference(before) == {}

    def test_empty_marker_list_switches_an_interactive_session_to_quiet_mode(self, tmp_path, spawn):
        session = spawn(self._prompt_child(tmp_path), True)
        session.set_ready_markers([])
        text = session.read_until_ready(timeout_ms=5000, quiet_ms=600, settle_ms=0)
        assert text == "first (gdb) second"

    def test_tuple_of_markers_is_accepted_and_replaces_the_defaults(self, tmp_path, spawn):
        session = spawn(self._prompt_child(tmp_path), True)
        session.set_ready_markers(("nothing like it", "second"))
        text, took = support.elapsed(session.read_until_ready, timeout_ms=5000)
        # "(gdb) " no longer ends the wait; "second" does.
        assert text == "first (gdb) second"
        assert took < 3


class TestSessionIdentity:
    def test_interactive_flag_and_command_are_reported_unchanged(self, tmp_path):
        script = support.write_script(tmp_path, "ü name", "#!/bin/sh\nexec cat\n")
        for interactive in (True, False):
            session = Morvik(script, interactive)
            try:
                assert session.is_interactive() is interactive
                assert session.get_initial_command() == script
                session.reset()
                assert session.is_interactive() is interactive
                assert session.get_initial_command() == script
                session.close()
                assert session.get_initial_command() == script
            finally:
                session.close()

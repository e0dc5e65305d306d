"""The blocking reads: waiting for a ready marker or for quiet output.

Protects: the zero and cap edges (nothing taken, a cut chunk's rest kept for
the next read), markers found across chunks, after colour codes, in the middle
of a chunk or empty, the settle and quiet timings, timeouts on silent
children, quick returns once the child is gone, exact round trips with real
interactive programs, and that other Python threads run while a wait blocks.
Must never depend on chunk boundaries the kernel may merge: children pause
well past the 25 ms gaps the waits use wherever a boundary matters.
"""

import shutil
import threading
import time

import pytest

from morvik import Morvik

import support


def _scripted(tmp_path, steps, name="scripted", flag=None):
    """A child that writes (delay_seconds, bytes) steps in order, then idles.

    With `flag`, the child creates that file once everything is written, so a
    test can know the output is on its way without reading any of it.
    """
    flag_code = f"open({str(flag)!r}, 'w').close()" if flag else ""
    return support.python_child(
        tmp_path,
        name,
        f"""\
        import os, time
        for delay, data in {[(d, bytes(b)) for d, b in steps]!r}:
            if delay:
                time.sleep(delay)
            os.write(1, data)
        {flag_code}
        time.sleep(60)
        """,
    )


def _queued(flag):
    """Wait until the child has written everything and the reader took it."""
    assert support.wait_until(flag.exists, timeout=10), "child never finished writing"
    # The reader thread is blocked in read() on the master and wakes at once;
    # this only covers a busy machine's scheduling delay.
    time.sleep(0.3)


MODES = pytest.mark.parametrize("interactive", [True, False], ids=["marker", "quiet"])


# ------------------------------------------------------------ zero edges


# Serial: each answer hangs on tens of milliseconds of wall-clock time (a
# bound of 0.2 s, a child's 5 ms pauses against the 25 ms settle gap, a
# thread's longest pause), which the suite's own workers would eat into.
@pytest.mark.serial
class TestZeroLimits:
    @MODES
    def test_zero_timeout_returns_at_once_and_takes_nothing(self, tmp_path, interactive, spawn):
        flag = tmp_path / "written"
        session = spawn(_scripted(tmp_path, [(0, b"queued (gdb) ")], flag=flag), interactive)
        _queued(flag)
        text, took = support.elapsed(session.read_until_ready, timeout_ms=0)
        assert text == ""
        assert took < 0.2
        assert session.get_history() == ""
        assert session.read_available() == "queued (gdb) "

    @MODES
    def test_zero_cap_returns_at_once_and_takes_nothing(self, tmp_path, interactive, spawn):
        flag = tmp_path / "written"
        session = spawn(_scripted(tmp_path, [(0, b"queued (gdb) ")], flag=flag), interactive)
        _queued(flag)
        text, took = support.elapsed(
            session.read_until_ready, timeout_ms=5000, max_output_bytes=0
        )
        assert text == ""
        assert took < 0.2
        text, took = support.elapsed(
            session.send_and_read_until_ready, "ignored", timeout_ms=5000, max_output_bytes=0
        )
        assert text == ""
        assert took < 0.2
        assert session.get_history() == ""
        assert session.read_available() == "queued (gdb) "


# ------------------------------------------------------------ byte cap


@MODES
def test_cap_inside_a_chunk_ends_the_wait_and_keeps_the_rest(tmp_path, interactive, spawn):
    session = spawn(_scripted(tmp_path, [(0, b"0123456789A")]), interactive)
    text, took = support.elapsed(
        session.read_until_ready, timeout_ms=5000, max_output_bytes=5
    )
    assert text == "01234"
    assert took < 2
    assert session.get_history() == "01234"
    assert support.collect(session, "A") == "56789A"
    assert session.get_history() == "0123456789A"


def test_cap_counts_raw_bytes_across_chunks(tmp_path, spawn):
    session = spawn(_scripted(tmp_path, [(0, b"abcd"), (0.1, b"efgh")]), False)
    text = session.read_until_ready(timeout_ms=5000, max_output_bytes=6, quiet_ms=1000)
    assert text == "abcdef"
    assert session.read_until_ready(timeout_ms=5000, quiet_ms=100) == "gh"


# ------------------------------------------------------------ marker mode


class TestMarkers:
    def test_stale_prompt_in_the_channel_ends_the_next_wait(self, tmp_path, spawn):
        flag = tmp_path / "written"
        script = support.python_child(
            tmp_path,
            "stale",
            f"""\
            import os, sys
            os.write(1, b"old output\\n(gdb) ")
            open({str(flag)!r}, "w").close()
            for line in sys.stdin:
                os.write(1, b"answer " + line.strip().encode() + b"\\n(gdb) ")
            """,
        )
        session = spawn(script, True)
        _queued(flag)
        text, took = support.elapsed(
            session.send_and_read_until_ready, "x", timeout_ms=10000
        )
        assert text.startswith("old output\n(gdb) ")
        assert took < 2
        whole = text + support.collect(
            session, lambda t: (text + t).endswith("answer x\n(gdb) "), timeout=5
        )
        assert whole == "old output\n(gdb) answer x\n(gdb) "

    def test_marker_split_across_two_chunks_is_seen(self, tmp_path, spawn):
        session = spawn(_scripted(tmp_path, [(0, b"(gd"), (0.05, b"b) ")]), True)
        text, took = support.elapsed(session.read_until_ready, timeout_ms=5000)
        assert text == "(gdb) "
        assert took < 2.5

    def test_marker_followed_by_more_text_is_seen(self, tmp_path, spawn):
        session = spawn(_scripted(tmp_path, [(0, b"(gdb) and then some")]), True)
        text, took = support.elapsed(session.read_until_ready, timeout_ms=5000)
        assert text == "(gdb) and then some"
        assert took < 2.5

    @pytest.mark.parametrize(
        "prompt",
        [b"\x1b[1;32m(gdb)\x1b[0m ", b"(g\x1b[0mdb\x1b]0;title\x07) "],
        ids=["around", "inside"],
    )
    def test_coloured_prompt_is_seen(self, tmp_path, prompt, spawn):
        session = spawn(_scripted(tmp_path, [(0, prompt)]), True)
        text, took = support.elapsed(session.read_until_ready, timeout_ms=5000)
        assert text == "(gdb) "
        assert took < 2.5

    def test_marker_made_of_replacement_characters_is_seen(self, tmp_path, spawn):
        # Invalid UTF-8 is cleaned into U+FFFD, which a marker may contain:
        # its bytes are nowhere in the raw output, yet the prompt is there.
        session = spawn(_scripted(tmp_path, [(0, b"noise \xff\xfe> ")]), True, ["\ufffd\ufffd> "])
        text, took = support.elapsed(session.read_until_ready, timeout_ms=5000)
        assert text == "noise \ufffd\ufffd> "
        assert took < 2.5

    def test_bulk_output_without_the_marker_then_the_marker(self, tmp_path, spawn):
        # Megabytes in which no byte of the prompt occurs, then the prompt:
        # the wait must neither stop early nor miss the end.
        body = b"x" * 4095 + b"\n"
        session = spawn(
            _scripted(tmp_path, [(0, body * 512), (0.05, b"END> ")]), True, ["END> "]
        )
        text, took = support.elapsed(
            session.read_until_ready, timeout_ms=10000, max_output_bytes=1 << 23, settle_ms=0
        )
        assert text == "x" * 4095 + ("\n" + "x" * 4095) * 511 + "\nEND> "
        assert took < 8

    def test_marker_is_looked_for_in_order_given_and_custom_markers_work(self, tmp_path, spawn):
        session = spawn(_scripted(tmp_path, [(0, b"pwndbg> ")]), True, ["nope", "pwndbg> "])
        text, took = support.elapsed(session.read_until_ready, timeout_ms=5000)
        assert text == "pwndbg> "
        assert took < 2.5

    def test_empty_marker_ends_the_wait_at_the_first_chunk(self, tmp_path, spawn):
        session = spawn(
            _scripted(tmp_path, [(0, b"first"), (0.15, b"second")]), True, [""]
        )
        text, took = support.elapsed(session.read_until_ready, timeout_ms=5000)
        assert text == "first"
        assert took < 2
        assert support.collect(session, "second") == "second"

    def test_marker_never_seen_returns_everything_at_the_timeout(self, tmp_path, spawn):
        session = spawn(_scripted(tmp_path, [(0, b"no prompt here")]), True)
        text, took = support.elapsed(session.read_until_ready, timeout_ms=700)
        assert text == "no prompt here"
        assert 0.6 <= took < 2.5


@pytest.mark.serial
class TestSettle:
    def test_settle_zero_returns_right_after_the_marker(self, tmp_path, spawn):
        session = spawn(_scripted(tmp_path, [(0, b"(gdb) "), (0.2, b"after")]), True)
        assert session.read_until_ready(timeout_ms=5000, settle_ms=0) == "(gdb) "
        assert support.collect(session, "after") == "after"

    def test_settle_collects_output_that_follows_the_marker_closely(self, tmp_path, spawn):
        session = spawn(_scripted(tmp_path, [(0, b"(gdb) "), (0.005, b"after")]), True)
        assert session.read_until_ready(timeout_ms=5000) == "(gdb) after"

    def test_output_that_keeps_coming_is_collected_until_settle_ends(self, tmp_path, spawn):
        lines = [f"line {i:02d}\n".encode() for i in range(30)]  # every 5 ms: 150 ms
        everything = "(gdb) " + b"".join(lines).decode()
        steps = [(0, b"(gdb) ")] + [(0.005, line) for line in lines]
        # A busy machine can hold the child, or the reader, for more than the
        # 25 ms gap that rightly ends a settle; such a run must lose nothing,
        # and one of three must see the stream unbroken.
        for attempt in range(3):
            session = spawn(_scripted(tmp_path, steps, name=f"scripted{attempt}"), True)
            text = session.read_until_ready(timeout_ms=5000, settle_ms=200)
            if text == everything:
                return
            assert everything.startswith(text)
            assert text + support.collect(session, "line 29\n") == everything
        raise AssertionError("a 25 ms gap ended the settle early in all three runs")

    def test_output_after_a_pause_is_left_for_the_next_read(self, tmp_path, spawn):
        session = spawn(_scripted(tmp_path, [(0, b"(gdb) "), (0.06, b"late")]), True)
        text, took = support.elapsed(
            session.read_until_ready, timeout_ms=5000, settle_ms=1000
        )
        assert text == "(gdb) "
        assert took < 0.9  # the 25 ms gap ended it, not the 1 s settle
        assert support.collect(session, "late") == "late"
        assert session.get_history() == "(gdb) late"


# ------------------------------------------------------------ quiet mode


class TestQuiet:
    def test_quiet_zero_returns_after_the_first_chunk(self, tmp_path, spawn):
        session = spawn(_scripted(tmp_path, [(0, b"one"), (0.06, b"two")]), False)
        assert session.read_until_ready(timeout_ms=5000, quiet_ms=0) == "one"
        assert support.collect(session, "two") == "two"

    def test_quiet_time_spans_pauses_shorter_than_it(self, tmp_path, spawn):
        session = spawn(_scripted(tmp_path, [(0, b"one"), (0.06, b"two")]), False)
        text, took = support.elapsed(
            session.read_until_ready, timeout_ms=5000, quiet_ms=400
        )
        assert text == "onetwo"
        assert took < 3

    @MODES
    def test_silent_child_returns_empty_at_the_timeout(self, tmp_path, interactive, spawn):
        script = support.write_script(tmp_path, "silent", "#!/bin/sh\nexec sleep 100\n")
        session = spawn(script, interactive)
        text, took = support.elapsed(session.read_until_ready, timeout_ms=500)
        assert text == ""
        assert 0.45 <= took < 2.5

    def test_interactive_session_without_markers_waits_for_quiet(self, tmp_path, spawn):
        session = spawn(
            _scripted(tmp_path, [(0, b"(gdb) "), (0.15, b"more")]), True, []
        )
        # settle_ms=0 would end a marker wait at "(gdb) "; quiet mode
        # ignores it and spans the 150 ms pause.
        text = session.read_until_ready(timeout_ms=5000, quiet_ms=500, settle_ms=0)
        assert text == "(gdb) more"


@MODES
def test_wait_ending_inside_an_escape_returns_at_once_and_leaves_it_for_the_next(tmp_path, interactive, spawn):
    flag = tmp_path / "go-on"
    prog = support.python_child(
        tmp_path, "prompt-then-escape",
        f"""\
        import os, time
        os.write(1, b"ready (gdb) \\x1b[")
        while not os.path.exists({str(flag)!r}):
            time.sleep(0.01)
        # Longer than the quiet time: the held ESC [ that the next wait takes
        # at once must not count as output the child just wrote.
        time.sleep(0.5)
        os.write(1, b"31mred\\x1b[0m (gdb) ")
        time.sleep(60)
        """,
    )
    session = spawn(prog, interactive)
    text, took = support.elapsed(session.read_until_ready, timeout_ms=20000, quiet_ms=100)
    assert text == "ready (gdb) "
    assert took < 10
    flag.touch()
    assert session.read_until_ready(timeout_ms=20000, quiet_ms=100) == "red (gdb) "
    assert session.get_history() == "ready (gdb) red (gdb) "


@MODES
@pytest.mark.parametrize("first", ["wait", "drain"])
def test_ended_child_keeps_its_output_and_makes_waits_return_at_once(tmp_path, interactive, spawn, first):
    script = support.write_script(tmp_path, "bye", "#!/bin/sh\nprintf bye\n")
    session = spawn(script, interactive)
    assert support.wait_exited(session)
    if first == "wait":
        text, took = support.elapsed(session.read_until_ready, timeout_ms=10000)
        assert text == "bye"
        assert took < 2
    else:
        assert support.collect(session, "bye") == "bye"
    assert session.read_available() == ""
    text, took = support.elapsed(session.read_until_ready, timeout_ms=10000)
    assert text == ""
    assert took < 0.5
    assert session.is_alive() is False
    assert session.get_history() == "bye"


def test_terminal_is_drained_between_waits(tmp_path, spawn):
    # A wait reads the terminal itself; once it returns, the output must go
    # on being taken off the terminal while the caller does something else,
    # or a program that writes more than the terminal holds would stall.
    flag = tmp_path / "written"
    script = support.python_child(
        tmp_path,
        "writer",
        f"""\
        import os, time
        os.write(1, b"READY> ")
        time.sleep(0.5)
        for _ in range(64):
            os.write(1, b"x" * 65535 + b"\\n")
        open({str(flag)!r}, "w").close()
        time.sleep(60)
        """,
    )
    session = spawn(script, True, ["READY> "])
    assert session.read_until_ready(timeout_ms=10000, settle_ms=0) == "READY> "
    assert support.wait_until(flag.exists, timeout=20), "the program was held by a full terminal"
    text = support.collect(session, lambda t: t.count("\n") == 64, max_bytes=1 << 20)
    assert text == ("x" * 65535 + "\n") * 64


def test_output_keeps_its_order_whoever_reads_it(tmp_path, spawn):
    # Lines the reader queued while nothing waited, then lines the wait reads
    # itself, then, past what a wait reads itself, lines the reader takes
    # again: one stream, in order, every line once.
    script = support.python_child(
        tmp_path,
        "numbered",
        """\
        import os, sys, time
        lines = lambda a, b: b"".join(b"%07d\\n" % i for i in range(a, b))
        os.write(1, lines(0, 20000) + b"GO> ")
        sys.stdin.readline()
        os.write(1, lines(20000, 60000) + b"END> ")
        time.sleep(60)
        """,
    )
    session = spawn(script, True, ["END> "])
    time.sleep(0.5)
    text = session.send_and_read_until_ready("go", timeout_ms=20000, max_output_bytes=1 << 24, settle_ms=0)
    numbered = lambda a, b: "".join("%07d\n" % i for i in range(a, b))
    assert text == numbered(0, 20000) + "GO> " + numbered(20000, 60000) + "END> "


# ------------------------------------------------------------ real programs

ROUND_TRIPS = 60


def test_bash_round_trips_return_exactly_answer_and_prompt(tmp_path, spawn):
    session = spawn(support.shell_child(tmp_path), True, [support.SHELL_PROMPT])
    assert session.read_until_ready(timeout_ms=10000) == support.SHELL_PROMPT
    for i in range(ROUND_TRIPS):
        answer = session.send_and_read_until_ready(f"echo $(({i}*7))", timeout_ms=10000)
        # Echo is off; the leading newline is the shell's own line end
        # after it accepted the input.
        assert answer == f"\n{i * 7}\n{support.SHELL_PROMPT}", i


def test_python_repl_round_trips_return_exactly_answer_and_prompt(tmp_path, spawn):
    session = spawn(
        support.python_repl_child(tmp_path),
        True,
        [support.PYTHON_PROMPT, support.PYTHON_CONTINUATION],
    )
    assert session.read_until_ready(timeout_ms=10000) == support.PYTHON_PROMPT
    for i in range(ROUND_TRIPS):
        answer = session.send_and_read_until_ready(f"{i}*7", timeout_ms=10000)
        assert answer == f"{i * 7}\n{support.PYTHON_PROMPT}", i


@pytest.mark.skipif(shutil.which("gdb") is None, reason="gdb is not installed")
def test_gdb_round_trips_return_exactly_answer_and_prompt(tmp_path, spawn):
    session = spawn(support.gdb_child(tmp_path), True)
    assert session.read_until_ready(timeout_ms=20000) == support.GDB_PROMPT
    for i in range(ROUND_TRIPS):
        answer = session.send_and_read_until_ready(f"print {i}*7", timeout_ms=10000)
        assert answer == f"\n${i + 1} = {i * 7}\n{support.GDB_PROMPT}", i


# ------------------------------------------------------------ interpreter lock


class _Spinner(threading.Thread):
    """Counts its own iterations and the longest pause between two of them."""

    def __init__(self):
        super().__init__(daemon=True)
        self.stop = False
        self.measuring = False
        self.count = 0
        self.longest_gap = 0.0

    def run(self):
        last = time.monotonic()
        while not self.stop:
            now = time.monotonic()
            if self.measuring:
                self.count += 1
                self.longest_gap = max(self.longest_gap, now - last)
            last = now


@pytest.mark.serial
@MODES
def test_other_threads_run_while_a_wait_blocks(tmp_path, interactive):
    script = support.write_script(tmp_path, "silent", "#!/bin/sh\nexec sleep 100\n")
    session = Morvik(script, interactive)
    spinner = _Spinner()
    spinner.start()
    try:
        time.sleep(0.05)
        spinner.measuring = True
        text, took = support.elapsed(session.read_until_ready, timeout_ms=1000)
        spinner.measuring = False
        assert text == ""
        assert took >= 0.95
        assert spinner.count > 1000
        # Held through the wait, the lock would stop the spinner for the
        # whole second; a loaded machine alone may stall it a little.
        assert spinner.longest_gap < 0.5
    finally:
        spinner.stop = True
        spinner.join()
        session.close()

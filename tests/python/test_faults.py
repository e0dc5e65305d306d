"""Sessions whose child program misbehaves, whose input cannot be delivered,
or whose host is being hit by signals.

Protects: reads, waits and teardown staying bounded and exact when the child
exits at once, closes its terminal, leaves a process holding the terminal,
ignores or blocks every signal, stops itself, moves to another process group
or session, or writes bytes that are not text; a write to a child that never
reads giving up with a RuntimeError instead of holding the interpreter
forever; and signal handlers in the host (SIGCHLD, a fast SIGALRM timer, a
handler that reaps every child) neither failing a call nor losing output nor
leaving a zombie. Must never leave a process behind: anything that can
outlive its session is killed by pid, and anything that could hang runs in a
separate interpreter with a time limit.
"""

import os
import re
import signal
import sys
import threading
import time

import pytest

from morvik import Morvik

import support
from hooks import clean

def assert_clean_text(text: str) -> None:
    """What every returned text must be: valid, with no control but TAB and LF."""
    text.encode("utf-8")  # a lone surrogate would raise here
    bad = [c for c in text if (ord(c) < 0x20 and c not in "\t\n")]
    assert not bad, f"control characters in cleaned text: {bad[:10]!r}"


def pid_from(text: str, tag: str) -> int:
    found = re.search(rf"{tag}=(\d+)", text)
    assert found, f"no {tag}=<pid> in {text!r}"
    return int(found.group(1))


def reported_pid(session, tag: str) -> tuple[str, int]:
    """Reads until the child's "TAG=<pid>" line is complete: (text read, pid)."""
    text = support.collect(session, lambda t: re.search(rf"{tag}=\d+\n", t))
    return text, pid_from(text, tag)


def process_state(pid: int) -> str:
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0]


@pytest.fixture(autouse=True, scope="module")
def _runtime_helper_threads_started():
    """A sanitizer runtime starts a helper thread of its own the first time
    the process starts one; let that happen before any test counts threads."""
    helper = threading.Thread(target=lambda: None)
    helper.start()
    helper.join()


# ------------------------------------------------------------ children that misbehave


class TestChildThatEndsOrLetsGo:
    def test_child_that_exits_at_once_answers_every_method_without_waiting(self, script):
        before = support.Resources.snapshot()
        session = Morvik(script("exit 0\n"), True)
        assert support.wait_exited(session, timeout=5)
        # The reader saw the end of the output, so waits return at once
        # instead of running to their deadlines.
        text, took = support.elapsed(session.read_until_ready, timeout_ms=5000)
        assert (text, took < 1) == ("", True)
        assert session.read_available() == ""
        assert session.get_history() == ""
        # A line to a terminal nobody holds any more: the terminal still
        # takes it into its buffer, and the wait finds the output ended.
        answer, took = support.elapsed(session.send_and_read_until_ready, "anyone?", timeout_ms=5000)
        assert (answer, took < 1) == ("", True)
        _, took = support.elapsed(session.close)
        assert took < 0.5
        del session
        assert support.settled_difference(before) == {}

    def test_child_that_closes_its_terminal_but_runs_on(self, tmp_path):
        # Without a descriptor of the terminal the child no longer holds its
        # subordinate side open, so the output ends although the child runs.
        prog = support.write_script(
            tmp_path, "closer",
            """\
            #!/bin/sh
            echo "CLOSER=$$"
            exec 0<&- 1>&- 2>&-
            exec sleep 1000
            """,
        )
        before = support.Resources.snapshot()
        session = Morvik(prog, False)
        pid = None
        try:
            text, pid = reported_pid(session, "CLOSER")
            assert support.wait_until(lambda: process_state(pid) == "S")
            waited, took = support.elapsed(session.read_until_ready, timeout_ms=5000)
            assert waited == "" and took < 1
            assert session.is_alive() is True
            # SIGHUP ends the sleep even without a terminal.
            _, took = support.elapsed(session.close)
            assert took < 1
            assert session.is_alive() is False
            assert not support.pid_exists(pid)
            del session
            assert support.settled_difference(before) == {}
        finally:
            if pid is not None:
                support.kill_quietly(pid)

    def test_background_writer_outlives_the_child_and_close_stays_bounded(self, tmp_path):
        # The child leaves a process behind that keeps the terminal, keeps
        # writing and ignores the stop sequence's polite signals.
        prog = support.write_script(
            tmp_path, "leaver",
            """\
            #!/bin/sh
            sh -c 'trap "" HUP INT TERM; echo "HOLDER=$$"; i=0; while :; do i=$((i+1)); echo "tick $i"; sleep 0.05; done' &
            sleep 0.2
            exit 0
            """,
        )
        before = support.Resources.snapshot()
        session = Morvik(prog, False)
        holder = None
        try:
            text, holder = reported_pid(session, "HOLDER")
            assert support.wait_exited(session)
            # The child is gone but its output goes on: the waits keep
            # delivering it in order instead of reporting the end.
            later = session.read_until_ready(timeout_ms=3000, quiet_ms=400)
            ticks = [int(n) for n in re.findall(r"tick (\d+)", text + later)]
            assert len(ticks) >= 3
            assert ticks == list(range(ticks[0], ticks[0] + len(ticks)))
            _, took = support.elapsed(session.close)
            assert took < 3, took
            assert support.pid_exists(holder)
            # Nothing of the session is left waiting on the held terminal.
            assert support.settled_difference(before, ignore=("descriptors",)) == {}
        finally:
            if holder is not None:
                support.kill_quietly(holder)
        del session
        assert support.settled_difference(before) == {}


class TestChildThatResists:
    # Closed, or dropped without a close: four polite signals with a pause
    # each, then SIGKILL, all inside that call.
    @pytest.mark.parametrize("end", ["close", "drop"])
    def test_child_ignoring_and_blocking_every_catchable_signal_is_killed(self, tmp_path, end):
        prog = support.python_child(
            tmp_path, "deaf",
            """\
            import os, signal, time
            catchable = [s for s in signal.valid_signals()
                         if s not in (signal.SIGKILL, signal.SIGSTOP)]
            for s in catchable:
                try:
                    signal.signal(s, signal.SIG_IGN)
                except (OSError, ValueError):
                    pass
            signal.pthread_sigmask(signal.SIG_BLOCK, catchable)
            print(f"DEAF={os.getpid()}", flush=True)
            while True:
                time.sleep(1)
            """,
        )
        before = support.Resources.snapshot()
        session = Morvik(prog, False)
        pid = None
        try:
            _, pid = reported_pid(session, "DEAF")
            # Ctrl-C is just a byte to a terminal whose signals are ignored.
            session.send_ctrl_c()
            assert session.is_alive() is True
            if end == "close":
                _, took = support.elapsed(session.close)
                assert session.is_alive() is False
            began = time.monotonic()
            del session
            if end == "drop":
                took = time.monotonic() - began
            assert 0.35 <= took < 3, took
            assert not support.pid_exists(pid)
            assert support.settled_difference(before) == {}
        finally:
            if pid is not None:
                support.kill_quietly(pid)

    def test_child_that_stops_itself_is_alive_and_close_still_ends_it(self, tmp_path):
        prog = support.write_script(
            tmp_path, "stopper",
            """\
            #!/bin/sh
            echo "STOPPER=$$"
            kill -STOP $$
            echo "RESUMED"
            exec sleep 1000
            """,
        )
        before = support.Resources.snapshot()
        session = Morvik(prog, False)
        pid = None
        try:
            _, pid = reported_pid(session, "STOPPER")
            assert support.wait_until(lambda: process_state(pid) == "T")
            # Stopped is not ended.
            assert session.is_alive() is True
            # Input to a stopped child waits in the terminal; the wait ends
            # at its deadline with nothing.
            answer, took = support.elapsed(session.send_and_read_until_ready, "hello", timeout_ms=300)
            assert answer == "" and took < 2
            # SIGCONT in the stop sequence lets the pending SIGHUP through.
            _, took = support.elapsed(session.close)
            assert took < 1.5, took
            assert not support.pid_exists(pid)
            del session
            assert support.settled_difference(before) == {}
        finally:
            if pid is not None:
                support.kill_quietly(pid)

    @pytest.mark.parametrize("escape", ["setpgid", "setsid"])
    def test_grandchild_in_its_own_group_or_session_keeps_the_terminal(self, tmp_path, escape):
        # The stop sequence signals the child's pid; a grandchild that moved
        # out of the child's process group (or session) is not signalled and
        # keeps the terminal open. Teardown must not wait for it.
        move = "os.setpgid(0, 0)" if escape == "setpgid" else "os.setsid()"
        prog = support.python_child(
            tmp_path, "escaper",
            f"""\
            import os, signal, sys, time
            if os.fork() == 0:
                {move}
                for s in (signal.SIGHUP, signal.SIGINT, signal.SIGTERM):
                    signal.signal(s, signal.SIG_IGN)
                print(f"ESCAPED={{os.getpid()}} pgid={{os.getpgid(0)}} sid={{os.getsid(0)}}", flush=True)
                while True:
                    time.sleep(0.1)
            # The child itself cannot change group: it leads its session.
            try:
                os.setpgid(0, 0)
                print("CHILD MOVED", flush=True)
            except PermissionError:
                print("CHILD STAYS", flush=True)
            while True:
                time.sleep(1)
            """,
        )
        before = support.Resources.snapshot()
        session = Morvik(prog, False)
        grandchild = None
        try:
            text = support.collect(
                session, lambda t: "ESCAPED=" in t and "CHILD " in t and t.endswith("\n"),
            )
            grandchild = pid_from(text, "ESCAPED")
            assert "CHILD STAYS" in text
            fields = dict(re.findall(r"(pgid|sid)=(\d+)", text))
            assert int(fields["pgid"]) == grandchild
            if escape == "setsid":
                assert int(fields["sid"]) == grandchild
            _, took = support.elapsed(session.close)
            assert took < 3, took
            assert session.is_alive() is False
            assert support.pid_exists(grandchild)
            assert support.settled_difference(before, ignore=("descriptors",)) == {}
        finally:
            if grandchild is not None:
                support.kill_quietly(grandchild)
        del session
        assert support.settled_difference(before) == {}


class TestChildThatWritesGarbage:
    def test_invalid_utf8_and_unterminated_sequences_come_back_as_clean_text(self, tmp_path, spawn):
        flag = tmp_path / "go-on"
        prog = support.python_child(
            tmp_path, "garbage",
            f"""\
            import os, time
            # One write each, so each arrives as one read of the terminal.
            os.write(1, b"ok\\xff\\xfe \\xe2\\x82 \\x1b[31")
            while not os.path.exists({str(flag)!r}):
                time.sleep(0.01)
            os.write(1, b"2mred\\x1b[0m \\xf0\\x9f\\x98\\x80 \\x1b]0;title")
            time.sleep(0.3)
            os.write(1, b"\\x07after\\x1bPdcs\\x1b\\\\ \\x1b")
            time.sleep(1000)
            """,
        )
        session = spawn(prog, False)
        first = support.collect(session, lambda t: t.startswith("ok"))
        # The sequence the write ends inside waits for the rest of it.
        assert first == "ok\ufffd\ufffd \ufffd "
        flag.touch()
        second = session.read_until_ready(timeout_ms=5000, quiet_ms=150)
        assert second == "red \U0001F600 "
        third = session.read_until_ready(timeout_ms=5000, quiet_ms=150)
        assert third == "after "
        assert session.get_history() == "ok\ufffd\ufffd \ufffd red \U0001F600 after "

    def test_random_bytes_arrive_whole_and_cleaned(self, tmp_path, spawn):
        # A fixed seed keeps any failure reproducible.
        size = 1 << 20
        prog = support.python_child(
            tmp_path, "noise",
            f"""\
            import os, random, time
            data = random.Random(20240607).randbytes({size})
            view = memoryview(data + b"\\x07\\x1b\\\\\\x1b[0m\\nEND-OF-NOISE\\n")
            while view:
                view = view[os.write(1, view):]
            time.sleep(1000)
            """,
        )
        import random

        # BEL, then ST, then a complete CSI: whatever string or sequence the
        # noise left open ends before the marker, so the marker shows.
        raw = random.Random(20240607).randbytes(size) + b"\x07\x1b\\\x1b[0m\nEND-OF-NOISE\n"
        # The terminal turns each LF into CR LF on the way out (ONLCR). Ctrl
        # characters in output are not special, so nothing else changes.
        on_the_wire = raw.replace(b"\n", b"\r\n")
        session = spawn(prog, False)
        text, reads = "", 0
        deadline = time.monotonic() + 60
        # Each read is cleaned on its own; all of them must be text.
        while not text.endswith("\nEND-OF-NOISE\n") and time.monotonic() < deadline:
            piece = session.read_until_ready(timeout_ms=10000, quiet_ms=300, max_output_bytes=48_000)
            assert_clean_text(piece)
            text += piece
            reads += 1
        assert text.endswith("\nEND-OF-NOISE\n")
        assert reads > 1
        # The history holds exactly the raw stream, in order, no byte
        # lost or repeated, so its cleaning is the stream's cleaning.
        assert session.get_history() == clean(on_the_wire)

    @pytest.mark.slow
    def test_100_mib_without_a_newline_reads_through_with_a_cap(self, tmp_path, spawn):
        mib = 100
        prog = support.python_child(
            tmp_path, "longline",
            f"""\
            import os, time
            block = memoryview(b"x" * (1 << 20))
            for _ in range({mib}):
                view = block
                while view:
                    view = view[os.write(1, view):]
            os.write(1, b"\\nEND\\n")
            time.sleep(1000)
            """,
        )
        session = spawn(prog, False)
        count, tail, reads = 0, "", 0
        cap = 1 << 20
        deadline = time.monotonic() + 120
        while not tail.endswith("END\n") and time.monotonic() < deadline:
            piece = session.read_available(cap)
            if not piece:
                time.sleep(0.005)
                continue
            reads += 1
            # A read never exceeds its budget of raw bytes.
            assert len(piece.encode()) <= cap
            count += piece.count("x")
            tail = (tail + piece)[-8:]
        assert tail.endswith("\nEND\n"), "the end marker never came"
        assert count == mib << 20
        assert reads >= mib
        # The history keeps only the newest 4 MiB of raw bytes; both CR
        # LF pairs are in it and cleaned away.
        history = session.get_history()
        assert len(history) == (4 << 20) - 2
        assert history == "x" * ((4 << 20) - 7) + "\nEND\n"


# ------------------------------------------------------------ input that cannot be delivered


def test_write_to_a_child_that_never_reads_gives_up_and_drops_the_failed_line(tmp_path):
    # The child reads nothing until GO exists, then counts the whole lines it
    # gets before NEXT: exactly the lines whose send succeeded. The line whose
    # send failed must not arrive later, ahead of NEXT.
    go = tmp_path / "GO"
    prog = support.write_script(
        tmp_path, "deafmute",
        f"""\
        #!/bin/sh
        echo READY
        while [ ! -e {go} ]; do sleep 0.05; done
        exec {sys.executable} -c '
        import sys
        n = 0
        for line in sys.stdin:
            if line == "y" * 100 + "\\n":
                n += 1
            elif line.endswith("NEXT\\n"):
                print("FULL", n, flush=True)
        '
        """,
    )
    outcome = support.run_host(
        f"""\
        import pathlib, time, morvik
        s = morvik.Morvik({prog!r}, False)
        assert s.read_until_ready(timeout_ms=10000, quiet_ms=100) == "READY\\n"
        sent, start = 0, time.monotonic()
        try:
            for _ in range(10000):
                s.send_and_read_until_ready("y" * 100, timeout_ms=5, quiet_ms=5)
                sent += 1
            print("ALL SENT", sent)
        except RuntimeError as e:
            print("REFUSED", sent, round(time.monotonic() - start, 1), e)
        # The session stays usable after the refusal.
        print("ALIVE", s.is_alive())
        print("READ", repr(s.read_available()))
        pathlib.Path({str(go)!r}).touch()
        print(s.send_and_read_until_ready("NEXT", timeout_ms=20000, quiet_ms=500).strip())
        t = time.monotonic()
        s.close()
        print("CLOSED", round(time.monotonic() - t, 1), s.is_alive())
        """,
        timeout=90,
    )
    assert outcome.returncode == 0, outcome.stderr
    lines = outcome.stdout.splitlines()
    refused = re.fullmatch(r"REFUSED (\d+) ([\d.]+) (.*)", lines[0])
    assert refused, lines[0]
    sent, _, message = int(refused.group(1)), float(refused.group(2)), refused.group(3)
    # The terminal buffers some input before it pushes back.
    assert 10 < sent < 10000
    assert re.fullmatch(r"(write|flush) failed: Resource temporarily unavailable \(os error 11\)", message)
    assert lines[1] == "ALIVE True"
    assert lines[2] == "READ ''"
    assert lines[3] == f"FULL {sent}"
    closed = re.fullmatch(r"CLOSED ([\d.]+) False", lines[4])
    assert closed and float(closed.group(1)) < 2, lines[4]


def test_one_large_input_to_a_child_that_never_reads_gives_up_part_way(tmp_path):
    # One input far larger than the writer's buffer goes straight to the
    # master and stalls part way. It is made of short lines: a single line
    # would not stall, since the terminal drops what does not fit in its
    # line buffer.
    prog = support.write_script(tmp_path, "sleeper", "#!/bin/sh\nexec sleep 1000\n")
    outcome = support.run_host(
        f"""\
        import time, morvik
        s = morvik.Morvik({prog!r}, False)
        start = time.monotonic()
        try:
            s.send_and_read_until_ready(("z" * 99 + "\\n") * 10000, timeout_ms=10)
            print("SENT")
        except RuntimeError as e:
            print("REFUSED", round(time.monotonic() - start, 2), e)
        s.close()
        """,
        timeout=60,
    )
    assert outcome.returncode == 0, outcome.stderr
    refused = re.fullmatch(r"REFUSED ([\d.]+) (.*)", outcome.stdout.strip())
    assert refused, outcome.stdout
    took, message = float(refused.group(1)), refused.group(2)
    assert 1 <= took < 30, took
    assert message == "write failed: Resource temporarily unavailable (os error 11)"


# ------------------------------------------------------------ signals in the host


@pytest.fixture
def busy_signals():
    """A SIGCHLD handler that counts and a SIGALRM every 3 ms, for one test.

    Python installs its handlers without SA_RESTART, so every blocking call
    in the host, the module's included, sees EINTR again and again.
    """
    counts = {"chld": 0, "alrm": 0}

    def on_chld(signum, frame):
        counts["chld"] += 1

    def on_alrm(signum, frame):
        counts["alrm"] += 1

    old_chld = signal.signal(signal.SIGCHLD, on_chld)
    old_alrm = signal.signal(signal.SIGALRM, on_alrm)
    signal.setitimer(signal.ITIMER_REAL, 0.003, 0.003)
    try:
        yield counts
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
        signal.signal(signal.SIGALRM, old_alrm)
        signal.signal(signal.SIGCHLD, old_chld)


def _exchange_cycles(count, failures, tag):
    """Start, exchange twice, close: `count` times, recording any failure."""
    for i in range(count):
        try:
            session = Morvik("cat", True, ["\n"])
            for j in range(2):
                answer = session.send_and_read_until_ready(f"pong-{tag}-{i}-{j}", timeout_ms=10000)
                if answer != f"pong-{tag}-{i}-{j}\n":
                    failures.append(f"{tag}/{i}/{j}: answer {answer!r}")
            session.close()
            if session.is_alive() is not False:
                failures.append(f"{tag}/{i}: alive after close")
            del session
        except BaseException as error:  # PanicException included
            failures.append(f"{tag}/{i}: {type(error).__name__}: {error}")


@pytest.mark.slow
@pytest.mark.soak
def test_sessions_under_sigchld_and_a_3ms_timer(busy_signals):
    cycles = support.scaled(10, 50)  # for each of four threads
    before = support.Resources.snapshot()
    failures = []
    # The main thread runs its share, so the Python handlers run in between;
    # the worker threads and the reader threads take the raw interruptions.
    workers = [
        threading.Thread(target=_exchange_cycles, args=(cycles, failures, f"w{k}")) for k in range(3)
    ]
    for worker in workers:
        worker.start()
    _exchange_cycles(cycles, failures, "main")
    for worker in workers:
        worker.join(timeout=300)
        assert not worker.is_alive(), "a worker is stuck"
    assert failures == []
    # The Python handler runs only when the main thread is back between
    # calls, several times a cycle, so its count grows with the cycles.
    assert busy_signals["alrm"] > 2 * cycles
    assert busy_signals["chld"] > 0
    # Every child collected: no zombie, no thread, no descriptor left.
    assert support.settled_difference(before) == {}


def test_start_ups_under_a_3ms_timer_all_succeed(busy_signals):
    # The parent waits for the exec outcome in a read of the status pipe
    # that a signal can interrupt; that is no reason for a start to fail.
    failures = []
    for i in range(30):
        try:
            session = Morvik("cat", False)
        except Exception as error:
            failures.append(f"{i}: {error}")
            continue
        session.close()
    assert failures == []
    assert busy_signals["alrm"] > 0


def test_start_up_failures_under_a_3ms_timer_report_the_real_error(busy_signals, tmp_path):
    # The start-up reads the exec outcome from a pipe; an interrupted read
    # there must not turn into a different error or a hang.
    missing = str(tmp_path / "no-such-program")
    for _ in range(30):
        with pytest.raises(Exception) as info:
            Morvik(missing, False)
        assert type(info.value) is Exception
        assert str(info.value) == (
            f"Failed to spawn process with command '{missing}': ENOENT: No such file or directory"
        )
    assert busy_signals["alrm"] > 0


def test_host_that_reaps_every_child_itself(script):
    # Some hosts collect all children in their SIGCHLD handler. The module
    # then finds its child already gone: not an error, just not alive.
    reaped = []

    def reap_all(signum, frame):
        while True:
            try:
                pid, _ = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                return
            if pid == 0:
                return
            reaped.append(pid)

    old = signal.signal(signal.SIGCHLD, reap_all)
    try:
        before = support.Resources.snapshot()
        session = Morvik(script('echo "PID=$$"\nexec sleep 1000\n'), False)
        _, pid = reported_pid(session, "PID")
        os.kill(pid, signal.SIGTERM)
        assert support.wait_until(lambda: pid in reaped)
        assert session.is_alive() is False
        assert session.is_alive() is False
        _, took = support.elapsed(session.close)
        assert took < 0.5
        del session
        assert support.settled_difference(before) == {}
    finally:
        signal.signal(signal.SIGCHLD, old)

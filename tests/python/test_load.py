"""Load and soak: many sessions flooding at once, output nobody reads, and
thousands of sessions started and ended, by close or by dropping them.

Protects: every byte of every session's output arriving once and in order
however the reads are cut; host memory staying bounded by the per-session
queue limit while a child floods and nobody reads (the reader holds the child
back instead of buffering without end); and a long life of sessions leaving
no descriptor, thread, child, Python object or resident memory behind.
Must never let a soak run without bounds: counts and deadlines are fixed,
MORVIK_SOAK=1 only scales them up for release checks (`make soak`).
"""

import gc
import json
import os
import random
import sys
import threading
import time

import pytest

from morvik import Morvik

import support

QUEUE_BOUND = 64 << 20  # what one session may hold unread


@pytest.fixture(autouse=True, scope="module")
def _runtime_helper_threads_started():
    """A sanitizer runtime starts a helper thread of its own the first time
    the process starts one; let that happen before any test counts threads."""
    helper = threading.Thread(target=lambda: None)
    helper.start()
    helper.join()


def rss_bytes() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmRSS in /proc/self/status")


def written_records(tmp_path, name: str) -> int:
    try:
        return int((tmp_path / f"{name}.progress").read_text() or 0)
    except FileNotFoundError:
        return 0


def stalled_progress(tmp_path, name: str, timeout: float = 120.0, still: float = 1.5) -> int:
    """The child's record count once it has started and then not moved for
    `still` seconds: the point where it is held in its write."""
    last, since = written_records(tmp_path, name), time.monotonic()
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        time.sleep(0.1)
        now = written_records(tmp_path, name)
        if now != last:
            last, since = now, time.monotonic()
        elif last > 0 and time.monotonic() - since >= still:
            return last
    raise AssertionError(f"the child never stalled (at {last} records)")


def record_writer(tmp_path, name: str, records: int, width: int) -> str:
    """A child writing `records` numbered records of `width` bytes each
    (the last one LF), then END. It keeps the count of records fully written
    in <name>.progress and touches <name>.done when all is written."""
    done = tmp_path / f"{name}.done"
    progress = tmp_path / f"{name}.progress"
    return support.python_child(
        tmp_path, name,
        f"""\
        import os, time
        width, records = {width}, {records}
        pad = b"r" * (width - 17)
        batch = 256
        for first in range(0, records, batch):
            block = b"".join(b"%015d " % i + pad + b"\\n"
                             for i in range(first, min(first + batch, records)))
            view = memoryview(block)
            while view:
                view = view[os.write(1, view):]
            with open({str(progress)!r}, "w") as f:
                f.write(str(min(first + batch, records)))
        os.write(1, b"END\\n")
        open({str(done)!r}, "w").close()
        time.sleep(1000)
        """,
    )


class RecordChecker:
    """Follows one session's cleaned stream record by record, across reads
    that cut records anywhere, and fails at the first gap or repeat."""

    def __init__(self, width: int):
        self.width = width  # cleaned: the CR of the terminal's CR LF is gone
        self.next = 0
        self.carry = ""
        self.ended = False

    def feed(self, text: str) -> None:
        data = self.carry + text
        w = self.width
        whole = len(data) // w * w
        for at in range(0, whole, w):
            record = data[at:at + w]
            if record.startswith("END\n"):
                self.ended = True
                assert data[at:] == "END\n", f"output after END: {data[at:at + 80]!r}"
                self.carry = ""
                return
            number = int(record[:15])
            assert number == self.next, f"expected record {self.next}, got {number}"
            assert record[15:] == " " + "r" * (w - 17) + "\n", f"record {number} damaged"
            self.next += 1
        self.carry = data[whole:]
        if self.carry == "END\n":
            self.ended = True
            self.carry = ""


def read_all(session, checker, budget_choices, deadline):
    rng = random.Random(7)
    while not checker.ended and time.monotonic() < deadline:
        piece = session.read_available(rng.choice(budget_choices))
        if piece:
            checker.feed(piece)
        else:
            time.sleep(0.002)


# ------------------------------------------------------------ floods


@pytest.mark.slow
@pytest.mark.soak
def test_64_flooding_sessions_deliver_every_record_in_order(tmp_path):
    sessions_count, width = 64, 64
    per_session = support.scaled(512 << 10, 16 << 20)
    records = per_session // width
    before = support.Resources.snapshot()
    rss_before = rss_bytes()
    sessions = [
        Morvik(record_writer(tmp_path, f"flood{k}", records, width), False)
        for k in range(sessions_count)
    ]
    try:
        checkers = [RecordChecker(width) for _ in sessions]
        # First take a little from every session while all of them write.
        for session, checker in zip(sessions, checkers):
            checker.feed(session.read_available(10_000))
        # Then leave them to write everything, unread.
        assert support.wait_until(
            lambda: all((tmp_path / f"flood{k}.done").exists() for k in range(sessions_count)),
            timeout=300,
        ), "not every child finished writing"
        held = rss_bytes() - rss_before
        if not support.under_sanitizer():
            # Unread output costs what it weighs, not a multiple of it: the
            # raw stream (with CR LF) of everything not yet read, plus slack.
            unread = sessions_count * per_session * (width + 1) // width
            assert held < unread * 1.3 + (64 << 20), (held, unread)
        # Now read everything, round robin, with budgets that cut records
        # anywhere, and check every session's stream end to end.
        deadline = time.monotonic() + 300
        rng = random.Random(11)
        pending = list(range(sessions_count))
        while pending and time.monotonic() < deadline:
            for k in list(pending):
                piece = sessions[k].read_available(rng.choice([1, 63, 4096, 65_536, 1 << 20]))
                checkers[k].feed(piece)
                if checkers[k].ended:
                    pending.remove(k)
        assert pending == [], f"sessions still short of END: {pending}"
        assert all(c.next == records for c in checkers)
    finally:
        for session in sessions:
            session.close()
    del sessions, session
    gc.collect()
    assert support.settled_difference(before) == {}


@pytest.mark.slow
@pytest.mark.soak
def test_unread_flood_is_held_back_at_the_queue_bound(tmp_path, spawn):
    # The child writes more than the bound; nobody reads. The session must
    # stop taking output at the bound, which leaves the child blocked in its
    # write, and give every record later, in order.
    width = 1024
    total = support.scaled(160 << 20, 320 << 20)  # both beyond the bound
    records = total // width
    rss_before = rss_bytes()
    session = spawn(record_writer(tmp_path, "flood", records, width), False)
    written = stalled_progress(tmp_path, "flood")
    held = rss_bytes() - rss_before
    assert written < records, "the child finished: nothing held it back"
    # Held back only once the queue was full, not before.
    assert written * width >= QUEUE_BOUND - (1 << 20), f"stalled after {written * width >> 20} MiB"
    if not support.under_sanitizer():
        assert held < QUEUE_BOUND + (48 << 20), f"{held >> 20} MiB held for one session"
        assert held < total / 2
    checker = RecordChecker(width)
    read_all(session, checker, [8192, 1 << 20, 4 << 20], time.monotonic() + 300)
    assert checker.ended and checker.next == records
    assert support.wait_until(lambda: (tmp_path / "flood.done").exists())


# ------------------------------------------------------------ soak


def _exchange_reset_close(i: int) -> None:
    session = Morvik("cat", True, ["\n"])
    assert session.send_and_read_until_ready(f"pong-{i}", timeout_ms=10000) == f"pong-{i}\n"
    session.reset()
    assert session.send_and_read_until_ready(f"pong-{i}-again", timeout_ms=10000) == f"pong-{i}-again\n"
    assert session.get_history() == f"pong-{i}-again\n"
    session.close()
    assert session.is_alive() is False
    del session


def _start_and_drop(i: int) -> None:
    # Dropped at once, never closed: the reader may still be starting.
    session = Morvik("cat", False)
    assert session.is_alive()
    del session


# (cycle, cycles in the default run, cycles under MORVIK_SOAK=1, seconds a
# cycle may take). A close or a drop pauses about 100 ms for the hang-up to
# work; far beyond that means teardown waits on something it should not.
_CYCLES = {
    "start-exchange-reset-close": (_exchange_reset_close, 30, 1500, 1.0),
    "start-drop": (_start_and_drop, 30, 200, 0.6),
}


# What an idle agent terminal may hold in its host: the terminal's master
# and other side, the program's process handle and one wake-up; and its
# memory, checked loosely (the allocator's noise).
IDLE_TERMINAL_DESCRIPTORS = 4
IDLE_TERMINAL_KIB = 128


@pytest.mark.soak
def test_many_idle_agent_terminals_stay_lean_and_leave_nothing_after_close():
    import resource
    count = support.scaled(64, 1024)
    if resource.getrlimit(resource.RLIMIT_NOFILE)[1] < 8 * count:
        pytest.skip("the hard descriptor limit is too low for this many terminals")
    result = support.run_host(f"""
        import json, os, resource, time
        from morvik_agent import Terminal
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        def held():
            with open("/proc/self/status") as f:
                rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
            return len(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task")), rss
        def answered():
            t = Terminal.start(["sh"], env={{"PS1": "$ "}}, prompts=["$ "], timeout_ms=60_000)
            reply = t.send("echo ok", timeout_ms=60_000)
            assert reply.status == "ready" and reply.text == "ok\\n$ ", reply
            return t
        answered().close()
        before = held()
        terminals = [answered() for _ in range({count})]
        during = held()
        for t in terminals:
            t.close()
        del terminals
        deadline = time.monotonic() + 30
        while held()[:2] != before[:2] and time.monotonic() < deadline:
            time.sleep(0.05)
        print(json.dumps([before, during, held()]))
    """, timeout=support.scaled(180, 900))
    assert result.returncode == 0, result.stderr
    before, during, after = json.loads(result.stdout)
    assert (during[0] - before[0]) / count <= IDLE_TERMINAL_DESCRIPTORS, (before, during)
    assert during[1] - before[1] == count, "one reader thread a terminal"
    assert after[:2] == before[:2], "descriptors or threads left after close"
    if not support.under_sanitizer():
        assert (during[2] - before[2]) / count <= IDLE_TERMINAL_KIB, (before, during)


@pytest.mark.soak
@pytest.mark.parametrize("kind", [
    pytest.param("start-exchange-reset-close", marks=pytest.mark.slow),
    "start-drop",
])
def test_session_cycles_hold_nothing(kind):
    cycle, short, release, seconds_per_cycle = _CYCLES[kind]
    cycles = support.scaled(short, release)
    # A leak of one descriptor, thread or child shows after one cycle; the
    # memory bounds need the release count to mean much, and the allocator
    # and interpreter caches to have settled first.
    for i in range(20):
        cycle(i)
    gc.collect()
    before = support.Resources.snapshot()
    rss_before = rss_bytes()
    blocks_before = sys.getallocatedblocks()
    started = time.monotonic()
    for i in range(cycles):
        cycle(i)
    took = time.monotonic() - started
    gc.collect()
    assert support.settled_difference(before) == {}
    if sys.getallocatedblocks():  # 0 when the interpreter uses plain malloc
        assert sys.getallocatedblocks() - blocks_before < 200
    if not support.under_sanitizer():
        grown = rss_bytes() - rss_before
        assert grown < 8 << 20, f"resident memory grew {grown >> 10} KiB over {cycles} cycles"
    assert took / cycles < seconds_per_cycle, took


@pytest.mark.soak
def test_repeated_calls_on_every_path_leave_no_python_objects(tmp_path):
    if not sys.getallocatedblocks():
        pytest.skip("the interpreter counts no blocks when it uses plain malloc")
    # The marker carries the newline: the terminal may hand over "ping" and
    # its line end in two reads, and a wait with no settle ends at the first.
    session = Morvik("cat", True, ["ping\n"])
    missing = str(tmp_path / "missing")

    def every_path():
        assert session.send_and_read_until_ready("ping", settle_ms=0, timeout_ms=10000) == "ping\n"
        assert session.get_history().endswith("ping\n")
        assert session.read_available() == ""
        assert session.read_until_ready(timeout_ms=0) == ""
        assert session.get_initial_command() == "cat"
        assert session.is_alive() is True and session.is_interactive() is True
        session.set_ready_markers(["ping\n", "other"])
        for bad_call, kind in (
            (lambda: session.read_available(-1), OverflowError),
            (lambda: session.read_available(1.5), TypeError),
            (lambda: session.set_ready_markers("ping"), TypeError),
            (lambda: session.set_ready_markers(["ping", 3]), TypeError),
            (lambda: session.read_until_ready(bogus=1), TypeError),
            (lambda: Morvik(missing, False), Exception),
            (lambda: Morvik("cat", 1), TypeError),
        ):
            with pytest.raises(kind):
                bad_call()

    try:
        for _ in range(50):
            every_path()
        gc.collect()
        before = sys.getallocatedblocks()
        # Each round makes 15 calls, so even the short run leaks over a
        # thousand blocks if one call leaks one object.
        rounds = support.scaled(100, 2000)
        for _ in range(rounds):
            every_path()
        gc.collect()
        # One leaked object per call would be thousands of blocks.
        assert sys.getallocatedblocks() - before < 100
    finally:
        session.close()

"""What either face owes its host beyond one call: a clean exit, threads
that keep running, its limits and its Ctrl-C.

Protects: an interpreter that exits while daemon threads are inside either
face ends cleanly (no abort, no hang); a Morvik program never outlives its
host; no stop of a program holds the interpreter lock; a thread that cannot
be started is an OSError; Ctrl-C during an agent wait reaches the caller at
once, and what the wait read leads the next reply. Every host that could
abort or hang is a fresh interpreter with a time limit; programs are killed
by pid if a test fails.
"""

import json
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from morvik import Morvik

import support

# ------------------------------------------------------------ exit

# Each ends its main thread while daemon threads are inside the module.
_EXIT_HOSTS = {
    "agent status polled": """
        import threading, morvik_agent
        t = morvik_agent.Terminal.start(["cat"], timeout_ms=100)
        def poll():
            while True:
                t.alive
        threading.Thread(target=poll, daemon=True).start()
    """,
    "Morvik waits of 1 ms": """
        import threading, time, morvik
        def poll():
            m = morvik.Morvik("cat", False)
            while True:
                m.read_until_ready(timeout_ms=1)
        threading.Thread(target=poll, daemon=True).start()
        time.sleep(0.2)
    """,
    "agent reads on a silent program": """
        import threading, time, morvik_agent
        def loop():
            t = morvik_agent.Terminal.start(["sleep", "100"], timeout_ms=50)
            while True:
                try:
                    t.read(timeout_ms=5000)
                except RuntimeError:
                    pass  # closed at exit
        for _ in range(3):
            threading.Thread(target=loop, daemon=True).start()
        time.sleep(0.3)
    """,
    "Morvik starts and closes": """
        import threading, time, morvik
        def churn():
            while True:
                morvik.Morvik("cat", False).close()
        threading.Thread(target=churn, daemon=True).start()
        time.sleep(0.2)
    """,
}

_HOSTS_AT_ONCE = 8


@pytest.mark.soak
@pytest.mark.parametrize("kind", list(_EXIT_HOSTS))
def test_exit_with_daemon_threads_inside_the_module_neither_aborts_nor_hangs(kind):
    runs = support.scaled(50, 1000)
    code = textwrap.dedent(_EXIT_HOSTS[kind])
    failures = []
    slowest = 0.0
    for first in range(0, runs, _HOSTS_AT_ONCE):
        batch = []
        for _ in range(min(_HOSTS_AT_ONCE, runs - first)):
            batch.append((time.monotonic(), subprocess.Popen(
                [sys.executable, "-c", code], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)))
        for began, host in batch:
            try:
                _, err = host.communicate(timeout=60)
            except subprocess.TimeoutExpired:
                host.kill()
                _, err = host.communicate()
                failures.append(f"hung: {err[-300:]}")
                continue
            slowest = max(slowest, time.monotonic() - began)
            if host.returncode != 0 or err:
                failures.append(f"rc={host.returncode}: {err[-300:]}")
    assert not failures, f"{len(failures)} of {runs} hosts failed; first: {failures[0]}"
    # Each program's stop takes about 100 ms; far beyond, the exit waits on
    # something it should not.
    assert slowest < 20, slowest


_IGNORER = """\
    import os, signal, time
    for s in (signal.SIGHUP, signal.SIGINT, signal.SIGTERM):
        signal.signal(s, signal.SIG_IGN)
    print(f"PID={os.getpid()}", flush=True)
    while True:
        time.sleep(1)
    """


@pytest.mark.parametrize("owner", ["module", "daemon thread"])
def test_morvik_program_that_ignores_polite_signals_does_not_outlive_its_host(tmp_path, owner):
    program = support.python_child(tmp_path, "ignorer", _IGNORER)
    code = f"""
        import json, re, threading, time, morvik
        def start():
            m = morvik.Morvik({program!r}, False)
            text = ""
            while "PID=" not in text or not text.endswith("\\n"):
                text += m.read_until_ready(timeout_ms=200)
            print(json.dumps({{"pid": int(re.search(r"PID=(\\d+)", text).group(1))}}), flush=True)
            return m
        def busy():
            while True:
                time.sleep(0.001)
        if {owner!r} == "module":
            kept = start()
            threading.Thread(target=busy, daemon=True).start()
        else:
            started = threading.Event()
            def own():
                m = start()
                started.set()
                busy()
            threading.Thread(target=own, daemon=True).start()
            started.wait(30)
    """
    done = support.run_host(code, timeout=60)
    assert done.returncode == 0, done.stderr
    pid = json.loads(done.stdout.splitlines()[-1])["pid"]
    try:
        assert support.wait_until(lambda: not support.pid_exists(pid), timeout=5), "the program outlived its host"
    finally:
        support.kill_quietly(pid)


# ------------------------------------------------------------ the lock


@pytest.mark.parametrize("stop", ["close", "reset", "drop"])
def test_stopping_a_program_lets_other_threads_run(tmp_path, stop):
    # The stop takes four pauses of 100 ms before SIGKILL: plenty of time for
    # a thread that sleeps 5 ms at a time, unless the lock is held.
    program = support.python_child(tmp_path, "ignorer", _IGNORER)
    session = Morvik(program, False)
    try:
        assert "PID=" in support.collect(session, "\n", timeout=20)
        ticks = 0
        running = True

        def tick():
            nonlocal ticks
            while running:
                time.sleep(0.005)
                ticks += 1

        ticker = threading.Thread(target=tick)
        ticker.start()
        time.sleep(0.05)
        before = ticks
        if stop == "drop":
            del session
            session = None
        else:
            getattr(session, stop)()
        during = ticks - before
        running = False
        ticker.join()
        assert during >= 3, during
    finally:
        if session is not None:
            session.close()


def test_close_releases_the_terminal_and_the_process_handle_at_once():
    before = support.Resources.snapshot()
    session = Morvik("cat", True, ["ping\n"])
    try:
        assert session.send_and_read_until_ready("ping", settle_ms=0, timeout_ms=10000) == "ping\n"
        session.close()
        # Measured with the object still alive: nothing of the session is held.
        assert support.settled_difference(before) == {}
        # The closed record still answers as before.
        assert session.is_alive() is False
        assert session.get_history() == "ping\n"
        assert session.send_ctrl_c() is None
        assert session.send_and_read_until_ready("ping", timeout_ms=100) == ""
        session.reset()
        assert session.send_and_read_until_ready("ping", settle_ms=0, timeout_ms=10000) == "ping\n"
    finally:
        session.close()


# ------------------------------------------------------------ start-up


@pytest.mark.skipif(support.under_sanitizer(), reason="a sanitizer's runtime reserves its own address space")
def test_thread_that_cannot_be_started_is_an_oserror_in_both_faces():
    # Just enough address space for the host as it is: a thread's stack
    # (megabytes) will not fit, a program's start will.
    code = """
        import errno, json, resource, morvik, morvik_agent
        size = next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmSize:")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + (4 << 20), resource.RLIM_INFINITY))
        seen = []
        for start in (lambda: morvik.Morvik("cat", False),
                      lambda: morvik_agent.Terminal.start(["cat"], timeout_ms=50)):
            try:
                start()
                seen.append(None)
            except Exception as e:
                seen.append([type(e).__name__, e.errno if isinstance(e, OSError) else None, str(e)])
        print(json.dumps(seen))
    """
    done = support.run_host(code)
    assert done.returncode == 0, done.stderr
    morvik_error, agent_error = json.loads(done.stdout.splitlines()[-1])
    assert morvik_error[:2] == ["BlockingIOError", 11], morvik_error
    assert "failed to spawn reader thread: Os { code: 11," in morvik_error[2]
    assert agent_error[:2] == ["BlockingIOError", 11], agent_error


# ------------------------------------------------------------ Ctrl-C


@pytest.mark.parametrize("call", ["send", "read"])
def test_ctrl_c_during_an_agent_wait_raises_at_once_and_keeps_the_text(call):
    # The answer comes soon, then the program sleeps: only Ctrl-C ends the
    # wait early. Its text must lead the next reply, and only that one.
    program = "read x; echo got $x; sleep 100" if call == "send" else "sleep 0.2; echo got hi; sleep 100"
    code = f"""
        import json, os, signal, threading, time, morvik_agent
        # Python's own Ctrl-C handler, whatever this host inherited (a
        # background job of a shell starts with SIGINT ignored).
        signal.signal(signal.SIGINT, signal.default_int_handler)
        t = morvik_agent.Terminal.start(["sh", "-c", {program!r}], timeout_ms=100)
        if {call!r} == "read":
            wait = lambda: t.read(timeout_ms=10000, quiet_ms=20000)
        else:
            wait = lambda: t.send("hi", timeout_ms=10000, quiet_ms=20000)
        threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT)).start()
        began = time.monotonic()
        try:
            wait()
            outcome = "returned"
        except KeyboardInterrupt:
            outcome = "interrupted"
        took = time.monotonic() - began
        print(json.dumps([outcome, took, t.read(timeout_ms=300).text, t.read(timeout_ms=100).text]))
        t.close()
    """
    done = support.run_host(code)
    assert done.returncode == 0, done.stderr
    outcome, took, next_text, after = json.loads(done.stdout.splitlines()[-1])
    assert outcome == "interrupted"
    assert took < 5, took
    assert next_text == "got hi\n"
    assert after == ""

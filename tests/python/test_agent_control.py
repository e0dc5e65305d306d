"""Control of a terminal from other threads while one thread waits.

Protects: status questions, resize, the screen, keys, interrupt, cancel and close all
acting at once while another thread's wait runs, never queued behind it;
that wait returning the program's answer (or "cancelled" with what it had);
waits still running one at a time; and no program outliving the
interpreter that started it.
Must never take a control call's speed from the clock alone: each bound is
far below the wait it must not queue behind.
"""

import subprocess
import sys
import threading
import time

import pytest

from morvik_agent import Terminal

import support

ENV = {"TERM": "xterm", "PS1": "$ "}
# How long a control call may take: nothing here waits for the program.
AT_ONCE_S = 0.5


def timed(call):
    began = time.monotonic()
    result = call()
    return result, time.monotonic() - began


# the call that ends the running wait, the status that wait then has, and
# what the call itself returns
ENDINGS = {
    "interrupt": (lambda t: t.interrupt(), "ready", None),
    "C-c key": (lambda t: t.send_keys("C-c"), "ready", None),
    "cancel": (lambda t: t.cancel(), "cancelled", None),
    "close": (lambda t: t.close(), "cancelled", None),
}


def sleeping(shell_pid):
    """Whether the shell runs its `sleep` (so that Ctrl-C reaches it)."""
    with open(f"/proc/{shell_pid}/task/{shell_pid}/children") as f:
        children = f.read().split()
    for child in children:
        try:
            with open(f"/proc/{child}/comm") as f:
                if f.read().strip() == "sleep":
                    return True
        except OSError:
            pass
    return False


@pytest.mark.parametrize("ending", ENDINGS.values(), ids=ENDINGS.keys())
def test_control_acts_at_once_while_another_thread_waits(ending):
    end, status, returned = ending
    with support.no_leaks():
        with Terminal.start(["bash", "--norc", "--noprofile"], env=ENV, quiet_ms=600_000) as terminal:
            replies = []
            waiter = threading.Thread(target=lambda: replies.append(
                terminal.send("sleep 30; echo done", timeout_ms=30_000)))
            waiter.start()
            while not sleeping(terminal.pid):
                time.sleep(0.005)
            controls = [
                timed(lambda: (terminal.alive, terminal.pid, terminal.exit_code, terminal.signal)),
                timed(lambda: terminal.resize(30, 100)),
                timed(lambda: terminal.history()),
                timed(lambda: terminal.screen()),
            ]
            result, took = timed(lambda: end(terminal))
            waiter.join(5)
            assert not waiter.is_alive()
        assert [c[0] for c in controls[:2]] == [(True, terminal.pid, None, None), None]
        assert len(controls[3][0].lines) == 30 and not controls[3][0].alternate
        assert max(t for _, t in controls) < AT_ONCE_S and took < AT_ONCE_S, (controls, took)
        assert result is returned, (result, replies)
        (reply,) = replies
        assert reply.status == status and "done" not in reply.text, reply


def test_waits_run_one_at_a_time_and_a_line_waits_for_its_turn():
    with Terminal.start(["sh"], env=ENV, quiet_ms=600_000) as terminal:
        replies = {}
        first = threading.Thread(target=lambda: replies.setdefault("first", terminal.send("sleep 0.5; echo one")))
        first.start()
        time.sleep(0.1)
        replies["second"] = terminal.send("echo two")
        first.join()
    assert (replies["first"].text, replies["second"].text) == ("one\n$ ", "two\n$ ")


def test_terminals_end_with_the_interpreter():
    # One still waiting on a daemon thread, one merely left open.
    code = (
        "import threading\n"
        "from morvik_agent import Terminal\n"
        "stubborn = \"trap '' HUP INT TERM; exec sleep 300\"\n"
        "terminals = [Terminal.start(['sh', '-c', stubborn], timeout_ms=100) for _ in range(2)]\n"
        "print(*(t.pid for t in terminals), flush=True)\n"
        "threading.Thread(target=lambda: terminals[0].send('x', timeout_ms=100000), daemon=True).start()\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    pids = [int(p) for p in done.stdout.split()]
    assert len(pids) == 2 and not [pid for pid in pids if support.running(pid)]

"""How an agent terminal's waits end while the program works, and what a
reply says of a program that still runs or has ended.

Protects: no quiet ending unless asked for where the kernel shows whether
the program waits for input; a reply that ends while the program runs says
so; the truth about a program the host collected itself; an interrupt that
drops a flood it stopped; prompts searched in linear time.
Must never judge a status from timing alone: each program either waits for
input, ends, or runs far longer than the call.
"""

import json
import shutil
import subprocess
import sys
import time

import pytest

from morvik_agent import Terminal
from morvik_agent.mcp import STILL_RUNNING, render

import support

ENV = {"TERM": "xterm", "PS1": "$ "}

# (program, line to send, wait limits, status, text, still running)
ENDS = [
    # A pause while the program works is no end, unless a gap was asked for.
    (["sh"], "sleep 1; echo done", {}, "ready", "done\n$ ", False),
    (["sh"], "echo a; sleep 1; echo b", {}, "ready", "a\nb\n$ ", False),
    (["sh"], "echo a; sleep 30", {"quiet_ms": 300}, "quiet", "a\n", True),
    (["sh"], "echo a; sleep 30", {"timeout_ms": 1500}, "timeout", "a\n", True),
    (["sh"], "echo a; exit 2", {}, "exited", "a\n", False),
    # A REPL that reads keys on while it awaits a timer looks, to the
    # kernel, like one that waits for input: not "ready" on that alone.
    pytest.param(["node"], "await new Promise(r => setTimeout(r, 30000))", {}, "quiet",
                 "await new Promise(r => setTimeout(r, 30000))\n", True,
                 marks=pytest.mark.skipif(shutil.which("node") is None, reason="needs node")),
]


@pytest.mark.parametrize("argv, line, limits, status, text, running", ENDS)
def test_a_reply_ends_only_when_asked_and_says_whether_the_program_runs(argv, line, limits, status, text, running):
    with Terminal.start(argv, env=ENV, timeout_ms=20_000) as terminal:
        reply = terminal.send(line, **limits)
        assert (reply.status, reply.text, reply.running) == (status, text, running), reply
        assert (STILL_RUNNING in render("t", reply, 1000)) == running


def test_the_program_crashing_under_gdb_run_is_seen(tmp_path):
    # gdb's `run` takes a while before the crash shows: with no prompt
    # given, the reply must hold the crash, not end on a pause before it.
    if shutil.which("gdb") is None or shutil.which("cc") is None:
        pytest.skip("needs gdb and cc")
    (tmp_path / "crash.c").write_text("int main(void) { volatile int *p = 0; return *p; }\n")
    subprocess.run(["cc", "-o", str(tmp_path / "crash"), str(tmp_path / "crash.c")], check=True)
    with Terminal.start(["gdb", "-q", "-nx", str(tmp_path / "crash")], env=ENV, timeout_ms=60_000) as gdb:
        reply = gdb.send("run")
        assert reply.status == "ready" and "SIGSEGV" in reply.text, reply


@pytest.mark.parametrize("collector", ["ignores SIGCHLD", "waitpid(-1) handler"])
def test_a_program_the_host_collects_reads_as_ended(collector):
    setup = {
        "ignores SIGCHLD": "signal.signal(signal.SIGCHLD, signal.SIG_IGN)",
        "waitpid(-1) handler": "signal.signal(signal.SIGCHLD, lambda *a: os.waitpid(-1, os.WNOHANG))",
    }[collector]
    done = support.run_host(f"""\
        import json, os, signal
        from morvik_agent import Terminal
        {setup}
        t = Terminal.start(["sh", "-c", "exit 3"], timeout_ms=20000)
        seen = [t.banner.status, t.alive, t.exit_code, t.signal]
        t.close()
        print(json.dumps(seen + [t.alive, t.exit_code]))
        """)
    assert done.returncode == 0, done.stderr
    status, alive, code, signum, alive_after, code_after = json.loads(done.stdout.splitlines()[-1])
    assert (status, alive, alive_after) == ("exited", False, False)
    # Known, or unknown and then None: never a made-up one.
    assert code in (3, None) and code_after == code and signum is None


def test_interrupt_with_discard_drops_the_flood_it_stopped():
    with Terminal.start([sys.executable, "-q"], env={"PYTHON_BASIC_REPL": "1"}, timeout_ms=20_000) as repl:
        flooding = repl.send("while True: print('x' * 100)\n", timeout_ms=500)
        assert flooding.running
        time.sleep(0.5)  # more of the flood queues meanwhile
        reply = repl.interrupt(discard=True)
        assert reply.status == "ready" and reply.text.endswith(">>> "), reply
        assert reply.dropped_bytes > 0
        assert "KeyboardInterrupt" in reply.text
        assert repl.send("print(6 * 7)").text == "42\n>>> "


def test_a_long_prompt_is_found_in_linear_time():
    # Output that begins the prompt again and again: a search that compares
    # each start with the whole prompt reads it prompt-length times.
    prompt = "a" * 1023 + ">"
    code = f"import sys; sys.stdout.write('a' * (4 << 20) + {prompt!r}); sys.stdout.flush(); input()"
    began = time.monotonic()
    with Terminal.start([sys.executable, "-c", code], prompts=[prompt], timeout_ms=60_000,
                        max_output_bytes=8 << 20) as terminal:
        assert terminal.banner.status == "ready" and terminal.banner.prompt == prompt
    assert time.monotonic() - began < 20, "a wait over 4 MiB took far longer than a linear search"


def test_a_prompt_longer_than_any_shown_end_is_refused():
    with pytest.raises(ValueError, match="at most 1024"):
        Terminal.start(["true"], prompts=["x" * 1025])


def test_a_stalled_recording_never_stalls_the_terminal_or_close(tmp_path):
    # A FIFO opened for reading that nobody reads: every write to it would
    # wait for good once the pipe is full.
    fifo = tmp_path / "cast"
    done = support.run_host(f"""\
        import json, os, time
        from morvik_agent import Terminal
        os.mkfifo({str(fifo)!r})
        reader = os.open({str(fifo)!r}, os.O_RDONLY | os.O_NONBLOCK)
        t = Terminal.start(["sh", "-c", "head -c 2000000 /dev/zero | tr '\\\\0' x; read x"], record={str(fifo)!r},
                           timeout_ms=30000, max_output_bytes=4000000)
        got = len(t.banner.text)
        warnings = [t.banner.warning, t.read(timeout_ms=100).warning]
        began = time.monotonic()
        t.close()
        print(json.dumps([t.banner.status, got, warnings, time.monotonic() - began]))
        """, timeout=60)
    assert done.returncode == 0, done.stderr
    status, got, warnings, closing = json.loads(done.stdout.splitlines()[-1])
    assert (status, got) == ("ready", 2_000_000)
    # Told once, on the reply that followed the cut.
    assert [w is not None and "cut off" in w for w in warnings] in ([True, False], [False, True]), warnings
    assert closing < 10, closing

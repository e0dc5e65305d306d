#!/usr/bin/env python3
"""The agent face's benchmarks: how soon a reply is "ready" once a program
blocks for input, and what a `Terminal` costs against `Morvik`.

A. Block to ready. For each program an agent drives, each round sends one
   input and times, from the moment the program blocked reading its
   terminal again, until the reply came back. The block is seen by a
   watcher thread of this script, independent of the core: the program's
   read count (/proc/<pid>/io) has moved since the input went out, and its
   main thread sleeps in a read, poll, select or epoll call. Against it: a
   quiet wait of 300 ms (`Morvik` without markers, `quiet_ms=300`), the
   heuristic an agent used before, timed from the same block.
B. Round trip: bash `echo hi` and the Python REPL, `Morvik` (marker,
   `settle_ms=0`) against `Terminal` with the same prompt, and `Terminal`
   with no prompt at all (the kernel tells).
C. Bulk: 64 MiB through the terminal to the prompt that follows, the same
   three, with the C floor's loop (bench/floor.c, which times itself) and a
   `Terminal` without its screen model beside them; then how long
   `Terminal.screen()` takes after the flood, and whether it shows what tmux
   shows after the same output.
D. Close: a program that ends on SIGHUP, one that ignores every signal, one
   with a background job that ignores SIGHUP; and the event loop's longest
   stall while eight terminals that ignore every signal close at once.
E. Close on a busy machine: bash (which ends on SIGHUP) closed with 100 and
   with 2,000 other processes on the machine, median, p95 and max; then
   1,024 terminals closed in turn from one thread (`--close-only` runs just
   this part).
F. What an idle terminal holds: 1,024 terminals on sh, each answered once
   (`echo ok`), started side by side in a host of their own; descriptors and
   resident memory per terminal, `Terminal` with and without its screen
   model beside `Morvik`.
G. Tokens: the 50-step session of token_session.py (vim, less, top, a build
   with a progress bar) through `morvik-mcp`, once reading whole screens and
   once reading changes and waiting for them: the characters each way, and
   how many steps' screens the changes rebuilt (checked against the real
   screen of the same version). Then `Terminal.search` over a full history
   (4 MiB of output): plain text and a regular expression, the history's
   own making included.
H. What the shell's marks cost: bash `echo hi` through `Terminal.shell()`
   (its prompt ends each reply by its marks, which also carry the exit
   code) against `Terminal.start(["bash"])` with the prompt given, both
   reading the same `~/.bashrc` of a home of their own.
I. MCP round trip: `terminal_send` of `echo hi` to bash through the SDK's
   client, to `morvik-mcp` over stdio and over streamable HTTP on loopback
   (with its token), the same program behind each, rounds interleaved.

Rounds are interleaved, each implementation once per round, each round in
an order of its own; figures are medians with the 95th percentile. A timing is never a
pass or a failure; each answer is checked.

    .venv/bin/python bench/bench_agent.py            # about 5 minutes (F: 2)
    .venv/bin/python bench/bench_agent.py --quick    # under a minute
    .venv/bin/python bench/bench_agent.py --only B   # some parts (repeatable)
"""

import argparse
import asyncio
import glob
import json
import os
import shlex
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import run  # noqa: E402  (the suite's workspace, clock helpers and floor)

from morvik import Morvik  # noqa: E402
from morvik_agent import Terminal  # noqa: E402

QUIET_MS = 300
# Read-like system calls (x86_64): read, pread64, readv, poll, ppoll, select,
# pselect6, epoll_wait, epoll_pwait, epoll_pwait2.
READISH = {0, 17, 19, 7, 271, 23, 270, 232, 281, 441}
ENV = {"TERM": "xterm", "PS1": "$ "}
MiB = 1 << 20


def real_python(version):
    for found in [shutil.which(f"python{version}"),
                  *sorted(glob.glob(os.path.expanduser(f"~/.pyenv/versions/{version}*/bin/python{version}")))]:
        if found:
            done = subprocess.run([found, "-c", "import sys; print(sys.executable)"], capture_output=True, text=True)
            if done.returncode == 0:
                return done.stdout.strip()
    return None


def programs():
    """name: (argv, the input of one round, sent as keys or as a line, a line to leave a query with)"""
    found = {
        "bash": (["bash", "--norc", "--noprofile"], "echo hi", False, None),
        "sh": (["sh"], "echo hi", False, None),
        "python3.11": ([real_python("3.11"), "-q"], "print(1)", False, None),
        "python3.13": ([real_python("3.13"), "-q"], "print(1)", False, None),
        "gdb": (["gdb", "-q", "-nx"], "print 1", False, None),
        "gdb (y or n)": (["gdb", "-q", "-nx", "-ex", "file /bin/true", "-ex", "starti"], "kill", False, "n"),
        "sqlite3": (["sqlite3"], "select 1;", False, None),
        "node": (["node"], "1+1", False, None),
        "read -p": (["bash", "-c", "while read -p 'name? ' x; do :; done"], "bob", False, None),
        "input()": ([sys.executable, "-c", "while True: input('? ')"], "x", False, None),
        "less": (["less", "/etc/services"], "j", True, None),
        "vim": (["vim", "-u", "NONE", "-N", "-R", "/etc/services"], "j", True, None),
        "cat": (["cat"], "hello", False, None),
    }
    return {name: p for name, p in found.items() if p[0][0] and shutil.which(p[0][0])}


class BlockWatch:
    """Notes when `pid` blocks reading again after taking new input."""

    def __init__(self, pid):
        self.pid = pid
        self.blocked_at = None
        self._stop = False
        self._thread = None

    def _reads(self):
        with open(f"/proc/{self.pid}/io") as f:
            for line in f:
                if line.startswith("syscr:"):
                    return int(line.split()[1])
        return 0

    def _blocked(self):
        with open(f"/proc/{self.pid}/stat", "rb") as f:
            if f.read().rsplit(b")", 1)[1].split()[0] != b"S":
                return False
        with open(f"/proc/{self.pid}/syscall") as f:
            word = f.read().split()[0]
        return word.lstrip("-").isdigit() and int(word) in READISH

    def arm(self):
        self.blocked_at = None
        self._stop = False
        start = self._reads()

        def watch():
            while not self._stop:
                try:
                    if self._reads() > start and self._blocked():
                        self.blocked_at = time.monotonic()
                        return
                except OSError:
                    return

        self._thread = threading.Thread(target=watch, daemon=True)
        self._thread.start()

    def disarm(self):
        self._stop = True
        self._thread.join()


def wrapper(ws, name, argv, env):
    exports = "".join(f"export {k}={shlex.quote(v)}\n" for k, v in env.items())
    path = ws.dir / f"agent-{name.replace(' ', '_').replace('(', '').replace(')', '')}.sh"
    path.write_text(f"#!/bin/sh\n{exports}exec {shlex.join(argv)}\n")
    path.chmod(0o755)
    return str(path)


def block_to_ready(ws, rounds):
    rows = []
    for name, (argv, data, as_keys, leave) in programs().items():
        run.progress(f"A block to ready: {name}")
        terminal = Terminal.start(argv, env=ENV, quiet_ms=600_000, timeout_ms=20_000)
        before = _children()
        quiet = Morvik(wrapper(ws, name, argv, ENV), False)
        # The wrapper execs the program, which stays the session's child.
        (quiet_pid,) = _children() - before
        quiet.read_until_ready(timeout_ms=20_000, quiet_ms=QUIET_MS)
        times = {"Terminal": [], "quiet 300 ms": []}
        statuses = set()
        try:
            for r in range(rounds):
                for impl in (("Terminal", "quiet 300 ms") if r % 2 == 0 else ("quiet 300 ms", "Terminal")):
                    pid = terminal.pid if impl == "Terminal" else quiet_pid
                    watch = BlockWatch(pid)
                    watch.arm()
                    if impl == "Terminal":
                        reply = terminal.send_keys(data) if as_keys else terminal.send(data)
                        done = time.monotonic()
                        statuses.add(reply.status)
                    else:
                        # Morvik sends a line: for a key, the key and a line feed.
                        quiet.send_and_read_until_ready(data, timeout_ms=20_000, quiet_ms=QUIET_MS)
                        done = time.monotonic()
                    watch.disarm()
                    if watch.blocked_at is not None:
                        times[impl].append(done - watch.blocked_at)
                    if leave:
                        (terminal.send(leave) if impl == "Terminal" else
                         quiet.send_and_read_until_ready(leave, timeout_ms=20_000, quiet_ms=QUIET_MS))
        finally:
            terminal.close()
            quiet.close()
        t, q = times["Terminal"], times["quiet 300 ms"]
        rows.append((name, t, q, statuses))
    return rows


def _children():
    me = os.getpid()
    found = set()
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat", "rb") as f:
                    fields = f.read().rsplit(b")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == me and fields[0] != b"Z":
                found.add(int(entry))
    return found


def interleaved(impls, rounds, step):
    """Runs each implementation once a round, each round in an order of its
    own (run.round_orders); the time of a step is the clock's around it,
    unless the step returns its own."""
    got = {name: [] for name in impls}
    orders = run.round_orders(list(impls), " ".join(impls))
    for _ in range(rounds):
        for name in next(orders):
            began = time.monotonic()
            own = step(name, impls[name])
            got[name].append(own if own is not None else time.monotonic() - began)
    return got


def round_trips(ws, rounds):
    rows = []
    cases = [
        ("bash: echo hi", ["bash", "--norc", "--noprofile"], {"PS1": run.BASH_PROMPT}, run.BASH_PROMPT, "echo hi"),
        ("Python REPL: print('hi')", [sys.executable, "-q"], {"PYTHON_BASIC_REPL": "1"}, ">>> ", "print('hi')"),
    ]
    for case, argv, env, prompt, line in cases:
        run.progress(f"B round trip: {case}")
        morvik = Morvik(wrapper(ws, case[:4], argv, env), True, [prompt])
        morvik.read_until_ready(timeout_ms=20_000, settle_ms=0)
        # The environment `Morvik`'s wrapper gives the program: the host's
        # with `env` on top, so that both run the very same program.
        same = {**os.environ, **env}
        with_prompt = Terminal.start(argv, env=same, prompts=[prompt])
        without = Terminal.start(argv, env=same, quiet_ms=600_000)
        impls = {"Morvik": morvik, "Terminal, prompt": with_prompt, "Terminal, no prompt": without}

        cpu = {name: [] for name in impls}

        def step(name, impl):
            began, cpu_began = time.monotonic(), time.process_time()
            if name == "Morvik":
                text = impl.send_and_read_until_ready(line, settle_ms=0, timeout_ms=20_000)
            else:
                reply = impl.send(line)
                if reply.status != "ready":
                    raise run.Broken(f"{name}: {reply}")
                text = reply.text
            # The whole process's processor time: the reader threads' too.
            took, cpu_took = time.monotonic() - began, time.process_time() - cpu_began
            if "hi" not in text:
                raise run.Broken(f"{name}: {text!r}")
            cpu[name].append(cpu_took)
            return took

        try:
            interleaved(impls, 20, step)
            for times in cpu.values():
                times.clear()
            rows.append((case, interleaved(impls, rounds, step), cpu))
        finally:
            morvik.close()
            with_prompt.close()
            without.close()
    return rows


def bulk(ws, rounds, n):
    run.progress(f"C bulk: {n // MiB} MiB")
    size, width = run.BULK_WRITE
    line = f"write {n} {size} {width}"
    argv = [str(ws.floor), "emit"]
    floor = run.FloorDriver(ws.floor)
    _, floor_session = floor.start(str(ws.emit), run.EMIT_PROMPT, 20)
    morvik = Morvik(ws.emit, True, [run.EMIT_PROMPT])
    morvik.read_until_ready(timeout_ms=20_000, settle_ms=0)
    with_prompt = Terminal.start(argv, prompts=[run.EMIT_PROMPT], max_output_bytes=run.BIG_OUTPUT)
    no_screen = Terminal.start(argv, prompts=[run.EMIT_PROMPT], max_output_bytes=run.BIG_OUTPUT,
                               screen_model=False)
    without = Terminal.start(argv, quiet_ms=600_000, max_output_bytes=run.BIG_OUTPUT)
    impls = {"C floor": floor_session, "Morvik": morvik, "Terminal, prompt": with_prompt,
             "Terminal, screen off": no_screen, "Terminal, no prompt": without}

    def step(name, impl):
        if name == "C floor":
            sample = floor.ask(impl, line, 180)
            if sample.out < n:
                raise run.Broken(f"C floor: {sample.out} of {n} bytes")
            return sample.wall
        if name == "Morvik":
            text = impl.send_and_read_until_ready(line, settle_ms=0, timeout_ms=180_000,
                                                  max_output_bytes=run.BIG_OUTPUT)
        else:
            reply = impl.send(line, timeout_ms=180_000)
            if reply.status != "ready":
                raise run.Broken(f"{name}: {reply.status}")
            text = reply.text
        if len(text) < n:
            raise run.Broken(f"{name}: {len(text)} of {n} characters")
        return None

    try:
        interleaved(impls, 1, step)  # untimed: page cache, first mappings
        times = interleaved(impls, rounds, step)
        # The screen after the flood: the model has kept the bytes since
        # the last place where earlier ones stopped mattering.
        began = time.monotonic()
        shown = with_prompt.screen()
        screen_s = time.monotonic() - began
        return times, screen_s, shown, line
    finally:
        floor.close(floor_session)
        floor.shutdown()
        morvik.close()
        with_prompt.close()
        no_screen.close()
        without.close()


def tmux_screen_after(ws, line):
    """What tmux shows once `floor emit` has written the same output, or why not."""
    sys.path.insert(0, str(HERE.parent / "tests" / "python"))
    import screens
    if shutil.which("tmux") is None:
        return None, "tmux is not installed"
    scenario = screens.Scenario("bulk", shlex.quote(str(ws.floor)) + " emit",
                                (screens.WaitFor(r"EMIT>$"), line, screens.Key("Enter"),
                                 screens.WaitFor(r"\A(?:[A-Za-z]+\n){23}[A-Za-z]*EMIT>$")))
    folder = ws.dir / "tmux-bulk"
    folder.mkdir(exist_ok=True)
    screens.STEP_TIMEOUT_S = 300.0
    return screens.TmuxRun(scenario, folder).run(scenario.command).lines, None


STUBBORN = "trap '' HUP INT TERM; sleep 300 & while :; do sleep 1; done"
CLOSE_CASES = {
    "ends on SIGHUP": ["sleep", "300"],
    "ignores every signal": ["sh", "-c", STUBBORN],
    "background job ignoring SIGHUP": ["sh", "-c", "trap '' HUP; sleep 300 & exec cat"],
}


def closing(rounds):
    """Close time per kind of program, and the event loop's longest stall
    while eight terminals that ignore every signal close at once."""
    run.progress("D close")
    times = {name: [] for name in CLOSE_CASES}
    for _ in range(rounds):
        for name, argv in CLOSE_CASES.items():
            terminal = Terminal.start(argv, timeout_ms=50)
            began = time.monotonic()
            terminal.close()
            times[name].append(time.monotonic() - began)

    async def eight():
        from morvik_agent import AsyncTerminal
        terminals = await asyncio.gather(*(AsyncTerminal.start(["sh", "-c", STUBBORN], timeout_ms=50)
                                           for _ in range(8)))
        gaps = []

        async def tick():
            last = time.monotonic()
            while True:
                await asyncio.sleep(0.001)
                now = time.monotonic()
                gaps.append(now - last)
                last = now

        ticker = asyncio.ensure_future(tick())
        await asyncio.sleep(0.05)
        began = time.monotonic()
        await asyncio.gather(*(t.close() for t in terminals))
        took = time.monotonic() - began
        ticker.cancel()
        return max(gaps), took

    stalls = [asyncio.run(eight()) for _ in range(max(1, rounds // 3))]
    return times, stalls


def ms(s):
    return f"{s * 1000:.1f} ms"


def us(s):
    return f"{s * 1e6:.0f} us"


# The other processes on the machine while a close is timed; the program
# closed ends on SIGHUP.
BUSY_MACHINE = (100, 2000)
MANY_TERMINALS = 1024


def idle_processes(count):
    """``count`` sleeping processes, in one session of their own, and the
    call that ends them."""
    holder = subprocess.Popen(
        ["sh", "-c", f"i=0; while [ $i -lt {count} ]; do sleep 600 & i=$((i+1)); done; echo up; wait"],
        stdout=subprocess.PIPE, text=True, start_new_session=True)
    holder.stdout.readline()

    def stop():
        os.killpg(holder.pid, signal.SIGKILL)
        holder.wait()
    return stop


def busy_closing(rounds):
    """Close time of a program that ends on SIGHUP, with 100 and with 2,000
    other processes on the machine; then 1,024 terminals closed in turn
    from one thread."""
    run.progress("E close on a busy machine")
    times = {}
    for count in BUSY_MACHINE:
        stop = idle_processes(count)
        try:
            times[count] = []
            for _ in range(rounds):
                terminal = Terminal.start(["bash", "--norc", "--noprofile"], env=ENV, timeout_ms=2000)
                began = time.monotonic()
                terminal.close()
                times[count].append(time.monotonic() - began)
        finally:
            stop()
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 65536)), hard))
    terminals = [Terminal.start(["cat"], timeout_ms=50, screen_model=False) for _ in range(MANY_TERMINALS)]
    began = time.monotonic()
    for terminal in terminals:
        terminal.close()
    return times, time.monotonic() - began


def busy_report(rounds):
    times, many = busy_closing(rounds)
    out = ["\n## E. Close on a busy machine\n", "| other processes | median | p95 | max |", "|---|---|---|---|"]
    for count, t in times.items():
        out.append(f"| {count} | {ms(run.median(t))} | {ms(run.percentile(t, 0.95))} | {ms(max(t))} |")
    out.append(f"\n{MANY_TERMINALS} terminals running cat, closed in turn from one thread: {many:.2f} s.")
    return out


IDLE_COSTS_HOST = """
import json, os, resource, sys, time
from morvik import Morvik
from morvik_agent import Terminal
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
kind, count = sys.argv[1], int(sys.argv[2])
env = {"TERM": "xterm", "PS1": "$ "}

def held():
    with open("/proc/self/status") as f:
        rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
    return len(os.listdir("/proc/self/fd")), rss

def answered():
    if kind == "Morvik":
        m = Morvik("sh", True, ["$ ", "# "])
        m.read_until_ready(timeout_ms=60_000, settle_ms=0)
        assert "ok" in m.send_and_read_until_ready("echo ok", timeout_ms=60_000, settle_ms=0)
        return m
    t = Terminal.start(["sh"], env=env, prompts=["$ "], screen_model=kind == "Terminal", timeout_ms=60_000)
    reply = t.send("echo ok", timeout_ms=60_000)
    assert reply.status == "ready" and "ok" in reply.text, reply
    return t

answered().close()
before = held()
began = time.monotonic()
kept = [answered() for _ in range(count)]
took = time.monotonic() - began
during = held()
for k in kept:
    k.close()
print(json.dumps({"fds": (during[0] - before[0]) / count, "kib": (during[1] - before[1]) / count,
                  "start_ms": took / count * 1000}))
"""


def idle_costs(count):
    """Per terminal: descriptors and resident KiB held while idle, each kind
    in a host of its own."""
    run.progress("F idle costs")
    got = {}
    for kind in ("Terminal", "Terminal, no screen model", "Morvik"):
        done = subprocess.run([sys.executable, "-c", IDLE_COSTS_HOST, kind, str(count)], capture_output=True,
                              text=True, timeout=1800)
        if done.returncode != 0:
            raise RuntimeError(f"{kind}: {done.stderr}")
        got[kind] = json.loads(done.stdout)
    return got


def shell_marks(ws, rounds):
    """The round trip of `echo hi` in bash with the shell's marks and
    without, interleaved; each reply checked (the marked one for its exit
    code too)."""
    run.progress("G shell marks: bash echo hi")
    home = ws.dir / "shell-home"
    home.mkdir(exist_ok=True)
    (home / ".bashrc").write_text(f"PS1={shlex.quote(run.BASH_PROMPT)}\n")
    env = {**ENV, "HOME": str(home)}
    impls = {"start, prompt": Terminal.start(["bash"], env=env, prompts=[run.BASH_PROMPT]),
             "shell()": Terminal.shell("bash", env=env)}

    def step(name, impl):
        began = time.monotonic()
        reply = impl.send("echo hi")
        took = time.monotonic() - began
        if reply.status != "ready" or "hi" not in reply.text or (name == "shell()") != (reply.command_exit_code == 0):
            raise run.Broken(f"{name}: {reply}")
        return took

    try:
        interleaved(impls, 20, step)
        return interleaved(impls, rounds, step)
    finally:
        for impl in impls.values():
            impl.close()
def mcp_round_trips(ws, rounds):
    """Seconds per `terminal_send` round trip over stdio and over HTTP."""
    import anyio
    import httpx2
    from mcp import ClientSession, StdioServerParameters
    from mcp.client.stdio import stdio_client
    from mcp.client.streamable_http import streamable_http_client

    server = [sys.executable, "-m", "morvik_agent.mcp", "--allow", "bash", "--allow-env", "PS1"]
    folder = ws.dir / "mcp"
    folder.mkdir(mode=0o700, exist_ok=True)
    log = open(folder / "http.log", "w+")
    http = subprocess.Popen([*server, "--http", "0", "--token-file", str(folder / "token")],
                            stdin=subprocess.DEVNULL, stderr=log)
    got = {"stdio": [], "HTTP": []}

    async def measure():
        with anyio.fail_after(60):
            while "serving MCP at" not in (folder / "http.log").read_text():
                await anyio.sleep(0.05)
        url = (folder / "http.log").read_text().split(" at ", 1)[1].split(";", 1)[0]
        headers = {"Authorization": f"Bearer {(folder / 'token').read_text().strip()}"}
        stdio = StdioServerParameters(command=server[0], args=server[1:], env=dict(os.environ))
        async with stdio_client(stdio) as (r1, w1), ClientSession(r1, w1) as over_stdio, \
                httpx2.AsyncClient(headers=headers, timeout=60) as client, \
                streamable_http_client(url, http_client=client) as streams, \
                ClientSession(streams[0], streams[1]) as over_http:
            sessions = {"stdio": over_stdio, "HTTP": over_http}
            for session in sessions.values():
                await session.initialize()
                await session.call_tool("terminal_start", {"argv": ["bash", "--norc", "--noprofile"],
                                                           "env": {"PS1": "$ "}, "name": "bench"})
            orders = run.round_orders(list(sessions), "stdio HTTP")
            for round_ in range(20 + rounds):
                for name in next(orders):
                    began = time.monotonic()
                    result = await sessions[name].call_tool("terminal_send", {"terminal": "bench", "line": "echo hi"})
                    took = time.monotonic() - began
                    if result.is_error or "\nhi\n" not in result.content[0].text:
                        raise run.Broken(f"{name}: {result}")
                    if round_ >= 20:
                        got[name].append(took)

    try:
        anyio.run(measure)
    finally:
        http.terminate()
        http.wait()
        log.close()
    return got


def paired(these, reference):
    """The median of the per-round ratios, with their p25-p75."""
    ratios = [a / b for a, b in zip(these, reference) if b > 0]
    return (f"{run.median(ratios):.2f} ({run.percentile(ratios, 0.25):.2f}-"
            f"{run.percentile(ratios, 0.75):.2f})")


def token_report(ws, rounds):
    import anyio

    import token_session

    out = ["\n## G. Tokens: a 50-step session through morvik-mcp, whole screens against changes\n"]
    used, checks = {}, []
    for way in ("full", "changes"):
        folder = ws.dir / f"tokens-{way}"
        folder.mkdir()
        token_session.prepare(folder)
        used[way], checked, wrong = anyio.run(token_session.play, folder, way)
        if way == "changes":
            checks = [checked, len(wrong)]
    out.append("| program | whole screens | changes | fewer |")
    out.append("|---|---|---|---|")
    for who in [*used["full"], "all"]:
        full = sum(used["full"].values()) if who == "all" else used["full"][who]
        changes = sum(used["changes"].values()) if who == "all" else used["changes"][who]
        out.append(f"| {who} | {full} | {changes} | {1 - changes / full:.0%} |")
    out.append(f"\nScreens rebuilt from the changes and checked: {checks[0]} of {len(token_session.STEPS)} steps "
               f"({checks[1]} differed; the others ended a program, or it had redrawn since).")
    # Search: a terminal whose history holds 4 MiB of output.
    lines = "".join(f"{n:07d} a line of a long build log, with some words to skip\n" for n in range(70_000))
    log = ws.dir / "search.log"
    log.write_text(lines + "the one error: disk full\n")
    with Terminal.start(["sh", "-c", f"cat {shlex.quote(str(log))}; read x"], timeout_ms=60_000,
                        max_output_bytes=16 * MiB) as t:
        size = len(t.history())
        timings = {}
        for name, pattern, regex in (("plain, one hit at the end", "error: disk", False),
                                     ("plain, no hit", "nowhere at all", False),
                                     ("regex, one hit at the end", r"error: \w+ full$", True)):
            times = []
            for _ in range(rounds):
                began = time.perf_counter()
                hits = t.search(pattern, regex=regex)
                times.append(time.perf_counter() - began)
                assert len(hits) == (0 if "no hit" in name else 1), (name, hits)
            timings[name] = times
    out.append(f"\n`Terminal.search` over a history of {size / MiB:.1f} MiB ({rounds} rounds; the history's "
               "text made each time included):\n")
    out.append("| search | median | max |")
    out.append("|---|---|---|")
    for name, times in timings.items():
        out.append(f"| {name} | {ms(run.median(times))} | {ms(max(times))} |")
    return out


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--close-only", action="store_true", help="only E, the close on a busy machine")
    parser.add_argument("--only", action="append", choices=list("ABCDEFGHI"), help="only these parts (repeatable)")
    options = parser.parse_args(argv)
    parts = set(options.only or "ABCDEFG")
    if options.close_only:
        print("\n".join(busy_report(10 if options.quick else 40)))
        return 0
    ready_rounds, trip_rounds, bulk_rounds = (6, 100, 2) if options.quick else (20, 300, 5)
    ws = run.Workspace()
    out = []
    try:
        if "A" in parts:
            out.append("## A. From the block to \"ready\" (no prompts given)\n")
            out.append("| program | Terminal: median | p95 | max | within 50 ms | quiet wait (300 ms): median | "
                       "ratio |")
            out.append("|---|---|---|---|---|---|---|")
            for name, t, q, statuses in block_to_ready(ws, ready_rounds):
                if not t:
                    out.append(f"| {name} | no block seen | | | | | |")
                    continue
                within = sum(1 for x in t if x <= 0.050)
                qm = run.median(q) if q else float("nan")
                note = "" if statuses == {"ready"} else f" (statuses {sorted(statuses)})"
                out.append(f"| {name}{note} | {ms(run.median(t))} | {ms(run.percentile(t, 0.95))} | {ms(max(t))} | "
                           f"{within}/{len(t)} | {ms(qm)} | {run.median(t) / qm:.3f} |")
        if "B" in parts:
            out.append("\n## B. Round trip\n")
            out.append("Ratios are to `Morvik` with its marker, the median of the rounds' own ratios (each round "
                       "runs all three, interleaved) with their p25-p75; processor time is the whole process's, "
                       "reader threads included.\n")
            out.append("| case | measure | Morvik | Terminal, prompt | ratio (p25-p75) | Terminal, no prompt | "
                       "ratio (p25-p75) |")
            out.append("|---|---|---|---|---|---|---|")
            for case, got, cpu in round_trips(ws, trip_rounds):
                for measure, figures in (("time", got), ("processor", cpu)):
                    m, p, k = (figures[x] for x in ("Morvik", "Terminal, prompt", "Terminal, no prompt"))
                    out.append(f"| {case} | {measure} | {us(run.median(m))} | {us(run.median(p))} | "
                               f"{paired(p, m)} | {us(run.median(k))} | {paired(k, m)} |")
        if "C" in parts:
            n = 64 * MiB
            got, screen_s, shown, line = bulk(ws, bulk_rounds, n)
            rate = {name: n / run.median(times) / 1e6 for name, times in got.items()}
            out.append("\n## C. 64 MiB through the terminal\n")
            out.append("| implementation | median | p95 (slow end) | x C floor's rate | time x Morvik's |")
            out.append("|---|---|---|---|---|")
            for name, times in got.items():
                slow = n / run.percentile(times, 0.95) / 1e6
                out.append(f"| {name} | {rate[name]:.1f} MB/s | {slow:.1f} MB/s | "
                           f"{rate[name] / rate['C floor']:.2f} | {rate['Morvik'] / rate[name]:.2f} |")
            reference, why = tmux_screen_after(ws, line)
            verdict = why or ("equal to tmux's" if reference == shown.lines else "DIFFERS from tmux's")
            out.append(f"\n`Terminal.screen()` after the last round: {ms(screen_s)}, {verdict}.")
        if "D" in parts:
            times, stalls = closing(3 if options.quick else 10)
            out.append("\n## D. Close\n")
            out.append("| program | median | max |")
            out.append("|---|---|---|")
            for name, t in times.items():
                out.append(f"| {name} | {ms(run.median(t))} | {ms(max(t))} |")
            out.append(f"\nEight terminals that ignore every signal closed at once from asyncio: "
                       f"{ms(run.median([s[1] for s in stalls]))} (median of {len(stalls)}); the event loop's "
                       f"longest stall {ms(max(s[0] for s in stalls))}.")
        if "E" in parts:
            out.extend(busy_report(10 if options.quick else 40))
        if "F" in parts:
            out.append(f"\n## F. What an idle terminal holds ({MANY_TERMINALS} terminals on sh, answered once)\n")
            out.append("| kind | descriptors | resident KiB | start and answer |")
            out.append("|---|---|---|---|")
            for kind, c in idle_costs(MANY_TERMINALS).items():
                out.append(f"| {kind} | {c['fds']:.2f} | {c['kib']:.1f} | {ms(c['start_ms'] / 1000)} |")
        if "G" in parts:
            out.extend(token_report(ws, 3 if options.quick else 10))
        if "H" in parts:
            got = shell_marks(ws, trip_rounds)
            plain, marked = got["start, prompt"], got["shell()"]
            extra = sorted(b - a for a, b in zip(plain, marked))
            out.append("\n## H. The shell's marks: bash `echo hi`\n")
            out.append("| Terminal.start(['bash']), prompt: median | p95 | Terminal.shell(): median | p95 | "
                       "added per round: median (p25-p75) |")
            out.append("|---|---|---|---|---|")
            out.append(f"| {us(run.median(plain))} | {us(run.percentile(plain, 0.95))} | {us(run.median(marked))} | "
                       f"{us(run.percentile(marked, 0.95))} | {us(run.median(extra))} "
                       f"({us(run.percentile(extra, 0.25))} to {us(run.percentile(extra, 0.75))}) |")
        if "I" in parts:
            run.progress("I MCP round trip: stdio and HTTP")
            got = mcp_round_trips(ws, 50 if options.quick else 300)
            out.append("\n## I. MCP round trip: `terminal_send` of `echo hi` to bash\n")
            out.append("| transport | median | p95 | ratio to stdio (p25-p75) |")
            out.append("|---|---|---|---|")
            for name, times in got.items():
                out.append(f"| {name} | {us(run.median(times))} | {us(run.percentile(times, 0.95))} | "
                           f"{paired(times, got['stdio'])} |")
    finally:
        ws.cleanup()
    print("\n".join(out))
    return 0


if __name__ == "__main__":
    sys.exit(main())

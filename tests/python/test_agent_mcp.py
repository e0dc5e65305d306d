"""The MCP server as a client sees it: `morvik-mcp` in a subprocess, driven
through the SDK's stdio client and the tools alone.

Protects: no start without the operator's word (--allow, or --allow-any
with a warning); exactly the allowed file running, under an allowed name
only, while its path is swapped; a client's environment refused unless the
operator allowed each name, and never changing the server's own (BASH_ENV,
MANPAGER, LESSSECURE/LESSOPEN); bad input refused as a tool error that
names the field and the rule, and schemas that bound every number and
string; control (list, interrupt, keys, resize, close) answering at once
while a call waits, and an MCP cancellation ending the wait; exit codes and
signals in replies and the list; the output cap and the reply bound saying
what is left; history paging; and no program the server started, nor any
of their children, still running once the client has gone or the server was
sent SIGTERM. (The gdb crash hunt is the example examples/mcp_gdb.py, run
by test_examples.py.)
Must never trust the server's word: what ran is read from the programs'
own output and from files they write, and the processes are listed from
/proc while they run and looked up again afterwards.
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
from contextlib import asynccontextmanager
from importlib.metadata import version

import anyio
import pytest
from mcp import ClientSession, StdioServerParameters
from mcp.client.stdio import stdio_client
from mcp.types import TextContent

import support

PROMPT = support.SHELL_PROMPT
SERVER = [sys.executable, "-m", "morvik_agent.mcp"]


@asynccontextmanager
async def connected(folder, *options, env=None, session_out=None):
    # None in ``env`` removes a variable of ours from the server's.
    environment = {name: value for name, value in {**os.environ, **(env or {})}.items() if value is not None}
    server = StdioServerParameters(command=SERVER[0], args=[*SERVER[1:], *options], env=environment)
    with open(folder / "server.log", "a") as log:
        async with stdio_client(server, errlog=log) as (read, write), ClientSession(read, write) as session:
            init = await session.initialize()

            async def call(tool, **arguments):
                result = await session.call_tool(tool, arguments)
                text = "".join(block.text for block in result.content if isinstance(block, TextContent))
                return text, result.is_error

            if session_out is not None:
                session_out.update(session=session, init=init)
            yield call


def started_name(text):
    return re.search(r" as terminal (t\d+) ", text).group(1)


def script(folder, name, body):
    path = folder / name
    path.write_text(f"#!/bin/sh\n{body}\n")
    path.chmod(0o755)
    return str(path)


@pytest.mark.parametrize(
    "options, serves, message",
    [
        ([], False, "not starting: name the programs clients may run with --allow PROGRAM"),
        (["--allow-any"], True, "warning: --allow-any: clients may start any program"),
        (["--allow", "no-such-program-here"], False, "--allow no-such-program-here: not found along PATH"),
        (["--allow", "sh", "--allow-any"], False, "exclude each other"),
        (["--allow", "sh", "--allow-env", "A=B"], False, "not an environment variable name"),
        (["--allow", "sh", "--allow-env", "HOME"], True, "warning: --allow-env HOME: this server's own HOME stays"),
    ],
)
def test_starts_only_on_the_operators_word(options, serves, message):
    done = subprocess.run([*SERVER, *options], capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
    # Serving, the server ends at once on a closed input.
    assert done.returncode == (0 if serves else 2), done
    assert len(done.stderr.splitlines()) == 1 and message in done.stderr, done.stderr


def test_refusals_name_the_field_and_the_rule_and_run_nothing(tmp_path):
    marker = tmp_path / "ran"
    evil = script(tmp_path, "evil", f"id > {marker}")
    os.symlink(shutil.which("rbash"), tmp_path / "alias")
    options = ["--allow", "ldd", "--allow", "man", "--allow", "less", "--allow", "rbash",
               "--allow-env", "LESSSECURE", "--allow-env", "MORVIK_OK"]
    start = "terminal_start"
    cases = [
        # (tool, arguments, what the error must say)
        (start, {"argv": ["ldd", "/bin/true"], "env": {"BASH_ENV": evil}}, "env: BASH_ENV may not be set here"),
        (start, {"argv": ["man", "ls"], "env": {"MANPAGER": evil}}, "env: MANPAGER may not be set here"),
        (start, {"argv": ["less", "/etc/hostname"], "env": {"LESSSECURE": "", "LESSOPEN": f"|{evil} %s"}},
         "env: LESSOPEN may not be set here (clients may set: MORVIK_OK; the operator names them with "
         "--allow-env); LESSSECURE is set by the server, and a client never changes it"),
        (start, {"argv": ["bash"]}, "argv[0]: 'bash' is not allowed here; this server may start: ldd ("),
        (start, {"argv": [os.path.realpath(shutil.which("rbash"))]}, "is not allowed here"),
        (start, {"argv": [str(tmp_path / "alias")]}, "is not allowed here"),
        (start, {"argv": ["rbash"], "env": {"PATH": str(tmp_path)}}, "env: PATH may not be set here"),
        (start, {"argv": []}, "argv: List should have at least 1 item"),
        (start, {"argv": ["rbash", "x" * 5000]}, "argv.1: String should have at most 4096 characters"),
        (start, {"argv": ["rbash\0"]}, "is not allowed here"),
        (start, {"argv": ["rbash"], "rows": 0}, "rows: Input should be greater than or equal to 1"),
        (start, {"argv": ["rbash"], "prompts": [""]}, "prompts.0: String should have at least 1 character"),
        (start, {"argv": ["rbash"], "cwd": str(tmp_path / "none")}, "cwd: no such folder"),
        ("terminal_send", {"terminal": "t1", "line": "x", "timeout_ms": 10**20},
         "terminal_send: invalid arguments: timeout_ms: Input should be less than or equal to 600000"),
        ("terminal_send", {"terminal": "t1", "line": "x", "timeout": 5},
         "unknown argument timeout (terminal_send takes: terminal, line, timeout_ms, quiet_ms)"),
        ("terminal_send", {"line": "x"}, "terminal: Field required"),
        ("terminal_read", {"terminal": "t1", "quiet_ms": -1}, "quiet_ms: Input should be greater than or equal to 0"),
        ("terminal_keys", {"terminal": "t1", "keys": []}, "keys: List should have at least 1 item"),
        ("terminal_history", {"terminal": "t1", "limit": 20_001}, "limit: Input should be less than or equal to 20000"),
        ("terminal_close", {"terminal": "t1"}, "terminal: no terminal 't1' (open: none)"),
    ]

    async def scenario():
        answers = []
        async with connected(tmp_path, *options, env={"LESSSECURE": "1"}) as call:
            for tool, arguments, _ in cases:
                answers.append(await call(tool, **arguments))
            answers.append(await call("terminal_list"))
        return answers

    *answers, listing = anyio.run(scenario)
    wrong = [(tool, arguments, text) for (tool, arguments, expected), (text, error) in zip(cases, answers)
             if not (error and expected in text)]
    assert not wrong, wrong
    assert listing == ("no open terminals", False)
    assert not marker.exists()


def test_schemas_bound_every_number_and_string_and_name_the_programs(tmp_path):
    found = {}

    async def scenario():
        async with connected(tmp_path, "--allow", "rbash", "--allow", "ldd", "--allow-env", "MORVIK_OK",
                             session_out=found):
            found["tools"] = (await found["session"].list_tools()).tools

    anyio.run(scenario)
    assert found["init"].server_info.version == version("morvik")

    unbounded = []

    def walk(schema, where):
        kinds = schema.get("type")
        if kinds == "integer" and not ("minimum" in schema and "maximum" in schema):
            unbounded.append(where)
        if kinds == "string" and "maxLength" not in schema:
            unbounded.append(where)
        if kinds == "array" and "maxItems" not in schema:
            unbounded.append(where)
        if kinds == "object" and "additionalProperties" in schema and "maxProperties" not in schema:
            unbounded.append(where)
        for key in ("items", "additionalProperties", "propertyNames"):
            if isinstance(schema.get(key), dict):
                walk(schema[key], f"{where}.{key}")
        for name, part in schema.get("properties", {}).items():
            walk(part, f"{where}.{name}")
        for part in schema.get("anyOf", []):
            walk(part, where)
        if "propertyNames" in schema:
            walk({"type": "string", **schema["propertyNames"]}, f"{where}.propertyNames")

    tools = {tool.name: tool for tool in found["tools"]}
    for name, tool in tools.items():
        walk(tool.input_schema, name)
    assert not unbounded, unbounded
    assert set(tools) == {f"terminal_{n}" for n in
                          ("start", "send", "read", "keys", "interrupt", "screen", "resize", "history", "list", "close")}
    assert "may start only: rbash (/usr/bin/rbash), ldd (/usr/bin/ldd)" in tools["terminal_start"].description
    env = tools["terminal_start"].input_schema["properties"]["env"]["description"]
    assert "lets clients set only: MORVIK_OK." in env
    assert tools["terminal_start"].input_schema["properties"]["timeout_ms"]["maximum"] == 600_000


def test_exactly_the_allowed_file_runs_under_the_allowed_name(tmp_path):
    good = script(tmp_path, "good", "echo ran-good")
    bad = script(tmp_path, "bad", "echo ran-bad")
    link = tmp_path / "prog"
    os.symlink(good, link)
    stop = threading.Event()

    def swap():
        # The operator's name flips between the two files as fast as it can.
        target = [bad, good]
        while not stop.is_set():
            for path in target:
                os.symlink(path, tmp_path / "next")
                os.replace(tmp_path / "next", link)

    async def scenario():
        replies = []
        async with connected(tmp_path, "--allow", str(link), "--allow", "rbash") as call:
            swapper = threading.Thread(target=swap)
            swapper.start()
            try:
                for argv0 in [str(link), "prog"] * 15 + [bad, good]:
                    replies.append(await call("terminal_start", argv=[argv0]))
                    if not replies[-1][1]:
                        await call("terminal_close", terminal=started_name(replies[-1][0]))
            finally:
                stop.set()
                swapper.join()
            shell = await call("terminal_start", argv=["rbash", "--norc", "--noprofile"],
                               prompts=["$ "], timeout_ms=3000)
            restricted = await call("terminal_send", terminal=started_name(shell[0]), line="cd /")
        return replies, restricted

    replies, (restricted, _) = anyio.run(scenario)
    ran = [(error, "ran-good" in text, "ran-bad" in text) for text, error in replies]
    assert ran[:-2] == [(False, True, False)] * 30, replies
    assert ran[-2:] == [(True, False, False)] * 2, replies[-2:]
    # The allowed name is the one the program sees: rbash is restricted.
    assert "restricted" in restricted, restricted


def test_control_answers_at_once_while_a_call_waits(tmp_path):
    shell = {"argv": ["bash", "--norc", "--noprofile"], "env": {"PS1": PROMPT}, "prompts": [PROMPT]}

    async def running(call, group, replies, key, line):
        async def send():
            replies[key] = await call("terminal_send", terminal="t1", line=line, timeout_ms=60_000)
        group.start_soon(send)
        await anyio.sleep(0.5)

    async def scenario():
        replies, took = {}, {}

        async def timed(key, tool, **arguments):
            began = time.monotonic()
            replies[key] = await call(tool, **arguments)
            took[key] = time.monotonic() - began

        async with connected(tmp_path, "--allow", "bash", "--allow-env", "PS1", env={"PS1": None}) as call:
            await call("terminal_start", **shell)
            async with anyio.create_task_group() as group:
                await running(call, group, replies, "sleep", "sleep 30; echo slept")
                await timed("list", "terminal_list")
                await timed("resize", "terminal_resize", terminal="t1", rows=30, columns=100)
                await timed("keys", "terminal_keys", terminal="t1", keys=["C-c"])
            async with anyio.create_task_group() as group:
                await running(call, group, replies, "sleep2", "sleep 30; echo slept")
                await timed("interrupt", "terminal_interrupt", terminal="t1")
            replies["size"] = await call("terminal_send", terminal="t1", line="stty size")
            # An MCP cancellation ends the running wait: the next read is not
            # queued behind it, and the interrupt reaches the sleep.
            with anyio.move_on_after(0.5):
                await call("terminal_send", terminal="t1", line="sleep 30", timeout_ms=60_000)
            await timed("read", "terminal_read", terminal="t1", timeout_ms=500)
            await timed("after cancel", "terminal_interrupt", terminal="t1")
            async with anyio.create_task_group() as group:
                await running(call, group, replies, "closed", "sleep 30")
                await timed("close", "terminal_close", terminal="t1")
        return replies, took

    replies, took = anyio.run(scenario)
    assert not any(error for _, error in replies.values()), replies
    text = {key: reply for key, (reply, _) in replies.items()}
    assert max(took.values()) < 3, took
    assert re.fullmatch(r"t1: bash --norc --noprofile \(pid \d+, running\)", text["list"]), text["list"]
    assert text["keys"] == "[t1] keys sent; the call waiting on t1 returns the program's answer"
    assert text["interrupt"].startswith("[t1] Ctrl-C sent")
    for key in ("sleep", "sleep2"):
        assert text[key].startswith("[t1] status: ready ") and "slept" not in text[key], text[key]
    assert text["size"].endswith(f"30 100\n{PROMPT}"), text["size"]
    assert text["read"].startswith("[t1] status: timeout "), text["read"]
    assert text["after cancel"].startswith("[t1] status: ready ") and text["after cancel"].endswith(PROMPT)
    assert text["closed"].startswith("[t1] status: cancelled (the terminal was closed)"), text["closed"]
    assert text["close"].startswith("closed t1 (")


def test_replies_and_the_list_say_how_programs_ended(tmp_path):
    cases = [
        # (shell line, the ending both the reply and the list carry)
        ("exit 7", "exit code 7"),
        ("exit 0", "exit code 0"),
        ("kill -SEGV $$", "killed by SIGSEGV"),
        ("kill -KILL $$", "killed by SIGKILL"),
    ]

    async def scenario():
        replies = []
        async with connected(tmp_path, "--allow", "sh") as call:
            for line, _ in cases:
                name = started_name((await call("terminal_start", argv=["sh"]))[0])
                replies.append(await call("terminal_send", terminal=name, line=line))
            listing = await call("terminal_list")
        return replies, listing

    replies, (listing, _) = anyio.run(scenario)
    for (line, ending), (text, error) in zip(cases, replies):
        header = text.split("\n")[0]
        assert not error and header.startswith("[t") and "status: exited" in header, text
        assert header.endswith(f"; {ending}"), (line, header)
    assert [line.rsplit(", ", 1)[1] for line in listing.splitlines()] == [f"{ending})" for _, ending in cases]


def test_long_output_the_cap_the_bound_and_history_pages(tmp_path):
    async def scenario():
        async with connected(tmp_path, "--allow", "sh", "--allow-env", "PS1", "--max-output-chars", "2000",
                             env={"PS1": None}) as call:
            await call("terminal_start", argv=["sh"], env={"PS1": "$ "}, prompts=["$ "])
            capped = await call("terminal_send", terminal="t1", line="seq 1 400000; echo done", timeout_ms=60_000)
            rest = await call("terminal_read", terminal="t1", timeout_ms=60_000)
            await call("terminal_send", terminal="t1", line="seq 1 100000", timeout_ms=60_000)
            pages, offset = [], 0
            while True:
                page, _ = await call("terminal_history", terminal="t1", offset=offset, limit=2000)
                header, body = page.split("\n", 1)
                pages.append((header, body))
                offset += len(body)
                if not body:
                    break
            tail = await call("terminal_history", terminal="t1", limit=100)
            return capped, rest, pages, tail

    (capped, _), (rest, _), pages, (tail, _) = anyio.run(scenario)
    # The wait's raw output cap: said, with what is still queued.
    header, body = capped.split("\n", 1)
    assert re.match(r"\[t1\] status: cap \(output cap reached: terminal_read returns the rest\); \d+ ms; "
                    r"(\d+) more bytes queued; (\d+) of (\d+) characters left out", header), header
    omitted, total = map(int, re.search(r"; (\d+) of (\d+) characters left out", header).groups())
    head, end = body.split(f"\n[... {omitted} characters left out ...]\n")
    assert omitted == total - 2000 and len(head) + len(end) == 2000
    assert head.startswith("1\n2\n3\n")
    assert rest.startswith("[t1] status: ready ") and rest.endswith("\n400000\ndone\n$ ")
    # The pages join into the whole history, each header saying where it is.
    whole = "".join(body for _, body in pages)
    totals = {int(re.search(r" of (\d+)$", header).group(1)) for header, _ in pages}
    assert totals == {len(whole)}, totals
    assert whole.endswith("\n99999\n100000\n$ ") and "\n300000\n" in whole
    assert all(re.fullmatch(rf"\[t1\] history characters {sum(len(b) for _, b in pages[:i])} to "
                            rf"{sum(len(b) for _, b in pages[:i + 1])} of {len(whole)}", header)
               for i, (header, _) in enumerate(pages))
    assert tail == f"[t1] history characters {len(whole) - 100} to {len(whole)} of {len(whole)}\n{whole[-100:]}"


def _process_tree(root):
    """Pids of ``root``'s descendants with their state letters."""
    children, states = {}, {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat", "rb") as f:
                    fields = f.read().rsplit(b")", 1)[1].split()
            except OSError:
                continue
            states[int(entry)] = fields[0].decode()
            children.setdefault(int(fields[1]), []).append(int(entry))
    found, todo = {}, [root]
    while todo:
        for child in children.get(todo.pop(), []):
            found[child] = states[child]
            todo.append(child)
    return found


def _running(pid):
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            return f.read().rsplit(b")", 1)[1].split()[0] != b"Z"
    except OSError:
        return False


@pytest.fixture
def crashing_program(tmp_path):
    if shutil.which("gdb") is None or shutil.which("cc") is None:
        pytest.skip("needs gdb and a C compiler")
    (tmp_path / "crash.c").write_text("int main(void) { volatile int *p = 0; return *p; }\n")
    subprocess.run(["cc", "-g", "-o", tmp_path / "crash", tmp_path / "crash.c"], check=True)
    return str(tmp_path / "crash")


@pytest.mark.parametrize("leave", ["disconnect", "SIGTERM"])
def test_no_program_outlives_the_connection(leave, crashing_program, tmp_path):
    async def scenario():
        before = set(support.child_processes())
        async with connected(tmp_path, "--allow-any") as call:
            (server,) = set(support.child_processes()) - before
            gdb = started_name((await call(
                "terminal_start", argv=["gdb", "-q", "-nx", crashing_program], prompts=["(gdb) "]))[0])
            crashed, _ = await call("terminal_send", terminal=gdb, line="run")
            shell = started_name((await call(
                "terminal_start", argv=["bash", "--norc", "--noprofile"], env={"PS1": PROMPT}, prompts=[PROMPT]))[0])
            await call("terminal_send", terminal=shell, line="sleep 300 & sleep 300", timeout_ms=300)
            # Ignores the hang-up that stops the others.
            await call("terminal_start", argv=["sh", "-c", "trap '' HUP; exec sleep 300"], timeout_ms=300)
            programs = _process_tree(server)
            if leave == "SIGTERM":
                os.kill(server, signal.SIGTERM)
                with anyio.fail_after(30):
                    while server in support.child_processes() and _running(server):
                        await anyio.sleep(0.02)
        return crashed, programs

    crashed, programs = anyio.run(scenario)
    assert "SIGSEGV" in crashed, crashed
    # gdb and its stopped program, bash and its two sleeps, the third sleep.
    assert len([pid for pid, state in programs.items() if state != "Z"]) >= 6, programs
    try:
        assert support.wait_until(lambda: not any(_running(pid) for pid in programs), timeout=15), {
            pid: _running(pid) for pid in programs
        }
    finally:
        for pid in filter(_running, programs):
            support.kill_quietly(pid)

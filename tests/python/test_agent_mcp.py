"""The MCP server as a client sees it: `morvik-mcp` in a subprocess, driven
through the SDK's stdio client and the tools alone.

Protects what the operator allows (programs, names, environment), bounded
schemas and errors that name the field, control that never queues, endings,
caps and paging, full-screen programs with their recordings, and no program
outliving the connection (the gdb crash hunt is examples/mcp_gdb.py).
Must never trust the server's word: what ran is read from the programs'
output and the files they write, and processes from /proc.
"""

import json
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
from morvik_agent._terminal import describe_keys

PROMPT = support.SHELL_PROMPT
SERVER = [sys.executable, "-m", "morvik_agent.mcp"]


@asynccontextmanager
async def connected(folder, *options, env=None, found=None):
    # None in ``env`` keeps a variable of ours from the server.
    environment = {k: v for k, v in {**os.environ, **(env or {})}.items() if v is not None}
    server = StdioServerParameters(command=SERVER[0], args=[*SERVER[1:], *options], env=environment)
    with open(folder / "server.log", "a") as log:
        async with stdio_client(server, errlog=log) as (read, write), ClientSession(read, write) as session:
            init = await session.initialize()
            if found is not None:
                found.update(init=init, tools=(await session.list_tools()).tools)

            async def call(tool, **arguments):
                result = await session.call_tool(tool, arguments)
                return "".join(b.text for b in result.content if isinstance(b, TextContent)), result.is_error

            async def ok(tool, **arguments):
                text, error = await call(tool, **arguments)
                assert not error, (tool, arguments, text)
                return text

            yield call, ok


def serve(folder, options, scenario, env=None):
    """``scenario(call, ok)`` run against a server started with ``options``."""
    async def main():
        async with connected(folder, *options, env=env) as (call, ok):
            return await scenario(call, ok)
    return anyio.run(main)


def started_name(text):
    return re.search(r" as terminal (t\d+) ", text).group(1)


@pytest.mark.parametrize("options, serves, message", [
    ([], False, "not starting: name the programs clients may run with --allow PROGRAM"),
    (["--allow-any"], True, "warning: --allow-any: clients may start any program"),
    (["--allow", "no-such-program-here"], False, "--allow no-such-program-here: not found along PATH"),
    (["--allow", "sh", "--allow-any"], False, "exclude each other"),
    (["--allow", "sh", "--allow-env", "A=B"], False, "not an environment variable name"),
    (["--allow", "sh", "--allow-env", "HOME"], True, "warning: --allow-env HOME: this server's own HOME stays"),
    (["--allow", "sh", "--record", "/no/such/folder"], False, "not a folder this server may write in"),
])
def test_starts_only_on_the_operators_word(options, serves, message):
    done = subprocess.run([*SERVER, *options], capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
    # Serving, the server ends at once on a closed input.
    assert done.returncode == (0 if serves else 2), done
    assert len(done.stderr.splitlines()) == 1 and message in done.stderr, done.stderr


def test_refusals_name_the_field_and_the_rule_and_run_nothing(tmp_path):
    marker = tmp_path / "ran"
    evil = support.write_script(tmp_path, "evil", f"#!/bin/sh\nid > {marker}\n")
    os.symlink(shutil.which("rbash"), tmp_path / "alias")
    options = ["--allow", "ldd", "--allow", "man", "--allow", "less", "--allow", "rbash",
               "--allow-env", "LESSSECURE", "--allow-env", "MORVIK_OK"]
    start, send = "terminal_start", "terminal_send"
    cases = [  # (tool, arguments, what the error says)
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
        (start, {"argv": ["rbash"], "rows": 0}, "rows: Input should be greater than or equal to 1"),
        (start, {"argv": ["rbash"], "columns": 1}, "columns: Input should be greater than or equal to 2"),
        ("terminal_resize", {"terminal": "t1", "rows": 501, "columns": 80}, "rows: Input should be less than or equal to 500"),
        (start, {"argv": ["rbash"], "prompts": [""]}, "prompts.0: String should have at least 1 character"),
        (start, {"argv": ["rbash"], "cwd": str(tmp_path / "none")}, "cwd: no such folder"),
        (send, {"terminal": "t1", "line": "x", "timeout_ms": 10**20},
         "terminal_send: invalid arguments: timeout_ms: Input should be less than or equal to 600000"),
        (send, {"terminal": "t1", "line": "x", "timeout": 5},
         "unknown argument timeout (terminal_send takes: terminal, line, timeout_ms, quiet_ms, paste, "
         "changes_since, max_chars, max_tokens)"),
        (send, {"line": "x"}, "terminal: Field required"),
        ("terminal_keys", {"terminal": "t1", "keys": []}, "keys: List should have at least 1 item"),
        ("terminal_history", {"terminal": "t1", "limit": 20_001}, "limit: Input should be less than or equal to 20000"),
        ("terminal_close", {"terminal": "t1"}, "terminal: no terminal 't1' (open: none)"),
    ]

    async def scenario(call, ok):
        return [await call(tool, **arguments) for tool, arguments, _ in cases], await ok("terminal_list")

    answers, listing = serve(tmp_path, options, scenario, env={"LESSSECURE": "1"})
    wrong = [(case, text) for case, (text, error) in zip(cases, answers) if not (error and case[2] in text)]
    assert not wrong, wrong
    assert listing == "no open terminals" and not marker.exists()


def test_schemas_bound_every_number_and_string_and_name_the_programs(tmp_path):
    found = {}

    async def scenario():
        async with connected(tmp_path, "--allow", "rbash", "--allow", "ldd", "--allow-env", "MORVIK_OK", found=found):
            pass

    anyio.run(scenario)
    assert found["init"].server_info.version == version("morvik")
    bounds = {"integer": ("minimum", "maximum"), "string": ("maxLength",), "array": ("maxItems",)}

    def nodes(schema):
        yield schema
        for value in schema.values():
            for part in value if isinstance(value, list) else [value]:
                if isinstance(part, dict):
                    yield from nodes(part)

    tools = {tool.name: tool for tool in found["tools"]}
    unbounded = [(name, node) for name, tool in tools.items() for node in nodes(tool.input_schema)
                 if any(key not in node for key in bounds.get(node.get("type"), ()))
                 or ("additionalProperties" in node and "maxProperties" not in node)]
    assert not unbounded, unbounded
    assert set(tools) == {f"terminal_{name}" for name in
                          "start send read keys interrupt screen wait_for_change search resize history list close".split()}
    start = tools["terminal_start"]
    assert "may start only: rbash (/usr/bin/rbash), ldd (/usr/bin/ldd)" in start.description
    assert "lets clients set only: MORVIK_OK." in start.input_schema["properties"]["env"]["description"]
    assert start.input_schema["properties"]["timeout_ms"]["maximum"] == 600_000


def test_exactly_the_allowed_file_runs_under_the_allowed_name(tmp_path):
    good = support.write_script(tmp_path, "good", "#!/bin/sh\necho ran-good\n")
    bad = support.write_script(tmp_path, "bad", "#!/bin/sh\necho ran-bad\n")
    link = tmp_path / "prog"
    os.symlink(good, link)
    stop = threading.Event()

    def swap():  # the operator's name flips between the two files as fast as it can
        while not stop.is_set():
            for path in (bad, good):
                os.symlink(path, tmp_path / "next")
                os.replace(tmp_path / "next", link)

    async def scenario(call, ok):
        replies = []
        swapper = threading.Thread(target=swap)
        swapper.start()
        try:
            for argv0 in [str(link), "prog"] * 15 + [bad, good]:
                replies.append(await call("terminal_start", argv=[argv0]))
                if not replies[-1][1]:
                    await ok("terminal_close", terminal=started_name(replies[-1][0]))
        finally:
            stop.set()
            swapper.join()
        shell = await ok("terminal_start", argv=["rbash", "--norc", "--noprofile"], prompts=["$ "], timeout_ms=3000)
        return replies, await ok("terminal_send", terminal=started_name(shell), line="cd /")

    replies, restricted = serve(tmp_path, ["--allow", str(link), "--allow", "rbash"], scenario)
    ran = [(error, "ran-good" in text, "ran-bad" in text) for text, error in replies]
    assert ran == [(False, True, False)] * 30 + [(True, False, False)] * 2, replies
    # The allowed name is the one the program sees: rbash is restricted.
    assert "restricted" in restricted, restricted


def test_an_allowed_script_runs_by_its_canonical_path_and_is_named_at_start_up(tmp_path):
    # A wrapper that finds its program through $0 (valgrind, pyenv shims):
    # run from a descriptor it would see /dev/fd/N and fail.
    wrap = support.write_script(tmp_path, "wrap", '#!/bin/sh\nexec "$0.bin" "$@"\n')
    support.write_script(tmp_path, "wrap.bin", '#!/bin/sh\necho "real program: $0"\n')
    os.symlink(wrap, tmp_path / "shim")

    async def scenario(call, ok):
        return await ok("terminal_start", argv=["shim"])

    started = serve(tmp_path, ["--allow", str(tmp_path / "shim")], scenario)
    assert f"real program: {wrap}.bin" in started, started
    log = (tmp_path / "server.log").read_text()
    assert f"--allow {tmp_path / 'shim'}: a script, run by its interpreter /bin/sh; it runs as {wrap}" in log, log


def test_control_answers_at_once_while_a_call_waits(tmp_path):
    replies, took = {}, {}

    async def scenario(call, ok):
        async def timed(key, tool, **arguments):
            began = time.monotonic()
            replies[key] = await ok(tool, **arguments)
            took[key] = time.monotonic() - began

        async def waiting(group, key, line):
            group.start_soon(lambda: timed(key, "terminal_send", terminal="t1", line=line, timeout_ms=60_000))
            await anyio.sleep(0.5)

        await ok("terminal_start", argv=["bash", "--norc", "--noprofile"], env={"PS1": PROMPT}, prompts=[PROMPT])
        async with anyio.create_task_group() as group:
            await waiting(group, "sleep", "sleep 30; echo slept")
            await timed("list", "terminal_list")
            await timed("resize", "terminal_resize", terminal="t1", rows=30, columns=100)
            await timed("screen", "terminal_screen", terminal="t1")
            await timed("keys", "terminal_keys", terminal="t1", keys=["C-c"])
        async with anyio.create_task_group() as group:
            await waiting(group, "sleep2", "sleep 30; echo slept")
            await timed("interrupt", "terminal_interrupt", terminal="t1")
        replies["size"] = await ok("terminal_send", terminal="t1", line="stty size")
        # An MCP cancellation ends the running wait: the next read is not
        # queued behind it, and the interrupt reaches the sleep.
        with anyio.move_on_after(0.5):
            await call("terminal_send", terminal="t1", line="sleep 30", timeout_ms=60_000)
        await timed("read", "terminal_read", terminal="t1", timeout_ms=500)
        await timed("after cancel", "terminal_interrupt", terminal="t1")
        async with anyio.create_task_group() as group:
            await waiting(group, "closed", "sleep 30")
            await timed("close", "terminal_close", terminal="t1")

    serve(tmp_path, ["--allow", "bash", "--allow-env", "PS1"], scenario, env={"PS1": None})
    assert max(took[key] for key in took if not key.startswith(("sleep", "closed"))) < 3, took
    assert re.fullmatch(r"t1: bash --norc --noprofile \(pid \d+, running, offset \d+, in use\)", replies["list"]), replies
    assert replies["screen"].startswith("[t1] main screen, 30 rows, version ")
    assert replies["keys"] == "[t1] keys sent; the call waiting on t1 returns the program's answer"
    assert replies["interrupt"].startswith("[t1] Ctrl-C sent")
    for key in ("sleep", "sleep2"):
        assert replies[key].startswith("[t1] status: ready ") and "slept" not in replies[key], replies[key]
    assert took["sleep"] < 3 and replies["size"].endswith(f"30 100\n{PROMPT}"), replies["size"]
    assert replies["read"].startswith("[t1] status: timeout "), replies["read"]
    assert replies["after cancel"].startswith("[t1] status: ready ") and replies["after cancel"].endswith(PROMPT)
    assert replies["closed"].startswith("[t1] status: cancelled (the terminal was closed)"), replies["closed"]


def test_replies_and_the_list_say_how_programs_ended(tmp_path):
    cases = [("exit 7", "exit code 7"), ("exit 0", "exit code 0"),
             ("kill -SEGV $$", "killed by SIGSEGV"), ("kill -KILL $$", "killed by SIGKILL")]

    async def scenario(call, ok):
        names = [started_name(await ok("terminal_start", argv=["sh"])) for _ in cases]
        return [await ok("terminal_send", terminal=n, line=line) for n, (line, _) in zip(names, cases)], \
            await ok("terminal_list")

    replies, listing = serve(tmp_path, ["--allow", "sh"], scenario)
    assert [reply.split("\n")[0].split("; ", 1)[0].split(" (")[0] for reply in replies] == [
        f"[t{i}] status: exited" for i in range(1, 5)]
    assert [reply.split("\n")[0].rsplit("; ", 1)[1] for reply in replies] == [ending for _, ending in cases]
    assert [line.split(", ")[1] for line in listing.splitlines()] == [ending for _, ending in cases]


def test_an_allowed_shell_started_as_shell_opens_replies_with_the_commands_exit_code(tmp_path):
    lines = ["false", "cd / && sh -c 'exit 7'", "true"]

    async def scenario(call, ok):
        refused = await call("terminal_start", argv=["bash", "--rcfile", str(tmp_path / "x")], shell=True)
        name = started_name(await ok("terminal_start", argv=["bash"], shell=True, cwd=str(tmp_path)))
        return refused, [await ok("terminal_send", terminal=name, line=line) for line in lines]

    refused, replies = serve(tmp_path, ["--allow", "bash"], scenario, env={"HOME": str(tmp_path)})
    assert refused[1] and "argv names only the shell" in refused[0]
    assert [reply.split(" status: ")[0] for reply in replies] == [
        f"[t1] command exit code 1; folder {tmp_path};", "[t1] command exit code 7; folder /;",
        "[t1] command exit code 0; folder /;"]


def test_long_output_the_cap_the_bound_and_history_pages(tmp_path):
    async def scenario(call, ok):
        await ok("terminal_start", argv=["sh"], env={"PS1": "$ "}, prompts=["$ "])
        capped = await ok("terminal_send", terminal="t1", line="seq 1 400000; echo done", timeout_ms=60_000)
        rest = await ok("terminal_read", terminal="t1", timeout_ms=60_000)
        await ok("terminal_send", terminal="t1", line="seq 1 100000", timeout_ms=60_000)
        pages, offset = [], 0
        while not pages or pages[-1].split("\n", 1)[1]:
            pages.append(await ok("terminal_history", terminal="t1", offset=offset, limit=2000))
            offset = int(re.search(r" to (\d+) of", pages[-1]).group(1))
        return capped, rest, pages, await ok("terminal_history", terminal="t1", limit=100)

    options = ["--allow", "sh", "--allow-env", "PS1", "--max-output-chars", "2000"]
    capped, rest, pages, tail = serve(tmp_path, options, scenario, env={"PS1": None})
    header, body = capped.split("\n", 1)
    omitted, total, tokens, offset, omitted_again = map(int, re.fullmatch(
        r"\[t1\] status: cap \(output cap reached: terminal_read returns the rest\); \d+ ms; offset \d+; \d+ more bytes queued; "
        r"still running; what you send now goes to the running program; (\d+) of (\d+) characters \(about (\d+) "
        r"tokens\) left out of the middle \(terminal_history offset=(\d+) limit=(\d+) has them; terminal_search finds "
        r"text in them\)", header).groups())
    head, end = body.split(f"\n[... {omitted} characters left out ...]\n")
    assert omitted_again == omitted and tokens == -(-omitted // 4)
    assert omitted == total - 2000 and len(head) + len(end) == 2000 and head.startswith("1\n2\n3\n")
    assert rest.startswith("[t1] status: ready ") and rest.endswith("\n400000\ndone\n$ ")
    # The pages join into the whole history, each header saying where it is.
    whole, at = "", 0
    for page in pages:
        header, body = page.split("\n", 1)
        assert header == f"[t1] history characters {at} to {at + len(body)} of {header.rsplit(' ', 1)[1]}"
        whole, at = whole + body, at + len(body)
    assert pages[-1].split("\n")[0].endswith(f" of {len(whole)}") and len(pages) > 100
    assert whole.endswith("\n99999\n100000\n$ ") and "\n300000\n" in whole
    # The offsets the capped reply gave hold what it left out.
    assert whole[offset - len(head):offset] == head and whole[offset + omitted:].startswith(end)
    assert tail == f"[t1] history characters {len(whole) - 100} to {len(whole)} of {len(whole)}\n{whole[-100:]}"


def test_keys_take_agents_spellings_refuse_misspelt_ones_and_text_goes_as_typed(tmp_path):
    found = {}

    async def scenario():
        async with connected(tmp_path, "--allow", "bash", found=found) as (call, ok):
            await ok("terminal_start", argv=["bash", "--norc", "--noprofile"], env={}, prompts=[])
            await ok("terminal_send", terminal="t1", line="PS1='$ '")
            return [
                await call("terminal_keys", terminal="t1", keys=["echo one", "ctrl-c", "Ctrl+C", "ENTER"]),
                await call("terminal_keys", terminal="t1", keys=["echo two", "Ctrl+Q2", "Enter"]),
                await call("terminal_keys", terminal="t1", text="echo Enter", keys=["Return"]),
                await call("terminal_keys", terminal="t1"),
            ]

    interrupted, misspelt, typed, empty = anyio.run(scenario)
    # Ctrl-C twice dropped the line, Enter ran nothing: no "ctrl-cCtrl+CENTER"
    assert not interrupted[1] and "command not found" not in interrupted[0] and "one" not in interrupted[0]
    assert misspelt[1] and "not a key: 'Ctrl+Q2'" in misspelt[0] and "PageDown (PgDn)" in misspelt[0]
    # nothing of the refused call was typed: the line holds only what follows
    assert not typed[1] and typed[0].endswith("\nEnter\n$ ") and "two" not in typed[0], typed
    assert empty[1] and "give keys, text or both" in empty[0]
    (keys,) = [tool for tool in found["tools"] if tool.name == "terminal_keys"]
    assert describe_keys() in json.dumps(keys.input_schema)


def test_full_screen_programs_through_keys_and_the_screen_and_their_recordings(tmp_path):
    (tmp_path / "long.txt").write_text("".join(f"line {i}\n" for i in range(1, 501)))
    (tmp_path / "casts").mkdir()

    async def scenario(call, ok):
        seen = {}
        await ok("terminal_start", argv=["vim", "-Nu", "NONE", str(tmp_path / "note.txt")], rows=10, columns=40)
        await ok("terminal_keys", terminal="t1", keys=["i", "hello", "Escape"])
        await ok("terminal_keys", terminal="t1", keys=[":set number", "Enter"])
        seen["vim"] = await ok("terminal_screen", terminal="t1")
        await ok("terminal_keys", terminal="t1", keys=[":wq", "Enter"])
        await ok("terminal_start", argv=["less", str(tmp_path / "long.txt")], rows=10, columns=40)
        await ok("terminal_keys", terminal="t2", keys=["/", "line 300", "Enter"])
        seen["search"] = await ok("terminal_screen", terminal="t2")
        await ok("terminal_keys", terminal="t2", keys=["Space"])
        seen["page"] = await ok("terminal_screen", terminal="t2")
        seen["quit"] = await ok("terminal_keys", terminal="t2", keys=["q"])
        with anyio.fail_after(10):  # vim leaves a moment after :wq
            while "running" in (listing := await ok("terminal_list")):
                await anyio.sleep(0.05)
        seen["list"] = listing
        return seen

    seen = serve(tmp_path, ["--allow", "vim", "--allow", "less", "--record", str(tmp_path / "casts")], scenario)
    header, *lines = seen["vim"].split("\n")
    assert re.fullmatch(r"\[t1\] alternate screen, 10 rows, version \d+, cursor 1,9; running",
                        header), header
    assert lines[:2] == ["  1 hello", "~"] and len(lines) == 10, lines
    assert seen["search"].split("\n")[1] == "line 300", seen["search"]
    assert seen["page"].split("\n")[1:3] == ["line 309", "line 310"], seen["page"]
    assert seen["quit"].startswith("[t2] status: exited ") and "; exit code 0" in seen["quit"]
    assert ", exit code 0, offset " in seen["list"].split("\n")[0]
    assert (tmp_path / "note.txt").read_text() == "hello\n"

    casts = sorted(os.listdir(tmp_path / "casts"))
    assert [re.fullmatch(r"(t[12])-\d{8}-\d{6}\.\d{3}\.cast", name).group(1) for name in casts] == ["t1", "t2"]
    header, *events = (tmp_path / "casts" / casts[0]).read_text().splitlines()
    assert {k: v for k, v in json.loads(header).items() if k in ("version", "width", "height")} == {
        "version": 2, "width": 40, "height": 10}
    events = [json.loads(event) for event in events]
    assert "hello" in "".join(data for _, kind, data in events if kind == "o")
    assert "".join(data for _, kind, data in events if kind == "i").startswith("ihello\x1b:set number\r")


def _descendants(root):
    parents = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                parents[int(entry)] = int(f.read().rsplit(b")", 1)[1].split()[1])
        except OSError:
            continue
    found, todo = set(), [root]
    while todo:
        root = todo.pop()
        children = {pid for pid, parent in parents.items() if parent == root}
        found |= children
        todo += children
    return {pid for pid in found if support.running(pid)}


@pytest.mark.parametrize("leave", ["disconnect", "SIGTERM"])
def test_no_program_outlives_the_connection(leave, tmp_path):
    if shutil.which("gdb") is None or shutil.which("cc") is None:
        pytest.skip("needs gdb and a C compiler")
    (tmp_path / "crash.c").write_text("int main(void) { volatile int *p = 0; return *p; }\n")
    subprocess.run(["cc", "-g", "-o", tmp_path / "crash", tmp_path / "crash.c"], check=True)
    before = set(support.child_processes())

    async def scenario(call, ok):
        (server,) = set(support.child_processes()) - before
        await ok("terminal_start", argv=["gdb", "-q", "-nx", str(tmp_path / "crash")], prompts=["(gdb) "])
        crashed = await ok("terminal_send", terminal="t1", line="run")
        await ok("terminal_start", argv=["bash", "--norc", "--noprofile"], env={"PS1": PROMPT}, prompts=[PROMPT])
        await ok("terminal_send", terminal="t2", line="sleep 300 & sleep 300", timeout_ms=300)
        # Ignores the hang-up that stops the others.
        await ok("terminal_start", argv=["sh", "-c", "trap '' HUP; exec sleep 300"], timeout_ms=300)
        programs = _descendants(server)
        if leave == "SIGTERM":
            os.kill(server, signal.SIGTERM)
            with anyio.fail_after(30):
                while server in support.child_processes() and support.running(server):
                    await anyio.sleep(0.02)
        return crashed, programs

    crashed, programs = serve(tmp_path, ["--allow-any"], scenario)
    assert "SIGSEGV" in crashed, crashed
    # gdb and its stopped program, bash and its two sleeps, the third sleep.
    assert len(programs) >= 6, programs
    try:
        assert support.wait_until(lambda: not any(map(support.running, programs)), timeout=15)
    finally:
        for pid in filter(support.running, programs):
            support.kill_quietly(pid)


# A daemon of the two usual kinds, each writing its pid: a job that leaves
# bash's session with setsid, and a Python double fork with setsid between.
DAEMON = """import os, sys, time
if os.fork(): os._exit(0)
os.setsid()
if os.fork(): os._exit(0)
open(sys.argv[1], "w").write(str(os.getpid()))
time.sleep(991)
"""

CLIENT = """
import anyio, glob, json, os, sys
from mcp import ClientSession, StdioServerParameters
from mcp.client.stdio import stdio_client

# The server runs on the test's own interpreter (under a sanitizer, the shim
# that preloads its runtime), not on this one's.
folder, leave, python = sys.argv[1], sys.argv[2], sys.argv[3]

async def main():
    server = StdioServerParameters(command=python, args=["-m", "morvik_agent.mcp", "--allow-any"],
                                   env=dict(os.environ))
    with open(os.path.join(folder, "server.log"), "w") as log:
        async with stdio_client(server, errlog=log) as (r, w), ClientSession(r, w) as s:
            await s.initialize()
            started = await s.call_tool("terminal_start", {"argv": ["bash", "--norc", "--noprofile"],
                                                           "env": {"PS1": "$ "}})
            program = int(started.content[0].text.split("(pid ")[1].split(")")[0])
            for line in (f"setsid sh -c 'echo $$ > {folder}/job.pid; exec sleep 991' &",
                         f"{sys.executable} {folder}/daemon.py {folder}/double.pid"):
                await s.call_tool("terminal_send", {"terminal": "t1", "line": line})
            with anyio.fail_after(20):
                while len([f for f in glob.glob(os.path.join(folder, "*.pid")) if os.path.getsize(f)]) < 2:
                    await anyio.sleep(0.02)
            with open(f"/proc/{program}/stat") as f:
                server_pid = int(f.read().rsplit(")", 1)[1].split()[1])
            print(json.dumps(server_pid), flush=True)
            if leave == "close":
                await s.call_tool("terminal_close", {"terminal": "t1"})
            elif leave == "killed":
                await anyio.sleep(600)

anyio.run(main)
"""


@pytest.mark.parametrize("leave", ["close", "disconnect", "killed"])
def test_daemons_end_with_their_terminal_however_the_client_goes(leave, tmp_path):
    (tmp_path / "daemon.py").write_text(DAEMON)
    client = subprocess.Popen([sys.executable, "-c", CLIENT, str(tmp_path), leave, sys.executable],
                              stdout=subprocess.PIPE, text=True)
    daemons = []
    try:
        server = int(client.stdout.readline())
        daemons = [int((tmp_path / name).read_text()) for name in ("job.pid", "double.pid")]
        assert all(map(support.running, daemons))
        if leave == "killed":
            client.kill()
        client.wait(timeout=60)
        assert support.wait_until(lambda: not any(map(support.running, [server, *daemons])), timeout=30), \
            (server, daemons)
        log = (tmp_path / "server.log").read_text()
        assert "Traceback" not in log, log
    finally:
        client.kill()
        client.wait()
        for pid in filter(support.running, daemons):
            support.kill_quietly(pid)


def test_a_client_gone_with_our_stdout_costs_one_line_and_ends_the_programs(tmp_path):
    # The client's reading end dies while its writing end stays open (a
    # client killed behind a pipe another process holds): the server learns
    # it only when it answers.
    with open(tmp_path / "server.log", "w") as log:
        server = subprocess.Popen([*SERVER, "--allow-any"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log)

    def send(message):
        server.stdin.write((json.dumps({"jsonrpc": "2.0", **message}) + "\n").encode())
        server.stdin.flush()

    try:
        send({"id": 1, "method": "initialize", "params": {
            "protocolVersion": "2025-06-18", "capabilities": {}, "clientInfo": {"name": "test", "version": "1"}}})
        server.stdout.readline()
        send({"method": "notifications/initialized"})
        send({"id": 2, "method": "tools/call", "params": {"name": "terminal_start", "arguments": {"argv": ["sh"]}}})
        program = int(re.search(r"\(pid (\d+)\)", server.stdout.readline().decode()).group(1))
        server.stdout.close()
        send({"id": 3, "method": "tools/call", "params": {"name": "terminal_list", "arguments": {}}})
        assert server.wait(timeout=60) == 1
    finally:
        server.kill()
        server.wait()
    log = (tmp_path / "server.log").read_text()
    assert log.splitlines()[-1] == "morvik-mcp: the client went away (broken pipe); every program was stopped", log
    assert "Traceback" not in log and not support.running(program), log


def test_budgets_in_tokens_changes_and_search_through_the_tools(tmp_path):
    progress = support.python_child(tmp_path, "progress", r"""
import sys, time
print("building the project, a long banner line\nwith a second line to keep")
sys.stdout.flush()
time.sleep(0.5)
for step in range(1, 11):
    sys.stdout.write(f"\rstep {step} of 10"); sys.stdout.flush(); time.sleep(0.05)
print("\nERROR: disk full")
sys.stdin.readline()
""")

    async def scenario(call, ok):
        got = {"start": await ok("terminal_start", argv=["sh"], env={"PS1": "$ "}, prompts=["$ "])}
        got["long"] = await ok("terminal_send", terminal="t1", line="seq 1 3000", max_tokens=100)
        # The server's 1000 tokens bound every page; the history in pages of 4000 characters.
        got["over"] = await call("terminal_history", terminal="t1", limit=4001)
        got["whole"] = ""
        while not got["whole"] or len(page) == 4000:
            page = (await ok("terminal_history", terminal="t1", offset=len(got["whole"]), limit=4000)).split("\n", 1)[1]
            got["whole"] += page
        got["search"] = await ok("terminal_search", terminal="t1", pattern=r"^(1500|299\d)$", regex=True, limit=3,
                                 context_lines=1)
        await ok("terminal_start", argv=[progress], rows=5, columns=50, quiet_ms=200)
        first = await ok("terminal_screen", terminal="t2")
        got["first"] = first
        version = int(re.search(r"version (\d+)", first).group(1))
        got["change"] = await ok("terminal_wait_for_change", terminal="t2", quiet_ms=300, changes_since=version)
        got["same"] = await ok("terminal_screen", terminal="t2",
                               changes_since=int(re.search(r"version (\d+)", got["change"]).group(1)))
        return got

    got = serve(tmp_path, ["--allow", "sh", "--allow", progress, "--allow-env", "PS1", "--max-output-tokens", "1000"],
                scenario, env={"PS1": None})
    # The call's 100 tokens hold, not the server's 1000, and the header says where the middle is.
    header, body = got["long"].split("\n", 1)
    omitted, offset = map(int, re.search(r"(\d+) of \d+ characters \(about \d+ tokens\) left out of the middle "
                                          r"\(terminal_history offset=(\d+) ", header).groups())
    assert len(body) - len(f"\n[... {omitted} characters left out ...]\n") == 400
    assert got["over"][1] and "limit: Input should be less than or equal to 4000" in got["over"][0]
    whole = got["whole"]
    head, tail = body.split(f"\n[... {omitted} characters left out ...]\n")
    assert whole[offset - len(head):offset] == head and whole[offset + omitted:].startswith(tail)
    # Hits at their offsets into the same history, the hit's line marked.
    hits = re.findall(r"@(\d+) line (\d+)\n.*\n>\d+\|(\d+)\n", got["search"])
    assert got["search"].startswith("[t1] 3 hits (the first 3; more follow") and len(hits) == 3
    for at, line, text in hits:
        assert whole[int(at):].startswith(text + "\n") and whole.count("\n", 0, int(at)) == int(line) - 1
    assert [text for _, _, text in hits] == ["1500", "2990", "2991"]
    # The change settled once the bar ended; its rows rebuild the screen.
    rows = got["first"].split("\n")[1:]
    change_header, *changes = got["change"].split("\n")
    assert change_header.startswith("[t2] changed after ") and re.search(r"\d+ changes since", change_header)
    for line in changes:
        where, _, text = line.partition("|")
        number, _, column = where.partition(":")
        rows[int(number) - 1] = rows[int(number) - 1][:int(column) - 1] + text if column else text
    assert rows[:4] == ["building the project, a long banner line", "with a second line to keep", "step 10 of 10",
                        "ERROR: disk full"], rows
    assert re.search(r"unchanged since \d+; running$", got["same"]), got["same"]

"""The MCP server as a client sees it: `morvik-mcp` in a subprocess, driven
through the SDK's stdio client and the tools alone.

Protects: terminal_list and terminal_interrupt answering at once while a
send waits, the interrupt reaching the running command; a cancelled call
ending its wait; exit codes in replies and the list; replies bounded to the configured size with
their head, their tail and an exact count of what was left out; a program
outside --allow refused (compared by resolved path, so another spelling of
an allowed one passes); and no program the server started, nor any of their
children, still running once the client has gone or the server was sent
SIGTERM. (The gdb crash hunt is the example examples/mcp_gdb.py, run by
test_examples.py.)
Must never trust the server's word for the clean-up: the processes are
listed from /proc while they run and looked up again afterwards.
"""

import os
import re
import shutil
import signal
import subprocess
import sys
from contextlib import asynccontextmanager

import anyio
import pytest
from mcp import ClientSession, StdioServerParameters
from mcp.client.stdio import stdio_client
from mcp.types import TextContent

import support

PROMPT = support.SHELL_PROMPT
SHELL = {"argv": ["bash", "--norc", "--noprofile"], "env": {"PS1": PROMPT}, "prompts": [PROMPT]}


@asynccontextmanager
async def connected(errlog, *options):
    server = StdioServerParameters(command=sys.executable, args=["-m", "morvik_agent.mcp", *options])
    async with stdio_client(server, errlog=errlog) as (read, write), ClientSession(read, write) as session:
        await session.initialize()

        async def call(tool, **arguments):
            result = await session.call_tool(tool, arguments)
            text = "".join(block.text for block in result.content if isinstance(block, TextContent))
            return text, result.is_error

        yield call


def started_name(text):
    return re.search(r" as terminal (t\d+) ", text).group(1)


def test_shell_through_the_tools_control_cancel_bound_and_allow(tmp_path):
    bash = os.path.realpath(shutil.which("bash"))

    async def scenario():
        with open(tmp_path / "server.log", "w") as log:
            async with connected(log, "--allow", "bash", "--max-output-chars", "2000") as call:
                refused = [await call("terminal_start", argv=[name]) for name in ("cat", "sh")]
                # Another spelling of the allowed program is the same file.
                text, error = await call("terminal_start", **{**SHELL, "argv": [bash, "--norc"]})
                assert not error, text
                shell = started_name(text)
                replies = {}
                async with anyio.create_task_group() as group:
                    async def sleep_call():
                        replies["sleep"] = await call("terminal_send", terminal=shell, line="sleep 30")
                    group.start_soon(sleep_call)
                    await anyio.sleep(0.5)
                    # Control answers at once while the send waits.
                    with anyio.fail_after(2):
                        replies["list"] = await call("terminal_list")
                        replies["interrupt"] = await call("terminal_interrupt", terminal=shell)
                replies["status"] = await call("terminal_send", terminal=shell, line="echo $?")
                # A cancelled call ends its wait: the next interrupt reaches
                # the command it was waiting for, not an idle prompt.
                with anyio.move_on_after(0.5):
                    await call("terminal_send", terminal=shell, line="sleep 30")
                with anyio.fail_after(5):
                    await call("terminal_interrupt", terminal=shell)
                    replies["cancelled"] = await call("terminal_send", terminal=shell, line="echo $?")
                replies["listing"] = await call("terminal_send", terminal=shell, line="seq 1 100000")
                replies["exit"] = await call("terminal_send", terminal=shell, line="exit 7")
                replies["ended"] = await call("terminal_list")
                return refused, replies

    refused, replies = anyio.run(scenario)
    for text, error in refused:
        assert error and "is not allowed here" in text and bash in text, text
    assert not any(error for _, error in replies.values()), replies
    text = {name: reply for name, (reply, _) in replies.items()}
    assert text["list"] == f"t1: {bash} --norc (pid {text['list'].split('pid ')[1].split(',')[0]}, running)"
    assert text["interrupt"].startswith("[t1] Ctrl-C sent")
    assert text["sleep"].startswith("[t1] status: ready ") and text["sleep"].endswith(PROMPT)
    assert text["status"].endswith(f"\n130\n{PROMPT}") and text["cancelled"].endswith(f"\n130\n{PROMPT}")
    assert text["exit"].startswith("[t1] status: exited ") and "; exit code 7" in text["exit"].split("\n")[0]
    assert text["ended"].endswith(", exit code 7)")

    header, body = text["listing"].split("\n", 1)
    omitted, total = map(int, re.search(r"; (\d+) of (\d+) characters left out", header).groups())
    head, tail = body.split(f"\n[... {omitted} characters left out ...]\n")
    assert omitted == total - 2000 > 500_000
    assert len(head) + len(tail) == 2000
    assert head.startswith("\n1\n2\n3\n") and tail.endswith("\n99999\n100000\n" + PROMPT)


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
        with open(tmp_path / "server.log", "w") as log:
            async with connected(log) as call:
                (server,) = set(support.child_processes()) - before
                gdb = started_name((await call(
                    "terminal_start", argv=["gdb", "-q", "-nx", crashing_program], prompts=["(gdb) "]))[0])
                crashed, _ = await call("terminal_send", terminal=gdb, line="run")
                shell = started_name((await call("terminal_start", **SHELL))[0])
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

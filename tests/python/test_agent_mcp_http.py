"""`morvik-mcp --http` as its clients see it: a server in a subprocess on a
loopback port, driven through the SDK's streamable-HTTP client, raw HTTP
requests for what a client may never do, and clients killed mid-call.

Protects the door (every request needs the operator's token; other hosts,
other sites and other users are refused before anything runs), terminals
that outlive their client and are found again by name, replies that say
where their text ends so a new client carries on from there with nothing
lost or repeated, a busy terminal that refuses a second wait at once, and
the end of every program at idle time or on SIGTERM. Must never trust the
server's word: the text assembled is checked against the recording, and
descriptors, threads and processes are read from /proc.
"""

import json
import os
import random
import re
import signal
import stat
import subprocess
import sys
import time
from contextlib import asynccontextmanager, contextmanager

import anyio
import httpx2
import pytest
from mcp import ClientSession
from mcp.client.streamable_http import streamable_http_client
from mcp.types import TextContent

import hooks
import support

SERVER = [sys.executable, "-m", "morvik_agent.mcp"]
SHELL = ["bash", "--norc", "--noprofile"]
PS1 = {"PS1": "$ "}


@contextmanager
def http_server(folder, *options):
    """A server on a free loopback port: (url, token, process); SIGTERM at the end."""
    os.chmod(folder, 0o700)
    token_file = folder / "token"
    log = open(folder / "server.log", "w+")
    process = subprocess.Popen([*SERVER, "--http", "0", "--token-file", str(token_file), *options],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log)
    try:
        assert support.wait_until(lambda: "serving MCP at" in (folder / "server.log").read_text(), timeout=60), \
            (folder / "server.log").read_text()
        url = re.search(r"at (http://\S+/mcp);", (folder / "server.log").read_text()).group(1)
        yield url, token_file.read_text().strip(), process
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=30)
        finally:
            process.kill()
            process.wait()
            log.close()


@asynccontextmanager
async def connected(url, token):
    """``(call, ok)`` on a new MCP session of the SDK's streamable-HTTP client."""
    headers = {"Authorization": f"Bearer {token}"}
    async with httpx2.AsyncClient(headers=headers, timeout=httpx2.Timeout(30, read=300)) as http, \
            streamable_http_client(url, http_client=http) as streams, \
            ClientSession(streams[0], streams[1]) as session:
        await session.initialize()

        async def call(tool, **arguments):
            result = await session.call_tool(tool, arguments)
            return "".join(b.text for b in result.content if isinstance(b, TextContent)), result.is_error

        async def ok(tool, **arguments):
            text, error = await call(tool, **arguments)
            assert not error, (tool, arguments, text)
            return text

        yield call, ok


def reply_parts(text):
    """(offset, reply text) of a rendered reply (after terminal_start's own line)."""
    if text.startswith("started "):
        text = text.split("\n", 1)[1]
    header, body = text.split("\n", 1)
    return int(re.search(r"; offset (\d+)", header).group(1)), body


INIT = {"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {
    "protocolVersion": "2025-06-18", "capabilities": {}, "clientInfo": {"name": "test", "version": "1"}}}
POST = {"Content-Type": "application/json", "Accept": "application/json, text/event-stream"}


def test_every_request_without_the_token_or_from_another_site_is_refused(tmp_path):
    marker = tmp_path / "ran"
    with http_server(tmp_path, "--allow", "sh") as (url, token, _):
        port = url.split(":")[2].split("/")[0]
        bearer = {"Authorization": f"Bearer {token}"}
        with httpx2.Client(timeout=30) as http:
            opened = http.post(url, json=INIT, headers={**POST, **bearer})
            session = {"mcp-session-id": opened.headers["mcp-session-id"], "mcp-protocol-version": "2025-06-18"}
            http.post(url, json={"jsonrpc": "2.0", "method": "notifications/initialized"},
                      headers={**POST, **bearer, **session})
            start = {"jsonrpc": "2.0", "id": 2, "method": "tools/call", "params": {
                "name": "terminal_start", "arguments": {"argv": ["sh", "-c", f"echo > {marker}"]}}}
            cases = [  # (what, extra headers, query, body, status)
                ("no token", {}, "", start, 401),
                ("wrong bearer", {"Authorization": f"Bearer {token[:-1]}x"}, "", start, 401),
                ("not a bearer", {"Authorization": f"Basic {token}"}, "", start, 401),
                ("wrong cookie", {"Cookie": "morvik_token=nope"}, "", start, 401),
                ("wrong query", {}, "?token=nope", start, 401),
                ("right bearer, wrong cookie", {**bearer, "Cookie": "morvik_token=nope"}, "", start, 401),
                ("a bearer of nothing", {"Authorization": "Bearer"}, "", start, 401),
                ("another site's Host", {**bearer, "Host": f"evil.example:{port}"}, "", start, 421),
                ("another site's Origin", {**bearer, "Origin": f"http://evil.example:{port}"}, "", start, 403),
                ("a lookalike Origin", {**bearer, "Origin": f"http://localhost.evil.example:{port}"}, "", start, 403),
                ("no token, other path", {}, "", None, 401),
            ]
            answers = []
            for what, headers, query, body, _ in cases:
                target = url + query if body is not None else url.replace("/mcp", "/")
                answer = http.post(target, json=body, headers={**POST, **session, **headers}) if body else \
                    http.get(target, headers=headers)
                answers.append(answer)
            wrong = [(case[0], a.status_code, a.text[:100]) for case, a in zip(cases, answers) if a.status_code != case[4]]
            assert not wrong, wrong
            assert all(a.headers.get("www-authenticate", "").startswith("Bearer") for c, a in zip(cases, answers)
                       if c[4] == 401)
            # The token once in the query gives a cookie a page's scripts cannot read, then the cookie does.
            queried = http.post(f"{url}?token={token}", json=INIT, headers=POST)
            cookie = queried.headers["set-cookie"]
            by_cookie = http.post(url, json=INIT, headers={**POST, "Cookie": f"morvik_token={token}"})
            local = http.post(url, json=INIT, headers={**POST, **bearer, "Host": f"localhost:{port}"})
            listed = http.post(url, headers={**POST, **bearer, **session}, json={
                "jsonrpc": "2.0", "id": 3, "method": "tools/call", "params": {"name": "terminal_list", "arguments": {}}})
        # The token: at least 128 random bits, for the user alone.
        assert len(token) >= 22 and stat.S_IMODE(os.stat(tmp_path / "token").st_mode) == 0o600
    assert queried.status_code == by_cookie.status_code == local.status_code == 200
    assert cookie == f"morvik_token={token}; HttpOnly; SameSite=Strict; Path=/"
    assert "no open terminals" in listed.text and not marker.exists()
    assert not (tmp_path / "token").exists(), "the token outlived the server"


@pytest.mark.parametrize("options, message", [
    (["--http", "0.0.0.0:0"], "0.0.0.0 is not a loopback address; this server listens only on 127.0.0.1 or ::1"),
    (["--http", "192.0.2.1:8765"], "From another host, forward a port to it over ssh: ssh -L 8765:127.0.0.1:8765"),
    (["--http", "127.0.0.1:http"], "not a port"),
    (["--http", "0", "--token-file", "{open}/token"], "is open to other users"),
])
def test_the_server_listens_only_on_loopback_and_writes_its_token_only_where_the_user_alone_may_look(
        options, message, tmp_path):
    (tmp_path / "open").mkdir(mode=0o755)
    os.chmod(tmp_path / "open", 0o755)
    argv = [*SERVER, "--allow", "sh", *[o.format(open=tmp_path / "open") for o in options]]
    done = subprocess.run(argv, capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
    assert done.returncode == 2 and message in done.stderr, done
    assert not (tmp_path / "open" / "token").exists()


def test_named_terminals_outlive_their_client_and_a_new_one_reads_on_from_an_offset(tmp_path):
    async def first(url, token):
        async with connected(url, token) as (call, ok):
            start = await ok("terminal_start", argv=SHELL, env=PS1, name="build_1")
            offset, text = reply_parts(start)
            taken = await call("terminal_start", argv=SHELL, name="build_1")
            unnamed = await ok("terminal_start", argv=SHELL, env=PS1)
            await ok("terminal_send", terminal="build_1", line="echo one")
            bad = await call("terminal_start", argv=SHELL, name="no/slash")
            # A reply this client never sees: the next one reads it from the offset.
            await ok("terminal_send", terminal="build_1", line="echo two; echo three", timeout_ms=60_000)
        return offset, text, taken, unnamed, bad

    async def second(url, token, offset):
        async with connected(url, token) as (call, ok):
            listing = await ok("terminal_list")
            replayed = await ok("terminal_read", terminal="build_1", since=offset, timeout_ms=200)
            again = await ok("terminal_read", terminal="build_1", since=reply_parts(replayed)[0], timeout_ms=200)
            past = await call("terminal_read", terminal="build_1", since=10**9, timeout_ms=600_000)
            history = await ok("terminal_history", terminal="build_1")
        return listing, replayed, again, past, history

    with http_server(tmp_path, "--allow", "bash", "--allow-env", "PS1") as (url, token, _):
        offset, text, taken, unnamed, bad = anyio.run(first, url, token)
        listing, replayed, again, past, history = anyio.run(second, url, token, offset)
    assert taken[1] and "a terminal named build_1 is open already" in taken[0]
    assert bad[1] and "name: String should match pattern" in bad[0], bad
    assert " as terminal t1 " in unnamed
    assert re.fullmatch(r"build_1: bash --norc --noprofile \(pid \d+, running, offset \d+, idle \d+ s\)\n"
                        r"t1: bash .*", listing), listing
    end, missed = reply_parts(replayed)
    assert missed == "\none\n$ \ntwo\nthree\n$ " and f"offset {end}, idle" in listing
    assert reply_parts(again) == (end, "")
    assert past[1] and "since: offset 1000000000 is past the end of this terminal's text" in past[0]
    assert text + missed == history.split("\n", 1)[1] and end == len(text) + len(missed)


def test_a_second_wait_on_a_busy_terminal_fails_at_once_and_control_never_queues(tmp_path):
    took = {}

    async def timed(key, caller, tool, **arguments):
        began = time.monotonic()
        took[key] = (await caller(tool, **arguments), time.monotonic() - began)

    async def run(url, token):
        async with connected(url, token) as (call, ok), connected(url, token) as (call2, ok2):
            await ok("terminal_start", argv=SHELL, env=PS1, name="t")
            async with anyio.create_task_group() as group:
                group.start_soon(lambda: timed("long", call, "terminal_send", terminal="t",
                                               line="sleep 30; echo slept", timeout_ms=60_000))
                await anyio.sleep(1)
                await timed("read", call2, "terminal_read", terminal="t", timeout_ms=60_000)
                await timed("send", call2, "terminal_send", terminal="t", line="echo no", timeout_ms=60_000)
                await timed("own", call, "terminal_read", terminal="t", timeout_ms=60_000)
                await timed("list", call2, "terminal_list")
                await timed("screen", call2, "terminal_screen", terminal="t")
                await timed("interrupt", call2, "terminal_interrupt", terminal="t")
            await timed("after", call2, "terminal_send", terminal="t", line="echo free")

    async def after_kill(url, token):
        async with connected(url, token) as (call, ok):
            await timed("orphaned", call, "terminal_read", terminal="t", timeout_ms=300)

    with http_server(tmp_path, "--allow", "bash", "--allow-env", "PS1") as (url, token, _):
        anyio.run(run, url, token)
        # A client killed mid-call frees the terminal at once: nobody reads its answer.
        clients = Clients(tmp_path, url, token, "t")
        try:
            assert clients.call_then_kill("sleep 30", 1)
        finally:
            clients.close()
        time.sleep(0.5)
        anyio.run(after_kill, url, token)
    for key in ("read", "send"):
        (text, error), seconds = took[key]
        assert error and text == f"Error executing tool terminal_{key}: terminal t is busy with another client's " \
            "call; terminal_read it again once that call returned" and seconds < 3, took[key]
    assert took["own"][0][1] and "busy with another call;" in took["own"][0][0]
    assert all(not took[key][0][1] and took[key][1] < 3 for key in ("list", "screen", "interrupt")), took
    assert "(pid " in took["list"][0][0] and ", in use)" in took["list"][0][0]
    assert took["interrupt"][0][0].startswith("[t] Ctrl-C sent")
    long, _ = took["long"]
    assert not long[1] and long[0].startswith("[t] status: ready") and "slept" not in long[0], long
    assert took["after"][0][0].endswith("\nfree\n$ "), took["after"]
    (text, error), _ = took["orphaned"]
    assert not error and text.startswith("[t] status: timeout"), text


def test_idle_terminals_close_and_sigterm_ends_every_program(tmp_path):
    async def scenario(url, token):
        async with connected(url, token) as (call, ok):
            await ok("terminal_start", argv=["sleep", "300"], name="idle", timeout_ms=100)
            await ok("terminal_start", argv=["sleep", "300"], name="kept", timeout_ms=100)
            pids = [int(p) for p in re.findall(r"\(pid (\d+)", await ok("terminal_list"))]
            for _ in range(30):  # "kept" stays in use; "idle" is left alone for 2 s
                await ok("terminal_screen", terminal="kept")
                await anyio.sleep(0.1)
            return pids, await ok("terminal_list")

    with http_server(tmp_path, "--allow", "sleep", "--idle-close", "0.02") as (url, token, server):
        pids, listing = anyio.run(scenario, url, token)
        assert [line.split(":")[0] for line in listing.splitlines()] == ["kept"], listing
        assert support.wait_until(lambda: not support.running(pids[0]), timeout=15)
        assert support.running(pids[1])
        server.send_signal(signal.SIGTERM)
        assert server.wait(timeout=30) == -signal.SIGTERM
        assert support.wait_until(lambda: not support.running(pids[1]), timeout=15)
    log = (tmp_path / "server.log").read_text()
    assert "morvik-mcp: closed idle, unused for 0.02 minutes" in log and "Traceback" not in log, log
    assert not (tmp_path / "token").exists()


# Clients the test kills at moments of its choosing, forked from one process
# that has the SDK loaded already (a fresh interpreter's imports would take
# most of a cycle): one client for each line read, which says when its call
# is about to go out, then sends that line and waits for the answer.
CLIENTS = """
import anyio, httpx2, os, sys
from mcp import ClientSession
from mcp.client.streamable_http import streamable_http_client

url, token, name = sys.argv[1:4]

def say(word):
    os.write(1, f"{word}\\n".encode())

async def client(line):
    async with httpx2.AsyncClient(headers={"Authorization": f"Bearer {token}"}, timeout=60) as http, \\
            streamable_http_client(url, http_client=http) as streams, ClientSession(streams[0], streams[1]) as s:
        await s.initialize()
        say("calling")
        await s.call_tool("terminal_send", {"terminal": name, "line": line, "timeout_ms": 30000})
        say("answered")
        await anyio.sleep(600)

for line in sys.stdin:
    pid = os.fork()
    if pid == 0:
        try:
            anyio.run(client, line.rstrip("\\n"))
        finally:
            os._exit(0)
    say(f"client {pid}")
    os.waitpid(pid, 0)
    say("ended")
"""


class Clients:
    """The forking process of CLIENTS, for clients of terminal ``name``."""

    def __init__(self, folder, url, token, name):
        (folder / "clients.py").write_text(CLIENTS)
        self.process = subprocess.Popen([sys.executable, str(folder / "clients.py"), url, token, name],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def call_then_kill(self, line, after_s):
        """A client sends ``line``, killed ``after_s`` seconds after its call went out:
        whether it was killed before the answer came."""
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        pid = int(self.process.stdout.readline().split()[1])
        try:
            assert self.process.stdout.readline() == "calling\n"
            time.sleep(after_s)
        finally:
            os.kill(pid, signal.SIGKILL)
        said = []
        while not said or said[-1] not in ("ended\n", ""):
            said.append(self.process.stdout.readline())
        return said == ["ended\n"]

    def close(self):
        self.process.stdin.close()
        self.process.stdout.close()
        self.process.wait(timeout=30)


def _server_resources(pid):
    with open(f"/proc/{pid}/status") as f:
        rss = int(re.search(r"VmRSS:\s+(\d+) kB", f.read()).group(1))
    return len(os.listdir(f"/proc/{pid}/fd")), len(os.listdir(f"/proc/{pid}/task")), rss


@pytest.mark.soak
def test_clients_killed_mid_call_lose_no_character_and_leak_nothing(tmp_path):
    cycles = int(os.environ.get("MORVIK_CHURN_CYCLES", support.scaled(20, 1000)))
    rng = random.Random(os.environ.get("MORVIK_CHURN_SEED", "7"))
    (tmp_path / "casts").mkdir()
    killed_mid_call, busy_retries = 0, 0
    with http_server(tmp_path, "--allow", "bash", "--allow-env", "PS1", "--record", str(tmp_path / "casts")) \
            as (url, token, server):

        async def reconnect_and_read(offset):
            nonlocal busy_retries
            async with connected(url, token) as (call, ok):
                with anyio.fail_after(30):
                    while True:
                        text, error = await call("terminal_read", terminal="churn", since=offset, timeout_ms=30_000)
                        if not error:
                            return reply_parts(text)
                        # The killed client's call ends as soon as the server sees it gone.
                        assert "is busy with another client's call" in text, text
                        busy_retries += 1
                        await anyio.sleep(0.05)

        async def begin():
            async with connected(url, token) as (call, ok):
                return reply_parts(await ok("terminal_start", argv=SHELL, env=PS1, name="churn"))

        offset, assembled = anyio.run(begin)
        before = None
        clients = Clients(tmp_path, url, token, "churn")
        try:
            for cycle in range(cycles):
                if cycle == 3:
                    before = _server_resources(server.pid)
                line = f"for i in $(seq 1 20); do echo c{cycle}-$i; sleep 0.02; done"
                killed_mid_call += clients.call_then_kill(line, rng.uniform(0, 0.6))
                if os.environ.get("MORVIK_CHURN_TRACE") and cycle % 50 == 0:
                    print(cycle, _server_resources(server.pid), flush=True)
                offset, text = anyio.run(reconnect_and_read, offset)
                assembled += text
        finally:
            clients.close()
        after = _server_resources(server.pid)

        async def history():
            async with connected(url, token) as (call, ok):
                return (await ok("terminal_history", terminal="churn", limit=20_000)).split("\n", 1)[1]
        shown = anyio.run(history)

        def recording():
            (cast,) = (tmp_path / "casts").iterdir()
            events = [json.loads(line) for line in cast.read_text().splitlines()[1:]]
            return hooks.clean("".join(data for _, kind, data in events if kind == "o").encode())
        # The recording's own thread writes it a moment later.
        support.wait_until(lambda: recording() == assembled, timeout=10, interval=0.1)
        recording = recording()
    print(f"{cycles} cycles, {killed_mid_call} clients killed mid-call, {busy_retries} reads found the killed "
          f"client's call still running; server descriptors, threads, RSS kB: {before} -> {after}")
    assert assembled == recording, (assembled[-500:], recording[-500:])
    # Each line a client sent ran whole, once; a client killed before its
    # request went out sent none.
    ran = re.findall(r"^c(\d+)-(\d+)$", assembled, re.MULTILINE)
    cycles_ran = sorted({int(c) for c, _ in ran})
    assert ran == [(str(c), str(i)) for c in cycles_ran for i in range(1, 21)], ran
    assert len(cycles_ran) > cycles * 3 // 4, cycles_ran
    assert shown == recording[-len(shown):]
    # Most kills land mid-call; every busy wait is short.
    assert killed_mid_call > cycles // 2 and busy_retries <= cycles, (killed_mid_call, busy_retries)
    descriptors, threads, rss = before
    assert after[0] <= descriptors + 2 and after[1] <= threads + 2, (before, after)
    # What grows is the SDK's: it keeps each killed client's session (about
    # 50 KiB) until SESSION_IDLE_S has passed without a request.
    assert after[2] < rss + 32 * 1024 + 64 * cycles, (before, after)


def test_vims_screen_after_a_reconnect_is_what_tmux_shows(tmp_path):
    import screens

    (scenario,) = [s for s in screens.SCENARIOS if s.name == "vim_insert_then_numbers"]
    if why := screens.missing(scenario):
        pytest.skip(why)
    (tmp_path / "tmux").mkdir()
    reference = screens.record(scenario, tmp_path / "tmux")
    (tmp_path / "ours").mkdir()
    # The scenario's keys: half from a client that then goes, half from the next one.
    steps = [step for step in scenario.steps if not isinstance(step, screens.WaitFor)]
    half = steps.index(screens.Key("Escape")) + 1

    async def drive(url, token, part, first):
        async with connected(url, token) as (call, ok):
            if first:
                await ok("terminal_start", argv=["vim", "-u", "NONE", "-i", "NONE", "-N", "notes.txt"], name="vim",
                         cwd=str(tmp_path / "ours"), rows=scenario.rows, columns=scenario.columns)
            for step in part:
                if isinstance(step, screens.Key):
                    await ok("terminal_keys", terminal="vim", keys=[step.name])
                else:
                    await ok("terminal_keys", terminal="vim", text=step)
            last, since = None, time.monotonic()
            with anyio.fail_after(screens.STEP_TIMEOUT_S):
                while last is None or time.monotonic() - since < screens.SETTLE_S:
                    now = await ok("terminal_screen", terminal="vim")
                    if now != last:
                        last, since = now, time.monotonic()
                    await anyio.sleep(0.05)
            return last

    with http_server(tmp_path, "--allow", "vim") as (url, token, _):
        anyio.run(drive, url, token, steps[:half], True)
        shown = anyio.run(drive, url, token, steps[half:], False)
    header, *lines = shown.split("\n")
    row, column = map(int, re.search(r"cursor (\d+),(\d+)", header).groups())
    assert lines == reference.lines and (row - 1, column - 1) == reference.cursor, (shown, reference)

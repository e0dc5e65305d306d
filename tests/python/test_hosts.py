"""Sessions in the hosts agents really run in: forked with `os.fork` or
`multiprocessing`, started in the background with signals ignored, blocking
signals in their threads, starting other children whose process ids the
kernel reuses.

Protects: a forked copy of the host never touches the original's program,
terminal or reader; the program starts with a clean signal state; the
reader thread takes no signal the host blocks; a collected child's number is
never waited for or signalled again. Each host is a fresh interpreter of its
own, so a host that dies or hangs cannot take the test runner with it.
"""

import json
import os
import shutil
import signal
import subprocess

import pytest

import support


def host_report(code: str, timeout: float = 60.0, argv_prefix: tuple[str, ...] = ()) -> dict:
    """Runs a host that prints one JSON object as its last line; returns it."""
    done = support.run_host(code, timeout=timeout, argv_prefix=argv_prefix)
    assert done.returncode == 0, f"host failed ({done.returncode}):\n{done.stdout}\n{done.stderr}"
    return json.loads(done.stdout.splitlines()[-1])


@pytest.mark.parametrize("copy_does", [
    "close", "drop", "exit",
    pytest.param("reset", marks=pytest.mark.skipif(support.under_sanitizer("tsan"),
                                                    reason="TSan cannot start a thread in a forked copy")),
])
def test_forked_copy_of_the_host_leaves_the_original_session_alone(tmp_path, copy_does):
    shell = support.shell_child(tmp_path)
    report = host_report(f"""\
        import json, os, sys, time, morvik
        s = morvik.Morvik({shell!r}, True, ["MORVIK$ "])
        s.read_until_ready(timeout_ms=10000)
        program = int(s.send_and_read_until_ready("echo $$", settle_ms=0).split()[0])
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(r)
            seen = {{"alive": s.is_alive(), "read": s.read_available(),
                     "wait": s.read_until_ready(timeout_ms=2000)}}
            try:
                s.send_and_read_until_ready("echo FROM-COPY", timeout_ms=2000)
                seen["send"] = "sent"
            except RuntimeError as error:
                seen["send"] = str(error)
            started = time.monotonic()
            if {copy_does!r} == "close":
                s.close()
            elif {copy_does!r} == "drop":
                del s
            elif {copy_does!r} == "reset":
                s.reset()
                s.read_until_ready(timeout_ms=10000)
                seen["reset_alive"] = s.is_alive()
                seen["reset_parent"] = int(s.send_and_read_until_ready("echo $PPID", settle_ms=0).split()[0])
                s.close()
            seen["teardown_s"] = time.monotonic() - started
            seen["me"] = os.getpid()
            os.write(w, json.dumps(seen).encode())
            os.close(w)
            if {copy_does!r} == "exit":
                sys.exit(0)  # the interpreter drops the session on its way out
            os._exit(0)
        os.close(w)
        seen = json.loads(os.read(r, 65536))
        _, status = os.waitpid(pid, 0)
        seen["copy_status"] = status
        seen["original_alive"] = s.is_alive()
        seen["original_answer"] = s.send_and_read_until_ready("echo still here", settle_ms=0)
        seen["history"] = s.get_history()
        seen["program"] = program
        seen["program_pid_now"] = int(s.send_and_read_until_ready("echo $$", settle_ms=0).split()[0])
        s.close()
        print(json.dumps(seen))
        """)
    assert report["copy_status"] == 0
    assert report["alive"] is False
    assert report["read"] == "" and report["wait"] == ""
    assert report["send"].startswith("write failed: ")
    assert report["teardown_s"] < 0.1 or copy_does == "reset"
    if copy_does == "reset":
        assert report["reset_alive"] is True
        assert report["reset_parent"] == report["me"]  # the copy's own program
    assert report["original_alive"] is True
    assert report["original_answer"] == "\nstill here\nMORVIK$ "
    assert "FROM-COPY" not in report["history"]
    assert report["program_pid_now"] == report["program"]


def test_program_starts_with_a_clean_signal_state_in_a_background_host(tmp_path):
    # What `nohup python agent.py &` and the interpreter leave ignored, and
    # signals a host thread blocks: none of it may reach the program, or
    # Ctrl-C would do nothing and every stop would take the long way.
    shell = support.shell_child(tmp_path)
    report = host_report(f"""\
        import json, re, signal, time, morvik
        for sig in (signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGPIPE, signal.SIGXFSZ):
            signal.signal(sig, signal.SIG_IGN)
        signal.pthread_sigmask(signal.SIG_BLOCK, {{signal.SIGTERM, signal.SIGUSR1}})
        s = morvik.Morvik({shell!r}, True, ["MORVIK$ "])
        s.read_until_ready(timeout_ms=10000)
        # What the shell's own children get: bash hands on what it inherited.
        status = s.send_and_read_until_ready("cat /proc/self/status", settle_ms=0)
        masks = dict(re.findall(r"(Sig(?:Ign|Blk)):\\s*([0-9a-f]+)", status))
        s.send_and_read_until_ready("sleep 30", timeout_ms=300)
        started = time.monotonic()
        s.send_ctrl_c()
        interrupted = s.read_until_ready(timeout_ms=10000, settle_ms=0)
        took = time.monotonic() - started
        status = s.send_and_read_until_ready("echo $?", settle_ms=0)
        s.close()
        print(json.dumps({{"masks": masks, "interrupt_s": took, "status": status}}))
        """)
    assert report["masks"] == {"SigIgn": "0" * 16, "SigBlk": "0" * 16}
    assert report["interrupt_s"] < 5
    assert report["status"] == "\n130\nMORVIK$ "


def test_reader_thread_takes_no_signal_the_host_blocks(tmp_path):
    # A host blocks SIGUSR1 and SIGTERM to collect them itself; the process
    # then receives them. Delivered to a reader thread that leaves them
    # unblocked, their default action would kill the host.
    report = host_report(f"""\
        import json, os, signal, time, morvik
        s = morvik.Morvik("cat", False)
        signal.pthread_sigmask(signal.SIG_BLOCK, {{signal.SIGUSR1, signal.SIGTERM}})
        os.kill(os.getpid(), signal.SIGUSR1)
        os.kill(os.getpid(), signal.SIGTERM)
        time.sleep(0.2)
        pending = sorted(int(sig) for sig in signal.sigpending())
        s.close()
        print(json.dumps({{"pending": pending}}))
        """)
    assert report["pending"] == sorted([int(signal.SIGUSR1), int(signal.SIGTERM)])


def pid_namespace_prefix() -> tuple[str, ...]:
    """The command that runs a host in a process-id namespace of its own,
    where it can make the kernel hand out a given number next."""
    unshare = shutil.which("unshare")
    probe = unshare and subprocess.run(
        [unshare, "--pid", "--fork", "--mount-proc", "sh", "-c", "echo 1 > /proc/sys/kernel/ns_last_pid"],
        capture_output=True,
    )
    if not probe or probe.returncode != 0:
        pytest.skip("needs a process-id namespace with a writable ns_last_pid")
    return (unshare, "--pid", "--fork", "--mount-proc")


@pytest.mark.parametrize("collector", ["morvik", "host-waitpid", "host-ignores-sigchld"])
def test_collected_child_number_is_never_waited_for_or_signalled_again(tmp_path, collector):
    # Whoever collects the child (the module, or a host that reaps every
    # child itself), its number is free: the kernel gives it to the host's
    # next child at once here, as it eventually does in a host that starts
    # tens of thousands of programs. That stranger must not be reported
    # alive, signalled by close, or have its status taken.
    prefix = pid_namespace_prefix()
    prog = support.write_script(tmp_path, "brief", "#!/bin/sh\necho PID=$$\n")
    report = host_report(f"""\
        import json, os, re, signal, subprocess, time, morvik
        collector = {collector!r}
        if collector == "host-ignores-sigchld":
            signal.signal(signal.SIGCHLD, signal.SIG_IGN)
        s = morvik.Morvik({prog!r}, False)
        text = ""
        while "\\n" not in text:
            text += s.read_until_ready(timeout_ms=10000, quiet_ms=50)
        pid = int(re.search(r"PID=(\\d+)", text).group(1))
        deadline = time.monotonic() + 10
        if collector == "morvik":
            while s.is_alive() and time.monotonic() < deadline:
                time.sleep(0.01)
        elif collector == "host-waitpid":
            os.waitpid(pid, 0)
        while os.path.exists(f"/proc/{{pid}}") and time.monotonic() < deadline:
            time.sleep(0.01)
        signal.signal(signal.SIGCHLD, signal.SIG_DFL)
        for _ in range(5):  # another task of the namespace may take the number first
            with open("/proc/sys/kernel/ns_last_pid", "w") as f:
                f.write(str(pid - 1))
            other = subprocess.Popen(["sleep", "30"])
            if other.pid == pid:
                break
            other.kill()
            other.wait()
        seen = {{"reused": other.pid == pid, "alive": s.is_alive()}}
        s.close()
        del s
        seen["other_running"] = other.poll() is None
        other.kill()
        seen["other_status"] = other.wait()
        print(json.dumps(seen))
        """, argv_prefix=prefix)
    assert report["reused"], "the namespace did not hand the number out again"
    assert report["alive"] is False
    assert report["other_running"] is True
    assert report["other_status"] == -9  # its own end, not a status someone else took


def test_signals_to_the_host_group_during_starts_never_leave_a_dead_session():
    # A host that ignores SIGINT (as under nohup) while its process group
    # keeps getting it: the child sits in that group until setsid, and what
    # it caught there must not kill it once its own dispositions are set.
    report = host_report("""\
        import json, os, signal, subprocess, morvik
        os.setpgid(0, 0)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        storm = subprocess.Popen(
            ["sh", "-c", f"while :; do kill -INT -{os.getpgid(0)}; done"], start_new_session=True)
        dead = failed = 0
        for _ in range(55):
            try:
                s = morvik.Morvik("cat", False)
            except Exception as error:
                failed += 1
                continue
            dead += not s.is_alive()
            s.close()
        storm.kill()
        storm.wait()
        print(json.dumps({"dead": dead, "failed": failed}))
        """)
    assert report == {"dead": 0, "failed": 0}


def test_host_that_starts_without_standard_descriptors_gets_none_of_ours_there(tmp_path):
    # A daemon-like host: 0, 1 and 2 closed at start, a session started, then
    # a file of the host's on 0 and /dev/null on 1 and 2. Nothing of the
    # session may have taken those numbers: its reader would see the host's
    # file and stop, and close() would write into it.
    result = tmp_path / "report.json"
    host_file = tmp_path / "host-file"
    report_of = f"""\
        import json, os, morvik
        for fd in (0, 1, 2):
            os.close(fd)
        s = morvik.Morvik("cat", False)
        ours = sorted(fd for fd in (0, 1, 2) if os.path.exists(f"/proc/self/fd/{{fd}}"))
        os.open({str(host_file)!r}, os.O_RDWR | os.O_CREAT)  # takes 0
        null = os.open("/dev/null", os.O_RDWR)
        for fd in (1, 2):
            if fd != null:
                os.dup2(null, fd)
        answer = s.send_and_read_until_ready("hello", timeout_ms=5000, quiet_ms=300)
        s.close()
        seen = {{"ours": ours, "answer": answer, "host_file_size": os.fstat(0).st_size}}
        with open({str(result)!r}, "w") as f:
            json.dump(seen, f)
        """
    done = support.run_host(report_of)
    assert done.returncode == 0, done.stderr
    report = json.loads(result.read_text())
    assert report == {"ours": [], "answer": "hello\n", "host_file_size": 0}


# The sanitizers' runtimes take these hosts' limits for their own: UBSan's
# type check needs a free descriptor (without one every virtual call reads
# as a fault), ASan reserves the address space a limit would bound and
# replaces the allocator whose figures a host reads.
plain_runtime = pytest.mark.skipif(support.under_sanitizer(), reason="measures what a sanitizer runtime takes over")


@plain_runtime
def test_running_out_of_descriptors_at_start_up_is_an_ordinary_start_up_error():
    # The open-file limit stepped through start-up: each start either works
    # or fails with the plain start-up Exception, and leaves nothing open.
    report = host_report("""\
        import json, os, resource, morvik
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        before = len(os.listdir("/proc/self/fd"))
        outcomes = []
        for extra in range(12):
            resource.setrlimit(resource.RLIMIT_NOFILE, (before + extra, hard))
            try:
                s = morvik.Morvik("cat", False)
                s.close()
                del s
                outcomes.append("ok")
            except BaseException as error:
                outcomes.append(f"{type(error).__name__}: {error}")
            resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
        after = len(os.listdir("/proc/self/fd"))
        print(json.dumps({"outcomes": outcomes, "leaked": after - before}))
        """)
    outcomes = report["outcomes"]
    assert report["leaked"] == 0
    assert "ok" in outcomes and outcomes[-1] == "ok"
    failures = [o for o in outcomes if o != "ok"]
    assert failures, outcomes
    assert all(o.startswith("Exception: Failed to ") and "Too many open files" in o for o in failures), outcomes


@plain_runtime
def test_reader_out_of_memory_stops_that_session_only_and_says_so():
    # Under an address-space limit the reader's next chunk cannot be
    # allocated. The host must live on: the output read so far comes out,
    # then a clear error, while liveness, history and close keep working.
    report = host_report("""\
        import json, re, resource, time, morvik
        s = morvik.Morvik("yes", False)
        time.sleep(0.2)
        with open("/proc/self/status") as f:
            size_kib = int(re.search(r"VmSize:\\s*(\\d+)", f.read()).group(1))
        hard = resource.getrlimit(resource.RLIMIT_AS)[1]
        resource.setrlimit(resource.RLIMIT_AS, (size_kib * 1024 + (8 << 20), hard))
        time.sleep(3)
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        error, read = None, 0
        while error is None:
            try:
                text = s.read_available(1 << 20)
            except RuntimeError as failure:
                error = str(failure)
            else:
                read += len(text)
                if not text:
                    break
        seen = {"error": error, "read_something": read > 0, "alive": s.is_alive(),
                "history": len(s.get_history()) > 0}
        s.close()
        seen["alive_after_close"] = s.is_alive()
        print(json.dumps(seen))
        """, argv_prefix=("env", "MALLOC_ARENA_MAX=1"))
    assert report == {
        "error": "output reader stopped: Cannot allocate memory (os error 12)",
        "read_something": True,
        "alive": True,
        "history": True,
        "alive_after_close": False,
    }


def test_close_stays_bounded_when_the_reader_cannot_be_woken(tmp_path):
    # A background holder keeps the terminal open, so the reader never sees
    # its end; and the host has put a pipe's read end on the reader's wake-up
    # number, so the wake-up write fails. close() must still return.
    holder = support.write_script(tmp_path, "holder", """\
        #!/bin/sh
        sh -c 'trap "" HUP INT TERM; exec sleep 1000' &
        echo "HOLDER $!"
        exec sleep 1000
        """)
    report = host_report(f"""\
        import json, os, re, time, morvik
        s = morvik.Morvik({holder!r}, False)
        text = ""
        while "HOLDER" not in text or not text.endswith("\\n"):
            text += s.read_until_ready(timeout_ms=10000, quiet_ms=50)
        holder = int(re.search(r"HOLDER (\\d+)", text).group(1))
        wake = []
        for fd in os.listdir("/proc/self/fd"):
            try:
                if os.readlink(f"/proc/self/fd/{{fd}}") == "anon_inode:[eventfd]":
                    wake.append(int(fd))
            except FileNotFoundError:  # the listing's own descriptor
                pass
        r, w = os.pipe()
        for fd in wake:
            os.dup2(r, fd)
        started = time.monotonic()
        s.close()
        took = time.monotonic() - started
        os.kill(holder, 9)
        print(json.dumps({{"wake": len(wake), "took": took}}))
        """)
    assert report["wake"] == 1
    assert report["took"] < 5


@plain_runtime
def test_forked_copy_closes_no_number_it_reused_and_frees_the_queued_output(tmp_path):
    # The copy closes the numbers its descriptors had (os.closerange, as a
    # daemonising or a multiprocessing child does), opens files that get the
    # same numbers, then drops the session: those files must stay open. The
    # original's unread output (a flood from `yes`) must not stay in the copy.
    report = host_report("""\
        import ctypes, json, os, time, morvik
        class MallInfo2(ctypes.Structure):
            _fields_ = [(name, ctypes.c_size_t) for name in (
                "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                "keepcost")]
        libc = ctypes.CDLL(None)
        libc.mallinfo2.restype = MallInfo2
        start = libc.mallinfo2().uordblks
        s = morvik.Morvik("yes", False)
        deadline = time.monotonic() + 20
        while libc.mallinfo2().uordblks < start + (16 << 20) and time.monotonic() < deadline:
            time.sleep(0.05)
        queued = libc.mallinfo2().uordblks
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            in_use = libc.mallinfo2().uordblks
            os.closerange(3, w)
            os.closerange(w + 1, 1 << 16)
            files = [os.open("/dev/null", os.O_RDONLY) for _ in range(12)]
            del s
            still_open = all(os.path.exists(f"/proc/self/fd/{fd}") for fd in files)
            os.write(w, json.dumps({"in_use": in_use, "still_open": still_open}).encode())
            os._exit(0)
        os.close(w)
        copy = json.loads(os.read(r, 65536))
        os.waitpid(pid, 0)
        copy["queued"] = queued
        s.close()
        print(json.dumps(copy))
        """)
    assert report["still_open"] is True
    assert report["queued"] > (16 << 20), "the original did not queue enough to tell"
    assert report["in_use"] < report["queued"] - (12 << 20)


@pytest.mark.parametrize("face", [
    "s = morvik.Morvik('cat', False); s.send_and_read_until_ready('x', 2000, 4096, 50, 50); s.close()",
    "from morvik_agent import Terminal; t = Terminal.start(['cat'], timeout_ms=2000); t.send('x'); t.close()",
], ids=["Morvik", "Terminal"])
def test_starts_and_writes_finish_under_an_interval_timer_faster_than_their_polls(face):
    # A sampling profiler's timer: every timed wait that is retried blindly
    # after EINTR restarts its full timeout and never ends.
    report = host_report(f"""\
        import json, signal, morvik
        signal.signal(signal.SIGALRM, lambda *_: None)
        signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
        for _ in range(3):
            {face}
        signal.setitimer(signal.ITIMER_REAL, 0)
        print(json.dumps({{"starts": 3}}))
        """, timeout=60)
    assert report == {"starts": 3}


# Each face: how a host starts a terminal running `sh` with the prompt
# "MORVIK$ ", asks it to echo, looks at it in a copy, and closes it.
FACES = {
    "Morvik": {
        "start": "import morvik; s = morvik.Morvik({shell!r}, True, ['MORVIK$ ']); s.read_until_ready(timeout_ms=10000)",
        "echo": "s.send_and_read_until_ready('echo still here', settle_ms=0)",
        "look": "[s.is_alive(), s.read_available()]",
        "looked": [False, ""],
    },
    "Terminal": {
        "start": "from morvik_agent import Terminal; s = Terminal.start([{shell!r}], timeout_ms=10000)",
        "echo": "s.send('echo still here').text",
        "look": "[s.alive, s.closed, s.screen(), s.exit_code]",
        "looked": [False, True, None, None],
    },
}


@pytest.mark.parametrize("copy_does", ["close", "drop", "exit"])
@pytest.mark.parametrize("face", FACES)
def test_a_forked_copy_holds_no_descriptor_and_touches_nothing_of_the_terminal(tmp_path, face, copy_does):
    shell = support.shell_child(tmp_path)
    f = FACES[face]
    report = host_report(f"""\
        import atexit, json, os, sys, time
        r, w = os.pipe()
        parent, mine = os.getpid(), []
        # Registered first, so it runs last: after the terminal is dropped on the way out.
        atexit.register(lambda: os.getpid() != parent and os.write(
            w, (json.dumps([os.fstat(fd).st_rdev for fd in mine]) + "\\n").encode()))
        before = set(os.listdir("/proc/self/fd"))
        {f["start"].format(shell=shell)}
        pid = os.fork()
        if pid == 0:
            os.close(r)
            seen = {{"extra": sorted(set(os.listdir("/proc/self/fd")) - before)}}
            # Opened after the fork: they may take numbers the terminal had.
            mine[:] = [os.open("/dev/null", os.O_RDONLY) for _ in range(8)]
            started = time.monotonic()
            seen["look"] = {f["look"]}
            try:
                {f["echo"]}
                seen["send"] = "sent"
            except Exception as error:
                seen["send"] = type(error).__name__
            if {copy_does!r} == "close":
                s.close()
            elif {copy_does!r} == "drop":
                del s
            seen["took"] = time.monotonic() - started
            seen["mine"] = [os.fstat(fd).st_rdev for fd in mine]
            os.write(w, (json.dumps(seen) + "\\n").encode())
            if {copy_does!r} == "exit":
                sys.exit(0)  # the interpreter drops the terminal on its way out
            time.sleep(5)  # still holding whatever it holds while the original closes
            os._exit(0)
        os.close(w)
        pipe = os.fdopen(r)
        seen = json.loads(pipe.readline())
        seen["answer"] = {f["echo"]}
        began = time.monotonic()
        s.close()
        seen["close_s"] = time.monotonic() - began
        rest = pipe.read()
        seen["mine_at_exit"] = json.loads(rest) if rest.strip() else seen["mine"]
        _, seen["copy_status"] = os.waitpid(pid, 0)
        print(json.dumps(seen))
        """)
    null = os.stat("/dev/null").st_rdev
    assert report["extra"] == [], "descriptors of the terminal reached the copy"
    assert report["look"] == f["looked"]
    assert report["send"] in ("RuntimeError", "OSError")
    assert report["took"] < 0.5
    assert report["mine"] == [null] * 8 and report["mine_at_exit"] == [null] * 8
    assert report["copy_status"] == 0
    assert "still here" in report["answer"]
    assert report["close_s"] < 0.9, "the original's close waited on the copy"

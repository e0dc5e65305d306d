"""The end of a session and its renewal: close, reset and destruction.

Protects: how long close takes and that it is idempotent, output surviving
close, what reset keeps (command, markers) and renews (process, history),
reset's failure and recovery when the program vanished (destruction stopping
a program that ignores the polite signals is test_faults.py's), and teardown
staying bounded when a background process holds the terminal (the soak of
many such cycles is in test_load.py). Must never leave a stray process behind: every test that
starts one that could outlive the session kills it by pid.
"""

import os
import re
import signal
import time

import pytest

from morvik import Morvik

import support


def _shell(tmp_path, markers=None):
    session = Morvik(support.shell_child(tmp_path), True, markers or [support.SHELL_PROMPT])
    assert session.read_until_ready(timeout_ms=10000).endswith(support.SHELL_PROMPT)
    return session


def _shell_pid(session):
    answer = session.send_and_read_until_ready("echo PID=$$", timeout_ms=10000)
    return int(re.search(r"PID=(\d+)", answer).group(1))


# ------------------------------------------------------------ close


class TestClose:
    def test_close_stops_a_running_shell_after_one_pause(self, tmp_path):
        session = _shell(tmp_path)
        pid = _shell_pid(session)
        result, took = support.elapsed(session.close)
        assert result is None
        # One 100 ms pause after SIGHUP, which ends the shell.
        assert 0.08 <= took < 1.5
        assert session.is_alive() is False
        assert not support.pid_exists(pid)

    @pytest.mark.serial  # a 50 ms bound
    def test_second_close_returns_at_once(self, tmp_path):
        session = _shell(tmp_path)
        session.close()
        for _ in range(3):
            result, took = support.elapsed(session.close)
            assert result is None
            assert took < 0.05
        assert session.is_alive() is False

    def test_output_written_before_close_stays_readable(self, tmp_path):
        flag = tmp_path / "written"
        script = support.python_child(
            tmp_path,
            "talker",
            f"""\
            import os, time
            os.write(1, b"said before close\\n")
            open({str(flag)!r}, "w").close()
            time.sleep(60)
            """,
        )
        session = Morvik(script, False)
        assert support.wait_until(flag.exists)
        time.sleep(0.3)
        session.close()
        assert session.read_available() == "said before close\n"
        assert session.get_history() == "said before close\n"
        text, took = support.elapsed(session.read_until_ready, timeout_ms=5000)
        assert text == ""
        assert took < 0.5

    def test_output_of_a_child_that_ended_by_itself_survives_close(self, tmp_path):
        script = support.write_script(tmp_path, "bye", "#!/bin/sh\necho goodbye\n")
        session = Morvik(script, True)
        assert support.wait_exited(session)
        assert session.is_alive() is False
        _, took = support.elapsed(session.close)
        assert took < 1.5
        assert session.read_available() == "goodbye\n"


# ------------------------------------------------------------ reset


class TestReset:
    def test_reset_keeps_command_and_markers_and_starts_a_new_process(self, tmp_path, spawn):
        # Built with the default markers, then switched to the shell prompt:
        # only the switched list lets the waits after reset end quickly.
        session = spawn(support.shell_child(tmp_path), True)
        session.set_ready_markers([support.SHELL_PROMPT])
        assert session.read_until_ready(timeout_ms=10000).endswith(support.SHELL_PROMPT)
        old_pid = _shell_pid(session)
        command = session.get_initial_command()

        assert session.reset() is None
        assert session.is_alive()
        assert session.get_initial_command() == command
        assert not support.pid_exists(old_pid)

        start = time.monotonic()
        new_pid = _shell_pid(session)
        assert time.monotonic() - start < 5
        assert new_pid != old_pid
        # The old session's output went with it.
        assert f"PID={old_pid}" not in session.get_history()
        assert f"PID={new_pid}" in session.get_history()

    def test_reset_after_close_runs_the_program_again(self, tmp_path):
        session = _shell(tmp_path)
        try:
            session.close()
            assert session.is_alive() is False
            session.reset()
            assert session.is_alive() is True
            answer = session.send_and_read_until_ready("echo $((6*7))", timeout_ms=10000)
            assert answer.endswith(f"42\n{support.SHELL_PROMPT}")
        finally:
            session.close()

    def test_new_program_first_output_is_left_for_the_next_read(self, spawn):
        # `tty` prints the moment it starts: whatever reached the new channel
        # during reset must still be there for the caller.
        session = spawn("tty", False)
        for _ in range(30):
            session.reset()
            assert session.read_until_ready(timeout_ms=10000, quiet_ms=50).startswith("/dev/pts/")

    def test_reset_of_a_removed_program_fails_then_recovers(self, tmp_path):
        script = support.shell_child(tmp_path)
        moved = tmp_path / "moved-away"
        session = _shell(tmp_path)
        try:
            os.rename(script, moved)
            with pytest.raises(Exception) as info:
                session.reset()
            assert type(info.value) is Exception
            assert str(info.value) == (
                f"Failed to spawn process with command '{script}': "
                "ENOENT: No such file or directory"
            )
            assert session.is_alive() is False
            # The closed record still answers: whatever the shell wrote as it
            # hung up, then nothing more.
            assert isinstance(session.read_available(), str)
            assert session.read_available() == ""
            session.close()

            os.rename(moved, script)
            session.reset()
            assert session.is_alive() is True
            assert _shell_pid(session) > 0
        finally:
            session.close()


def test_program_killed_by_a_real_time_signal_is_simply_not_alive(tmp_path, spawn):
    session = spawn(support.write_script(tmp_path, "rt", "#!/bin/sh\necho PID=$$\nexec sleep 100\n"), False)
    pid = int(re.search(r"PID=(\d+)", support.collect(session, lambda t: "\n" in t)).group(1))
    os.kill(pid, signal.SIGRTMIN + 1)
    assert support.wait_until(lambda: not session.is_alive())
    assert session.is_alive() is False


# ------------------------------------------------------------ destruction


@pytest.mark.serial  # a 50 ms bound on the second close
def test_background_holder_of_the_terminal_does_not_hang_close(tmp_path):
    # The holder ignores every signal the stop sequence sends and keeps the
    # terminal's subordinate side open, so the reader never sees end of file.
    script = support.write_script(
        tmp_path,
        "holder",
        """\
        #!/bin/sh
        sh -c 'trap "" HUP INT TERM; exec sleep 1000' &
        echo "HOLDER $!"
        exec sleep 1000
        """,
    )
    before = support.Resources.snapshot()
    session = Morvik(script, False)
    holder = None
    try:
        text = support.collect(session, lambda t: re.search(r"HOLDER \d+\n", t) is not None)
        holder = int(re.search(r"HOLDER (\d+)", text).group(1))
        _, took = support.elapsed(session.close)
        assert took < 2.5, took
        assert support.pid_exists(holder), "the test needs the holder alive during close"
        assert session.is_alive() is False
        # Measured while the holder still has the terminal: no reader thread
        # may be left blocked on it, and of the three master descriptors only
        # the two the closed record keeps until it is released stay open,
        # beside its process handle.
        assert support.settled_difference(before, ignore=("descriptors",)) == {}
        added = before.difference(support.Resources.snapshot()).get("descriptors", {})
        assert added.get("removed", {}) == {}
        kept = added.get("added", {})
        assert len(kept) <= 3 and set(kept.values()) <= {"/dev/ptmx", "anon_inode:[pidfd]"}, kept
        _, took = support.elapsed(session.close)
        assert took < 0.05
        del session
        assert support.settled_difference(before) == {}
    finally:
        if holder is not None:
            support.kill_quietly(holder)

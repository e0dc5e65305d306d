"""The peers morvik is measured against, all driven through one small surface.

This file owns the Python implementations that do morvik's job another way:
pexpect as shipped, pexpect with every built-in delay switched off, and a
plain loop over pty.fork, poll and os.read that does no more than the job
needs. Each starts a program on a pseudo-terminal with echo off and a 24x80
window, sends a line, and collects output until a marker shows.

It must never clean or post-process output beyond what the peer itself does
(that would make a peer slower than it is), never time anything (run.py owns
the clock), and never leave a child running after close().
"""

import errno
import fcntl
import os
import pty
import select
import signal
import struct
import termios
import time
import warnings

# pty.fork in a process that already runs morvik's reader threads draws a
# DeprecationWarning on every start; the children only exec, so it is noise.
warnings.filterwarnings("ignore", category=DeprecationWarning, message=".*fork.*")

READ_SIZE = 8192  # the same read size as morvik's reader thread
HANGUP_GRACE_S = 2.0  # how long close() lets a child react to SIGHUP before SIGKILL


class PeerTimeout(Exception):
    """The marker did not show before the deadline (a broken run, not a result)."""


class PlainPty:
    """The plain Python loop: pty.fork, poll, os.read; bytes in, str out.

    The marker is searched in the raw bytes; the output is decoded as UTF-8
    with replacement and not otherwise cleaned.
    """

    name = "py-loop"

    def __init__(self, program, marker):
        self.marker = marker.encode()
        pid, fd = pty.fork()
        if pid == 0:
            # Child: echo off on its own terminal before the program starts,
            # so that readline sees it off when it first reads the settings.
            try:
                attrs = termios.tcgetattr(0)
                attrs[3] &= ~(termios.ECHO | termios.ECHOE | termios.ECHOK | termios.ECHONL)
                termios.tcsetattr(0, termios.TCSANOW, attrs)
                os.execv(program, [program])
            finally:
                os._exit(127)
        self.pid = pid
        self.fd = fd
        fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
        self.poller = select.poll()
        self.poller.register(fd, select.POLLIN)

    def send(self, line):
        data = line.encode() + b"\n"
        while data:
            data = data[os.write(self.fd, data):]

    def read_until_marker(self, timeout_s):
        """Returns the bytes read up to and including the chunk holding the marker."""
        marker = self.marker
        keep = len(marker) - 1
        chunks = []
        tail = b""
        deadline = time.monotonic() + timeout_s
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise PeerTimeout(f"{self.name}: no {marker!r} within {timeout_s} s")
            if not self.poller.poll(left * 1000):
                continue
            try:
                chunk = os.read(self.fd, READ_SIZE)
            except OSError as e:
                if e.errno != errno.EIO:
                    raise
                chunk = b""
            if not chunk:
                raise PeerTimeout(f"{self.name}: terminal closed before {marker!r}")
            chunks.append(chunk)
            if marker in chunk or (keep and marker in tail + chunk[:keep]):
                return b"".join(chunks)
            if keep:
                tail = chunk[-keep:] if len(chunk) >= keep else (tail + chunk)[-keep:]

    def wait(self, timeout_s):
        return self.read_until_marker(timeout_s).decode("utf-8", "replace")

    def ask(self, line, timeout_s):
        self.send(line)
        return self.wait(timeout_s)

    def close(self):
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1
        if self.pid:
            _hang_up_and_reap(self.pid)
            self.pid = 0


def _hang_up_and_reap(pid):
    try:
        os.kill(pid, signal.SIGHUP)
    except ProcessLookupError:
        pass
    deadline = time.monotonic() + HANGUP_GRACE_S
    while time.monotonic() < deadline:
        done, _ = os.waitpid(pid, os.WNOHANG)
        if done:
            return
        time.sleep(0.0005)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)


class Pexpect:
    """pexpect.spawn with echo off and str output (UTF-8, errors replaced).

    fast=False keeps every pexpect default: 50 ms before each send, 0.1 ms
    after each read, 2000-byte reads, 0.1 s pauses in close and terminate.
    fast=True switches all of those delays off and reads 8192 bytes at a
    time, the most a user can get from pexpect without patching it.
    """

    def __init__(self, program, marker, fast):
        import pexpect

        self.name = "pexpect-fast" if fast else "pexpect"
        self.marker = marker
        kwargs = dict(echo=False, encoding="utf-8", codec_errors="replace", dimensions=(24, 80))
        if fast:
            kwargs.update(maxread=READ_SIZE, use_poll=True)
        self.child = pexpect.spawn(program, **kwargs)
        if fast:
            self.child.delaybeforesend = None
            self.child.delayafterread = None
            self.child.delayafterclose = 0
            self.child.delayafterterminate = 0
            self.child.ptyproc.delayafterclose = 0
            self.child.ptyproc.delayafterterminate = 0

    def send(self, line):
        self.child.sendline(line)

    def wait(self, timeout_s):
        import pexpect

        try:
            self.child.expect_exact(self.marker, timeout=timeout_s)
        except (pexpect.TIMEOUT, pexpect.EOF) as e:
            raise PeerTimeout(f"{self.name}: no {self.marker!r}: {type(e).__name__}") from None
        return self.child.before + self.child.after

    def ask(self, line, timeout_s):
        self.send(line)
        return self.wait(timeout_s)

    def close(self):
        import pexpect

        try:
            self.child.close(force=True)
        except pexpect.ExceptionPexpect:
            # With the pauses off, pexpect looks for the child's end before
            # its SIGKILL has landed and gives up; the child is dying, so
            # reap it here instead of leaving a zombie.
            try:
                os.waitpid(self.child.pid, 0)
            except ChildProcessError:
                pass


def pexpect_default(program, marker):
    return Pexpect(program, marker, fast=False)


def pexpect_fast(program, marker):
    return Pexpect(program, marker, fast=True)

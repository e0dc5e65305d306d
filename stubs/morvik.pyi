# Type information for the morvik extension module, installed beside the
# compiled module so that type checkers and editors see the Morvik API.
# Describes only what the module really exports; must never declare a name
# or a parameter the extension does not have, or a checker would approve
# calls that fail at run time.
"""Drive interactive terminal programs (debuggers, shells, REPLs) through a
pseudo-terminal and read their output as clean text."""

from collections.abc import Sequence
from typing import final

__all__ = ["Morvik"]

@final
class Morvik:
    """One interactive program running on its own pseudo-terminal.

    The program starts as soon as the object is made, on a terminal of 24
    rows by 80 columns with echo off; a background thread queues everything
    it writes. An interactive session waits for a ready marker (a prompt)
    in the output; a non-interactive one waits until the output goes quiet.
    Running out of time is never an error: a wait returns what arrived.
    Every text returned is cleaned of terminal escape sequences, carriage
    returns and control bytes.

    An object may only be used from the thread that created it; a call from
    any other thread raises ``PanicException``, which derives from
    ``BaseException``.
    """

    def __new__(
        cls,
        command: str,
        interactive: bool,
        ready_markers: Sequence[str] | None = None,
    ) -> Morvik:
        """Start ``command`` on a new pseudo-terminal.

        ``command`` is one program taken verbatim: it is not split at blanks
        and no shell is involved, so options go into a small wrapper script.
        A name without a slash is looked up along PATH. ``ready_markers``
        defaults to ``["pwndbg> ", "(gdb) "]``; an empty list makes every
        wait a quiet-output wait. A bare ``str`` is refused.

        Raises ``Exception`` ("Failed to spawn process with command ...")
        when the program cannot be started, and ``TypeError`` for arguments
        of the wrong type.
        """

    def set_ready_markers(self, ready_markers: Sequence[str]) -> None:
        """Replace the prompts that end an interactive wait.

        Used by every later wait, also after ``reset``. An empty list makes
        the waits wait for quiet output; a bare ``str`` is refused.
        """

    def read_until_ready(
        self,
        timeout_ms: int | None = None,
        max_output_bytes: int | None = None,
        settle_ms: int | None = None,
        quiet_ms: int | None = None,
    ) -> str:
        """Read until ready marker appears (interactive=true) OR until output goes quiet (interactive=false).

        Defaults: ``timeout_ms`` 20000, ``max_output_bytes`` 2097152,
        ``settle_ms`` 200 (how long to keep reading after the marker while
        output still flows), ``quiet_ms`` 80 (the silence that ends a quiet
        wait). Returns the cleaned output of this call, possibly empty; a
        timeout is not an error. ``None`` means the default.
        """

    def send_and_read_until_ready(
        self,
        input: str,
        timeout_ms: int | None = None,
        max_output_bytes: int | None = None,
        settle_ms: int | None = None,
        quiet_ms: int | None = None,
    ) -> str:
        """Send input and read until ready marker returns (interactive=true) OR until output goes quiet (interactive=false).

        ``input`` is sent followed by one line feed, then the call waits as
        ``read_until_ready`` does, with the same defaults. Raises
        ``RuntimeError`` ("write failed: ...", "flush failed: ...") when the
        terminal refuses the input.
        """

    def read_available(self, max_bytes: int | None = None) -> str:
        """Non-blocking read of buffered output.

        Returns at once with the cleaned text of up to ``max_bytes`` raw
        bytes (default 65536) already queued, possibly empty.
        """

    def send_ctrl_c(self) -> None:
        """Send the interrupt character (byte 0x03) without waiting.

        The terminal turns it into SIGINT for the program in the foreground;
        read what that produced with a later read.
        """

    def get_history(self) -> str:
        """The cleaned text of every output byte read so far.

        Keeps the newest 4 MiB of raw output; input is not recorded.
        """

    def is_alive(self) -> bool:
        """Whether the program still runs. Raises ``RuntimeError``
        ("is_alive failed: ...") only for an unexpected system error."""

    def is_interactive(self) -> bool:
        """The ``interactive`` flag given to the constructor."""

    def get_initial_command(self) -> str:
        """The ``command`` given to the constructor, unchanged."""

    def close(self) -> None:
        """Stop the program (SIGHUP, then stronger signals) and wait for it.

        Takes about 100 ms for a program that ends on SIGHUP. Calling it
        again does nothing; the object stays usable and ``reset`` restarts
        the program.
        """

    def reset(self) -> None:
        """Stop the program and start the same command on a new terminal.

        Keeps the ready markers in force; the history starts afresh. Raises
        the constructor's ``Exception`` if the program cannot be started
        again; the object is then closed and a later ``reset`` may retry.
        """

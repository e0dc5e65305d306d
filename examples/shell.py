"""Drive bash: run commands, interrupt a long one, show its exit status.

Shows a shell as the child with its own prompt as the ready marker, Ctrl-C
reaching the foreground command through the terminal, and a command that
would otherwise keep the shell busy for half a minute. The command given to
Morvik is one program taken verbatim, so bash's options and prompt live in a
small wrapper script.
"""

import os
import sys
import tempfile
import time

from morvik import Morvik

PROMPT = "MORVIK$ "


def write_wrapper(workdir: str) -> str:
    wrapper = os.path.join(workdir, "shell")
    with open(wrapper, "w") as f:
        f.write(f"#!/bin/sh\nPS1='{PROMPT}' exec bash --norc --noprofile\n")
    os.chmod(wrapper, 0o755)
    return wrapper


def run(session: Morvik, command: str, timeout_ms: int = 10000) -> None:
    answer = session.send_and_read_until_ready(command, timeout_ms=timeout_ms)
    # Echo is off; the shell's answer starts with its own line end.
    print(command, end="")
    print(answer, end="")


def main() -> int:
    with tempfile.TemporaryDirectory() as workdir:
        session = Morvik(write_wrapper(workdir), True, [PROMPT])
        try:
            print(session.read_until_ready(timeout_ms=10000), end="")
            run(session, "cd /usr && pwd")
            run(session, "for n in 1 2 3; do printf '%s squared is %s\\n' $n $((n*n)); done")
            run(session, "printf '\\033[1;31mred words\\033[0m in plain text\\n'")

            # Not ready within half a second: the wait just returns what came.
            started = time.monotonic()
            partial = session.send_and_read_until_ready("sleep 30", timeout_ms=500)
            print("sleep 30" + partial, end="")
            print(f"[no prompt after {time.monotonic() - started:.1f} s; sending Ctrl-C]")
            session.send_ctrl_c()
            print(session.read_until_ready(timeout_ms=10000), end="")
            run(session, "echo exit status $?")
            print()
            print(f"bash still running: {session.is_alive()}")
        finally:
            session.close()
        print(f"after close: {session.is_alive()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Notice that the program crashed and start it again with `reset`.

Shows a Python REPL killed by a segmentation fault in the middle of a
command: the wait returns at once instead of running to its timeout,
`is_alive` reports the crash, and `reset` starts the same command on a new
terminal with the same ready markers, after which the session is used as
before.
"""

import os
import sys
import tempfile
import time

from morvik import Morvik

PROMPTS = [">>> ", "... "]


def write_wrapper(workdir: str) -> str:
    wrapper = os.path.join(workdir, "python-repl")
    with open(wrapper, "w") as f:
        f.write(f"#!/bin/sh\nPYTHON_BASIC_REPL=1 exec {sys.executable} -q\n")
    os.chmod(wrapper, 0o755)
    return wrapper


def has_exited(session: Morvik, within_s: float = 2.0) -> bool:
    """Whether the program ended, allowing it a moment to be collected.

    A dying program closes its terminal a moment before the system lets its
    exit be collected, so a wait can return (the terminal closed) while
    is_alive() still says True for a few milliseconds.
    """
    deadline = time.monotonic() + within_s
    while session.is_alive():
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.01)
    return True


def ask(session: Morvik, line: str) -> str:
    answer = session.send_and_read_until_ready(line, timeout_ms=10000)
    print(f"{line}\n{answer}", end="")
    return answer


def main() -> int:
    with tempfile.TemporaryDirectory() as workdir:
        session = Morvik(write_wrapper(workdir), True, PROMPTS)
        try:
            print(session.read_until_ready(timeout_ms=10000), end="")
            ask(session, "counter = 41")
            ask(session, "import os, signal; os.kill(os.getpid(), signal.SIGSEGV)")
            crashed = has_exited(session)
            print(f"\n[crashed: {crashed}]")

            if crashed:
                session.reset()
                print("[reset: a new interpreter on a new terminal]")
                print(session.read_until_ready(timeout_ms=10000), end="")
            # The state of the crashed interpreter is gone with it.
            ask(session, "'counter' in globals()")
            ask(session, "counter = 1; counter")
            print(f"\n[alive: {session.is_alive()}]")
        finally:
            session.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())

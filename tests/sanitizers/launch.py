"""Entry point of a sanitizer run: proves which module the tests will import,
then hands over to pytest in the same process and, under ASan, looks for
leaked memory once the tests are done.

Owns the check that `import morvik` (and the agent face's core,
`morvik_agent._terminal`) resolves to the sanitized build named by
MORVIK_EXPECTED_MODULE_DIR and not to the copy installed in the virtual
environment (a run that silently tested the uninstrumented module would pass
without meaning anything), and that the test hooks library
(MORVIK_HOOKS_LIBRARY) is that build's too, the leak check, and keeping the
runtime away from children other than a second interpreter. Must never alter the tests'
environment beyond that, and never swallow pytest's exit status.
"""

import ctypes
import gc
import os
import sys
import threading

import pytest


def lsan_entry(name):
    """A LeakSanitizer entry point of the preloaded runtime, or None (TSan)."""
    try:
        return getattr(ctypes.CDLL(None), name)
    except AttributeError:
        return None


class LeakCheck:
    """Counts only what is allocated while tests run, and checks it at the end.

    The interpreter and pytest leave a few unreachable objects of their own
    while they start up and collect (strings built by concatenation, seen
    with full stacks); allocations on this thread are therefore ignored until
    the test loop starts. The check itself runs while the interpreter is
    still alive: everything it uses is reachable then, so what is reported is
    memory that the module, or a Python object it over-counted and dropped,
    lost track of. At exit the same check would also list every allocation
    the interpreter deliberately leaves unfreed when it shuts down.
    """

    def __init__(self):
        self.disable = lsan_entry("__lsan_disable")
        self.enable = lsan_entry("__lsan_enable")
        self.check = lsan_entry("__lsan_do_recoverable_leak_check")
        self.active = self.check is not None and os.environ.get("MORVIK_LEAK_CHECK", "1") != "0"
        self.leaked = False
        if self.active:
            self.disable()

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtestloop(self, session):
        if self.active:
            self.enable()
        try:
            yield
        finally:
            if self.active:
                gc.collect()
                self.leaked = self.check() != 0
                self.disable()


def main() -> int:
    expected = os.path.realpath(os.environ["MORVIK_EXPECTED_MODULE_DIR"])
    # The runtime is loaded by now; children must not inherit it (see run).
    # A second interpreter started through sys.executable gets it back from
    # the shim, since it may import the sanitized module.
    os.environ.pop("LD_PRELOAD", None)
    sys.executable = os.environ["MORVIK_SANITIZER_PYTHON"]
    # run tells this process's reports from those of its children by pid.
    with open(os.environ["MORVIK_SANITIZER_PID_FILE"], "w") as f:
        f.write(str(os.getpid()))
    leaks = LeakCheck()
    import morvik  # noqa: PLC0415 - the import itself is what is checked

    found = os.path.realpath(morvik.__file__)
    print(f"sanitizer run imports {found}", flush=True)
    if os.path.dirname(found) != expected:
        print(f"expected the module from {expected}", file=sys.stderr)
        return 3
    # The agent face's core likewise.
    import morvik_agent._terminal  # noqa: PLC0415

    core = os.path.realpath(morvik_agent._terminal.__file__)
    if os.path.dirname(core) != expected:
        print(f"expected the agent core from {expected}, not {core}", file=sys.stderr)
        return 3
    # The tests load the cleaning routine's C hooks by this path; a plain
    # copy would run the routine unwatched.
    hooks = os.path.realpath(os.environ["MORVIK_HOOKS_LIBRARY"])
    if os.path.dirname(hooks) != expected or not os.path.exists(hooks):
        print(f"expected the test hooks library in {expected}, not {hooks}", file=sys.stderr)
        return 3
    # TSan starts a thread of its own the first time the process starts one;
    # started here, before any test counts this process's threads.
    first = threading.Thread(target=lambda: None)
    first.start()
    first.join()
    code = int(pytest.main(sys.argv[1:], plugins=[leaks]))
    if leaks.leaked:
        print("LeakSanitizer found memory that nothing points to any more", file=sys.stderr)
        return code or 1
    return code


if __name__ == "__main__":
    sys.exit(main())

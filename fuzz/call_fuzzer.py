#!/usr/bin/env python3
"""atheris target for the module's Python surface: random call shapes and
argument objects against the constructor and every method.

Owns the rule every call must keep, whatever it is given: it returns a value
of the documented type or raises an ordinary exception (a subclass of
Exception other than SystemError), and it never crashes the interpreter or
raises PanicException on the thread that owns the object. Calls from another
thread must raise PanicException and leave the object usable. Must never
start a program that is not `cat` (random text as a command could name any
program on PATH), never wait long (every wait gets a deadline of a few
milliseconds), and never leave a child or session behind between inputs.

Run through `make fuzz`, which builds the module with coverage
instrumentation when clang is available and preloads atheris's runtime.
"""

import collections.abc
import sys
import threading

import atheris

with atheris.instrument_imports():
    import morvik

Morvik = morvik.Morvik

METHODS = {
    # name: parameter names (all may be positional or keyword)
    "set_ready_markers": ("ready_markers",),
    "read_until_ready": ("timeout_ms", "max_output_bytes", "settle_ms", "quiet_ms"),
    "send_and_read_until_ready": ("input", "timeout_ms", "max_output_bytes", "settle_ms", "quiet_ms"),
    "read_available": ("max_bytes",),
    "send_ctrl_c": (),
    "get_history": (),
    "is_alive": (),
    "is_interactive": (),
    "get_initial_command": (),
    "close": (),
    "reset": (),
}
RESULT_TYPES = {
    "set_ready_markers": type(None),
    "read_until_ready": str,
    "send_and_read_until_ready": str,
    "read_available": str,
    "send_ctrl_c": type(None),
    "get_history": str,
    "is_alive": bool,
    "is_interactive": bool,
    "get_initial_command": str,
    "close": type(None),
    "reset": type(None),
}
CONSTRUCTOR_PARAMS = ("command", "interactive", "ready_markers")
WAITS = ("read_until_ready", "send_and_read_until_ready")
MAX_WAIT_MS = 20
# Commands the constructor may be given: one real, harmless program and
# several that cannot start. Nothing else is ever executed.
NOT_A_PROGRAM = "/nonexistent-morvik-fuzz/"
COMMANDS = ("cat", NOT_A_PROGRAM + "x", "", "cat ", "cat\x00", "\udcff", "./", "/")
# Input bytes the terminal would turn into signals, end-of-file or flow
# control for the child; everything else is passed through as typed.
TERMINAL_CONTROLS = {c: None for c in (0x03, 0x04, 0x0F, 0x11, 0x12, 0x13, 0x15, 0x16, 0x17, 0x1A, 0x1C)}


class Finding(BaseException):
    """A broken rule. BaseException, so no handler in the harness eats it."""


class OwnError(Exception):
    """Raised by the harness's own argument objects."""


SESSIONS = {}


def session(interactive: bool) -> "Morvik":
    """The long-lived `cat` sessions, started again whenever one has ended."""
    s = SESSIONS.get(interactive)
    if s is None:
        s = SESSIONS[interactive] = Morvik("cat", interactive, ["\n"])
    elif not s.is_alive():
        s.reset()
        s.set_ready_markers(["\n"])
    return s


class Index:
    """An integer-like argument whose __index__ does something the data picks."""

    def __init__(self, kind: int, value: int, target):
        self.kind, self.value, self.target = kind, value, target

    def __index__(self):
        if self.kind == 0:
            return self.value
        if self.kind == 1:
            raise OwnError("index")
        if self.kind == 2:
            return "not an int"
        # Re-enter the object whose call is converting this argument.
        name = ("close", "is_alive", "read_available", "reset", "get_history")[self.kind % 5]
        try:
            getattr(self.target, name)()
        except Exception:
            pass
        return self.value


class Markers(collections.abc.Sequence):
    """A sequence whose length and items the data decides, lies included."""

    def __init__(self, items, length, fail_at):
        self.items, self.length, self.fail_at = items, length, fail_at

    def __len__(self):
        if self.length < 0:
            raise OwnError("len")
        return self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise OwnError("getitem")
        return self.items[i]


class StrSub(str):
    pass


def text(fdp, n=12, surrogates=False):
    s = fdp.ConsumeUnicode(n) if surrogates else fdp.ConsumeUnicodeNoSurrogates(n)
    return s.translate(TERMINAL_CONTROLS)


def value(fdp, target, depth=0):
    kind = fdp.ConsumeIntInRange(0, 19 if depth < 2 else 7)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeBool()
    if kind == 2:
        return fdp.ConsumeIntInRange(-2, 64)
    if kind == 3:
        return fdp.PickValueInList([2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**64), 10**30, -1])
    if kind == 4:
        return fdp.ConsumeRegularFloat()
    if kind == 5:
        return text(fdp)
    if kind == 6:
        return text(fdp, surrogates=True)
    if kind == 7:
        return fdp.ConsumeBytes(8)
    if kind == 8:
        return [value(fdp, target, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    if kind == 9:
        return tuple(text(fdp, 6) for _ in range(fdp.ConsumeIntInRange(0, 3)))
    if kind == 10:
        return [text(fdp, 6) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    if kind == 11:
        return {text(fdp, 4)}
    if kind == 12:
        return {text(fdp, 4): value(fdp, target, depth + 1)}
    if kind == 13:
        return Index(fdp.ConsumeIntInRange(0, 8), fdp.ConsumeIntInRange(0, MAX_WAIT_MS), target)
    if kind == 14:
        items = [text(fdp, 4) if fdp.ConsumeBool() else value(fdp, target, depth + 1)
                 for _ in range(fdp.ConsumeIntInRange(0, 3))]
        return Markers(items, fdp.ConsumeIntInRange(-1, 2**31), fdp.ConsumeIntInRange(-1, 3))
    if kind == 15:
        return (text(fdp, 4) for _ in range(2))
    if kind == 16:
        return StrSub(text(fdp, 6))
    if kind == 17:
        return object()
    if kind == 18:
        return b"\x00" * fdp.ConsumeIntInRange(0, 3)
    return "".join(chr(fdp.ConsumeIntInRange(0x20, 0x7E)) for _ in range(fdp.ConsumeIntInRange(0, 30)))


def call_shape(fdp, params, target):
    """Positional values, then keywords: real names, a wrong name, or a
    name given twice; sometimes more positionals than there are params."""
    npos = fdp.ConsumeIntInRange(0, len(params) + 1)
    args = [value(fdp, target) for _ in range(npos)]
    kwargs = {}
    for _ in range(fdp.ConsumeIntInRange(0, len(params) + 1)):
        if params and fdp.ConsumeIntInRange(0, 7) != 0:
            name = fdp.PickValueInList(list(params))
        else:
            name = text(fdp, 6) or "bogus"
        kwargs[name] = value(fdp, target)
    return args, kwargs


def bounded_wait(fdp, params, args, kwargs):
    """Keep every wait short: a timeout that is missing, None or possibly
    large becomes a few milliseconds; wrong types stay, to be refused."""
    at = params.index("timeout_ms")

    def short(v):
        if v is None or isinstance(v, (int, Index)):
            return fdp.ConsumeIntInRange(0, MAX_WAIT_MS)
        return v

    if len(args) > at:
        args[at] = short(args[at])
    else:
        kwargs["timeout_ms"] = short(kwargs.get("timeout_ms"))
    # A marker seen at once would otherwise settle for the default 200 ms.
    settle = params.index("settle_ms")
    if len(args) <= settle and kwargs.get("settle_ms") is None:
        kwargs["settle_ms"] = fdp.ConsumeIntInRange(0, MAX_WAIT_MS)
    if "input" in params and args and isinstance(args[0], str):
        args[0] = args[0][:2000]


def expect_ordinary(call, what):
    try:
        result = call()
    except SystemError as error:
        raise Finding(f"{what}: SystemError {error}") from error
    except Exception:
        return None, False
    except BaseException as error:
        if type(error).__name__ == "PanicException":
            raise Finding(f"{what}: PanicException on the owner thread: {error}") from error
        raise
    return result, True


def fuzz_method(fdp):
    s = session(fdp.ConsumeBool())
    name = fdp.PickValueInList(list(METHODS))
    params = METHODS[name]
    args, kwargs = call_shape(fdp, params, s)
    if name in WAITS:
        bounded_wait(fdp, params, args, kwargs)
    method = getattr(s, name)

    if fdp.ConsumeIntInRange(0, 15) == 0:
        outcome = {}

        def elsewhere():
            try:
                method(*args, **kwargs)
                outcome["returned"] = True
            except BaseException as error:  # noqa: B036 - classified below
                outcome["error"] = error

        t = threading.Thread(target=elsewhere)
        t.start()
        t.join()
        error = outcome.get("error")
        # Matching the arguments comes first, so a wrong call shape is
        # still a TypeError; anything that gets further must be refused.
        if type(error).__name__ != "PanicException" and type(error) is not TypeError:
            raise Finding(f"{name} from another thread gave {error!r}, not PanicException")
        return

    result, returned = expect_ordinary(lambda: method(*args, **kwargs), name)
    if returned and not isinstance(result, RESULT_TYPES[name]):
        raise Finding(f"{name} returned {type(result).__name__}")
    if name == "read_available" or name in WAITS:
        if returned and any(ord(c) < 0x20 and c not in "\t\n" for c in result):
            raise Finding(f"{name} returned control characters: {result!r}")


def fuzz_constructor(fdp):
    args, kwargs = call_shape(fdp, CONSTRUCTOR_PARAMS, None)
    # Whatever stands where the command goes is replaced by a safe one,
    # unless it is not a str at all (then it is refused before anything runs).
    def safe(v):
        if isinstance(v, str):
            return fdp.PickValueInList(list(COMMANDS)) if fdp.ConsumeBool() else NOT_A_PROGRAM + v
        return v

    if args:
        args[0] = safe(args[0])
    for key in list(kwargs):
        if key == "command":
            kwargs[key] = safe(kwargs[key])
    made, returned = expect_ordinary(lambda: Morvik(*args, **kwargs), "Morvik()")
    if returned:
        if type(made) is not Morvik:
            raise Finding(f"constructor returned {type(made).__name__}")
        if made.get_initial_command() != "cat" or not made.is_alive():
            raise Finding(f"started {made.get_initial_command()!r}, alive={made.is_alive()}")
        made.close()


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    for _ in range(fdp.ConsumeIntInRange(1, 6)):
        if fdp.ConsumeIntInRange(0, 9) == 0:
            fuzz_constructor(fdp)
        else:
            fuzz_method(fdp)
    # Output left queued from one input must not steer the next.
    for s in SESSIONS.values():
        expect_ordinary(lambda: s.read_available(1 << 20), "drain")


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""The call fuzzer for the module's Python surface: random call shapes and
argument objects against the constructor and every method.

Owns the rule every call must keep, whatever it is given: it returns a value
of the documented type or raises an ordinary exception (a subclass of
Exception other than SystemError), and it never crashes the interpreter or
raises PanicException on the thread that owns the object. Calls from another
thread must raise PanicException and leave the object usable. Must never
start a program other than `cat` or `true` (random text as a command could
name any program on PATH), never wait long (every wait gets a deadline of a
few milliseconds), and never leave a child or session behind between inputs.

One harness, two sources of choices: atheris's FuzzedDataProvider when run
as a script (`make fuzz`, which builds the module with coverage counters
when clang is available and preloads atheris's runtime), and RandomSource, a
seeded stand-in, for the short run in tests/python/test_call_handling.py.
"""

import collections
import collections.abc
import random
import sys
import threading

import numpy as np

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
# close and reset stop a child, a pause each; drawn rarely, so that an input
# spends its time on the calls that convert arguments.
SLOW_METHODS = ("close", "reset")
QUICK_METHODS = tuple(name for name in METHODS if name not in SLOW_METHODS)
CONSTRUCTOR_PARAMS = ("command", "interactive", "ready_markers")
WAITS = ("read_until_ready", "send_and_read_until_ready")
# Commands the constructor may be given: two real, harmless programs and
# several that cannot start. Nothing else is ever executed.
STARTABLE = ("cat", "true")
NOT_A_PROGRAM = "/nonexistent-morvik-fuzz/"
COMMANDS = STARTABLE + (NOT_A_PROGRAM + "x", "", "cat ", "cat -n", "cat\x00", "\udcff", "./", "/")
# Input bytes the terminal would turn into signals, end-of-file or flow
# control for the child; everything else is passed through as typed.
TERMINAL_CONTROLS = {c: None for c in (0x03, 0x04, 0x0F, 0x11, 0x12, 0x13, 0x15, 0x16, 0x17, 0x1A, 0x1C)}


class Finding(BaseException):
    """A broken rule. BaseException, so no handler in the harness eats it."""


class OwnError(Exception):
    """Raised by the harness's own argument objects."""


class RandomSource:
    """The part of atheris's FuzzedDataProvider the harness uses, drawn from
    a seeded random.Random instead of fuzzer bytes."""

    def __init__(self, seed):
        self.rng = random.Random(seed)

    def ConsumeIntInRange(self, low, high):  # noqa: N802 - atheris's names
        return self.rng.randint(low, high)

    def ConsumeBool(self):  # noqa: N802
        return self.rng.random() < 0.5

    def PickValueInList(self, values):  # noqa: N802
        return self.rng.choice(values)

    def ConsumeBytes(self, n):  # noqa: N802
        return self.rng.randbytes(self.rng.randint(0, n))

    def ConsumeRegularFloat(self):  # noqa: N802
        return self.rng.choice([0.0, -0.0, 1.5, -2.5, 1e300, self.rng.uniform(-1e6, 1e6)])

    def ConsumeUnicode(self, n):  # noqa: N802
        return self._text(n, surrogates=True)

    def ConsumeUnicodeNoSurrogates(self, n):  # noqa: N802
        return self._text(n, surrogates=False)

    def _text(self, n, surrogates):
        chars = []
        for _ in range(self.rng.randint(0, n)):
            pool = self.rng.random()
            if pool < 0.5:
                c = self.rng.randint(0x20, 0x7E)
            elif pool < 0.75:
                c = self.rng.randint(0, 0xFFFF)
            else:
                c = self.rng.randint(0, 0x10FFFF)
            if not surrogates and 0xD800 <= c <= 0xDFFF:
                c = 0xFFFD
            chars.append(chr(c))
        return "".join(chars)


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
        name = ("close", "is_alive", "read_available", "reset", "get_history", "send_ctrl_c")[self.kind % 6]
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


class PlainSequence:
    """A sequence by protocol only, not registered with collections.abc."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class StrSub(str):
    pass


class CallFuzzer:
    """Runs one input's calls against two long-lived `cat` sessions."""

    def __init__(self, max_wait_ms=20):
        self.max_wait_ms = max_wait_ms
        self.sessions = {}
        # How the calls ended: "ok" or the name of the exception refused with.
        self.outcomes = collections.Counter()

    def session(self, fdp) -> "Morvik":
        """One of the two sessions; one that has ended is started again, or
        left closed for the calls to meet, as the data picks."""
        interactive = fdp.ConsumeBool()
        s = self.sessions.get(interactive)
        if s is None:
            s = self.sessions[interactive] = Morvik("cat", interactive, ["\n"])
        elif not s.is_alive() and fdp.ConsumeBool():
            s.reset()
            s.set_ready_markers(["\n"])
        return s

    def close(self):
        for s in self.sessions.values():
            s.close()

    def text(self, fdp, n=12, surrogates=False):
        s = fdp.ConsumeUnicode(n) if surrogates else fdp.ConsumeUnicodeNoSurrogates(n)
        return s.translate(TERMINAL_CONTROLS)

    def value(self, fdp, target, depth=0):
        kind = fdp.ConsumeIntInRange(0, 26 if depth < 2 else 7)
        if kind == 0:
            return None
        if kind == 1:
            return fdp.ConsumeBool()
        if kind == 2:
            return fdp.ConsumeIntInRange(-2, 64)
        if kind == 3:
            return fdp.PickValueInList([2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**64), 10**30, -1, -(2**80)])
        if kind == 4:
            return fdp.ConsumeRegularFloat()
        if kind == 5:
            return self.text(fdp)
        if kind == 6:
            return self.text(fdp, surrogates=True)
        if kind == 7:
            return fdp.ConsumeBytes(8)
        if kind == 8:
            return [self.value(fdp, target, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3))]
        if kind == 9:
            return tuple(self.text(fdp, 6) for _ in range(fdp.ConsumeIntInRange(0, 3)))
        if kind == 10:
            return [self.text(fdp, 6) for _ in range(fdp.ConsumeIntInRange(0, 3))]
        if kind == 11:
            return {self.text(fdp, 4)}
        if kind == 12:
            return {self.text(fdp, 4): self.value(fdp, target, depth + 1)}
        if kind == 13:
            return Index(fdp.ConsumeIntInRange(0, 8), fdp.ConsumeIntInRange(0, self.max_wait_ms), target)
        if kind == 14:
            items = [self.text(fdp, 4) if fdp.ConsumeBool() else self.value(fdp, target, depth + 1)
                     for _ in range(fdp.ConsumeIntInRange(0, 3))]
            return Markers(items, fdp.ConsumeIntInRange(-1, 2**31), fdp.ConsumeIntInRange(-1, 3))
        if kind == 15:
            return (self.text(fdp, 4) for _ in range(2))
        if kind == 16:
            return StrSub(self.text(fdp, 6))
        if kind == 17:
            return object()
        if kind == 18:
            return b"\x00" * fdp.ConsumeIntInRange(0, 3)
        if kind == 19:
            return fdp.PickValueInList([float("nan"), float("inf"), -float("inf")])
        if kind == 20:
            # numpy's scalars and arrays: bools with a truth slot, integers
            # with __index__, floats and strings with neither.
            return fdp.PickValueInList([
                np.True_, np.False_, np.int64(3), np.int64(-1), np.uint8(2), np.int8(5),
                np.uint64(2**64 - 1), np.float64(1.0), np.array([True]), np.array(["a"]),
            ])
        if kind == 21:
            return range(fdp.ConsumeIntInRange(0, 3))
        if kind == 22:
            return collections.deque(self.text(fdp, 4) for _ in range(fdp.ConsumeIntInRange(0, 2)))
        if kind == 23:
            return PlainSequence([self.text(fdp, 4) for _ in range(fdp.ConsumeIntInRange(0, 2))])
        if kind == 24:
            # Text cut to the marker kinds the sessions see, often enough to match.
            return fdp.PickValueInList(["\n", "(gdb) ", "$ ", "line", "ü" * 50, "héllo\n"])
        return "".join(chr(fdp.ConsumeIntInRange(0x20, 0x7E)) for _ in range(fdp.ConsumeIntInRange(0, 30)))

    def typical(self, fdp, param, target):
        """A value of the kind the parameter takes."""
        if param == "input":
            return self.text(fdp, 40)
        if param == "ready_markers":
            return [self.text(fdp, 6) for _ in range(fdp.ConsumeIntInRange(0, 3))]
        if param == "interactive":
            return fdp.ConsumeBool()
        if param == "command":
            return fdp.PickValueInList(list(COMMANDS))
        kind = fdp.ConsumeIntInRange(0, 3)
        if kind == 0:
            # The edges of an unsigned 64-bit count, in and out of range.
            return fdp.PickValueInList([0, 2**63, 2**64 - 1, -1, 2**64, -(2**80)])
        if kind == 1:
            return Index(fdp.ConsumeIntInRange(0, 8), fdp.ConsumeIntInRange(0, 4096), target)
        return fdp.ConsumeIntInRange(0, 4096)

    def call_shape(self, fdp, params, target):
        """Mostly a well-formed call: leading parameters by position, some of
        the rest by keyword, each value of its kind or anything at all. Then,
        as the data picks, a wrong shape: one positional too many, a name
        given twice, an unknown keyword (perhaps not even valid UTF-8), or a
        parameter left out."""

        def argument(param):
            if fdp.ConsumeIntInRange(0, 2) == 0:
                return self.value(fdp, target)
            return self.typical(fdp, param, target)

        npos = fdp.ConsumeIntInRange(0, len(params))
        args = [argument(param) for param in params[:npos]]
        kwargs = {param: argument(param) for param in params[npos:] if fdp.ConsumeBool()}
        flaw = fdp.ConsumeIntInRange(0, 9)
        if flaw == 1:
            args.append(self.value(fdp, target))
        elif flaw == 2 and params:
            kwargs[fdp.PickValueInList(list(params))] = self.value(fdp, target)
        elif flaw == 3:
            kwargs[self.text(fdp, 6, surrogates=fdp.ConsumeBool()) or "bogus"] = self.value(fdp, target)
        elif flaw == 4 and args:
            args.pop()
        return args, kwargs

    def bounded_wait(self, fdp, params, args, kwargs):
        """Keep every wait short: a timeout that is missing, None or possibly
        large becomes a few milliseconds; wrong types stay, to be refused."""
        at = params.index("timeout_ms")

        def short(v):
            if v is None or isinstance(v, (int, Index, np.integer)):
                return fdp.ConsumeIntInRange(0, self.max_wait_ms)
            return v

        if len(args) > at:
            args[at] = short(args[at])
        else:
            kwargs["timeout_ms"] = short(kwargs.get("timeout_ms"))
        # A marker seen at once would otherwise settle for the default 200 ms.
        settle = params.index("settle_ms")
        if len(args) <= settle and kwargs.get("settle_ms") is None:
            kwargs["settle_ms"] = fdp.ConsumeIntInRange(0, self.max_wait_ms)
        if "input" in params and args and isinstance(args[0], str):
            args[0] = args[0][:2000]

    def expect_ordinary(self, call, what, count=True):
        try:
            result = call()
        except SystemError as error:
            raise Finding(f"{what}: SystemError {error}") from error
        except Exception as error:
            if count:
                self.outcomes[type(error).__name__] += 1
            return None, False
        except BaseException as error:
            if type(error).__name__ == "PanicException":
                raise Finding(f"{what}: PanicException on the owner thread: {error}") from error
            raise
        if count:
            self.outcomes["ok"] += 1
        return result, True

    def method(self, fdp):
        s = self.session(fdp)
        if fdp.ConsumeIntInRange(0, 99) == 0:
            name = fdp.PickValueInList(list(SLOW_METHODS))
        else:
            name = fdp.PickValueInList(list(QUICK_METHODS))
        params = METHODS[name]
        args, kwargs = self.call_shape(fdp, params, s)
        if name in WAITS:
            self.bounded_wait(fdp, params, args, kwargs)
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
            self.outcomes["refused elsewhere"] += 1
            return

        result, returned = self.expect_ordinary(lambda: method(*args, **kwargs), name)
        if returned and not isinstance(result, RESULT_TYPES[name]):
            raise Finding(f"{name} returned {type(result).__name__}")
        if name == "read_available" or name in WAITS:
            if returned and any(ord(c) < 0x20 and c not in "\t\n" for c in result):
                raise Finding(f"{name} returned control characters: {result!r}")

    def constructor(self, fdp):
        args, kwargs = self.call_shape(fdp, CONSTRUCTOR_PARAMS, None)

        # Whatever stands where the command goes is replaced by a safe one
        # (of the same str subclass), unless it is not a str at all: then it
        # is refused before anything runs.
        def safe(v):
            if isinstance(v, str):
                command = fdp.PickValueInList(list(COMMANDS)) if fdp.ConsumeBool() else NOT_A_PROGRAM + v
                return type(v)(command)
            return v

        if args:
            args[0] = safe(args[0])
        for key in list(kwargs):
            if key == "command":
                kwargs[key] = safe(kwargs[key])
        made, returned = self.expect_ordinary(lambda: Morvik(*args, **kwargs), "Morvik()")
        if returned:
            if type(made) is not Morvik:
                raise Finding(f"constructor returned {type(made).__name__}")
            command = made.get_initial_command()
            if command not in STARTABLE or (command == "cat" and not made.is_alive()):
                raise Finding(f"started {command!r}, alive={made.is_alive()}")
            made.close()

    def one_input(self, fdp):
        for _ in range(fdp.ConsumeIntInRange(1, 6)):
            if fdp.ConsumeIntInRange(0, 19) == 0:
                self.constructor(fdp)
            else:
                self.method(fdp)
        # Output left queued from one input must not steer the next.
        for s in self.sessions.values():
            self.expect_ordinary(lambda: s.read_available(1 << 20), "drain", count=False)


def main():
    import atheris

    fuzzer = CallFuzzer()
    atheris.Setup(sys.argv, lambda data: fuzzer.one_input(atheris.FuzzedDataProvider(data)))
    atheris.Fuzz()


if __name__ == "__main__":
    main()

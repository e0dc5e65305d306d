"""How calls reach a session: argument matching and its exact messages, the
conversion of each parameter kind, the "argument '<name>': " wrapping, shared
and exclusive access, binding to the owner thread, and a randomized run of
every call shape against live sessions (the call fuzzer, seeded)."""

import collections
import collections.abc
import gc
import operator
import re
import runpy
import sys
import threading
import time
import types
from pathlib import Path

import numpy as np
import pytest

import morvik
import support
from support import no_leaks

Morvik = morvik.Morvik

# A quick round trip through `cat`: echo is off, so what comes back is cat's copy.
QUICK = {"timeout_ms": 5000, "quiet_ms": 150}


@pytest.fixture
def cat(spawn):
    return spawn("cat", False)


def echo(session, text):
    """What `cat` gives back for one line, read until the output goes quiet."""
    return session.send_and_read_until_ready(text, **QUICK)


class Index:
    def __init__(self, value, hook=None):
        self.value = value
        self.hook = hook

    def __index__(self):
        if self.hook:
            self.hook()
        return self.value


class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class StrSub(str):
    pass


# ---------------------------------------------------------------- matching

class TestArgumentMatchingMessages:
    @pytest.mark.parametrize("call, message", [
        (lambda s: Morvik(),
         "Morvik.__new__() missing 2 required positional arguments: 'command' and 'interactive'"),
        (lambda s: Morvik("cat"),
         "Morvik.__new__() missing 1 required positional argument: 'interactive'"),
        (lambda s: Morvik(interactive=True),
         "Morvik.__new__() missing 1 required positional argument: 'command'"),
        (lambda s: Morvik(ready_markers=[]),
         "Morvik.__new__() missing 2 required positional arguments: 'command' and 'interactive'"),
        (lambda s: Morvik("cat", True, [], 4),
         "Morvik.__new__() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda s: Morvik("cat", True, command="cat"),
         "Morvik.__new__() got multiple values for argument 'command'"),
        (lambda s: Morvik("cat", True, shell=True),
         "Morvik.__new__() got an unexpected keyword argument 'shell'"),
        (lambda s: s.set_ready_markers(["a"], ["b"]),
         "Morvik.set_ready_markers() takes 1 positional arguments but 2 were given"),
        (lambda s: s.set_ready_markers(),
         "Morvik.set_ready_markers() missing 1 required positional argument: 'ready_markers'"),
        (lambda s: s.read_available(1, 2),
         "Morvik.read_available() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda s: s.read_available(1, max_bytes=2),
         "Morvik.read_available() got multiple values for argument 'max_bytes'"),
        (lambda s: s.read_available(maxbytes=2),
         "Morvik.read_available() got an unexpected keyword argument 'maxbytes'"),
        (lambda s: s.read_until_ready(1, 2, 3, 4, 5),
         "Morvik.read_until_ready() takes from 0 to 4 positional arguments but 5 were given"),
        (lambda s: s.read_until_ready(1, 2, timeout_ms=3),
         "Morvik.read_until_ready() got multiple values for argument 'timeout_ms'"),
        (lambda s: s.send_and_read_until_ready(),
         "Morvik.send_and_read_until_ready() missing 1 required positional argument: 'input'"),
        (lambda s: s.send_and_read_until_ready(timeout_ms=1, quiet_ms=1),
         "Morvik.send_and_read_until_ready() missing 1 required positional argument: 'input'"),
        (lambda s: s.send_and_read_until_ready("x", 1, 2, 3, 4, 5),
         "Morvik.send_and_read_until_ready() takes from 1 to 5 positional arguments "
         "but 6 were given"),
        (lambda s: s.send_and_read_until_ready("x", input="y"),
         "Morvik.send_and_read_until_ready() got multiple values for argument 'input'"),
        # An unknown keyword is reported before a missing required one.
        (lambda s: s.send_and_read_until_ready(inpt="x"),
         "Morvik.send_and_read_until_ready() got an unexpected keyword argument 'inpt'"),
        # A keyword that cannot be encoded as UTF-8 is shown as str() renders it.
        (lambda s: s.read_available(**{"max\udcffbytes": 1}),
         "Morvik.read_available() got an unexpected keyword argument 'max\udcffbytes'"),
    ])
    def test_wrong_calls_raise_exact_type_errors(self, cat, call, message):
        with no_leaks():
            with pytest.raises(TypeError) as info:
                call(cat)
        assert type(info.value) is TypeError
        assert str(info.value) == message

    def test_every_parameter_accepts_its_keyword(self, spawn):
        session = spawn(command="cat", interactive=False, ready_markers=None)
        assert session.get_initial_command() == "cat"
        assert session.is_interactive() is False
        # Each keyword lands in its own slot: the byte caps given by name are obeyed.
        assert session.send_and_read_until_ready(input="keyword", timeout_ms=5000, quiet_ms=150,
                                                 max_output_bytes=3, settle_ms=10) == "key"
        # What the cap left behind, which may still be on its way.
        assert support.collect(session, "word\n") == "word\n"
        assert TestUnsignedConversion.read_after_echo(session, 2, keyword=True) == "ab"
        session.set_ready_markers(ready_markers=["$ "])
        rest = session.read_until_ready(timeout_ms=200, max_output_bytes=1, settle_ms=1,
                                        quiet_ms=50)
        assert len(rest) <= 1

    def test_parse_error_comes_before_any_other_check(self, cat):
        # From a foreign thread a well-formed call panics, but a malformed one
        # is refused by the parser first.
        seen = []

        def other():
            try:
                cat.read_available(maxbytes=1)
            except BaseException as e:  # noqa: BLE001 - the type is what is checked
                seen.append(e)

        t = threading.Thread(target=other)
        t.start()
        t.join()
        assert type(seen[0]) is TypeError


# ---------------------------------------------------------------- conversions

class TestTextConversion:
    def test_str_and_subclasses_pass_their_utf8_bytes(self, cat):
        assert echo(cat, "plain") == "plain\n"
        assert echo(cat, StrSub("sub")) == "sub\n"
        assert echo(cat, "héllo ✓ 𝄞") == "héllo ✓ 𝄞\n"

    @pytest.mark.parametrize("value, shown", [
        (1, "int"), (b"cat", "bytes"), (None, "NoneType"), (["cat"], "list"),
        (np.float64(1), "float64"),
    ])
    def test_non_str_is_cast_error_naming_the_parameter(self, cat, value, shown):
        with pytest.raises(TypeError) as info:
            cat.send_and_read_until_ready(value, **QUICK)
        assert str(info.value) == f"argument 'input': '{shown}' object cannot be cast as 'str'"
        with no_leaks():
            with pytest.raises(TypeError) as info:
                Morvik(value, False)
        assert str(info.value) == f"argument 'command': '{shown}' object cannot be cast as 'str'"

    def test_lone_surrogate_raises_unicode_encode_error_unwrapped(self, cat):
        with pytest.raises(UnicodeEncodeError) as info:
            cat.send_and_read_until_ready("a\udcffb", **QUICK)
        assert "argument" not in str(info.value)
        with no_leaks():
            with pytest.raises(UnicodeEncodeError):
                Morvik("ca\ud800t", False)
        assert echo(cat, "next") == "next\n"  # the refused input was never written


class TestBooleanConversion:
    @pytest.mark.parametrize("value, expected", [
        (True, True), (False, False), (np.True_, True), (np.False_, False),
        (np.bool_(1), True),
    ])
    def test_true_false_and_numpy_bools_are_accepted(self, spawn, value, expected):
        assert spawn("cat", value).is_interactive() is expected

    @pytest.mark.parametrize("value, shown", [
        (1, "int"), (0, "int"), (None, "NoneType"), ("yes", "str"), (1.0, "float"),
        (np.int64(1), "int64"), (np.array([True]), "ndarray"),
    ])
    def test_anything_else_is_refused_even_with_a_truth_value(self, value, shown):
        with no_leaks():
            with pytest.raises(TypeError) as info:
                Morvik("cat", value)
        assert str(info.value) == (
            f"argument 'interactive': '{shown}' object cannot be cast as 'bool'"
        )

    def test_numpy_named_type_goes_through_its_truth_slot(self, spawn):
        calls = []

        class bool_:  # noqa: N801 - mimics numpy's own scalar type
            __module__ = "numpy"

            def __bool__(self):
                calls.append(1)
                return True

        assert spawn("cat", bool_()).is_interactive() is True
        assert calls == [1]

        class NotNumpy:
            __module__ = "mypackage"

            def __bool__(self):
                return True

        NotNumpy.__name__ = "bool_"
        with pytest.raises(TypeError, match="'.*NotNumpy' object cannot be cast as 'bool'"):
            Morvik("cat", NotNumpy())

    def test_numpy_named_type_without_truth_slot_names_the_type(self):
        # A class that defines no __bool__ leaves the truth-value slot empty.
        Fake = type("bool", (), {"__module__": "numpy"})
        with no_leaks():
            with pytest.raises(TypeError) as info:
                Morvik("cat", Fake())
        assert str(info.value) == (
            "argument 'interactive': object of type '<class 'numpy.bool'>' "
            "does not define a '__bool__' conversion"
        )

    def test_errors_from_the_truth_slot_pass_through(self):
        class bool_:  # noqa: N801
            __module__ = "numpy"

            def __bool__(self):
                raise ValueError("no truth here")

        with no_leaks():
            with pytest.raises(ValueError, match="^no truth here$"):
                Morvik("cat", bool_())


class TestUnsignedConversion:
    @staticmethod
    def read_after_echo(session, value, keyword=False):
        """Queues cat's "abcdef\n" without reading it, then reads it with `value`
        as the budget, waiting for it to arrive."""
        session.send_and_read_until_ready("abcdef", timeout_ms=0, max_output_bytes=0)
        deadline = time.monotonic() + 10
        while True:
            got = (session.read_available(max_bytes=value) if keyword
                   else session.read_available(value))
            if got or time.monotonic() > deadline:
                return got
            time.sleep(0.01)

    @pytest.mark.parametrize("value, expected", [
        (None, "abcdef\n"), (True, "a"), (3, "abc"), (Index(2), "ab"), (np.uint64(4), "abcd"),
        (np.int8(5), "abcde"), (2**64 - 1, "abcdef\n"),
    ])
    def test_ints_bools_and_index_objects_give_their_value(self, cat, value, expected):
        assert self.read_after_echo(cat, value) == expected

    @pytest.mark.parametrize("value", [-1, -(2**70), 2**64, 2**200, Index(-5), np.int64(-1)])
    def test_out_of_range_is_the_interpreters_overflow_error_unwrapped(self, cat, value):
        with pytest.raises(OverflowError) as info:
            cat.read_available(value)
        assert type(info.value) is OverflowError
        assert not str(info.value).startswith("argument")
        with pytest.raises(OverflowError):
            cat.read_until_ready(timeout_ms=value)

    @pytest.mark.parametrize("value", [1.5, 0.0, "5", b"5", None.__class__, [1], np.float64(1.0)])
    def test_non_integers_get_the_interpreters_type_error_wrapped(self, cat, value):
        with pytest.raises(TypeError) as expected:
            operator.index(value)
        with pytest.raises(TypeError) as info:
            cat.read_available(value)
        assert str(info.value) == f"argument 'max_bytes': {expected.value}"
        with pytest.raises(TypeError) as info:
            cat.send_and_read_until_ready("x", 1, 2, 3, quiet_ms=value)
        assert str(info.value) == f"argument 'quiet_ms': {expected.value}"

    def test_parameters_convert_in_order_and_first_failure_wins(self, cat):
        with pytest.raises(TypeError, match="^argument 'max_output_bytes': "):
            cat.read_until_ready(quiet_ms=1.5, max_output_bytes="x", timeout_ms=0)
        with pytest.raises(OverflowError):
            cat.read_until_ready(0, -1, 1.5)


class TestWrapping:
    def test_wrapped_error_keeps_the_original_cause(self, cat):
        root = KeyError("root")
        error = TypeError("inner")
        error.__cause__ = root
        with pytest.raises(TypeError) as info:
            cat.read_available(RaisingIndex(error))
        assert str(info.value) == "argument 'max_bytes': inner"
        assert info.value is not error
        assert info.value.__cause__ is root

    def test_wrapped_error_without_cause_has_none(self, cat):
        with pytest.raises(TypeError) as info:
            cat.read_available(RaisingIndex(TypeError("plain")))
        assert str(info.value) == "argument 'max_bytes': plain"
        assert info.value.__cause__ is None

    @pytest.mark.parametrize("error", [
        ValueError("v"), OverflowError("o"), KeyError("k"), ZeroDivisionError("z"),
    ])
    def test_errors_other_than_type_error_pass_through_untouched(self, cat, error):
        with pytest.raises(type(error)) as info:
            cat.read_available(RaisingIndex(error))
        assert info.value is error

    def test_type_error_subclass_is_not_wrapped(self, cat):
        class MyTypeError(TypeError):
            pass

        error = MyTypeError("mine")
        with pytest.raises(MyTypeError) as info:
            cat.read_available(RaisingIndex(error))
        assert info.value is error


class TestTextListConversion:
    """Marker lists reach the session intact: a wait in marker mode returns
    soon after the marker although the program never goes quiet."""

    @pytest.fixture
    def chatty(self, script):
        # Prints a prompt, then a dot every 50 ms forever: quiet mode would
        # run into the timeout, marker mode ends after the prompt.
        return script("printf 'go READY> '\nwhile :; do printf .; sleep 0.05; done\n")

    def wait_is_short(self, session):
        started = time.monotonic()
        out = session.read_until_ready(timeout_ms=8000)
        return time.monotonic() - started < 5 and "READY> " in out

    class PlainSequence:
        """A sequence by protocol only, not registered with collections.abc."""

        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i > 0:
                raise IndexError(i)
            return "READY> "

    @pytest.mark.parametrize("markers", [
        ["READY> "],
        ("nope", "READY> "),
        [StrSub("READY> ")],
        collections.deque(["READY> "]),
        PlainSequence(),
        np.array(["READY> "]),
    ])
    def test_sequences_of_str_are_accepted(self, spawn, chatty, markers):
        assert self.wait_is_short(spawn(chatty, True, markers))
        session = spawn(chatty, True, ["nothing like it"])
        session.set_ready_markers(markers)
        assert self.wait_is_short(session)

    def test_broken_len_is_ignored_and_huge_len_does_not_reserve(self, spawn, chatty):
        class Markers(collections.abc.Sequence):
            def __init__(self, length):
                self.length = length

            def __len__(self):
                if self.length is None:
                    raise RuntimeError("len is broken")
                return self.length

            def __getitem__(self, i):
                if i > 0:
                    raise IndexError(i)
                return "READY> "

        assert self.wait_is_short(spawn(chatty, True, Markers(None)))
        assert self.wait_is_short(spawn(chatty, True, Markers(2**62)))

    @pytest.mark.parametrize("value, message", [
        ("READY> ", "Can't extract `str` to `Vec`"),
        (StrSub("x"), "Can't extract `str` to `Vec`"),
        ({"READY> "}, "'set' object cannot be cast as 'Sequence'"),
        ({"READY> ": 1}, "'dict' object cannot be cast as 'Sequence'"),
        ((m for m in ["READY> "]), "'generator' object cannot be cast as 'Sequence'"),
        (iter(["READY> "]), "'list_iterator' object cannot be cast as 'Sequence'"),
        (["READY> ", 1], "'int' object cannot be cast as 'str'"),
        ([b"READY> "], "'bytes' object cannot be cast as 'str'"),
        (range(2), "'int' object cannot be cast as 'str'"),
    ])
    def test_refusals_name_the_parameter(self, cat, value, message):
        with pytest.raises(TypeError) as info:
            cat.set_ready_markers(value)
        assert str(info.value) == f"argument 'ready_markers': {message}"

    def test_none_is_refused_by_set_ready_markers_but_means_default_for_constructor(
            self, cat, spawn, script):
        with pytest.raises(TypeError) as info:
            cat.set_ready_markers(None)
        assert str(info.value) == (
            "argument 'ready_markers': 'NoneType' object cannot be cast as 'Sequence'"
        )
        prog = script("printf '(gdb) '\nwhile :; do printf .; sleep 0.05; done\n")
        started = time.monotonic()
        assert "(gdb) " in spawn(prog, True, None).read_until_ready(timeout_ms=8000)
        assert time.monotonic() - started < 5

    def test_refused_list_leaves_markers_unchanged(self, spawn, chatty):
        session = spawn(chatty, True, ["READY> "])
        with pytest.raises(TypeError):
            session.set_ready_markers(["fine", 2])
        with pytest.raises(TypeError):
            session.set_ready_markers("READY> ")
        assert self.wait_is_short(session)

    def test_errors_while_iterating_pass_through(self, cat):
        class Broken(collections.abc.Sequence):
            def __len__(self):
                return 2

            def __getitem__(self, i):
                if i == 1:
                    raise LookupError("item 1 is gone")
                return "a"

        with pytest.raises(LookupError, match="^item 1 is gone$"):
            cat.set_ready_markers(Broken())
        with pytest.raises(UnicodeEncodeError):
            cat.set_ready_markers(["ok", "\udcff"])


# ---------------------------------------------------------------- access

class TestAccess:
    def test_exclusive_call_from_conversion_of_shared_call_is_refused(self, cat):
        inner = []

        def close_now():
            try:
                cat.close()
            except RuntimeError as e:
                inner.append(str(e))

        assert cat.read_available(Index(10, close_now)) == ""
        assert inner == ["Already borrowed"]
        assert cat.is_alive() is True  # the refused close did nothing
        cat.close()  # and access was released afterwards
        assert cat.is_alive() is False

    def test_shared_call_during_exclusive_call_is_refused(self, cat):
        inner = []

        def ask():
            try:
                inner.append(cat.is_alive())
            except RuntimeError as e:
                inner.append(str(e))

        assert cat.send_and_read_until_ready("hi", timeout_ms=Index(5000, ask),
                                             quiet_ms=150) == "hi\n"
        assert inner == ["Already mutably borrowed"]

    def test_shared_calls_overlap(self, cat):
        inner = []
        cat.read_available(Index(1, lambda: inner.append(cat.is_alive())))
        assert inner == [True]

    def test_exclusive_during_exclusive_and_from_an_iterator(self, cat):
        inner = []

        def ctrl_c():
            try:
                cat.send_ctrl_c()
            except RuntimeError as e:
                inner.append(str(e))

        cat.send_and_read_until_ready("x", Index(5000, ctrl_c), quiet_ms=150)

        class Markers(collections.abc.Sequence):
            def __len__(self):
                return 1

            def __getitem__(self, i):
                if i:
                    raise IndexError(i)
                try:
                    cat.reset()
                except RuntimeError as e:
                    inner.append(str(e))
                return "m"

        cat.set_ready_markers(Markers())
        assert inner == ["Already borrowed", "Already borrowed"]
        assert cat.is_alive() is True

    def test_failed_conversion_releases_access(self, cat):
        with pytest.raises(TypeError):
            cat.send_and_read_until_ready("x", timeout_ms=1.5)
        with pytest.raises(ValueError):
            cat.read_available(RaisingIndex(ValueError()))
        cat.close()  # exclusive: fails if any access above leaked
        cat.reset()
        assert cat.is_alive() is True


# ---------------------------------------------------------------- threads

THREAD_ERROR = re.compile(
    r"assertion `left == right` failed: morvik::Morvik is unsendable, but sent to another thread"
    r"\n  left: ThreadId\((\d+)\)\n right: ThreadId\((\d+)\)\Z"
)

EVERY_METHOD = [
    ("set_ready_markers", (["x"],)),
    ("read_until_ready", (0,)),
    ("send_and_read_until_ready", ("from elsewhere", 0)),
    ("read_available", ()),
    ("send_ctrl_c", ()),
    ("get_history", ()),
    ("is_alive", ()),
    ("is_interactive", ()),
    ("get_initial_command", ()),
    ("close", ()),
    ("reset", ()),
]


def call_on_new_thread(fn):
    """Runs fn on a fresh thread; returns what an `except Exception` saw and
    what got past it."""
    # Sessions left in reference cycles by earlier tests must not be
    # collected on the new thread, where their release would be refused.
    gc.collect()
    outcome = {}

    def body():
        try:
            try:
                outcome["value"] = fn()
            except Exception as e:  # noqa: BLE001 - must NOT catch the panic
                outcome["caught_by_exception"] = e
        except BaseException as e:  # noqa: BLE001
            outcome["escaped"] = e

    t = threading.Thread(target=body)
    t.start()
    t.join()
    return outcome


class TestThreadBinding:
    def test_every_method_from_another_thread_panics_and_touches_nothing(self, cat):
        assert echo(cat, "before") == "before\n"
        history = cat.get_history()
        owners = set()
        callers = set()
        for name, args in EVERY_METHOD:
            outcome = call_on_new_thread(lambda: getattr(cat, name)(*args))
            assert set(outcome) == {"escaped"}, (name, outcome)
            error = outcome["escaped"]
            assert type(error).__name__ == "PanicException"
            assert not isinstance(error, Exception)
            assert type(error).__bases__ == (BaseException,)
            match = THREAD_ERROR.match(error.args[0])
            assert match, error.args
            callers.add(int(match.group(1)))
            owners.add(int(match.group(2)))
        assert len(owners) == 1
        assert len(callers) == len(EVERY_METHOD)  # every new thread gets a new number
        assert not owners & callers
        # Nothing happened: not closed, not reset, not written, not interrupted.
        assert cat.is_alive() is True
        assert cat.read_available() == ""
        assert cat.get_history() == history
        assert echo(cat, "after") == "after\n"
        for name, args in EVERY_METHOD:
            getattr(cat, name)(*args)

    def test_thread_check_comes_before_access_and_conversion(self, cat):
        outcome = call_on_new_thread(lambda: cat.read_available(1.5))
        assert type(outcome["escaped"]).__name__ == "PanicException"

    def test_panic_class_is_kept_once_and_documented(self, cat):
        first = call_on_new_thread(cat.is_alive)["escaped"]
        second = call_on_new_thread(cat.is_alive)["escaped"]
        panic = type(first)
        assert type(second) is panic
        assert panic.__name__ == "PanicException"
        assert "fails fatally" in panic.__doc__ and "BaseException" in panic.__doc__
        assert not hasattr(morvik, "PanicException")
        assert len(first.args) == 1

    def test_object_belongs_to_the_thread_that_constructed_it(self, monkeypatch):
        before = set(support.child_processes())
        made = call_on_new_thread(lambda: Morvik("cat", False))["value"]
        (pid,) = set(support.child_processes()) - before
        reports = []
        monkeypatch.setattr(sys, "unraisablehook", reports.append)
        try:
            with pytest.raises(BaseException) as info:
                made.is_alive()
            assert type(info.value).__name__ == "PanicException"
            # Its owner is gone, so no thread may end it: dropping it here
            # leaves the child alone.
            del made
            gc.collect()
            assert [str(r.exc_value) for r in reports] == [
                "morvik::Morvik is unsendable, but is being dropped on another thread"
            ]
            assert pid in support.child_processes()
        finally:
            support.kill_quietly(pid, reap=True)


# ---------------------------------------------------------------- random shapes

def _call_fuzzer():
    """fuzz/call_fuzzer.py, the one call fuzzer, loaded without atheris."""
    path = Path(__file__).resolve().parents[2] / "fuzz" / "call_fuzzer.py"
    return types.SimpleNamespace(**runpy.run_path(str(path), run_name="call_fuzzer"))


def test_seeded_run_of_the_call_fuzzer_keeps_every_call_rule():
    # About 2000 calls; a broken rule raises the fuzzer's Finding, which no
    # handler takes, and PanicException on the owner thread becomes one.
    fuzz = _call_fuzzer()
    fuzzer = fuzz.CallFuzzer(max_wait_ms=3)
    source = fuzz.RandomSource(20240611)
    started = time.monotonic()
    try:
        for _ in range(600):
            fuzzer.one_input(source)
    finally:
        fuzzer.close()
    elapsed = time.monotonic() - started
    assert all(s.is_alive() is False for s in fuzzer.sessions.values())
    # The run was meaningful: plenty of calls got through, plenty were
    # refused, and calls from other threads were among them.
    outcomes = fuzzer.outcomes
    assert outcomes["ok"] > 400, outcomes
    assert outcomes["TypeError"] > 200, outcomes
    assert outcomes["refused elsewhere"] > 20, outcomes
    assert elapsed < 120, elapsed

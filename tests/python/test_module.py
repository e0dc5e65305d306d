"""The module and the Morvik class as the interpreter sees them: initialisation,
the class's shape, construction and deallocation."""

import gc
import importlib
import importlib.util
import inspect
import os
import shutil
import subprocess
import sys
import threading
import time
import weakref

import pytest

import morvik
import support
from support import no_leaks

Morvik = morvik.Morvik

# The module's specified texts: the class's text signature, then each
# method's (text signature, docstring), in the order of the method table.
CLASS_SIGNATURE = "(command, interactive, ready_markers=None)"
METHOD_DOCS = {
    "set_ready_markers": ("($self, ready_markers)", None),
    "read_until_ready": (
        "($self, timeout_ms=None, max_output_bytes=None, settle_ms=None, quiet_ms=None)",
        "Read until ready marker appears (interactive=true) OR until output goes quiet "
        "(interactive=false).",
    ),
    "send_and_read_until_ready": (
        "($self, input, timeout_ms=None, max_output_bytes=None, settle_ms=None, quiet_ms=None)",
        "Send input and read until ready marker returns (interactive=true) OR until output "
        "goes quiet (interactive=false).",
    ),
    "read_available": ("($self, max_bytes=None)", "Non-blocking read of buffered output."),
    "send_ctrl_c": ("($self)", None),
    "get_history": ("($self)", None),
    "is_alive": ("($self)", None),
    "is_interactive": ("($self)", None),
    "get_initial_command": ("($self)", None),
    "close": ("($self)", None),
    "reset": ("($self)", None),
}


class TestModuleInitialisation:
    def test_reimport_and_second_initialisation_yield_the_same_module(self):
        first = sys.modules.pop("morvik")
        try:
            again = importlib.import_module("morvik")
            assert again is first
            # Running the entry point once more, through the loader, also
            # hands back the remembered module rather than a fresh one.
            assert importlib.util.module_from_spec(first.__spec__) is first
            assert importlib.reload(first) is first
        finally:
            sys.modules["morvik"] = first
        assert first.__all__ == ["Morvik"]

    def test_module_exports_only_the_class_and_an_empty_docstring(self):
        assert morvik.__doc__ == ""
        assert type(morvik.__all__) is list and morvik.__all__ == ["Morvik"]
        assert morvik.Morvik is Morvik
        public = {name for name in vars(morvik) if not name.startswith("_")}
        assert public == {"Morvik"}

    def test_shared_object_exports_its_entry_point_and_nothing_else(self):
        nm = shutil.which("nm")
        if nm is None:
            pytest.skip("nm (binutils) is not installed")
        listing = subprocess.run(
            [nm, "-D", "--defined-only", morvik.__file__], capture_output=True, text=True, check=True
        ).stdout
        exported = {line.split()[-1] for line in listing.splitlines() if line.strip()}
        # Neither the module's own symbols nor C++ library templates it
        # instantiates: any of them could bind to another extension's copy.
        assert exported == {"PyInit_morvik"}

    def test_second_interpreter_is_refused_and_first_keeps_working(self):
        pytest.importorskip("_testcapi")
        result = support.run_host("""
            import morvik, _testcapi
            code = '''
            try:
                import morvik
                print("IMPORTED")
            except ImportError as e:
                print("REFUSED", e)
            '''
            import textwrap
            _testcapi.run_in_subinterp(textwrap.dedent(code))
            m = morvik.Morvik("cat", False)
            print("ALIVE", m.is_alive())
            m.close()
        """)
        assert result.returncode == 0, result.stderr
        lines = result.stdout.splitlines()
        assert lines[0].startswith("REFUSED ") and "sub-interpreters" in lines[0]
        assert lines[1] == "ALIVE True"


class TestClassShape:
    def test_class_and_method_table_carry_the_specified_names_signatures_and_docstrings(self):
        assert (Morvik.__module__, Morvik.__name__, Morvik.__qualname__) == ("builtins", "Morvik", "Morvik")
        assert Morvik.__text_signature__ == CLASS_SIGNATURE
        assert str(inspect.signature(Morvik)) == CLASS_SIGNATURE
        assert Morvik.__doc__ in ("", None)
        methods = [name for name in vars(Morvik) if not name.startswith("__")]
        assert methods == list(METHOD_DOCS)
        for name, (signature, doc) in METHOD_DOCS.items():
            method = getattr(Morvik, name)
            assert method.__text_signature__ == signature, name
            assert method.__doc__ == doc, name

    def test_cannot_be_subclassed(self):
        with pytest.raises(TypeError, match="not an acceptable base type"):
            type("Sub", (Morvik,), {})

    def test_instances_take_no_attributes_or_weak_references(self, spawn):
        session = spawn("cat", False)
        with pytest.raises(AttributeError):
            session.anything = 1
        with pytest.raises(TypeError):
            weakref.ref(session)
        assert not hasattr(session, "__dict__")

    def test_methods_without_parameters_refuse_arguments_themselves(self, spawn):
        session = spawn("cat", False)
        with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
            session.is_alive(1)
        with pytest.raises(TypeError, match="takes no keyword arguments"):
            session.close(x=1)
        assert session.is_alive() is True


class TestConstruction:
    def test_keyword_and_positional_forms_build_the_same_session(self, spawn, script):
        prog = script("cat\n", name="prög ram")  # a blank and a non-ASCII byte, verbatim
        by_keyword = spawn(interactive=True, command=prog, ready_markers=["$ "])
        by_position = spawn(prog, True, ["$ "])
        for session in (by_keyword, by_position):
            assert session.get_initial_command() == prog
            assert session.is_interactive() is True
            assert session.is_alive() is True

    @pytest.mark.parametrize("command, error", [
        ("morvik-no-such-program", "ENOENT: No such file or directory"),
        # One program name, not a command line.
        ("cat -n", "ENOENT: No such file or directory"),
        ("{tmp}/no such program", "ENOENT: No such file or directory"),
        ("{tmp}/not-executable", "EACCES: Permission denied"),
    ])
    def test_failed_start_raises_plain_exception_naming_command_and_error(self, tmp_path, command, error):
        (tmp_path / "not-executable").write_text("#!/bin/sh\necho hi\n")
        (tmp_path / "not-executable").chmod(0o644)
        command = command.format(tmp=tmp_path)
        # Nothing of the failed start may stay behind: no master, no pipe
        # end, no reader thread, no uncollected child.
        with no_leaks():
            with pytest.raises(Exception) as info:
                Morvik(command, True)
        assert type(info.value) is Exception
        assert str(info.value) == f"Failed to spawn process with command '{command}': {error}"

    @pytest.mark.parametrize("markers, error", [
        ("(gdb) ", TypeError),
        (["ok", 1], TypeError),
        ({"(gdb) "}, TypeError),
        (["\udcff"], UnicodeEncodeError),
    ])
    def test_bad_ready_markers_start_no_child(self, script, tmp_path, markers, error):
        started = tmp_path / "started"
        prog = script(f"touch '{started}'\nexec cat\n")
        with no_leaks():
            with pytest.raises(error):
                Morvik(prog, True, markers)
            time.sleep(0.3)  # a child, had one been started, would have run `touch` by now
            assert not started.exists()

    def test_dropping_the_last_reference_stops_the_child_and_releases_everything(self):
        with no_leaks():
            before = set(support.child_processes())
            session = Morvik("cat", False)
            (pid,) = set(support.child_processes()) - before
            del session
            gc.collect()
            # Stopped within the deallocation itself, not later.
            assert pid not in support.child_processes()


class TestDropOnAnotherThread:
    def test_reports_through_unraisable_hook_and_leaves_child_running(self, script, monkeypatch):
        prog = script('echo "pid=$$"\nexec sleep 1000\n')
        session = Morvik(prog, False)
        out = session.read_until_ready(timeout_ms=10000)
        pid = int(out.strip().split("=")[1])
        reports = []
        monkeypatch.setattr(sys, "unraisablehook", reports.append)
        holder = [session]
        del session
        try:
            dropper = threading.Thread(target=holder.clear)
            dropper.start()
            dropper.join()
            assert len(reports) == 1
            report = reports[0]
            assert type(report.exc_value) is RuntimeError
            assert str(report.exc_value) == (
                "morvik::Morvik is unsendable, but is being dropped on another thread"
            )
            assert report.object is None
            # The session was deliberately not torn down: its child still runs.
            time.sleep(0.3)
            with open(f"/proc/{pid}/stat") as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
            assert state in "RS", state
        finally:
            support.kill_quietly(pid, reap=True)

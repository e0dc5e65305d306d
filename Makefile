# Two commands on a fresh machine: `make demo` and `make test`.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
CPP_BUILD := build/cpp
HOOKS_BUILD := build/hooks
JOBS ?= 2

.PHONY: all venv install hooks cpp-test py-test test demo bench clean
.PHONY: wheel sdist test-py312 py312-run build-packages hooks-packages demo-packages test-packages

all: install

# Each recipe spreads its own work over the cores (cmake -j, pytest
# workers); targets side by side would only fight over them, and the package
# check has to finish before anything builds.
.NOTPARALLEL:

# The Debian packages each entry point needs: a compiler, CMake and libvterm
# (found through pkg-config; the agent module links it) to build, cc to
# compile the small programs the demo and tests drive, gdb, GoogleTest for
# the C++ tests, tmux with the programs it runs as the screen tests'
# reference terminal, asciinema to play the recordings back, and the
# interactive programs whose input waits the C++ tests read and the agent
# tests drive (sqlite3, node, vim, less, man, Debian's python3, nano and
# whiptail, whose prompts take Enter as a key).
# scripts/system-packages installs what is missing when run as root and
# otherwise names it and stops.
BUILD_PACKAGES ?= g++ cmake pkg-config libvterm-dev
HOOKS_PACKAGES ?= $(BUILD_PACKAGES)
DEMO_PACKAGES ?= $(BUILD_PACKAGES) gcc gdb
TEST_PACKAGES ?= $(BUILD_PACKAGES) gcc gdb libgtest-dev tmux asciinema vim less man-db procps sqlite3 nodejs python3 sudo nano whiptail zsh fish
who = make $(or $(MAKECMDGOALS),all)

build-packages:
	@scripts/system-packages "$(who)" $(BUILD_PACKAGES)
hooks-packages:
	@scripts/system-packages "$(who)" $(HOOKS_PACKAGES)
demo-packages:
	@scripts/system-packages "$(who)" $(DEMO_PACKAGES)
test-packages:
	@scripts/system-packages "$(who)" $(TEST_PACKAGES)

$(PY):
	@py=$$(scripts/find-python) && echo "creating $(VENV) from $$py" && "$$py" -m venv $(VENV)

# What the tests need is the `test` extra of pyproject.toml, and nothing
# else. The stamp holds the list last installed, so pip runs (and may reach
# the package index) only when that list changed, never on a plain rerun.
# $(1): the environment's interpreter, $(2): its stamp.
define install-test-deps
	@$(1) scripts/test-deps >$(2).new
	@if cmp -s $(2).new $(2); then rm $(2).new; touch $(2); else \
	  echo "installing the test extra of pyproject.toml with $(1)"; \
	  $(1) -m pip install -q -r $(2).new && mv $(2).new $(2); fi
endef

$(VENV)/.deps: $(PY) pyproject.toml
	$(call install-test-deps,$(PY),$@)

venv: $(VENV)/.deps

# The build directory is kept between installs, so only changed sources compile.
install: build-packages venv
	$(PIP) install -q --no-build-isolation .

# The cleaning routine, the tests' reference for it and the screen model as
# C functions (tests/hooks), which the Python tests and the benchmarks load
# from $(HOOKS_BUILD); never installed, and the module does not export them.
hooks: hooks-packages
	cmake -S . -B $(HOOKS_BUILD) -DMORVIK_BUILD_EXTENSION=OFF -DMORVIK_BUILD_HOOKS=ON >/dev/null
	cmake --build $(HOOKS_BUILD) -j $(JOBS) --target morvik_hooks

cpp-test: test-packages
	cmake -S . -B $(CPP_BUILD) -DMORVIK_BUILD_EXTENSION=OFF -DMORVIK_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build $(CPP_BUILD) -j $(JOBS)
	cd $(CPP_BUILD) && ctest --output-on-failure -j $(JOBS)

# The Python suite in two passes. First every test not marked `serial`,
# spread over PYTEST_WORKERS processes: most tests spend their time waiting
# for children and for the 100 ms stop pauses, so more workers than cores
# pays; an idle worker takes queued tests from a busy one (worksteal), so one
# long test does not hold back a queue behind it. Then the `serial` tests,
# which measure the wall-clock time of something short, one at a time with
# nothing of the suite beside them. A new test file thus runs in parallel
# unless it says otherwise.
PYTEST_WORKERS ?= 4
# $(1): interpreter, $(2): a further marker expression, $(3): test paths.
# The second pass may find no `serial` test among the paths given (pytest's
# exit status 5), which is no failure.
pytest-passes = $(1) -m pytest -q -p no:cacheprovider -n $(PYTEST_WORKERS) --dist worksteal \
	  -m "not serial$(if $(2), and $(2))" $(3) && \
	{ $(1) -m pytest -q -p no:cacheprovider -m "serial$(if $(2), and $(2))" $(3) || [ $$? = 5 ]; }

py-test: test-packages install hooks
	$(call pytest-passes,$(PY))

test: test-packages cpp-test py-test test-py312

demo: demo-packages install
	$(PY) examples/gdb_session.py

bench: install hooks
	$(PY) bench/run.py
	$(PY) bench/bench_agent.py

clean:
	rm -rf build dist $(VENV)

# Release artefacts in dist/, built offline with this environment's backend.
wheel: venv
	$(PIP) wheel -q --no-build-isolation --no-deps -w dist .

sdist: venv
	$(PY) -c 'from scikit_build_core.build import build_sdist; print("dist/" + build_sdist("dist"))'

# The module again under Python 3.12, the oldest supported, when the machine
# has one and the main environment is not 3.12 already: its own environment
# and build folder (both under build/, so no source archive picks them up).
# It runs the tests of the bindings themselves (module, calls and arguments,
# output, waits, stubs, the agent core), where the C API could differ between
# versions; the child handling and the loads below it are the same C++
# whatever the interpreter, and the main pass covers them.
VENV312 := build/venv312
PY312 := $(VENV312)/bin/python
PY312_TESTS := $(addprefix tests/python/,test_module.py test_call_handling.py \
	test_output.py test_waits.py test_stubs.py test_agent_terminal.py test_agent_control.py)
find-py312 = for p in $$(command -v python3.12 2>/dev/null) \
	  $$(ls -d "$$(pyenv root 2>/dev/null || echo $$HOME/.pyenv)"/versions/3.12.*/bin/python3 2>/dev/null | sort -V -r); do \
	  "$$p" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1 && { echo "$$p"; break; }; \
	done

test-py312: test-packages venv hooks
	@if $(PY) -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))'; then \
	  echo "test-py312: $(VENV) is Python 3.12 already; skipped"; exit 0; fi; \
	base=$$($(find-py312)); \
	if [ -z "$$base" ]; then echo "test-py312: no Python 3.12 on this machine; skipped"; exit 0; fi; \
	$(MAKE) --no-print-directory py312-run PY312_BASE="$$base"

$(PY312):
	@echo "creating $(VENV312) from $(PY312_BASE)"
	@"$(PY312_BASE)" -m venv $(VENV312)

$(VENV312)/.deps: $(PY312) pyproject.toml
	$(call install-test-deps,$(PY312),$@)

py312-run: $(VENV312)/.deps
	$(PY312) -m pip install -q --no-build-isolation .
	$(call pytest-passes,$(PY312),not slow,$(PY312_TESTS))

# ---- reliability: sanitizer runs, fuzzing, soak
.PHONY: test-asan test-tsan fuzz soak

ASAN_BUILD := build/asan
TSAN_BUILD := build/tsan
# The Python tests to run under a sanitizer: everything by default; CI names
# a subset that fits its time budget.
SAN_TESTS ?= tests/python
# Packaging and stub checks build and inspect wheels: nothing of the running
# module that a sanitizer could watch.
SAN_IGNORE := --ignore=tests/python/test_packaging.py --ignore=tests/python/test_stubs.py
# These two drop a session on a thread that does not own it; by design its
# record is then never released, which the leak checks would report. They
# run on their own, with the leak checks off.
ABANDONS_SESSION := \
	tests/python/test_call_handling.py::TestThreadBinding::test_object_belongs_to_the_thread_that_constructed_it \
	tests/python/test_module.py::TestDropOnAnotherThread::test_reports_through_unraisable_hook_and_leaves_child_running

# $(1): ASAN or TSAN, $(2): build folder. The extension and the C++ tests,
# configured directly with the environment's interpreter (not through pip, so
# the installed module stays the plain one).
sanitizer-build = cmake -S . -B $(2) -DMORVIK_$(1)=ON -DMORVIK_BUILD_TESTS=ON -DMORVIK_BUILD_HOOKS=ON \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null && \
	cmake --build $(2) -j $(JOBS)

# $(1): asan or tsan, $(2): build folder.
sanitizer-pytest = tests/sanitizers/run $(1) $(2) -q -p no:cacheprovider $(SAN_IGNORE) \
	  $(addprefix --deselect ,$(ABANDONS_SESSION)) $(SAN_TESTS) && \
	if [ "$(SAN_TESTS)" = tests/python ]; then \
	  MORVIK_LEAK_CHECK=0 tests/sanitizers/run $(1) $(2) -q -p no:cacheprovider $(ABANDONS_SESSION); fi

test-asan: venv
	$(call sanitizer-build,ASAN,$(ASAN_BUILD))
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)
	$(call sanitizer-pytest,asan,$(ASAN_BUILD))

test-tsan: venv
	$(call sanitizer-build,TSAN,$(TSAN_BUILD))
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -j $(JOBS)
	$(call sanitizer-pytest,tsan,$(TSAN_BUILD))

# Each fuzz target for FUZZ_SECONDS (default 600); see fuzz/README.md.
FUZZ_SECONDS ?= 600
fuzz: venv
	FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) fuzz/run

# The tests marked `soak` at release scale (about 15 minutes), one at a
# time: thousands of start/reset/close cycles, 16 MiB from each of 64
# flooding sessions, 320 MiB held back by one. `make test` runs the same
# tests cut down to seconds.
soak: test-packages install hooks
	MORVIK_SOAK=1 $(PY) -m pytest -q -p no:cacheprovider -m soak

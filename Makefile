# Two commands on a fresh machine: `make demo` and `make test`.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
CPP_BUILD := build/cpp
JOBS ?= 2

.PHONY: all venv install cpp-test py-test test demo bench clean

all: install

$(PY):
	@py=$$(scripts/find-python) && echo "creating $(VENV) from $$py" && "$$py" -m venv $(VENV)

$(VENV)/.deps: $(PY) pyproject.toml
	$(PIP) install -q --upgrade pip
	$(PIP) install -q "scikit-build-core>=0.10" pytest hypothesis numpy pexpect
	@touch $@

venv: $(VENV)/.deps

# The build directory is kept between installs, so only changed sources compile.
install: venv
	$(PIP) install -q --no-build-isolation .

cpp-test:
	cmake -S . -B $(CPP_BUILD) -DMORVIK_BUILD_EXTENSION=OFF -DMORVIK_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build $(CPP_BUILD) -j $(JOBS)
	cd $(CPP_BUILD) && ctest --output-on-failure -j $(JOBS)

py-test: install
	$(PY) -m pytest -q

test: cpp-test py-test

demo: install
	$(PY) examples/gdb_session.py

bench: install
	$(PY) bench/run.py

clean:
	rm -rf build dist $(VENV)

"""Shared fixtures for the Python tests: child programs written as small shell
scripts in a temporary folder, and sessions that are closed after the test.
The leak check and the other helpers live in support.py."""

import pytest

import morvik
import support


@pytest.fixture
def script(tmp_path):
    """Returns a factory: script(body, name="prog") writes an executable /bin/sh
    script with that body into the test's temporary folder and returns its path."""
    counter = iter(range(1_000_000))

    def make(body, name=None):
        return support.write_script(tmp_path, name or f"prog{next(counter)}", "#!/bin/sh\n" + body)

    return make


@pytest.fixture
def spawn():
    """Returns a factory for Morvik objects that are closed when the test ends."""
    made = []

    def make(*args, **kwargs):
        session = morvik.Morvik(*args, **kwargs)
        made.append(session)
        return session

    yield make
    for session in made:
        session.close()

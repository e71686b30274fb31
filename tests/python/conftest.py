# The module is imported from the build tree: run with PYTHONPATH=<build dir>.
import importlib

import pytest


@pytest.fixture(scope="session")
def core():
    try:
        return importlib.import_module("nuvra.core")
    except ImportError as e:  # pragma: no cover - a set-up fault, not a test result
        pytest.fail(f"cannot import nuvra.core (is PYTHONPATH the build directory?): {e}")

# The module is imported from the build tree: run with PYTHONPATH=<build dir>.
import importlib

import pytest


@pytest.fixture(scope="session")
def core():
    return importlib.import_module("nuvra.core")

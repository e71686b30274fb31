# The module is imported from the build tree: run with PYTHONPATH=<build dir>.
# NUVRA_TEST_SHUFFLE=<seed> (or "random") runs the tests in a shuffled order, so that a test that leans on
# the ones before it shows up; the seed is printed at the end to repeat the order.
import importlib
import os
import random
import zlib

import numpy as np
import pytest

SHUFFLE = os.environ.get("NUVRA_TEST_SHUFFLE", "")


@pytest.fixture(scope="session")
def core():
    return importlib.import_module("nuvra.core")


@pytest.fixture
def rng(request):
    """A generator of the test's own, seeded from its module and name: the same data alone or in any order."""
    return np.random.default_rng(zlib.crc32(f"{request.node.module.__name__}::{request.node.name}".encode()))


def shuffle_seed(config):
    if not hasattr(config, "nuvra_shuffle_seed"):
        config.nuvra_shuffle_seed = random.SystemRandom().randrange(2**32) if SHUFFLE == "random" else int(SHUFFLE)
    return config.nuvra_shuffle_seed


def pytest_collection_modifyitems(config, items):
    if SHUFFLE:
        random.Random(shuffle_seed(config)).shuffle(items)


def pytest_terminal_summary(terminalreporter, config):
    if SHUFFLE:
        seed = shuffle_seed(config)
        terminalreporter.write_line(f"tests ran in a shuffled order: NUVRA_TEST_SHUFFLE={seed} repeats it")

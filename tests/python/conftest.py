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


def pytest_configure(config):
    if not SHUFFLE:
        return
    if SHUFFLE == "random":
        config.nuvra_shuffle_seed = random.SystemRandom().randrange(2**32)
        return
    try:
        config.nuvra_shuffle_seed = int(SHUFFLE)
    except ValueError:
        raise pytest.UsageError(f"NUVRA_TEST_SHUFFLE={SHUFFLE!r}: give a whole number (the seed) or random") from None


def shuffle_seed(config):
    return config.nuvra_shuffle_seed


def pytest_collection_modifyitems(config, items):
    if SHUFFLE:
        random.Random(shuffle_seed(config)).shuffle(items)


def pytest_terminal_summary(terminalreporter, config):
    if SHUFFLE:
        seed = shuffle_seed(config)
        terminalreporter.write_line(f"tests ran in a shuffled order: NUVRA_TEST_SHUFFLE={seed} repeats it")

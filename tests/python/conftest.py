import os

import numpy as np
import pytest

import catenc


@pytest.fixture
def enc():
    return catenc.Encoder()


def panic_type():
    """The class of the module's internal-failure exception, caught from a failing call."""
    try:
        catenc.Encoder().encode(np.zeros(3))
    except BaseException as error:  # noqa: BLE001 - the class is what we want
        return type(error)
    raise AssertionError("a one-dimensional input did not fail")


@pytest.fixture(scope="session")
def PanicException():
    return panic_type()


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


# AddressSanitizer keeps freed memory in quarantine, so resident memory grows under it whatever
# the code does.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

"""Every test runs against the virtual unit, reset to its default device:
the library and the provider come from $TAVOCTL_LIBDIR (a build or install
tree) or the system."""
import pytest

import tavoctl
from tavoctl import virtual


@pytest.fixture
def unit():
    virtual.reset()
    with tavoctl.Unit("virtual") as u:
        yield u


@pytest.fixture
def trade(unit):
    """A unit with a trade open and money accepted up to 5000."""
    unit.trade_begin()
    unit.accept(5000)
    return unit

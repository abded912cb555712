"""Finding and loading the library and its provider."""
import pytest

import tavoctl
from tavoctl import _loader


def test_the_first_provider_stays(unit):
    loaded = tavoctl.load()
    assert loaded.is_virtual and loaded.provider_name == "virtual"
    assert tavoctl.load("virtual") is loaded
    assert tavoctl.load(loaded.provider_path) is loaded
    with pytest.raises(tavoctl.LoadError, match="already drives the unit"):
        tavoctl.load("ttyusb")


def test_wrong_providers_are_named(monkeypatch):
    monkeypatch.setattr(_loader, "_loaded", None)
    with pytest.raises(tavoctl.LoadError, match="unknown provider 'nonsense'"):
        _loader.load("nonsense")
    with pytest.raises(tavoctl.LoadError, match="libc.so.6 is not a D2XX provider"):
        _loader.load("/lib/x86_64-linux-gnu/libc.so.6"
                     if __import__("os").path.exists("/lib/x86_64-linux-gnu/libc.so.6")
                     else "libc.so.6")
    with pytest.raises(tavoctl.LoadError, match="cannot load the D2XX provider"):
        _loader.load("/nonexistent/libftd2xx.so")

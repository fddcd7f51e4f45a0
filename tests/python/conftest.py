"""Shared pytest configuration for tavrill's Python tests."""

import sys
import sysconfig

import pytest


def pytest_report_header(config):
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    return f"free-threaded build: {free_threaded}, GIL enabled: {gil}"


@pytest.fixture
def executor():
    """An Executor of two lanes, closed after the test."""
    from tavrill._store import Executor

    made = Executor(2)
    yield made
    made.close()


@pytest.fixture
def store_path(tmp_path):
    """A path (bytes) where no store exists yet."""
    return bytes(tmp_path / "store")

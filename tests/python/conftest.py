"""Shared pytest configuration for tavrill's Python tests."""

import sys
import sysconfig


def pytest_report_header(config):
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    return f"free-threaded build: {free_threaded}, GIL enabled: {gil}"

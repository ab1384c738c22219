"""The interpreter's own configparser tests, run against quorvane's
ConfigParser and RawConfigParser: the test module is loaded with
`configparser` seen as configparser with those two names pointing at
quorvane's classes, which is how a user switches."""

from __future__ import annotations

import configparser
import importlib.util
import sys
import sysconfig
import types
import unittest
from pathlib import Path

import pytest

from quorvane import ini

TESTS = Path(sysconfig.get_path("stdlib")) / "test" / "test_configparser.py"

# Tests that look at the module object rather than at the classes.
LEFT_OUT = {
    # It counts the names defined in the module "configparser": quorvane's
    # two classes are defined in quorvane, so it finds them missing.
    "MiscTestCase.test__all__": "checks the module's __all__, not the classes",
}


def load_suite() -> dict[str, unittest.TestCase]:
    if not TESTS.is_file():
        return {}
    shim = types.ModuleType("configparser")
    shim.__dict__.update(configparser.__dict__)
    shim.ConfigParser = ini.ConfigParser
    shim.RawConfigParser = ini.RawConfigParser
    found = importlib.util.spec_from_file_location("_quorvane_stdlib_configparser_tests", TESTS)
    assert found is not None and found.loader is not None
    module = importlib.util.module_from_spec(found)
    saved = sys.modules["configparser"]
    sys.modules["configparser"] = shim
    try:
        found.loader.exec_module(module)
    finally:
        sys.modules["configparser"] = saved
    cases: dict[str, unittest.TestCase] = {}

    def walk(suite: unittest.TestSuite) -> None:
        for test in suite:
            if isinstance(test, unittest.TestSuite):
                walk(test)
            else:
                cases[test.id().split(".", 1)[1]] = test

    walk(unittest.defaultTestLoader.loadTestsFromModule(module))
    return cases


CASES = load_suite()


def test_suite_found():
    if not TESTS.is_file():
        pytest.skip("the interpreter's configparser tests are not installed")
    assert len(CASES) > 300
    classes = {getattr(case, "config_class", None) for case in CASES.values()}
    assert {ini.ConfigParser, ini.RawConfigParser} <= classes
    assert not {configparser.ConfigParser, configparser.RawConfigParser} & classes


@pytest.mark.parametrize("name", sorted(CASES))
def test_stdlib_case(name):
    if name in LEFT_OUT:
        pytest.skip(LEFT_OUT[name])
    result = unittest.TestResult()
    CASES[name].run(result)
    problems = result.errors + result.failures
    assert not problems, problems[0][1]
    if result.skipped:  # as it is with configparser's own classes
        pytest.skip(result.skipped[0][1])

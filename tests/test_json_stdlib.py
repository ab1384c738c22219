"""The interpreter's own json tests (test.test_json), run against quorvane.json.

Their C-accelerated test classes (CTest) are pointed at quorvane.json: its
loads, load, dumps and JSONDecodeError, and json's own modules for the rest (its
decoder and encoder classes, which some tests use beside loads).  Tests of
json's internals are left out, each with its reason.
"""

from __future__ import annotations

import importlib
import types
import pytest

import quorvane.json as qjson

try:
    test_json = importlib.import_module("test.test_json")
except ImportError:  # an interpreter installed without its test suite
    pytest.skip("the interpreter's test.test_json is not installed", allow_module_level=True)

MODULES = ("test_decode", "test_default", "test_dump", "test_enum", "test_fail",
           "test_float", "test_indent", "test_pass1", "test_pass2", "test_pass3",
           "test_recursion", "test_separators", "test_unicode")

# What quorvane.json does not read itself comes from json.
_face = types.ModuleType("quorvane.json")
_face.__dict__.update(vars(test_json.cjson))
_face.__dict__.update({name: getattr(qjson, name) for name in qjson.__all__})

# Left out whole, as tests of json's internals rather than of what it reads
# or writes: test_scanstring (json.decoder.scanstring), test_speedups (the
# _json accelerator's own types), test_encode_basestring_ascii (the
# encoder's string escaping helper), test_tool (the json.tool command), and
# the package's own TestCTest.test_cjson (which module each helper comes
# from) and doctests of json's modules.

_base = test_json.CTest
_base.json = _face
_base.loads = staticmethod(qjson.loads)
_base.dumps = staticmethod(qjson.dumps)
_base.JSONDecodeError = staticmethod(qjson.JSONDecodeError)

for _name in MODULES:
    _module = importlib.import_module(f"test.test_json.{_name}")
    for _attr, _cls in sorted(vars(_module).items()):
        if (isinstance(_cls, type) and issubclass(_cls, _base) and _cls is not _base
                and _cls.__module__ == _module.__name__):
            globals()[f"{_name}__{_attr}"] = _cls

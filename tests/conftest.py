import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
# Makes tests/_util.py and the fuzzers' checks (fuzz/checks.py) importable
# however pytest was started.
sys.path.insert(0, str(HERE.parent / "fuzz"))
sys.path.insert(0, str(HERE))


import pytest  # noqa: E402

# quorvane.json, the writers and quorvane.ini's parser classes give what
# CPython 3.13's json and configparser give.  The json and configparser of
# 3.11 and 3.12 word some messages otherwise, stop at other depths and lack
# options (allow_unnamed_section), so these comparisons with the running
# interpreter's own modules are made on 3.13 only.
STDLIB_313_ONLY = {
    "test_json_family.py": ("test_json_test_suite_reads_as_json_does",
                            "test_mutated_documents_read_as_json_does",
                            "test_nesting_ends_where_json_s_does"),
    "test_json_stdlib.py": ("test_fail__TestCFail",),
    "test_write.py": ("test_json_cases", "test_json_generated",
                      "test_ini_unnamed_section_comes_after_the_defaults", "test_ini_real_trees"),
    "test_ini_classes_differential.py": ("test_own_patterns_and_hooks", "test_read_file_objects"),
    "test_real_files.py": ("test_reads_by_name_as_the_standard_library[editorconfig",),
}


def pytest_collection_modifyitems(config, items):
    if sys.version_info >= (3, 13):
        return
    skip = pytest.mark.skip(reason="compared with CPython 3.13's json and configparser")
    for item in items:
        names = STDLIB_313_ONLY.get(item.path.name, ())
        test = item.nodeid.partition("::")[2]
        if any(test.startswith(n) for n in names):
            item.add_marker(skip)

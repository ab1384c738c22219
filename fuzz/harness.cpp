// libFuzzer harness: embeds the interpreter, links the parsers in directly
// (so they are instrumented for coverage and the sanitizers), and judges
// every input with fuzz/checks.py.  The format comes from QUORVANE_FUZZ_FORMAT.
// The companion module quorvane._std is linked in as well; the quorvane
// package around it is imported from the source tree.
#include "../src/csrc/quorvane.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// Harness state, set up once per fuzzing process (not part of the module).
PyObject *g_check = nullptr;
PyObject *g_format = nullptr;

[[noreturn]] void die(const char *what)
{
    std::fprintf(stderr, "fuzz harness: %s\n", what);
    if (PyErr_Occurred())
        PyErr_Print();
    std::abort();
}

}  // namespace

extern "C" PyObject *PyInit__std(void);

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *fmt = std::getenv("QUORVANE_FUZZ_FORMAT");
    const char *dir = std::getenv("QUORVANE_FUZZ_DIR");
    if (fmt == nullptr || dir == nullptr)
        die("set QUORVANE_FUZZ_FORMAT and QUORVANE_FUZZ_DIR");
    if (PyImport_AppendInittab("_quorvane", PyInit__quorvane) < 0)
        die("cannot register _quorvane");
    if (PyImport_AppendInittab("quorvane._std", PyInit__std) < 0)
        die("cannot register quorvane._std");
    Py_Initialize();
    PyObject *sys_path = PySys_GetObject("path");  // borrowed
    qv::Ref d(PyUnicode_FromString(dir));
    qv::Ref src(PyUnicode_FromFormat("%s/../src", dir));
    if (sys_path == nullptr || !d || !src || PyList_Insert(sys_path, 0, d.get()) < 0 ||
        PyList_Insert(sys_path, 1, src.get()) < 0)
        die("cannot extend sys.path");
    qv::Ref checks(PyImport_ImportModule("checks"));
    if (!checks)
        die("cannot import checks");
    g_check = PyObject_GetAttrString(checks.get(), "check");
    g_format = PyUnicode_FromString(fmt);
    if (g_check == nullptr || g_format == nullptr)
        die("cannot find checks.check");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    qv::Ref bytes(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(data),
                                            (Py_ssize_t)size));
    if (!bytes)
        die("cannot make bytes");
    qv::Ref ok(PyObject_CallFunctionObjArgs(g_check, g_format, bytes.get(), nullptr));
    if (!ok)
        die("check failed");
    return 0;
}

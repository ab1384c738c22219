// libFuzzer harness: embeds the interpreter, links the parsers in directly
// (so they are instrumented for coverage and the sanitizers), and judges
// every input with fuzz/checks.py.  The format comes from QUORVANE_FUZZ_FORMAT.
// The companion module's sources (src/csrc/std/*.cpp) are linked in too, and
// it is registered as the built-in quorvane._std, so the Python faces in
// src/quorvane run on the instrumented readers.
#include "../src/csrc/quorvane.h"

extern "C" PyObject *PyInit__std(void);

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

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *fmt = std::getenv("QUORVANE_FUZZ_FORMAT");
    const char *dir = std::getenv("QUORVANE_FUZZ_DIR");
    if (fmt == nullptr || dir == nullptr)
        die("set QUORVANE_FUZZ_FORMAT and QUORVANE_FUZZ_DIR");
    if (PyImport_AppendInittab("_quorvane", PyInit__quorvane) < 0 ||
        PyImport_AppendInittab("quorvane._std", PyInit__std) < 0)
        die("cannot register the extension modules");
    Py_Initialize();
    PyObject *sys_path = PySys_GetObject("path");  // borrowed
    qv::Ref d(PyUnicode_FromString(dir));
    if (sys_path == nullptr || !d || PyList_Insert(sys_path, 0, d.get()) < 0)
        die("cannot extend sys.path");
    // QUORVANE_FUZZ_PATH: the package sources first (so quorvane comes from
    // them, never from an installed copy), then where the peers live.
    if (const char *extra = std::getenv("QUORVANE_FUZZ_PATH")) {
        qv::Ref paths(PyUnicode_FromString(extra));
        qv::Ref sep(PyUnicode_FromString(":"));
        qv::Ref parts(paths && sep ? PyUnicode_Split(paths.get(), sep.get(), -1) : nullptr);
        if (!parts)
            die("cannot read QUORVANE_FUZZ_PATH");
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); i++) {
            PyObject *part = PyList_GET_ITEM(parts.get(), i);
            if ((i == 0 ? PyList_Insert(sys_path, 0, part) : PyList_Append(sys_path, part)) < 0)
                die("cannot extend sys.path");
        }
    }
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

// The C interface of _quorvane, which its four sources implement.  Only the
// functions declared with QUORVANE_API leave the shared object (see
// toolkit/compat.h and exports.map); everything else stays file-local.  The
// machinery the readers share is the toolkit (toolkit/toolkit.h).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "toolkit/compat.h"
#include "toolkit/ref.h"

// The interpreter's entry point of the module.
QUORVANE_API PyObject *PyInit__quorvane(void);

// Position errors: "parse error at line L, column C: msg" as a ValueError.
QUORVANE_API void quorvane_raise_error(const char *msg, int line, int col);
QUORVANE_API void quorvane_line_col(const char *text, Py_ssize_t offset,
                                    int *line, int *col);

// A str from len bytes of strict UTF-8; NULL yields the empty str.
QUORVANE_API PyObject *quorvane_new_str(const char *s, Py_ssize_t len);

// General number scanner for native callers outside the module.
QUORVANE_API PyObject *quorvane_parse_number(const char *s, Py_ssize_t len,
                                             int *consumed);

// Document functions: a new reference to the tree, or NULL with an
// exception set.  The text is borrowed and need not be NUL-terminated.
QUORVANE_API PyObject *quorvane_parse_ini_text(const char *text, Py_ssize_t len);
QUORVANE_API PyObject *quorvane_parse_json_text(const char *text, Py_ssize_t len);
QUORVANE_API PyObject *quorvane_parse_toml_text(const char *text, Py_ssize_t len);

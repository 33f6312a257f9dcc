// Traceback entries, and the messages that several call sites raise.
#pragma once

#include <Python.h>

#include <cstdint>
#include <source_location>

namespace quorcache {

// Adds the traceback entry "<module>.<qualname>" to the pending exception. The
// entry points at the C++ source line that reported the failure.
void add_traceback(const char* qualname,
                   std::source_location where = std::source_location::current());
// The same with a name used as it stands ("init quor_ui.fast.quorcache.quorcache").
void add_traceback_raw(const char* fullname,
                       std::source_location where = std::source_location::current());

// TypeError "'NoneType' object is not subscriptable": a slot read or written while
// cache_arr is None.
void raise_no_slots();
// IndexError for a slot index outside 0..31 or beyond the end of the slot list.
void raise_bad_index(Py_ssize_t index);
// Raises `type(arg)`: an exception whose only argument is `arg`, even a tuple or None.
void raise_with_arg(PyObject* type, PyObject* arg);
// TypeError "Expected %.42s, got %.200s".
void raise_expected(const char* expected, PyObject* got);

}  // namespace quorcache

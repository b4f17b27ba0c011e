// Traceback entries and their code-object cache.
//
// An entry is a frame of an empty code object whose first line is the
// reported line. Code objects are made once per (line, entry name) and kept
// for the life of the process, sorted by line and then by name.

#include "frame.hpp"

#include <frameobject.h>

namespace frame {
namespace {

struct cache_item {
    int line;
    PyObject *code;
};

constexpr Py_ssize_t cache_step = 64;

cache_item *cache;
Py_ssize_t cache_size;
Py_ssize_t cache_capacity;

PyObject *code_name(PyObject *code)
{
    return reinterpret_cast<PyCodeObject *>(code)->co_name;
}

// Orders (line, name) pairs; the name of a cached item is its code's name.
int compare(const cache_item &item, int line, const char *name)
{
    if (item.line != line) {
        return item.line < line ? -1 : 1;
    }
    return PyUnicode_CompareWithASCIIString(code_name(item.code), name);
}

// Position of the first item not less than (line, name).
Py_ssize_t lower_bound(int line, const char *name)
{
    Py_ssize_t low = 0;
    Py_ssize_t high = cache_size;
    while (low < high) {
        Py_ssize_t mid = low + (high - low) / 2;
        if (compare(cache[mid], line, name) < 0) {
            low = mid + 1;
        }
        else {
            high = mid;
        }
    }
    return low;
}

// Takes a new reference to `code` into the cache at `pos`; a cache that
// cannot grow simply does not keep it.
void insert(Py_ssize_t pos, PyObject *code, int line)
{
    if (cache_size == cache_capacity) {
        auto *grown = PyMem_Realloc(
            cache, sizeof(cache_item) * (cache_capacity + cache_step));
        if (grown == nullptr) {
            return;
        }
        cache = static_cast<cache_item *>(grown);
        cache_capacity += cache_step;
    }
    for (Py_ssize_t i = cache_size; i > pos; i--) {
        cache[i] = cache[i - 1];
    }
    cache[pos] = cache_item{.line = line, .code = Py_NewRef(code)};
    cache_size++;
}

// A new reference to the code object for (line, name), or NULL with the
// creation error set.
PyObject *entry_code(const char *name, int line)
{
    Py_ssize_t pos = lower_bound(line, name);
    if (pos < cache_size && compare(cache[pos], line, name) == 0) {
        return Py_NewRef(cache[pos].code);
    }
    auto *code = reinterpret_cast<PyObject *>(
        PyCode_NewEmpty(this_module.identity.traceback_file, name, line));
    if (code != nullptr) {
        insert(pos, code, line);
    }
    return code;
}

}  // namespace

void chain_to_current(PyObject *reported)
{
    // A MemoryError stays bare: it may be the interpreter's shared
    // last-resort instance.
    if (reported == nullptr || PyErr_ExceptionMatches(PyExc_MemoryError)) {
        Py_XDECREF(reported);
        return;
    }
    PyObject *current = PyErr_GetRaisedException();
    PyException_SetContext(current, reported);
    PyErr_SetRaisedException(current);
}

void add_traceback_entry(const char *name, int line, PyObject *globals)
{
    // The pending exception is set aside while the code object and the
    // Python frame object are made: PyFrame_New may fail without setting an
    // error when one is pending and the globals have lost `__builtins__`.
    PyObject *exc = PyErr_GetRaisedException();
    PyObject *code = entry_code(name, line);
    if (code == nullptr) {
        chain_to_current(exc);
        return;
    }
    PyFrameObject *python_frame =
        PyFrame_New(PyThreadState_Get(),
                    reinterpret_cast<PyCodeObject *>(code), globals, nullptr);
    Py_DECREF(code);
    if (python_frame == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_NoMemory();
        }
        chain_to_current(exc);
        return;
    }
    PyErr_SetRaisedException(exc);
    PyTraceBack_Here(python_frame);
    Py_DECREF(python_frame);
}

void add_function_entry(const char *name, int line, PyObject *globals)
{
    char entry[256];
    PyOS_snprintf(entry, sizeof(entry), "%s.%s", module_full_name(), name);
    add_traceback_entry(entry, line, globals);
}

}  // namespace frame

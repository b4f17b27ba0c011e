// Owned references.
//
// Ownership rules, written once:
//  * `ref` owns exactly one strong reference, or nothing. It is move-only and
//    releases its reference when it goes out of scope, so an early
//    `return nullptr` on an error path is the whole cleanup.
//  * A `ref` is made only through a named factory: `ref::steal(p)` adopts a
//    reference the caller already owns (the result of a C API call returning
//    a new reference, NULL allowed); `ref::new_ref(p)` takes a new reference
//    to a borrowed pointer.
//  * `get()` lends the pointer without giving up ownership; `release()` hands
//    ownership back to the caller (typically as a function's return value).
//  * Borrowed references stay plain `PyObject *`. There are no implicit
//    conversions in either direction.
#pragma once

#include <Python.h>

namespace frame {

class ref {
  public:
    ref() noexcept = default;
    ref(const ref &) = delete;
    ref &operator=(const ref &) = delete;
    ref(ref &&other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    ref &operator=(ref &&other) noexcept
    {
        PyObject *old = ptr_;
        ptr_ = other.ptr_;
        other.ptr_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    ~ref() { Py_XDECREF(ptr_); }

    static ref steal(PyObject *ptr) noexcept { return ref(ptr); }
    static ref new_ref(PyObject *ptr) noexcept
    {
        Py_XINCREF(ptr);
        return ref(ptr);
    }

    PyObject *get() const noexcept { return ptr_; }
    PyObject *release() noexcept
    {
        PyObject *ptr = ptr_;
        ptr_ = nullptr;
        return ptr;
    }
    void reset() noexcept { Py_CLEAR(ptr_); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

  private:
    explicit ref(PyObject *ptr) noexcept : ptr_(ptr) {}
    PyObject *ptr_ = nullptr;
};

}  // namespace frame

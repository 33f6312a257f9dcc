// Ref: the one owning reference type. A raw PyObject* is always borrowed.
#pragma once

#include <Python.h>

#include <utility>

namespace quorcache {

class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }  // p is a new reference
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept
    {
        Py_XDECREF(std::exchange(p_, std::exchange(o.p_, nullptr)));  // old one last: may run code
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Py_SETREF for a Ref: code run by the release below already sees the new value.
inline void
set_owned(PyObject*& field, Ref value) noexcept
{
    PyObject* old = field;
    field = value.release();
    Py_XDECREF(old);
}

}  // namespace quorcache

// The owner of a PyObject reference, shared by both modules.
#pragma once
#include <Python.h>
#include <utility>

namespace ferry {

// Move-only owner of one strong reference. Destroy only with the interpreter
// lock held. No implicit conversion: `.get()` makes every borrow visible.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject *p) noexcept { return Ref(p); }
    static Ref borrow(PyObject *p) noexcept { Py_XINCREF(p); return Ref(p); }
    Ref(Ref &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref &operator=(Ref &&o) noexcept {
        Ref old(std::exchange(p_, std::exchange(o.p_, nullptr)));
        return *this;
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject *get() const noexcept { return p_; }
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

}  // namespace ferry

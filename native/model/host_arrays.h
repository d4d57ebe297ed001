// Arrays in host memory: float32 and float64 NumPy arrays read or written in place by the
// host loops of factors.h, and arrays laid out so that jit hands them to XLA as they are.
#pragma once

#include "kovani/jax.h"

#include <initializer_list>
#include <string>

namespace kovani::model {

// A C-contiguous float32 or float64 array in host memory, pinned by its buffer view for
// as long as this object lives. Anything else is refused with TypeError.
class HostArray {
  public:
    HostArray(nb::handle a, bool writable) {
        const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(a.ptr(), &view_, flags) != 0)
            throw nb::python_error();
        const std::string format = view_.format ? view_.format : "";
        is_double_ = format == "d";
        if (!is_double_ && format != "f") {
            PyBuffer_Release(&view_);
            raise(PyExc_TypeError, "expected a float32 or float64 array");
        }
    }
    ~HostArray() { PyBuffer_Release(&view_); }
    HostArray(const HostArray &) = delete;
    HostArray &operator=(const HostArray &) = delete;

    bool is_double() const { return is_double_; }
    Py_ssize_t count() const { return view_.len / view_.itemsize; }
    template <class T>
    T *data() const {
        return static_cast<T *>(view_.buf);
    }

  private:
    Py_buffer view_;
    bool is_double_ = false;
};

// Calls body(T{}) with T the element type of the arrays (float or double, the same for
// all), without the GIL: the arrays stay pinned by their buffer views.
template <class Body>
void typed(std::initializer_list<const HostArray *> arrays, Body body) {
    const bool is_double = (*arrays.begin())->is_double();
    for (const HostArray *a : arrays)
        if (a->is_double() != is_double)
            raise(PyExc_TypeError, "expected arrays of one element type");
    nb::gil_scoped_release unlocked;
    if (is_double)
        body(0.0);
    else
        body(0.0f);
}

// XLA's CPU client takes a NumPy argument without copying only when it is C-contiguous
// and its data starts on a 64-byte boundary, and NumPy's large allocations never do; the
// copy jit makes of any other costs several times a plain copy, up to six times beyond
// 32 MiB (28 ms for the (3, 2081, 2081) float32 factors of a 64-channel, 4-class model,
// against 5 ms for NumPy's own). Large arrays are therefore laid out so on the host.

// Below this many bytes jit's own copy costs less than making an aligned one.
inline constexpr double kAlignedFrom = 1 << 18;

// An uninitialised C-contiguous array of `shape` and `dtype`, its data so aligned where it
// takes kAlignedFrom bytes or more (below, jit's own copy costs less than the alignment's
// four extra NumPy calls on every call of the live loop).
nb::object empty_aligned(const Jax &j, nb::handle shape, nb::handle dtype);

// `a` with the element type `dtype`, C-contiguous and aligned: `a` itself where it is
// such a NumPy array already, or where it would take fewer than `min_bytes` (jit's own
// copy then costs less than making one); else an aligned copy, rounded as the conversion
// to `dtype` rounds.
nb::object aligned(const Jax &j, nb::handle a, nb::handle dtype, double min_bytes = kAlignedFrom);

// The device array `a` as a new host array that belongs to the caller, aligned where it
// takes kAlignedFrom bytes or more.
nb::object host_copy(const Jax &j, nb::handle a);

}  // namespace kovani::model

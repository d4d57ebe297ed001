// Float32 and float64 NumPy arrays read or written in place by the host-side loops of
// factors.h.
#pragma once

#include "kovani/binding.h"

#include <initializer_list>
#include <string>

namespace kovani::learning {

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

}  // namespace kovani::learning

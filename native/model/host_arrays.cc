#include "model/host_arrays.h"

#include <cstdint>

namespace kovani::model {
namespace {

constexpr std::uintptr_t kAlignment = 64;

// Where the data of the NumPy array `a` starts. Read through the buffer protocol: the
// array interface would build a dict (and format its type string) on every call.
std::uintptr_t address(nb::handle a) {
    Py_buffer view;
    if (PyObject_GetBuffer(a.ptr(), &view, PyBUF_STRIDES) == 0) {
        const auto start = reinterpret_cast<std::uintptr_t>(view.buf);
        PyBuffer_Release(&view);
        return start;
    }
    PyErr_Clear();  // no buffer to export: the array interface still tells
    return nb::cast<std::uintptr_t>(a.attr("__array_interface__")["data"][0]);
}

// The number of elements of `shape` (a tuple of ints); MemoryError where it overflows.
long long element_count(nb::handle shape) {
    long long count = 1;
    for (nb::handle extent : shape)
        if (__builtin_mul_overflow(count, to_int64(extent), &count))
            raise(PyExc_MemoryError, "array too large to allocate");
    return count;
}

// A copy of `a` in a new aligned array of `dtype`.
nb::object aligned_copy(const Jax &j, nb::handle a, nb::handle dtype) {
    nb::object out = empty_aligned(j, a.attr("shape"), dtype);
    j.np.attr("copyto")(out, a);
    return out;
}

}  // namespace

nb::object empty_aligned(const Jax &j, nb::handle shape, nb::handle dtype) {
    nb::object np = j.np;
    nb::object type = np.attr("dtype")(dtype);
    long long bytes;
    if (__builtin_mul_overflow(element_count(shape), to_int64(type.attr("itemsize")), &bytes) ||
        bytes > PY_SSIZE_T_MAX - (long long) kAlignment)
        raise(PyExc_MemoryError, "array too large to allocate");
    if ((double) bytes < kAlignedFrom)
        return np.attr("empty")(shape, nb::arg("dtype") = type);
    nb::object raw = np.attr("empty")(bytes + (long long) kAlignment, nb::arg("dtype") = np.attr("uint8"));
    const long long offset = (long long) ((kAlignment - address(raw) % kAlignment) % kAlignment);
    nb::object view = raw[nb::slice(nb::int_(offset), nb::int_(offset + bytes), nb::int_(1))];
    return view.attr("view")(type).attr("reshape")(shape);
}

nb::object aligned(const Jax &j, nb::handle a, nb::handle dtype, double min_bytes) {
    nb::object type = j.np.attr("dtype")(dtype);
    const double bytes = nb::cast<double>(a.attr("size")) * nb::cast<double>(type.attr("itemsize"));
    if (bytes < min_bytes)
        return nb::borrow(a);
    const bool ready = a.attr("dtype").equal(type) && truthy(a.attr("flags")["C_CONTIGUOUS"]) &&
                       address(a) % kAlignment == 0;
    return ready ? nb::borrow(a) : aligned_copy(j, a, type);
}

nb::object host_copy(const Jax &j, nb::handle a) {
    nb::object type = j.np.attr("dtype")(a.attr("dtype"));
    if (nb::cast<double>(a.attr("size")) * nb::cast<double>(type.attr("itemsize")) < kAlignedFrom)
        return j.np.attr("array")(a);
    return aligned_copy(j, a, type);
}

}  // namespace kovani::model

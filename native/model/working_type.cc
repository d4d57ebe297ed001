#include "model/working_type.h"

#include <string>

namespace kovani::model {
namespace {

// 'f' for a NumPy float32 dtype, 'd' for float64 (either byte order), 0 for anything else.
char float_kind(const Jax &j, nb::handle dtype) {
    const int r = PyObject_IsInstance(dtype.ptr(), j.np.attr("dtype").ptr());
    if (r < 0)
        throw nb::python_error();
    if (r == 0)
        return 0;
    const std::string kind = nb::str(dtype.attr("char")).c_str();
    return kind == "f" || kind == "d" ? kind[0] : 0;
}

}  // namespace

nb::object training_type(const Jax &j, nb::handle input_dtype) {
    const bool wide = nb::borrow(input_dtype).equal(j.np.attr("float64")) &&
                      truthy(j.jax.attr("config").attr("jax_enable_x64"));
    return j.jnp.attr(wide ? "float64" : "float32");
}

nb::object held_type(const Jax &j, nb::handle dtype) {
    return j.jax.attr("dtypes").attr("canonicalize_dtype")(dtype);
}

double item_size(const Jax &j, nb::handle dtype) {
    // The working types without JAX's canonicalisation (a Python call, three per
    // prediction): float64 is held as float32 while the 64-bit mode is off.
    switch (float_kind(j, dtype)) {
        case 'f': return 4;
        case 'd': return truthy(j.jax.attr("config").attr("jax_enable_x64")) ? 8 : 4;
        default: return nb::cast<double>(j.np.attr("dtype")(held_type(j, dtype)).attr("itemsize"));
    }
}

bool float32_or_float64(const Jax &j, nb::handle a) {
    nb::object dtype = nb::steal(PyObject_GetAttrString(a.ptr(), "dtype"));
    if (!dtype.is_valid()) {
        PyErr_Clear();
        return false;
    }
    return float_kind(j, dtype) != 0;
}

}  // namespace kovani::model

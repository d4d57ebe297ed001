#include "model/working_type.h"

#include <string>

namespace kovani::model {

nb::object training_type(const Jax &j, nb::handle input_dtype) {
    const bool wide = nb::borrow(input_dtype).equal(j.np.attr("float64")) &&
                      truthy(j.jax.attr("config").attr("jax_enable_x64"));
    return j.jnp.attr(wide ? "float64" : "float32");
}

nb::object held_type(const Jax &j, nb::handle dtype) {
    return j.jax.attr("dtypes").attr("canonicalize_dtype")(dtype);
}

double item_size(const Jax &j, nb::handle dtype) {
    return nb::cast<double>(j.np.attr("dtype")(held_type(j, dtype)).attr("itemsize"));
}

bool float32_or_float64(const Jax &j, nb::handle a) {
    nb::object dtype = nb::steal(PyObject_GetAttrString(a.ptr(), "dtype"));
    if (!dtype.is_valid()) {
        PyErr_Clear();
        return false;
    }
    const int r = PyObject_IsInstance(dtype.ptr(), j.np.attr("dtype").ptr());
    if (r < 0)
        throw nb::python_error();
    if (r == 0)
        return false;
    const std::string kind = nb::str(dtype.attr("char")).c_str();
    return kind == "f" || kind == "d";
}

}  // namespace kovani::model
